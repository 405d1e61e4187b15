"""Build of the two extension modules and their shared boundary library.

Switches (environment): CALVORO_DEBUG=1 builds without optimisation and
with assertions; CALVORO_SANITIZE=1 adds AddressSanitizer and
UndefinedBehaviorSanitizer; CALVORO_WERROR=1 turns warnings into errors;
CALVORO_PORTABLE=1 uses the public C API alone, as on interpreters newer
than the newest tested one. Without either of the first two, the build is
a release: no debug info.
"""
import glob
import io
import os
import re
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext


def switch(name):
    return os.environ.get(name, "") not in ("", "0")


compile_args = [
    "-std=c++17",
    "-fno-exceptions",
    "-fno-rtti",
    # the object layouts of the C API pun pointers by design
    "-fno-strict-aliasing",
    "-fvisibility=hidden",
    "-Wall",
    "-Wextra",
]
link_args = []
undef_macros = []
if switch("CALVORO_DEBUG") or switch("CALVORO_SANITIZE"):
    compile_args += ["-O0", "-g"]
    undef_macros.append("NDEBUG")
else:
    # the interpreter's own flags ask for -g; a release does not ship it
    compile_args.append("-g0")
    link_args.append("-s")
if switch("CALVORO_SANITIZE"):
    sanitize = ["-fsanitize=address,undefined", "-fno-omit-frame-pointer",
                "-fno-sanitize-recover=undefined"]
    compile_args += sanitize
    link_args += sanitize
if switch("CALVORO_WERROR"):
    compile_args.append("-Werror")
define_macros = []
if switch("CALVORO_PORTABLE"):
    define_macros.append(("CALVORO_PORTABLE", "1"))
if sys.platform.startswith("linux"):
    # Last on the line, after the boundary library that needs it: before
    # glibc 2.34 the thread-stack queries live in libpthread.
    link_args.append("-lpthread")

boundary_sources = sorted(glob.glob("src/calvoro/boundary/*.cpp"))
boundary_headers = sorted(glob.glob("src/calvoro/boundary/*.hpp"))

# Compiled once, with the modules' flags, and linked into both.
boundary = ("calvoro_boundary", {
    "sources": boundary_sources,
    "obj_deps": {"": boundary_headers},
    # build_clib, unlike build_ext, does not add the interpreter's headers
    "include_dirs": ["src/calvoro", sysconfig.get_paths()["include"],
                     sysconfig.get_paths()["platinclude"]],
    "macros": define_macros + [(name,) for name in undef_macros],
    "cflags": compile_args,
})


class build_ext_with_boundary(build_ext):
    """build_ext alone (an in-place build, say) does not build the
    libraries it links; this one does. On Linux it also links the modules
    to nothing of the interpreter that builds them: the interpreter that
    loads a module provides the C API, and a wheel must not depend on a
    libpython or search the builder's directories."""

    def run(self):
        self.run_command("build_clib")
        build_ext.run(self)

    def build_extensions(self):
        if sys.platform.startswith("linux"):
            # a shared interpreter's LDSHARED may carry its own rpath
            for attr in ("linker_so", "linker_so_cxx"):
                command = getattr(self.compiler, attr, None)
                if command:
                    setattr(self.compiler, attr, [
                        arg for arg in command
                        if not arg.startswith(("-Wl,-rpath", "-Wl,-R"))])
        build_ext.build_extensions(self)

    def get_libraries(self, ext):
        libraries = build_ext.get_libraries(self, ext)
        if sys.platform.startswith("linux"):
            # which distutils before 3.8 adds when libpython is shared
            libpython = "python%d.%d%s" % (sys.version_info[:2]
                                           + (getattr(sys, "abiflags", ""),))
            libraries = [lib for lib in libraries if lib != libpython]
        return libraries


def version():
    # one place for the version: the package's own __version__
    with io.open("src/calvoro/__init__.py", encoding="utf-8") as f:
        return re.search(r'^__version__ = "([^"]+)"', f.read(), re.M).group(1)


def extension(name, *sources):
    return Extension(
        "calvoro." + name,
        sources=["src/calvoro/%s.cpp" % s for s in sources],
        # relinked when the boundary library changes
        depends=boundary_sources + boundary_headers
        + glob.glob("src/calvoro/%s*.hpp" % name),
        include_dirs=["src/calvoro"],
        language="c++",
        extra_compile_args=compile_args,
        extra_link_args=link_args,
        undef_macros=undef_macros,
        define_macros=define_macros,
    )


setup(
    name="calvoro",
    version=version(),
    description="Recursive merging of nested dictionaries, in C++",
    author="The calvoro developers",
    url="https://github.com/calvoro/calvoro",
    project_urls={
        "Source": "https://github.com/calvoro/calvoro",
        "Issues": "https://github.com/calvoro/calvoro/issues",
    },
    long_description=io.open("README.md", encoding="utf-8").read()
    if os.path.exists("README.md") else "",
    long_description_content_type="text/markdown",
    license="MIT",
    python_requires=">=3.6",
    keywords=["merge", "dict", "nested", "configuration"],
    package_dir={"": "src"},
    packages=["calvoro"],
    package_data={"calvoro": ["py.typed", "*.pyi"]},
    libraries=[boundary],
    cmdclass={"build_ext": build_ext_with_boundary},
    ext_modules=[
        extension("anyfold", "anyfold", "anyfold_rmerge", "anyfold_function"),
        extension("tightfold", "tightfold"),
    ],
    # the command line reads TOML with tomllib from 3.11, with tomli before
    # (1.2.3 is its last release for 3.6), and YAML with PyYAML
    extras_require={
        "toml": ['tomli>=1.2.3; python_version < "3.11"'],
        "yaml": ["PyYAML>=5.1"],
    },
    entry_points={"console_scripts": ["calvoro = calvoro.cli:main"]},
    zip_safe=False,
    classifiers=[
        "Intended Audience :: Developers",
        "Operating System :: POSIX :: Linux",
        "Programming Language :: C++",
        "Programming Language :: Python :: 3",
        "Programming Language :: Python :: 3 :: Only",
        "Programming Language :: Python :: 3.6",
        "Programming Language :: Python :: 3.7",
        "Programming Language :: Python :: 3.8",
        "Programming Language :: Python :: 3.9",
        "Programming Language :: Python :: 3.10",
        "Programming Language :: Python :: 3.11",
        "Programming Language :: Python :: 3.12",
        "Programming Language :: Python :: 3.13",
        "Programming Language :: Python :: 3.14",
        "Programming Language :: Python :: 3.15",
        "Programming Language :: Python :: Implementation :: CPython",
        "Topic :: Software Development :: Libraries :: Python Modules",
        "Typing :: Typed",
    ],
)

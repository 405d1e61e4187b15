"""Build of the two extension modules and their shared boundary library.

Switches (environment): CALVORO_DEBUG=1 builds without optimisation and
with assertions; CALVORO_SANITIZE=1 adds AddressSanitizer and
UndefinedBehaviorSanitizer, CALVORO_SANITIZE=thread ThreadSanitizer (for an
interpreter built with it); CALVORO_WERROR=1 turns warnings into errors;
CALVORO_PORTABLE=1 uses the public C API alone, as on interpreters newer
than the newest tested one. Without either of the first two, the build is
a release: no debug info.
"""
import glob
import io
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile

from setuptools import Command, Extension, find_packages, setup
from setuptools.command.build_clib import build_clib
from setuptools.command.build_ext import build_ext

try:
    from setuptools.errors import CompileError
except ImportError:  # setuptools before 59
    from distutils.errors import CompileError


def switch(name):
    return os.environ.get(name, "") not in ("", "0")


# What the build needs of every compiler: C++17, no exceptions or RTTI (the
# code uses neither), no type-based aliasing (the object layouts of the C
# API pun pointers by design), only the entry points exported, and the
# usual warnings. Each compiler kind spells that its own way.
def build_flags(kind, target=sys.platform):
    """(compile args, link args, undefined macros) for a compiler kind:
    "gcc" (gcc and MinGW), "clang" or "msvc", building for `target` (a
    sys.platform value)."""
    debug = switch("CALVORO_DEBUG") or switch("CALVORO_SANITIZE")
    undef = ["NDEBUG"] if debug else []
    if kind == "msvc":
        # MSVC does no type-based aliasing and exports only dllexport.
        # distutils adds /EHsc to C++: overriding it would only draw a
        # warning, and the code throws nothing.
        compile_args = ["/std:c++17", "/permissive-", "/GR-", "/W3"]
        link_args = []
        if debug:
            compile_args += ["/Od", "/Zi"]
        if switch("CALVORO_SANITIZE"):
            raise SystemExit("error: CALVORO_SANITIZE needs gcc or clang")
        if switch("CALVORO_WERROR"):
            compile_args.append("/WX")
        return compile_args, link_args, undef
    compile_args = ["-std=c++17", "-fno-exceptions", "-fno-rtti",
                    "-fno-strict-aliasing", "-fvisibility=hidden",
                    "-Wall", "-Wextra"]
    link_args = []
    if debug:
        compile_args += ["-O0", "-g"]
    else:
        # the interpreter's own flags ask for -g; a release does not ship it
        compile_args.append("-g0")
        # Apple's linker ignores -s; -S drops what debug notes remain
        link_args.append("-Wl,-S" if target == "darwin" else "-s")
    if os.environ.get("CALVORO_SANITIZE") == "thread":
        # for an interpreter built with ThreadSanitizer, which loads its
        # runtime; -O1 keeps the reports' stacks readable
        sanitize = ["-fsanitize=thread", "-fno-omit-frame-pointer"]
        compile_args.append("-O1")
    elif switch("CALVORO_SANITIZE"):
        sanitize = ["-fsanitize=address,undefined", "-fno-omit-frame-pointer",
                    "-fno-sanitize-recover=undefined"]
    else:
        sanitize = []
    compile_args += sanitize
    link_args += sanitize
    if switch("CALVORO_WERROR"):
        compile_args.append("-Werror")
    if target.startswith("linux"):
        # Last on the line, after the boundary library that needs it: before
        # glibc 2.34 the thread-stack queries live in libpthread.
        link_args.append("-lpthread")
    return compile_args, link_args, undef


def compiler_kind(compiler):
    """The kind of a distutils compiler object, for build_flags."""
    if compiler.compiler_type == "msvc":
        return "msvc"
    command = getattr(compiler, "compiler_cxx", None) or compiler.compiler_so
    try:
        out = subprocess.run(command[:1] + ["--version"],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             universal_newlines=True).stdout
    except OSError:
        out = ""
    # Apple's and zig's clang say "clang version" too
    return "clang" if "clang" in out else "gcc"


CXX17_PROBE = """\
#if (defined(_MSVC_LANG) ? _MSVC_LANG : __cplusplus) < 201703L
#error C++17 is needed
#endif
#include <utility>
int probe() { auto [a, b] = std::pair<int, int>(1, 2); return a + b; }
"""


def require_cxx17(compiler, compile_args):
    """Stops the build with one sentence, rather than a page of errors from
    the first source, when the compiler cannot build C++17."""
    tmp = tempfile.mkdtemp(prefix="calvoro-probe-")
    try:
        probe = os.path.join(tmp, "probe.cpp")
        with open(probe, "w") as f:
            f.write(CXX17_PROBE)
        compiler.compile([probe], output_dir=tmp, extra_postargs=compile_args)
    except CompileError:
        raise SystemExit(
            "error: calvoro needs a C++17 compiler (GCC 7, clang 5, MSVC "
            "2017 15.7 or newer), and this one failed on the C++17 test "
            "above; set CC and CXX to one that passes it")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


define_macros = []
if switch("CALVORO_PORTABLE"):
    define_macros.append(("CALVORO_PORTABLE", "1"))

boundary_sources = sorted(glob.glob("src/calvoro/boundary/**/*.cpp",
                                    recursive=True))
boundary_headers = sorted(glob.glob("src/calvoro/boundary/**/*.hpp",
                                    recursive=True))

# Compiled once, with the modules' flags (chosen once the compiler is
# known), and linked into both.
boundary = ("calvoro_boundary", {
    "sources": boundary_sources,
    "obj_deps": {"": boundary_headers},
    # build_clib, unlike build_ext, does not add the interpreter's headers
    "include_dirs": ["src/calvoro", sysconfig.get_paths()["include"],
                     sysconfig.get_paths()["platinclude"]],
})

# Each module's own sources, besides the boundary library.
MODULES = {
    "anyfold": ["anyfold", "anyfold_rmerge", "anyfold_function"],
    "tightfold": ["tightfold"],
    "_merger": ["merger", "merger_core", "merger_explain",
                "merger_values"],
}


class build_boundary(build_clib):
    """build_clib with the flags of the compiler it finds."""

    def build_libraries(self, libraries):
        compile_args, _, undef = build_flags(compiler_kind(self.compiler))
        require_cxx17(self.compiler, compile_args)
        for _, info in libraries:
            info["cflags"] = compile_args
            info["macros"] = define_macros + [(name,) for name in undef]
        build_clib.build_libraries(self, libraries)


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
        compile_args, link_args, undef = build_flags(
            compiler_kind(self.compiler))
        for ext in self.extensions:
            ext.extra_compile_args = compile_args
            ext.extra_link_args = link_args
            ext.undef_macros = undef
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


class show_flags(Command):
    """Prints the build as JSON (flags, macros, sources) for a compiler
    kind and target, for cross builds that setuptools cannot drive."""

    description = "print the build's flags and sources as JSON"
    user_options = [("kind=", None, "gcc, clang or msvc"),
                    ("target=", None, "a sys.platform value")]

    def initialize_options(self):
        self.kind = "gcc"
        self.target = sys.platform

    def finalize_options(self):
        pass

    def run(self):
        compile_args, link_args, undef = build_flags(self.kind, self.target)
        print(json.dumps({
            "compile": compile_args,
            "link": link_args,
            "define": [list(m) for m in define_macros],
            "undefine": undef,
            "include": ["src/calvoro"],
            "boundary": boundary_sources,
            "modules": {name: ["src/calvoro/%s.cpp" % s for s in sources]
                        for name, sources in MODULES.items()},
        }))


def extension(name):
    return Extension(
        "calvoro." + name,
        sources=["src/calvoro/%s.cpp" % s for s in MODULES[name]],
        # relinked when the boundary library changes
        depends=boundary_sources + boundary_headers
        + glob.glob("src/calvoro/%s*.hpp" % name.lstrip("_")),
        include_dirs=["src/calvoro"],
        language="c++",
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
    packages=find_packages("src"),
    package_data={"calvoro": ["py.typed", "*.pyi"]},
    libraries=[boundary],
    cmdclass={"build_clib": build_boundary,
              "build_ext": build_ext_with_boundary,
              "show_flags": show_flags},
    ext_modules=[extension(name) for name in MODULES],
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
        "Operating System :: MacOS :: MacOS X",
        "Operating System :: Microsoft :: Windows",
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

"""Build of the two extension modules and their shared boundary library.

Switches (environment): CALVORO_DEBUG=1 builds without optimisation and
with assertions; CALVORO_SANITIZE=1 adds AddressSanitizer and
UndefinedBehaviorSanitizer; CALVORO_WERROR=1 turns warnings into errors;
CALVORO_PORTABLE=1 uses the public C API alone, as on interpreters newer
than the newest tested one.
"""
import glob
import io
import os
import re

from setuptools import Extension, setup


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

boundary_sources = sorted(glob.glob("src/calvoro/boundary/*.cpp"))
boundary_headers = sorted(glob.glob("src/calvoro/boundary/*.hpp"))


def version():
    # one place for the version: the package's own __version__
    with io.open("src/calvoro/__init__.py", encoding="utf-8") as f:
        return re.search(r'^__version__ = "([^"]+)"', f.read(), re.M).group(1)


def extension(name, *sources):
    return Extension(
        "calvoro." + name,
        sources=["src/calvoro/%s.cpp" % s for s in sources] + boundary_sources,
        depends=boundary_headers + glob.glob("src/calvoro/%s*.hpp" % name),
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
    long_description=io.open("README.md", encoding="utf-8").read()
    if os.path.exists("README.md") else "",
    long_description_content_type="text/markdown",
    license="MIT",
    python_requires=">=3.6",
    package_dir={"": "src"},
    packages=["calvoro"],
    package_data={"calvoro": ["py.typed", "*.pyi"]},
    ext_modules=[
        extension("anyfold", "anyfold", "anyfold_function"),
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
        "Programming Language :: C++",
        "Programming Language :: Python :: 3",
        "Programming Language :: Python :: Implementation :: CPython",
    ],
)

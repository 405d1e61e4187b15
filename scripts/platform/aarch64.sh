#!/usr/bin/env bash
# Linux aarch64 (glibc): the wheel cross-built by Debian's aarch64 g++
# through setup.py itself (Debian's arm64 CPython supplies the target's
# headers and build variables), tagged by auditwheel, then installed into
# Debian's arm64 python3.11 and tested under qemu-user. binfmt_misc runs
# the aarch64 subprocesses that tests start.
#
# Usage: scripts/check-platform.sh aarch64 [--all | PYTEST ARGS]
#   default: the tests that reach deepest into the platform (native stack
#   and recursion, the generic protocols, loading, allocation failures);
#   --all: the whole suite (about ten minutes under qemu here).
set -euo pipefail
. "$(dirname "$0")/common.sh"

need_debs aarch64 g++-aarch64-linux-gnu qemu-user-static binfmt-support
host_tools || verdict SKIP aarch64 "no build tools from PyPI"

# Debian's arm64 python3.11, unpacked (not installed) into a sysroot.
sysroot=$cache/sysroot-arm64
if [ ! -x "$sysroot/usr/bin/python3.11" ]; then
    echo "== arm64 sysroot: Debian's python3.11"
    dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
    apt-get update -q >"$cache/apt-arm64.log" 2>&1 ||
        verdict SKIP aarch64 "apt-get update for arm64 failed"
    debs=$cache/debs-arm64
    rm -rf "$debs" "$sysroot.new"
    mkdir -p "$debs" "$sysroot.new"
    (
        cd "$debs"
        pkgs=$(apt-cache depends --recurse --no-recommends --no-suggests \
            --no-conflicts --no-breaks --no-replaces --no-enhances \
            python3.11:arm64 libpython3.11-dev:arm64 python3.11-venv:arm64 \
            libstdc++6:arm64 | grep -v '^ ' | grep ':arm64$' | sort -u |
            grep -v -E '^(dpkg|install-info|tar|perl|debconf)')
        # ensurepip's wheels and the pure-Python parts are Architecture: all
        apt-get download -q $pkgs python3-pip-whl python3-setuptools-whl \
            python3-distutils python3-lib2to3 media-types tzdata
    ) >>"$cache/apt-arm64.log" 2>&1 ||
        verdict SKIP aarch64 "Debian's arm64 python3.11 could not be downloaded"
    for f in "$debs"/*.deb; do dpkg -x "$f" "$sysroot.new"; done
    mv "$sysroot.new" "$sysroot"
fi
export QEMU_LD_PREFIX=$sysroot
mountpoint -q /proc/sys/fs/binfmt_misc ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || true
update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || true
"$sysroot/usr/bin/python3.11" -c pass 2>/dev/null ||
    verdict SKIP aarch64 "qemu-user cannot run aarch64 programs here"

# The wheel: setuptools builds for the target whose sysconfig data it is
# given; the target's headers come before the host's.
t0=$SECONDS
work=$cache/build-aarch64
fresh_tree "$work/tree"
rm -rf "$work/dist" "$work/wheelhouse" "$work/sysconfig"
mkdir -p "$work/sysconfig"
data=_sysconfigdata__linux_aarch64-linux-gnu
cp "$sysroot/usr/lib/python3.11/$data.py" "$work/sysconfig/"
(
    cd "$work/tree"
    _PYTHON_HOST_PLATFORM=linux-aarch64 _PYTHON_SYSCONFIGDATA_NAME=$data \
    PYTHONPATH=$work/sysconfig \
    CPPFLAGS="-I$sysroot/usr/include/python3.11 -idirafter $sysroot/usr/include" \
    CALVORO_WERROR=1 "$hostpy" setup.py -q bdist_wheel -d "$work/dist"
) >"$work/build.log" 2>&1 || { tail -30 "$work/build.log"; verdict FAIL aarch64 "the cross build failed"; }
# --plat auto: the wheel's own architecture, not the host's
PATH=$cache/hostvenv/bin:$PATH "$hostpy" -m auditwheel repair --plat auto \
    --only-plat -w "$work/wheelhouse" "$work/dist"/*.whl >"$work/auditwheel.log" 2>&1 ||
    { cat "$work/auditwheel.log"; verdict FAIL aarch64 "auditwheel refused the wheel"; }
wheel=$(ls "$work/wheelhouse"/*.whl)
tag=$(basename "$wheel" .whl)
tag=${tag##*-}
case "$tag" in
    *manylinux_2_17_aarch64*|*manylinux2014_aarch64*) ;;
    *) verdict FAIL aarch64 "wheel tagged $tag, not manylinux2014" ;;
esac
built=$((SECONDS - t0))

# The suite's tools for the target, then calvoro, into an arm64 venv.
venv=$cache/venv-arm64
wheels=$cache/wheels-arm64
if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c 'import pytest, hypothesis' 2>/dev/null; then
    rm -rf "$venv"
    "$hostpy" -m pip download -q -d "$wheels" --only-binary=:all: \
        --platform manylinux2014_aarch64 --python-version 3.11 \
        --implementation cp pytest hypothesis tomli PyYAML ||
        verdict SKIP aarch64 "the test tools' aarch64 wheels could not be downloaded"
    "$sysroot/usr/bin/python3.11" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --no-index --find-links "$wheels" \
        pytest hypothesis tomli PyYAML
fi
"$venv/bin/python" -m pip install -q --no-index --no-deps --force-reinstall "$wheel"

if [ "${1:-}" = --all ]; then
    shift
    selection=("$root/tests")
elif [ $# -gt 0 ]; then
    selection=()
else
    selection=("$root/tests/test_deep_and_cyclic_input.py"
               "$root/tests/test_anyfold_protocols.py"
               "$root/tests/test_loading.py"
               "$root/tests/test_out_of_memory.py")
fi
run_suite aarch64 "$venv" "$wheel" "under qemu" "${selection[@]}" -- "$@"

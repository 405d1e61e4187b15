#!/usr/bin/env bash
# macOS arm64 and x86_64. Nothing here runs macOS code, so the check
# compiles and links both modules with zig's clang, warnings as errors,
# against the pyconfig.h that CPython's own configure writes for macOS, and
# reads each module's symbol table: it must export its PyInit_ alone, and
# leave nothing but the C API to be found at load time.
#
# The CPython tree: $CALVORO_CPYTHON_SRC_314 (or _315, _313), else the
# newest /opt/src/cpython-3.14.* (or 3.15.*, 3.13.*), else Debian's source
# package of python3.14 (or python3.15, python3.13), downloaded once into
# the cache. 3.14 is the first whose configure takes a macOS host when
# cross-compiling; 3.13's is given the two cases that 3.14 added for it.
set -euo pipefail
. "$(dirname "$0")/common.sh"

# Deployment targets of python.org's macOS builds: 10.13 on Intel, 11.0 on
# Apple silicon, the first macOS there.
declare -A macos_min=([x86_64]=10.13 [aarch64]=11.0)

src=$(cpython_source 14 15 13) ||
    verdict SKIP macos "no CPython 3.13 to 3.15 source tree here, and Debian's python3.13 to python3.15 sources could not be downloaded (log: $cache/apt-src.log)"
[ -f "$src/configure" ] || verdict SKIP macos "$src has no configure"
version=$(sed -n 's/^#define PY_VERSION[[:space:]]*"\([^"]*\)".*/\1/p' "$src/Include/patchlevel.h")
minor=${version#3.}
minor=${minor%%.*}

need_debs macos llvm
zig_tools || verdict SKIP macos "pip could not install ziglang"

# pyconfig.h for one architecture, from configure in cross mode with zig's
# clang as the macOS compiler. configure asks the build interpreter its
# version only (make would run it; make is never run), and a config.site
# answers what cannot be probed from Linux.
pyconfig() {  # pyconfig ARCH: the directory holding its pyconfig.h
    local arch=$1 dir=$cache/macos-pyconfig/$version-$1-${macos_min[$1]}
    if [ ! -f "$dir/pyconfig.h" ]; then
        rm -rf "$dir.tmp"
        mkdir -p "$dir.tmp/build"
        printf '#!/bin/sh\necho 3.%s\n' "$minor" >"$dir.tmp/build-python"
        chmod +x "$dir.tmp/build-python"
        printf '%s\n' ac_cv_file__dev_ptmx=yes ac_cv_file__dev_ptc=no \
            ac_cv_buggy_getaddrinfo=no >"$dir.tmp/config.site"
        local configure=$src/configure
        if ! grep -q 'ac_sys_system=Darwin' "$configure"; then
            # the system's name, and the platform tag's tail (3.14's cases)
            configure=$dir.tmp/configure
            perl -0pe 's/(\n\t\*-apple-ios\*\)\n\t\tac_sys_system=)/\n\t*-*-darwin*)\n\t\tac_sys_system=Darwin\n\t\t;;$1/;
                s/(\n\t\*-apple-ios\*\)\n\t\t_host_os=)/\n\t*-*-darwin*)\n\t\t_host_ident=\$host_cpu\n\t\t;;$1/' \
                "$src/configure" >"$configure"
            chmod +x "$configure"
            [ "$(grep -c -x -F "$(printf '\t*-*-darwin*)')" "$configure")" -ge 2 ] || return 1
        fi
        (cd "$dir.tmp/build" &&
            CONFIG_SITE=$dir.tmp/config.site MACOSX_DEPLOYMENT_TARGET=${macos_min[$arch]} \
            CC="$zig cc -target $arch-macos.${macos_min[$arch]}" \
            CXX="$zig c++ -target $arch-macos.${macos_min[$arch]}" \
            AR="$zig ar" RANLIB="$zig ranlib" \
            "$configure" -q --srcdir="$src" --host="$arch-apple-darwin" --build="$(uname -m)-pc-linux-gnu" \
            --with-build-python="$dir.tmp/build-python" --without-ensurepip \
            --disable-test-modules) >"$dir.tmp/configure.log" 2>&1 || return 1
        mkdir -p "$dir"
        cp "$dir.tmp/build/pyconfig.h" "$dir.tmp/configure.log" "$dir/"
        rm -rf "$dir.tmp"
    fi
    echo "$dir"
}

# One architecture: its pyconfig.h, the build, the symbol tables. What it
# finds goes to $cache/macos-ARCH.results, a line each; it fails when
# something is wrong.
check_arch() {  # check_arch ARCH
    local arch=$1 inc out so name exports lookup ok=1
    local found=$cache/macos-$arch.results
    : >"$found"
    echo "== macOS ${macos_min[$arch]} $arch, CPython $version headers"
    if ! inc=$(pyconfig "$arch"); then
        echo "$arch: configure failed, see $cache/macos-pyconfig/$version-$arch-${macos_min[$arch]}.tmp/configure.log" >>"$found"
        return 1
    fi
    out=$cache/macos-build-$arch
    if ! CALVORO_WERROR=1 cross_build "$out" ".cpython-3$minor-darwin.so" clang darwin \
        "$zig c++ -target $arch-macos.${macos_min[$arch]}" "-I$inc -I$src/Include" \
        "-undefined dynamic_lookup"; then
        grep -E 'error|warning' "$out/build.log" | head -n 20 || true
        echo "$arch: build failed, see $out/build.log" >>"$found"
        return 1
    fi
    for so in "$out"/*.so; do
        name=$(basename "$so" ".cpython-3$minor-darwin.so")
        # zig's linker exports the two symbols that it makes for every
        # dylib, the image's own header; Apple's keeps them private
        exports=$(llvm-nm --extern-only --defined-only --format=just-symbols "$so" |
            grep -v -x -E '__mh_dylib_header|___dso_handle' | xargs)
        # an undefined symbol that names no library is looked up at load
        # time in what is loaded already: the interpreter's C API, no more
        lookup=$(llvm-nm -m --undefined-only "$so" | grep -v '(from ' |
            awk '{print $NF}' | grep -v -E '^__?Py' | xargs || true)
        echo "$arch $name: exports $exports; links $(llvm-objdump --macho --dylibs-used "$so" | tail -n +2 | grep -v -F "$so" | awk '{print $1}' | xargs)"
        if [ "$exports" != "_PyInit_$name" ]; then
            echo "$arch $name exports $exports" >>"$found"
            ok=0
        elif [ -n "$lookup" ]; then
            echo "$arch $name leaves $lookup to load time" >>"$found"
            ok=0
        fi
    done
    [ "$ok" = 1 ] || return 1
    echo "$arch (macOS ${macos_min[$arch]}): built, each exports its PyInit_ alone" >>"$found"
}

t0=$SECONDS
# Both architectures at once: configure and the build each keep about one
# core busy.
declare -A pids
for arch in aarch64 x86_64; do
    check_arch "$arch" >"$cache/macos-$arch.log" 2>&1 &
    pids[$arch]=$!
done
results=() failed=0
for arch in aarch64 x86_64; do
    wait "${pids[$arch]}" || failed=1
    cat "$cache/macos-$arch.log"
    mapfile -t -O "${#results[@]}" results <"$cache/macos-$arch.results"
done
summary="CPython $version headers, zig $("$zig" version), -Werror, $((SECONDS - t0))s: $(printf '%s; ' "${results[@]}" | sed 's/; $//')"
[ "$failed" = 0 ] || verdict FAIL macos "$summary"
verdict PASS macos "$summary"

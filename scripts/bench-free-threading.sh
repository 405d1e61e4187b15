#!/usr/bin/env bash
# Single-threaded merges on a free-threaded CPython against the same
# merges on the same version with the GIL: CPU time per call, and the
# free-threaded/GIL ratio per workload and contender.
#
# Usage: scripts/bench-free-threading.sh GILPY FTPY [OPTIONS] [WORKLOAD ...]
#   --rounds N      runs of bench/instructions.py --cpu per interpreter and
#                   workload (default 11), the two interpreters alternately
#   --calls N       calls per batch (default 30)
#   --batches N     batches per run (default 15)
#   --limit X       exit status 1 if a calvoro ratio exceeds X (default 1.25)
#   --instructions  also count instructions with callgrind, one run each
#                   (a few minutes per interpreter)
#   --out DIR       keep the figures there (default build/bench-ft-TIMESTAMP)
# e.g. scripts/bench-free-threading.sh /opt/python/3.14/bin/python3.14 \
#          /opt/python/3.14t/bin/python3.14t --instructions
set -euo pipefail

. "$(dirname "$0")/common.sh"
[ $# -ge 2 ] || usage
gilpy=$1 ftpy=$2
shift 2
rounds=11 calls=30 batches=15 limit=1.25 count=0 out= workloads=()
while [ $# -gt 0 ]; do
    case "$1" in
        --rounds) rounds=$2; shift ;;
        --calls) calls=$2; shift ;;
        --batches) batches=$2; shift ;;
        --limit) limit=$2; shift ;;
        --instructions) count=1 ;;
        --out) out=$2; shift ;;
        -*) echo "error: unknown option $1" >&2; exit 2 ;;
        *) workloads+=("$1") ;;
    esac
    shift
done
[ ${#workloads[@]} -gt 0 ] || workloads=(flat config many)

require_release_build
# the free-threaded side must run as users run it: without a GIL
unset PYTHON_GIL

free_threaded() {
    "$1" -c 'import sysconfig, sys
sys.exit(0 if sysconfig.get_config_var("Py_GIL_DISABLED") else 1)'
}
if free_threaded "$gilpy"; then
    echo "error: $gilpy is a free-threaded build; give the GIL one first" >&2
    exit 2
fi
if ! free_threaded "$ftpy"; then
    echo "error: $ftpy is not a free-threaded build" >&2
    exit 2
fi

case "${out:=$root/build/bench-ft-$(date +%Y%m%d-%H%M%S)}" in
    /*) ;;
    *) out=$PWD/$out ;;
esac
rm -rf "$out/gil" "$out/ft"
mkdir -p "$out/gil" "$out/ft"

# one build at a time: calvoro, then the floor, per interpreter
for side in gil ft; do
    if [ $side = gil ]; then py=$gilpy; else py=$ftpy; fi
    calvoro_install "$py" venv-benchft
    build_floor
    eval "venv_$side=\$venv vpy_$side=\$vpy"
done
# fail now rather than after the rounds if an import turns the GIL on
(cd "$venv_ft" && PYTHONPATH="$venv_ft/floor" "$vpy_ft" -c '
import sys
import calvoro.anyfold, calvoro.tightfold, calvoro_floor
sys.exit("error: the GIL is on after the imports" if sys._is_gil_enabled()
         else 0)')

run() {  # run SIDE OUTPUT [ARGS...]
    local side=$1 json=$2 v p
    shift 2
    eval "v=\$venv_$side p=\$vpy_$side"
    # the same hash seed on both sides: the same dict layouts
    (cd "$v" && PYTHONHASHSEED=0 PYTHONPATH="$v/floor" \
        "$p" "$root/bench/instructions.py" --calls "$calls" --json "$json" \
        "$@" >"${json%.json}.log" 2>&1) || {
        echo "error: see ${json%.json}.log" >&2
        tail -5 "${json%.json}.log" >&2
        return 1
    }
}

echo "== $rounds round(s) of ${workloads[*]}, $batches batches of $calls calls; figures in $out"
started=$SECONDS
for ((r = 1; r <= rounds; r++)); do
    i=0
    for w in "${workloads[@]}"; do
        # who goes first alternates too, so neither side always runs on
        # the caches and clock the other left
        if [ $(((r + i) % 2)) = 1 ]; then order="gil ft"; else order="ft gil"; fi
        for side in $order; do
            run "$side" "$out/$side/$(printf 'r%02d' "$r")-$w.json" \
                --cpu --batches "$batches" "$w"
        done
        i=$((i + 1))
    done
    echo "   round $r done ($((SECONDS - started)) s)"
done

instr=()
if [ $count = 1 ]; then
    if command -v valgrind >/dev/null 2>&1; then
        echo "== callgrind counts, one run per interpreter"
        for side in gil ft; do
            run "$side" "$out/$side-instructions.json" "${workloads[@]}"
        done
        instr=(--instructions "$out/gil-instructions.json"
               "$out/ft-instructions.json")
    else
        echo "note: no valgrind; instruction counts skipped"
    fi
fi

echo
"$vpy_gil" "$root/bench/compare.py" --limit "$limit" \
    --json "$out/compare.json" "${instr[@]+"${instr[@]}"}" \
    "$out/gil" "$out/ft" | tee "$out/compare.txt"
exit "${PIPESTATUS[0]}"

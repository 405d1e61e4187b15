#!/usr/bin/env bash
# Checks calvoro on a free-threaded CPython: importing it leaves the GIL
# off, with no warning, and merges racing with mutating threads end
# normally with consistent dicts (tests/stress_threads.py). On an
# interpreter built --with-thread-sanitizer, calvoro is built with
# ThreadSanitizer too and no data race may be reported in its own frames
# (races the interpreter reports within itself are counted, not judged).
# The whole suite runs on such interpreters through scripts/test.sh.
#
# Usage: scripts/check-free-threading.sh PYTHON [RUNS [SECONDS]]
#   RUNS, SECONDS: of the stress test (default 20 runs of 6 s; 3 of 6 s
#   under ThreadSanitizer, which is some ten times slower).
# Exit status: 0 passed, 1 failed, 77 PYTHON is not free-threaded.
set -euo pipefail

. "$(dirname "$0")/common.sh"
[ $# -ge 1 ] || usage
py=$1

info=$("$py" -c 'import sysconfig
args = sysconfig.get_config_var("CONFIG_ARGS") or ""
print(1 if sysconfig.get_config_var("Py_GIL_DISABLED") else 0,
      1 if "--with-thread-sanitizer" in args else 0)')
read -r free_threaded tsan <<<"$info"
if [ "$free_threaded" != 1 ]; then
    echo "free-threading: $py has the GIL: SKIP"
    exit 77
fi
if [ "$tsan" = 1 ]; then
    runs=${2:-3}
    export CALVORO_SANITIZE=thread
else
    runs=${2:-20}
fi
seconds=${3:-6}

calvoro_install "$py" venv-threads
cd "$venv"

echo "== import: the GIL stays off, no warning"
"$vpy" -W error -c '
import sys
import calvoro.anyfold, calvoro.tightfold
assert not sys._is_gil_enabled(), "the GIL was enabled by the import"
print("GIL disabled after import")'

echo "== stress: $runs runs of ${seconds}s"
if [ "$tsan" = 1 ]; then
    reports=$venv/tsan
    rm -rf "$reports"
    mkdir -p "$reports"
    # the races found, not the first one, and the interpreter's own
    # signal handling is no concern here; as exitcode=0 lets the
    # interpreter's own reports through, the run must also be seen to end:
    # its last line, and no fatal signal
    rc=0
    TSAN_OPTIONS="halt_on_error=0 report_signal_unsafe=0 exitcode=0 log_path=$reports/report" \
        "$vpy" -X faulthandler "$root/tests/stress_threads.py" \
        --runs "$runs" --seconds "$seconds" 2>&1 | tee "$reports/stress.log" || rc=$?
    if [ "$rc" != 0 ] || ! grep -q "^$runs of $runs runs passed" "$reports/stress.log" ||
        grep -qs "DEADLYSIGNAL\|CHECK failed" "$reports"/report*; then
        echo "stress under ThreadSanitizer: exit $rc"
        grep -hs -A12 "DEADLYSIGNAL\|CHECK failed" "$reports"/report* | head -n 30 || true
        echo "free-threading: the stress run did not end normally: FAIL"
        exit 1
    fi
    total=$(cat "$reports"/report* 2>/dev/null | grep -c "^WARNING: ThreadSanitizer" || true)
    # a report is calvoro's when one of its racing accesses is made by
    # calvoro's code (its innermost frame outside the sanitizer's runtime
    # lies in calvoro's modules, inlined interpreter headers included);
    # calvoro merely calling down into a race of the interpreter's is not
    ours=0
    for f in "$reports"/report*; do
        [ -e "$f" ] || continue
        ours=$((ours + $(awk '
            /^WARNING: ThreadSanitizer/ { inside = 1; hit = 0; want = 0; next }
            /^SUMMARY: ThreadSanitizer/ { if (inside && hit) n++; inside = 0; next }
            !inside { next }
            /^  [A-Z].* (by thread|by main thread)/ { want = 1; next }
            want && /^ +#[0-9]+ / {
                if ($0 ~ /libtsan|sanitizer_common|tsan_interceptors/) next
                if ($0 ~ /calvoro\/|(anyfold|tightfold|_merger)\.cpython/) hit = 1
                want = 0
            }
            END { print n + 0 }' "$f")))
    done
    echo "ThreadSanitizer: $total reports, $ours in calvoro's frames"
    if [ "$ours" != 0 ]; then
        grep -l calvoro "$reports"/report* | head -n 1 | xargs sed -n '1,60p'
        echo "free-threading: data races in calvoro: FAIL"
        exit 1
    fi
else
    "$vpy" -X faulthandler "$root/tests/stress_threads.py" \
        --runs "$runs" --seconds "$seconds"
fi
label=$("$vpy" -c 'import sys; print(sys.version.split()[0])')t
[ "$tsan" = 1 ] && label="$label with ThreadSanitizer"
echo "free-threading: $label: PASS"

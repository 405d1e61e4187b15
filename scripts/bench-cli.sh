#!/usr/bin/env bash
# Builds calvoro into a fresh virtual environment and runs the benchmark of
# the command line, bench/bench_cli.py, against parsing and serializing the
# same files and against jq (installed with apt-get where missing; without
# it the jq rows are skipped with a note).
#
# Usage: scripts/bench-cli.sh [PYTHON] [BENCH ARGS...]   e.g. --quick
set -euo pipefail

. "$(dirname "$0")/common.sh"
take_interpreter "$@"
shift "$py_args"

require_release_build

if ! command -v jq >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "== installing jq"
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -qq jq >/dev/null; } ||
            echo "note: apt-get could not install jq"
    else
        echo "note: jq is missing and cannot be installed here (apt-get as root)"
    fi
fi

calvoro_install "$py" venv-bench-cli
cd "$venv"
"$vpy" "$root/bench/bench_cli.py" "$@"

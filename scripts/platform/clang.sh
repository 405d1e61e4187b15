#!/usr/bin/env bash
# clang, which macOS and musl users compile with: this machine's python3,
# the modules built by clang with warnings as errors, the whole suite.
set -euo pipefail
. "$(dirname "$0")/common.sh"

need_debs clang clang
log=$cache/clang-test.log
rc=0
CC=clang CXX=clang++ CALVORO_WERROR=1 CALVORO_VENV=venv-clang bash "$root/scripts/test.sh" python3 "$@" \
    2>&1 | tee "$log" || rc=$?
tally=$(grep -E '^=+ .*(passed|failed|error).* in ' "$log" | tail -n 1 | tr -d '=' | xargs)
clang_version=$(clang --version | head -n 1)
[ "$rc" = 0 ] || verdict FAIL clang "$clang_version, -Werror: ${tally:-build failed}"
verdict PASS clang "$clang_version, -Werror: $tally"

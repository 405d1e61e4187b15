#!/usr/bin/env bash
# Builds calvoro into a fresh virtual environment and runs the test suite
# against the installed package.
#
# Usage: scripts/test.sh [PYTHON] [PYTEST ARGS...]
#   PYTHON defaults to python3. Arguments that name files or node ids under
#   tests/ replace the default of running the whole suite.
# Environment: CALVORO_SANITIZE=1 builds with AddressSanitizer and
#   UndefinedBehaviorSanitizer and runs the suite under them;
#   CALVORO_DEBUG=1 builds without optimisation; CI=true adds -Werror;
#   CALVORO_VENV names the environment under build/ (default venv), so
#   that two runs on one interpreter can go on at once.
set -euo pipefail

. "$(dirname "$0")/common.sh"
take_interpreter --unless-path "$@"
shift "$py_args"

# pytest runs outside the tree, so relative paths must be made absolute.
args=()
paths=0
for a in "$@"; do
    if [ "${a#-}" = "$a" ] && [ -e "${a%%::*}" ]; then
        [ "${a#/}" != "$a" ] || a=$PWD/$a
        paths=1
    fi
    args+=("$a")
done
[ "$paths" = 1 ] || args=("$root/tests" "${args[@]+"${args[@]}"}")

calvoro_install "$py" "${CALVORO_VENV:-venv}"
# tomli and PyYAML are the command line's optional readers (pip picks the
# last releases that run on the interpreter: tomli 1.2.3, PyYAML 6.0.1 on
# 3.6); their tests skip where they are absent
"$vpy" -m pip install -q pytest hypothesis tomli PyYAML
calvoro_check_installed

xopts=(-X faulthandler)
[ "$pyver" = 3.6 ] || xopts+=(-X dev)

echo "== pytest on Python $pyver${CALVORO_SANITIZE:+ (sanitized)}"
# The environment's own directory: neither the source tree nor src/ is on
# sys.path there, and the hypothesis database goes away with the venv, as
# do pytest's cache and the tests' bytecode, which would otherwise land in
# the source tree.
cd "$venv"
rc=0
PYTHONDONTWRITEBYTECODE=1 run_checked "$vpy" "${xopts[@]}" -m pytest \
    -o "cache_dir=$venv/.pytest_cache" "${args[@]}" || rc=$?
if [ "$rc" = 5 ]; then
    echo "error: pytest collected no tests" >&2
fi
exit "$rc"

#!/usr/bin/env bash
# Builds calvoro into a fresh virtual environment and merges layered
# configuration files with `python -m calvoro`, tells with the `calvoro`
# command where each value of the result came from, then merges in Python
# with both modules.
#
# Usage: scripts/demo.sh [PYTHON]   (default: python3)
set -euo pipefail

. "$(dirname "$0")/common.sh"
take_interpreter "$@"
[ $# -le "$py_args" ] || usage

calvoro_install "$py" venv-demo
calvoro_check_installed
cd "$venv"
config=$root/examples/config
echo "== python -m calvoro --indent 2 1-defaults.json 2-site.json 3-local.json"
run_checked "$vpy" -m calvoro --indent 2 \
    "$config/1-defaults.json" "$config/2-site.json" "$config/3-local.json"
echo
echo "== calvoro 1-defaults.json 2-site.json 3-local.json --set server.tls.enabled=false --explain"
(cd "$config" && run_checked "$venv/bin/calvoro" \
    1-defaults.json 2-site.json 3-local.json \
    --set server.tls.enabled=false --explain)
echo
echo "== examples/layered_config.py"
run_checked "$vpy" "$root/examples/layered_config.py"

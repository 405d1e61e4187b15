#!/usr/bin/env bash
# Checks that the C++ sources are laid out as .clang-format says, with the
# clang-format release it was written against (another may wrap long lines
# differently).
#
# Usage: scripts/check-format.sh [--fix]
#   --fix rewrites the files instead of reporting them.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
version=19.1.7
venv=$root/build/venv-format
if ! "$venv/bin/clang-format" --version 2>/dev/null | grep -q " $version"; then
    rm -rf "$venv"
    python3 -m venv "$venv"
    "$venv/bin/python" -m pip install -q "clang-format==$version"
fi
cd "$root"
files=(src/calvoro/*.cpp src/calvoro/*.hpp src/calvoro/boundary/*/*.cpp
       src/calvoro/boundary/*/*.hpp)
if [ "${1:-}" = --fix ]; then
    "$venv/bin/clang-format" -i "${files[@]}"
else
    "$venv/bin/clang-format" --dry-run -Werror "${files[@]}"
    echo "C++ layout: ${#files[@]} files as .clang-format says"
fi

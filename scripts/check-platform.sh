#!/usr/bin/env bash
# Builds calvoro for another platform and tests it as well as this machine
# can: by emulation (qemu-user, wine), on an interpreter built for it (musl),
# or by compiling and linking alone (macOS). Each check installs what it
# needs, builds in a copy of the tree, and ends with one verdict line.
#
# Usage: scripts/check-platform.sh NAME [PYTEST ARGS...]
#   clang     this machine's interpreter, the modules built by clang
#   aarch64   Linux aarch64 (glibc): a manylinux2014 wheel, cross-built,
#             tested under qemu-user with Debian's arm64 CPython
#   musl      Linux x86_64 (musl): a musllinux_1_2 wheel, tested on a musl
#             CPython built from source
#   macos     macOS arm64 and x86_64: compiled and linked
#   windows   Windows x64: built, and tested under wine
# PYTEST ARGS replace the check's default selection of tests.
# Exit status: 0 passed, 1 failed, 77 skipped (a prerequisite could not be
# had here; the verdict line says which).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
name=${1:-}
[ -n "$name" ] && [ -f "$here/platform/$name.sh" ] || usage
shift
exec bash "$here/platform/$name.sh" "$@"

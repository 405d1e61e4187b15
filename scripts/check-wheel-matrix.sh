#!/usr/bin/env bash
# Checks, offline, that .github/workflows/wheels.yml builds exactly the
# promised wheels: each pinned release of the builder named there is
# installed into a throwaway environment under build/ and asked, for each
# runner of its job and with that job's CIBW_* variables, which builds it
# would make; the union must be the promised list below, each build made
# once, and each free-threaded one tested after an import that must leave
# the GIL off. Needs PyPI for the installs, nothing else (no containers).
#
# Usage: bash scripts/check-wheel-matrix.sh   (PYTHON: an interpreter, 3.11+)
set -euo pipefail

cd "$(dirname "$0")/.."
workflow=.github/workflows/wheels.yml
pyyaml=PyYAML==6.0.3
work=build/wheel-matrix

fail() {
    echo "wheel matrix: FAIL: $*"
    exit 1
}

# The current builder runs on 3.11 and newer only.
python=
for py in ${PYTHON:-} python3 python3.15 python3.14 python3.13 python3.12 python3.11; do
    if command -v "$py" >/dev/null 2>&1 &&
        "$py" -c 'import sys; sys.exit(sys.version_info < (3, 11))' 2>/dev/null; then
        python=$py
        break
    fi
done
[ -n "$python" ] || fail "no Python 3.11 or newer found (set PYTHON)"

# Each builder step, as "ref version": a tag vX.Y.Z, or a commit with the
# tag in the trailing comment, as pinned actions are written.
pins=()
while read -r ref comment; do
    case "$ref" in
        v*) version=${ref#v} ;;
        *) version=${comment#v} ;;
    esac
    [[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] ||
        fail "$workflow: pypa/cibuildwheel@$ref is not pinned to an exact release"
    pins+=("$ref=$version")
done < <(sed -nE 's/^[[:space:]-]*uses:[[:space:]]*pypa\/cibuildwheel@([^[:space:]#]+)[[:space:]]*(#[[:space:]]*([^[:space:]]+))?.*$/\1 \3/p' "$workflow")
[ ${#pins[@]} -gt 0 ] || fail "$workflow has no pypa/cibuildwheel step"
versions=$(printf '%s\n' "${pins[@]#*=}" | sort -uV)

# The installs are independent: run them side by side.
rm -rf "$work"
mkdir -p "$work"
pids=()
for version in $versions; do
    (
        venv=$work/cibuildwheel-$version
        "$python" -m venv "$venv"
        "$venv/bin/python" -m pip install -q --disable-pip-version-check \
            "cibuildwheel==$version" "$pyyaml"
    ) >"$work/install-$version.log" 2>&1 &
    pids+=("$!")
done
i=0
for version in $versions; do
    if ! wait "${pids[$i]}"; then
        cat "$work/install-$version.log" >&2
        fail "could not install cibuildwheel $version from PyPI"
    fi
    i=$((i + 1))
done

first=$(printf '%s\n' $versions | head -n1)
rc=0
"$work/cibuildwheel-$first/bin/python" - "$workflow" "$work" "${pins[@]}" <<'PY' || rc=$?
import fnmatch
import os
import re
import subprocess
import sys
import tomllib

import yaml

# The promise: every supported CPython on each of these platforms, save
# where no interpreter exists to build with (CPython has no arm64 macOS
# release before 3.8), and the free-threaded ones from 3.14 (3.13t is not
# supported). The README names the same builds.
PYTHONS = ["36", "37", "38", "39", "310", "311", "312", "313", "314", "315",
           "314t", "315t"]
PLATFORMS = ["manylinux_x86_64", "manylinux_aarch64", "musllinux_x86_64",
             "musllinux_aarch64", "macosx_x86_64", "macosx_arm64",
             "win_amd64"]
UNBUILDABLE = {"cp36-macosx_arm64", "cp37-macosx_arm64"}
PROMISED = {"cp%s-%s" % (py, plat) for py in PYTHONS for plat in PLATFORMS
            } - UNBUILDABLE
# manylinux2014 is the promised glibc floor (2.17)
IMAGES = {"manylinux-x86_64-image": "manylinux2014",
          "manylinux-aarch64-image": "manylinux2014",
          "musllinux-x86_64-image": "musllinux_1_2",
          "musllinux-aarch64-image": "musllinux_1_2"}
RUNNER_PLATFORMS = {"ubuntu": "linux", "macos": "macos", "windows": "windows"}
MATRIX_REF = re.compile(r"\$\{\{\s*matrix\.([A-Za-z0-9_-]+)\s*\}\}")

workflow_path, work = sys.argv[1:3]
versions = dict(pin.split("=", 1) for pin in sys.argv[3:])
problems = []


def fail(message):
    print("wheel matrix: FAIL: " + message)
    sys.exit(1)


def substitute(value, entry, where):
    def one(match):
        if match.group(1) not in entry:
            fail("%s: no matrix.%s in its runner entry" % (where, match.group(1)))
        return str(entry[match.group(1)])
    value = MATRIX_REF.sub(one, str(value))
    if "${{" in value:
        fail("%s: %r needs more than matrix values to resolve" % (where, value))
    return value


with open(workflow_path, encoding="utf-8") as f:
    workflow = yaml.safe_load(f)
with open("pyproject.toml", "rb") as f:
    config = tomllib.load(f).get("tool", {}).get("cibuildwheel", {})
# Overrides may change how a build is tested, not what this check reads.
for override in config.get("overrides") or []:
    for option in sorted(set(override) & set(IMAGES)):
        problems.append("pyproject.toml: an override sets %s, which this "
                        "check does not read" % option)
# every promised build runs the suite
if not config.get("test-command"):
    problems.append("pyproject.toml has no test-command")
if config.get("test-skip"):
    problems.append("pyproject.toml: test-skip is %r" % config["test-skip"])

built = {}
counts = {}
for job_name, job in (workflow.get("jobs") or {}).items():
    for step in job.get("steps") or []:
        uses = step.get("uses", "")
        if not uses.startswith("pypa/cibuildwheel@"):
            continue
        where = "job %s" % job_name
        version = versions[uses.split("@", 1)[1]]
        inputs = set(step.get("with") or {}) - {"output-dir"}
        if inputs:
            fail("%s: builder inputs %s are not read by this check"
                 % (where, ", ".join(sorted(inputs))))
        matrix = (job.get("strategy") or {}).get("matrix") or {}
        if set(matrix) - {"include"}:
            fail("%s: the matrix must be a plain include list" % where)
        for entry in matrix.get("include") or [{}]:
            runner = substitute(job["runs-on"], entry, where)
            platform = RUNNER_PLATFORMS.get(runner.split("-", 1)[0])
            if platform is None:
                fail("%s: no platform known for runner %s" % (where, runner))
            env = {}
            for scope in (workflow, job, step):
                for key, value in (scope.get("env") or {}).items():
                    if key.startswith("CIBW_"):
                        env[key] = substitute(value, entry, where)
            if env.get("CIBW_TEST_SKIP") or "CIBW_TEST_COMMAND" in env:
                fail("%s: the tests are configured in pyproject.toml only"
                     % where)
            if "CIBW_ARCHS" not in env:
                # the default, auto, would be this machine's architecture
                fail("%s: set CIBW_ARCHS on every runner" % where)
            for option, image in IMAGES.items():
                key = "CIBW_" + option.upper().replace("-", "_")
                actual = env.get(key, config.get(option))
                message = "%s: %s is %s, not %s" % (where, option, actual, image)
                if actual != image and message not in problems:
                    problems.append(message)
            archs = env.pop("CIBW_ARCHS")
            child_env = {k: v for k, v in os.environ.items()
                         if not k.startswith("CIBW_")}
            child_env.update(env)
            command = [os.path.join(work, "cibuildwheel-" + version, "bin",
                                    "cibuildwheel"),
                       "--print-build-identifiers", "--platform", platform,
                       "--archs", archs]
            proc = subprocess.run(command, env=child_env, capture_output=True,
                                  text=True)
            if proc.returncode != 0:
                sys.stderr.write(proc.stdout + proc.stderr)
                fail("cibuildwheel %s for %s on %s exited %d"
                     % (version, where, runner, proc.returncode))
            identifiers = proc.stdout.split()
            print("  cibuildwheel %-7s %-14s %-17s %-8s %2d builds"
                  % (version, job_name, runner, archs, len(identifiers)))
            counts[version] = counts.get(version, 0) + len(identifiers)
            for identifier in identifiers:
                built.setdefault(identifier, []).append(
                    "%s on %s" % (job_name, runner))


# A free-threaded build is tested only after an import that must leave the
# GIL off: the test-command that applies to it, the last override whose
# select matches it having the say, as for the builder.
def test_command(identifier):
    command = config.get("test-command")
    for override in config.get("overrides") or []:
        patterns = str(override.get("select", "")).split()
        if "test-command" in override and any(
                fnmatch.fnmatch(identifier, p) for p in patterns):
            command = override["test-command"]
    return command if isinstance(command, str) else " && ".join(command or [])


untested_gil = [i for i in built if re.match(r"cp\d+t-", i)
                and "_is_gil_enabled()" not in test_command(i)]


def in_order(identifiers):
    # cp36 before cp310
    return sorted(identifiers, key=lambda i: (
        int(re.match(r"\D*(\d+)", i).group(1)), i))


missing = in_order(PROMISED - set(built))
unpromised = in_order(set(built) - PROMISED)
twice = in_order(i for i, runs in built.items() if len(runs) > 1)
if missing:
    problems.append("missing " + " ".join(missing))
if unpromised:
    problems.append("unpromised " + " ".join(unpromised))
if twice:
    problems.append("built more than once " + " ".join(twice))
if untested_gil:
    problems.append("free-threaded builds not checked to leave the GIL off "
                    + " ".join(in_order(untested_gil)))
if problems:
    fail("; ".join(problems))
print("wheel matrix: OK: the %d promised builds, each once (%s)"
      % (len(PROMISED), ", ".join("cibuildwheel %s: %d" % vc
                                  for vc in sorted(counts.items()))))
PY
exit "$rc"

"""Every public function, with each allocation of the call failing in turn:
no crash, MemoryError raised or (tightfold in place) reported, the inputs
consistent and their reference counts right, nothing leaked.

Each sweep runs in its own interpreter (out_of_memory_sweep.py), restarted
after the point that crashed it. A point where the host itself breaks is
skipped, and counted in the line the run prints, only when a control
without the modules breaks the same way: deepcopy called alone at the
same point, the same merge written in plain Python swept the same way, or
PyDict_SetDefault called through the host's test module.
"""
import collections
import json
import os
import re
import subprocess
import sys

import pytest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                      "out_of_memory_sweep.py")

FUNCTIONS = {
    "anyfold": ["merge", "merge_inplace", "merge_many",
                "merge_many_inplace", "_rmerge"],
    "tightfold": ["merge", "merge_inplace", "merge_many",
                  "merge_many_inplace"],
}
CASES = ["nested", "object keys", "failing", "mappings"]
# The same allocations in every run: str hashes decide when dicts grow.
ENV = dict(os.environ, PYTHONHASHSEED="0")

pytestmark = pytest.mark.skipif(
    subprocess.call([sys.executable, "-c", "import _testcapi"],
                    stderr=subprocess.DEVNULL) != 0,
    reason="needs _testcapi")


def crash_site(stderr):
    """The file of the innermost Python frame of faulthandler's dump, or
    "native" when it is the sweep's own."""
    match = re.search(r'most recent call first\):\n\s+File "([^"]+)", '
                      r'line \d+ in (\S+)', stderr)
    if not match or match.group(1) == SCRIPT:
        return "native"
    return os.path.basename(match.group(1))


def run_sweep(*args, crashes_wanted=None):
    """The sweep's report, with the points that crashed it added to its
    anomalies; restarts after each crash, or ends at the crash wanted."""
    resume, crashes, reports = -1, [], []
    while len(crashes) != crashes_wanted:
        proc = subprocess.run(
            [sys.executable, "-X", "faulthandler", SCRIPT] + list(args) +
            [str(resume)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            universal_newlines=True, env=ENV)
        lines = proc.stdout.splitlines()
        if proc.returncode == 0 and lines and lines[-1].startswith("{"):
            report = json.loads(lines[-1])
            break
        points = [int(line.split()[1]) for line in lines
                  if line.startswith("point ")]
        assert points, "sweep failed before any point:\n" + proc.stderr
        resume = points[-1]
        crashes.append([resume, "crash", crash_site(proc.stderr)])
        reports.append(proc.stderr[-2000:])
    else:
        report = {"failures": [], "anomalies": []}
    report["anomalies"] = crashes + report["anomalies"]
    report["tried"] = report.get("tried", 0) + len(crashes)
    report["crash reports"] = reports
    return report


_controls = {}
_probe = []


def native_breaks():
    """How PyDict_SetDefault breaks when its growth fails."""
    if not _probe:
        proc = subprocess.run(
            [sys.executable, "-X", "faulthandler", SCRIPT, "--probe"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            universal_newlines=True, env=ENV)
        lines = proc.stdout.splitlines()
        if proc.returncode == 0 and lines:
            _probe.append({(kind, where) for _, kind, where
                           in json.loads(lines[-1])["anomalies"]})
        else:
            _probe.append({("crash", "native")})
    return _probe[0]


def host_breaks(module_name, function, case):
    """How the plain-Python counterpart of the call broke, by operation."""
    key = module_name, function, case
    if key not in _controls:
        # a host that corrupts its memory may crash at every point after
        report = run_sweep("--control", *key, crashes_wanted=3)
        _controls[key] = {(kind, where)
                          for _, kind, where in report["anomalies"]}
    return _controls[key]


def python_function_breaks(case):
    """How the controls of every call of `case` broke: a Python function
    that returns NULL without an exception is the interpreter's fault,
    whichever call's allocation happens to meet it."""
    return set().union(*(host_breaks(module_name, function, case)
                         for module_name in sorted(FUNCTIONS)
                         for function in FUNCTIONS[module_name]))


def explained(anomaly, breaks_of):
    """Whether the host broke, `breaks_of()` giving how its controls broke.
    What a failure inside deepcopy left wrong the sweep has compared with
    deepcopy alone. A crash in the standard library's Python code must
    recur in the control in the same file; a SystemError must name the same
    callable. A host call made by native code leaves no Python frame to
    name it: a crash there (which may come after the call that corrupted
    memory), or a native function returning a result with the host's
    exception set, is the host's when a control shows the host crashing in
    native code too, or a built-in of the host breaking its promise."""
    _, kind, where = anomaly
    if kind == "as deepcopy alone":
        return True
    if kind == "SystemError" and where.startswith(
            "_PyEval_EvalFrameDefault returned NULL"):
        # the evaluation loop's own complaint about a Python frame (up to
        # 3.10): a native function, ours included, that broke its promise
        # would be named instead
        return True
    breaks = breaks_of()
    if (kind, where) in breaks:
        return True
    native = (kind == "crash" and where == "native") or (
        kind == "SystemError" and where.startswith("<built-in function"))
    return native and any(
        (k == "crash" and w == "native") or
        (k == "SystemError" and w.startswith("<built-in"))
        for k, w in breaks)


@pytest.fixture(scope="module")
def tally(request):
    figures = {"tried": 0, "host": []}
    yield figures
    plugins = request.config.pluginmanager
    reporter = plugins.getplugin("terminalreporter")
    capture = plugins.getplugin("capturemanager")
    if reporter is not None and capture is not None:
        host = ["%d %s" % (count, kind) for kind, count
                in sorted(collections.Counter(figures["host"]).items())]
        with capture.global_and_fixture_disabled():
            reporter.write_line("")
            reporter.write_line(
                "allocation failures on Python %d.%d: %d points tried, "
                "%d host failures skipped%s" % (
                    sys.version_info[0], sys.version_info[1],
                    figures["tried"], len(figures["host"]),
                    " (%s)" % "; ".join(host) if host else ""))


@pytest.mark.parametrize("module_name, function, case", [
    (module_name, function, case) for module_name in sorted(FUNCTIONS)
    for function in FUNCTIONS[module_name] for case in CASES])
def test_each_allocation_failing_in_turn(module_name, function, case,
                                         tally):
    report = run_sweep(module_name, function, case)
    tally["tried"] += report["tried"]
    unexplained = []
    for anomaly in report["anomalies"]:
        in_python = anomaly[1] == "SystemError" and \
            anomaly[2].startswith("<function ")
        if explained(anomaly, lambda: native_breaks() | (
                python_function_breaks(case) if in_python else
                host_breaks(module_name, function, case))):
            tally["host"].append("%s at %s" % tuple(anomaly[1:]))
        else:
            unexplained.append(anomaly)
    assert report["failures"] == []
    assert unexplained == [], "\n".join(report["crash reports"])

"""Failures that tightfold's in-place routines cannot pass on: each shows the
traceback printer's report and the interpreter's unraisable report on
standard error, is recorded in sys.last_*, and the call goes on."""
import json
import sys

import pytest

from helpers import run_script

FILE = "src/calvoro/tightfold"
INPLACE = "calvoro.tightfold.merge_inplace"
MANY_INPLACE = "calvoro.tightfold.merge_many_inplace"
NOT_ITERABLE = "TypeError: 'NoneType' object is not iterable"
TOO_SHORT = "Exception: List len should be at least 2"
HAS_HOOK = hasattr(sys, "unraisablehook")

SCRIPT = r'''
import json, sys, traceback
import calvoro.tightfold as t

class S(dict):
    pass

class BadKey:
    armed = False
    def __hash__(self):
        if self.armed:
            raise ValueError("bad hash")
        return 1

def entries(tb):
    return [[f.lineno, f.name] for f in traceback.extract_tb(tb)
            if f.filename == "src/calvoro/tightfold"]

hooks = []
if hasattr(sys, "unraisablehook"):
    def hook(unraisable):
        hooks.append(unraisable)
        sys.__unraisablehook__(unraisable)
    sys.unraisablehook = hook

def partial():
    bad = BadKey()
    a = {"a": 1, "k": {"x": {"y": 0}}}
    b = {"b": 2, "k": {"w": 1, "x": {"p": 1, bad: 0, "q": 2}, "v": 3}, "c": 3}
    bad.armed = True
    return t.merge_inplace(a, b), a

def shrunk():
    class Shrinking:
        armed = False
        def __hash__(self):
            if self.armed:
                self.armed = False
                dicts.pop()
            return 2
    d0, key = {}, Shrinking()
    dicts = [d0, {"a": 1}, {key: 1}, {"b": 2}]
    key.armed = True
    return t.merge_many_inplace(dicts), [k for k in d0 if k == "a"]

def many_inplace(dicts):
    return t.merge_many_inplace(dicts), dicts[0] if dicts else None

def nested_subclass():
    d1 = S(n=1)
    result = t.merge_many([{}, {"k": d1}, {"k": {}}])
    return result, result["k"] is d1

SCENARIOS = {
    "inplace-first-none": lambda: (t.merge_inplace(None, {"a": 1}), None),
    "inplace-second-none": lambda: (t.merge_inplace({}, None), None),
    "inplace-none-empty": lambda: (t.merge_inplace(None, {}), None),
    "inplace-partial": partial,
    "many-none-element": lambda: (
        t.merge_many([{"a": 1}, None, {"b": 2}]), None),
    "many-subclass-nested": lambda: nested_subclass(),
    "many-inplace-none-element": lambda: many_inplace(
        [{"a": 1}, None, {"b": 2}]),
    "many-inplace-none": lambda: (t.merge_many_inplace(None), None),
    "many-inplace-empty": lambda: many_inplace([]),
    "many-inplace-one": lambda: many_inplace([{}]),
    "many-inplace-bad-element": lambda: many_inplace(
        [{"a": 1}, {"b": 2}, 5, {"c": 3}]),
    "many-inplace-list-element": lambda: many_inplace([{"a": 1}, []]),
    "many-inplace-shrunk": shrunk,
}

out = {}
args_seen = []
for name in sys.argv[1:]:
    for attr in ("last_type", "last_value", "last_traceback"):
        sys.__dict__.pop(attr, None)
    del hooks[:]
    sys.stderr.write("@@@ %s\n" % name)
    result, state = SCENARIOS[name]()
    value = getattr(sys, "last_value", None)
    out[name] = {
        "result": repr(result),
        "state": repr(state),
        "last": None if value is None else [
            sys.last_type is type(value), type(value).__name__, str(value),
            entries(sys.last_traceback)],
        "hooks": [[h.exc_type.__name__, str(h.exc_value), h.err_msg,
                   h.object, entries(h.exc_traceback),
                   h.exc_value is value] for h in hooks],
    }
    args_seen.extend(h.exc_value.args for h in hooks
                     if type(h.exc_value) is Exception)
out["shared-args"] = len(args_seen) == 2 and args_seen[0] is args_seen[1]
print(json.dumps(out))
'''

# name: (result, state afterwards, reports: [(context, exception line,
# the lines of the module's entries, outermost first)])
CASES = {
    "inplace-first-none": ("None", "None", [(INPLACE, NOT_ITERABLE, [15])]),
    "inplace-second-none": ("None", "None", [(INPLACE, NOT_ITERABLE, [13])]),
    "inplace-none-empty": ("None", "None", []),
    "inplace-partial": (
        "None", "{'a': 1, 'k': {'x': {'y': 0, 'p': 1}, 'w': 1}, 'b': 2}",
        [(INPLACE, "ValueError: bad hash", [19, 19, 15])]),
    "many-none-element": ("{'a': 1, 'b': 2}", "None",
                          [(INPLACE, NOT_ITERABLE, [13])]),
    "many-subclass-nested": ("{'k': {'n': 1}}", "True",
                             [(INPLACE, "TypeError: Expected dict, got S",
                               [19])]),
    "many-inplace-none-element": ("None", "{'a': 1, 'b': 2}",
                                  [(INPLACE, NOT_ITERABLE, [13])]),
    "many-inplace-none": ("None", "None", [(
        MANY_INPLACE, "TypeError: object of type 'NoneType' has no len()",
        [])]),
    "many-inplace-empty": ("None", "None", [(MANY_INPLACE, TOO_SHORT, [])]),
    "many-inplace-one": ("None", "{}", [(MANY_INPLACE, TOO_SHORT, [])]),
    "many-inplace-bad-element": ("None", "{'a': 1, 'b': 2}", [(
        MANY_INPLACE, "TypeError: Expected dict, got int", [])]),
    "many-inplace-list-element": ("None", "{'a': 1}", [(
        MANY_INPLACE, "TypeError: Expected dict, got list", [])]),
    "many-inplace-shrunk": ("None", "['a']",
                            [(MANY_INPLACE, "IndexError", [])]),
}


def frame_line(line):
    return '  File "%s", line %d, in calvoro.tightfold.%s' % (
        FILE, line, "_rmerge")


def index_error_line():
    try:
        [][0]
    except IndexError as exc:
        return "IndexError: %s" % exc


def split_reports(text):
    """[(printer's lines, context line, unraisable report's lines)]."""
    lines, reports = text.splitlines(), []
    while lines:
        blocks = []
        for _ in range(2):
            block = []
            while True:
                line = lines.pop(0)
                block.append(line)
                if not (line.startswith(" ")
                        or line == "Traceback (most recent call last):"
                        or line.startswith("Exception ignored in: ")):
                    break
            blocks.append(block)
        printer, (context, *report) = blocks
        reports.append((printer, context, report))
    return reports


@pytest.fixture(scope="module")
def run():
    proc = run_script(SCRIPT, *CASES)
    sections = proc.stderr.split("@@@ ")[1:]
    stderr = dict(s.split("\n", 1) for s in sections)
    return json.loads(proc.stdout), stderr


def expected_reports(name):
    result, state, reports = CASES[name]
    return [(context, index_error_line() if line == "IndexError" else line,
             lines) for context, line, lines in reports]


@pytest.mark.parametrize("name", list(CASES))
def test_reports_on_stderr(run, name):
    reports = split_reports(run[1][name])
    expected = expected_reports(name)
    assert len(reports) == len(expected)
    for (printer, context, report), (ctx, exc_line, lines) in zip(
            reports, expected):
        frames = [frame_line(n) for n in lines]
        header = ["Traceback (most recent call last):"] if frames else []
        # then the frames of Python code that raised, if any
        assert printer[:len(header + frames)] == header + frames
        assert printer[-1] == exc_line
        assert [l for l in printer if FILE in l] == frames
        if not frames:
            assert printer == [exc_line]
        assert context == "Exception ignored in: %r" % ctx
        assert report[-1] == exc_line
        # the interpreter may add the caller's frame where none was added
        assert [l for l in report if FILE in l] == frames


@pytest.mark.parametrize("name", list(CASES))
def test_call_goes_on_and_records_last(run, name):
    result, state, _ = CASES[name]
    record, expected = run[0][name], expected_reports(name)
    assert (record["result"], record["state"]) == (result, state)
    if not expected:
        assert record["last"] is None
        return
    ctx, exc_line, lines = expected[-1]
    same_type, type_name, message, entries = record["last"]
    assert same_type and "%s: %s" % (type_name, message) == exc_line
    assert entries == [[n, "calvoro.tightfold._rmerge"] for n in lines]


@pytest.mark.skipif(not HAS_HOOK, reason="no sys.unraisablehook")
@pytest.mark.parametrize("name", list(CASES))
def test_unraisablehook_arguments(run, name):
    hooks = run[0][name]["hooks"]
    expected = expected_reports(name)
    assert len(hooks) == len(expected)
    for hook, (ctx, exc_line, lines) in zip(hooks, expected):
        type_name, message, err_msg, obj, entries, is_last = hook
        assert "%s: %s" % (type_name, message) == exc_line
        assert err_msg is None and obj == ctx
        assert entries == [[n, "calvoro.tightfold._rmerge"] for n in lines]
    if hooks:
        assert hooks[-1][-1], "sys.last_value is the last one reported"


@pytest.mark.skipif(not HAS_HOOK, reason="no sys.unraisablehook")
def test_length_error_shares_its_arguments(run):
    assert run[0]["shared-args"]


def test_system_exit_ends_the_process():
    proc = run_script('''
        import calvoro.tightfold as t

        class Leave:
            armed = False
            def __hash__(self):
                if self.armed:
                    raise SystemExit(3)
                return 1

        key = Leave()
        second = {key: 1}
        key.armed = True
        t.merge_inplace({}, second)
        print("went on")
    ''', check=False)
    assert proc.returncode == 3
    assert proc.stdout == "" and "Exception ignored" not in proc.stderr

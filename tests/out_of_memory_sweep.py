"""Calls one function on one input case with each allocation failing in
turn, and checks what is left after each call. Run in its own interpreter
by test_out_of_memory.py, so that a crash ends this process only.

    python out_of_memory_sweep.py MODULE FUNCTION CASE RESUME
    python out_of_memory_sweep.py --control MODULE FUNCTION CASE RESUME
    python out_of_memory_sweep.py --probe

The first sweeps the module's function, the second its plain-Python
counterpart (noting only where the host breaks), from the point after
RESUME (-1: the first). The last tries PyDict_SetDefault alone. Prints
"point N" before each point and one JSON line at the end; a process that
dies leaves its last point as the one that crashed it.
"""
import collections
import copy
import gc
import importlib
import json
import os
import re
import sys
import weakref

import _testcapi

from helpers import object_graph, quiet_reports

# A sweep ends after this many points in a row that fail nothing the call
# notices (past its last allocation, the failure lands after it).
CLEAN_STREAK = 6
# Every point up to here, then every STRIDE-th: copying merges run deepcopy,
# whose allocations outnumber the merge's own many times over.
FULL_POINTS = 200
STRIDE = 5
LAST_POINT = 4000


def next_point(point, stride=STRIDE):
    if point < 0:
        return 0
    return point + (1 if point < FULL_POINTS else stride)


class Marker:
    """A value or key equal by name, whose every instance, copies included,
    is watched for a leak."""

    made = []

    def __new__(cls, *args):
        obj = super().__new__(cls)
        cls.made.append(weakref.ref(obj))
        return obj

    def __init__(self, name):
        self.name = name

    def __eq__(self, other):
        return type(other) is Marker and other.name == self.name

    def __hash__(self):
        return hash(self.name)

    def __repr__(self):
        return "Marker(%r)" % (self.name,)


class FailingKey:
    """Collides with every other FailingKey; comparing them fails."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return 7

    def __eq__(self, other):
        if self is other:
            return True
        raise ValueError("no comparison")


class OrderedMapping(collections.OrderedDict):
    """A mapping that is no exact dict, for anyfold's generic path."""


def wide(prefix, count):
    # enough new keys to make the first dict grow, more than once
    return {"%s%d" % (prefix, i): i for i in range(count)}


def nested():
    first = {"a": 1, "n": {"x": [1, 2], "y": "s", "m": Marker("m")},
             3: None, "t": (1.5, Marker("t"))}
    second = {"b": 2.5, "n": {"y": "t", "z": {"q": Marker("q")}},
              3: {"new": [1]}, "t": {"now": "dict"}}
    second.update(wide("k", 12))
    second["n"].update(wide("j", 6))
    third = {"n": {"z": {"r": 1.25}, "x": Marker("x")}, "c": Marker("c")}
    return [first, second, third]


def object_keys():
    # keys that run code when hashed and compared: nothing is fused
    first = {Marker("a"): {"x": 1, Marker("b"): [0]}, "s": 1}
    second = {Marker("a"): {Marker("b"): {"c": 2}, "y": 2.5},
              Marker("d"): (Marker("e"),), "s": {"t": 1}}
    second.update(wide("k", 8))
    third = {Marker("a"): {"x": Marker("x")}, 4: 4.5}
    return [first, second, third]


def failing():
    # merges some keys, then fails comparing two keys of one level
    first = {"a": 1, "n": {"x": 1, FailingKey("f"): 0}, "z": 2}
    second = {"b": 2.5, "c": Marker("c"),
              "n": {"y": Marker("y"), FailingKey("g"): 1, "w": 2}, "z": 3}
    third = {"d": 4}
    return [first, second, third]


def mappings():
    first = OrderedMapping([("a", 1), ("n", {"x": 1})])
    second = OrderedMapping([("b", Marker("b")), ("n", {"y": 2.5})])
    second.update(wide("k", 8))
    third = {"n": {"z": 3}, "c": Marker("c")}
    return [first, second, third]


CASES = {
    "nested": nested,
    "object keys": object_keys,
    "failing": failing,
    "mappings": mappings,
}

PAIR = ("merge", "merge_inplace", "_rmerge")
COPYING = ("merge", "merge_many", "deepcopy")


def call_of(function, dicts):
    """The call with its arguments bound now, so that making the call
    allocates nothing of the harness's own."""
    if function == "deepcopy":
        return (dicts[0],)
    if function in PAIR:
        return dicts[0], dicts[1]
    return (dicts,)


# --- what the inputs hold ---------------------------------------------------

WATCHED = (dict, list, tuple, float, Marker, FailingKey, OrderedMapping)


def same_key(a, b):
    return a is b or (type(a) is type(b) and
                      getattr(a, "name", a) == getattr(b, "name", b))


class Snapshot:
    """The items of every dict of the inputs, and the reference counts of
    every watched object, before the call."""

    def __init__(self, dicts, shared):
        self.roots = [dicts]
        del dicts
        objects, self.held = object_graph(self.roots)
        self.items = {key: list(dict.items(obj))
                      for key, obj in objects.items()
                      if isinstance(obj, dict)}
        self.offered = [item for items in self.items.values()
                        for item in items]
        # what the call looks up and drops again, with no count to move
        self.watched = [obj for obj in objects.values()
                        if type(obj) in WATCHED and not immortal(obj)]
        self.watched += list(shared)
        self.containers = [obj for obj in objects.values()
                           if isinstance(obj, (dict, list, tuple))]
        self.counts = None

    def count(self):
        """Takes the reference counts: outside __init__, whose argument
        tuple holds the inputs."""
        self.counts = refcounts(self.watched)

    def problems(self, unchanged):
        """What makes the inputs now inconsistent: a dict lost a key or its
        order, or maps a key to a value that no input offered for it, or
        (`unchanged`, a set of ids) changed at all; a reference count moved
        by other than the references the inputs gained or lost."""
        found = []
        counts = refcounts(self.watched)
        # what the inputs dropped still holds its own references
        objects, held = object_graph(self.roots + self.containers)
        for i in range(len(self.watched)):
            gained = held[id(self.watched[i])] - self.held[id(self.watched[i])]
            if counts[i] - self.counts[i] != gained:
                found.append("reference count of %r moved by %d, not %d" % (
                    self.watched[i], counts[i] - self.counts[i], gained))
        for key, before in self.items.items():
            if key in objects:
                found.extend(self.dict_problems(
                    objects[key], before, key in unchanged))
        return found

    def dict_problems(self, obj, before, unchanged):
        now = list(dict.items(obj))
        if unchanged and (len(now) != len(before) or not all(
                a[0] is b[0] and a[1] is b[1] for a, b in zip(now, before))):
            return ["argument changed: %r" % (obj,)]
        if len(now) < len(before) or not all(
                a[0] is b[0] for a, b in zip(now, before)):
            return ["keys lost or reordered: %r" % (obj,)]
        found = []
        for position, (key, value) in enumerate(now):
            if position < len(before) and value is before[position][1]:
                continue
            if not any(same_key(key, k) and value is v
                       for k, v in self.offered):
                found.append("key %r holds %r, offered by no input"
                             % (key, value))
        return found


# Whose count never moves: the free-threaded builds make a code object's
# constants immortal (3.14 tells which).
immortal = getattr(sys, "_is_immortal", lambda obj: False)


def refcounts(objects):
    return [sys.getrefcount(obj) for obj in objects]


# --- one point --------------------------------------------------------------

def state(dicts, function, result):
    """What the call made: its result, or the first dict when in place."""
    if function in COPYING:
        return result
    return dicts[0]


def plain_form(obj):
    """A comparable form that holds no reference to what it describes."""
    if isinstance(obj, dict):
        return (type(obj).__name__,
                [(plain_form(k), plain_form(v)) for k, v in obj.items()])
    if isinstance(obj, (list, tuple)):
        return (type(obj).__name__, [plain_form(v) for v in obj])
    return repr(obj)


def run_point(call, function, build, point, shared=()):
    """Returns the outcome of the call at `point` (what it raised, what it
    reported), the form of what it made, the message of its error and the
    file where it arose, and the problems found."""
    dicts = build()
    unchanged = set()
    if function in COPYING:
        unchanged.add(id(dicts[0]))
    snapshot = Snapshot(dicts, shared)
    snapshot.count()
    args = call_of(function, dicts)
    set_nomemory = _testcapi.set_nomemory
    remove_mem_hooks = _testcapi.remove_mem_hooks
    result = None
    with quiet_reports() as reports:
        try:
            set_nomemory(point, point + 1)
            result = call(*args)
        except BaseException as exc:
            remove_mem_hooks()
            outcome = type(exc).__name__
            message = str(exc)
            where = failing_file(exc)
        else:
            remove_mem_hooks()
            outcome = "returned"
            message = where = None
        reported = type(reports.last).__name__ if reports.count else None
        if reports.count and outcome != "SystemError":
            message, where = str(reports.last), failing_file(reports.last)
        reports.last = None
    form = plain_form(state(dicts, function, result))
    del args, result
    gc.collect()
    problems = snapshot.problems(unchanged)
    # what is left now lives by its reference counts alone
    del dicts, snapshot
    alive = [ref() for ref in Marker.made if ref() is not None]
    if alive:
        problems.append("leaked: %r" % (alive,))
    del alive
    Marker.made[:] = []
    return (outcome, reported), form, (message, where), problems


def failing_file(exc):
    """The file of the innermost traceback entry: where the error arose."""
    tb = exc.__traceback__
    while tb is not None and tb.tb_next is not None:
        tb = tb.tb_next
    return os.path.basename(tb.tb_frame.f_code.co_filename) if tb else None


def without_addresses(text):
    return re.sub(r" at 0x[0-9a-fA-F]+", "", text)


def host_anomaly(outcome, error):
    """The host's broken promise at one point, as (kind, where): its
    SystemError, for a call that returned a result with an exception set
    or none without one, named by the callable."""
    if "SystemError" in outcome:
        return ["SystemError", without_addresses(error[0])]
    return None


# How far apart the same allocation may be in two ways of making a call:
# a copying merge may first try a native copy of plain data, whose
# allocations then come before the real deepcopy's.
NEAR = 2
BEFORE = 64


def left_by_deepcopy(build, point, outcome, error, problems, shared):
    """Whether a failure inside deepcopy ended as deepcopy called alone
    ends at about the same point (the modules call it before anything of
    their own but a native copy they may try first, with no Python frame
    between):
    the same problems left, the same error other than MemoryError."""
    def faults(outcome, error, problems):
        raised = [] if outcome[0] in ("returned", "MemoryError") else [
            "raised %s: %s" % (outcome[0], error[0])]
        return set(map(without_addresses, problems + raised))

    if error[1] != "copy.py":
        return False
    found = faults(outcome, error, problems)
    # nearest first: most failures match at once
    nearby = sorted(range(max(point - BEFORE, 0), point + NEAR + 1),
                    key=lambda near: abs(near - point))
    for near in nearby:
        control = run_point(copy.deepcopy, "deepcopy", build, near, shared)
        if found <= faults(control[0], control[2], control[3]):
            return True
    return False


def judge(outcome, form, expected):
    """What is wrong with the outcome of one point, if anything."""
    (raised, reported), (normal, normal_form) = outcome, expected
    allowed = {"MemoryError"} | {name for name in normal if name}
    allowed.discard("returned")
    if reported is not None and reported not in allowed:
        return "reported %s" % reported
    if raised == "returned":
        if reported is None and (normal != ("returned", None) or
                                 form != normal_form):
            return "a failure went unnoticed: %r" % (form,)
        return None
    if raised not in allowed:
        return "raised %s" % raised
    return None


def shared_of(module):
    """What a call looks up and drops again: deepcopy, the functions."""
    found = {id(copy.deepcopy): copy.deepcopy}
    found.update((id(value), value) for value in vars(module).values()
                 if callable(value))
    return list(found.values())


def sweep(call, function, case, resume, shared, judged):
    """Runs the points after `resume`. `judged`: the modules' own call,
    whose outcomes and problems are checked, at sampled points; otherwise
    the plain-Python control, at every point (a sampled one could miss
    where the host breaks), only noting where the host broke."""
    build = CASES[case]
    # the call without failures: its outcome, and the caches it fills
    normal, normal_form, _, problems = run_point(call, function, build,
                                                 10 ** 9, shared)
    failures = ["without failures: %s" % p for p in problems]
    anomalies = []
    stride = STRIDE if judged else 1
    point, streak, tried = next_point(resume, stride), 0, 0
    while streak < CLEAN_STREAK and point < LAST_POINT:
        print("point", point, flush=True)
        outcome, form, error, problems = run_point(call, function, build,
                                                   point, shared)
        tried += 1
        anomaly = host_anomaly(outcome, error)
        wrong = judged and judge(outcome, form, (normal, normal_form))
        if judged and (problems or wrong) and left_by_deepcopy(
                build, point, outcome, error, problems, shared):
            anomaly = ["as deepcopy alone", error[1]]
        if anomaly:
            anomalies.append([point] + anomaly)
        elif judged:
            failures.extend("point %d: %s" % (point, p)
                            for p in problems + [wrong] if p)
        streak = streak + 1 if outcome == normal else 0
        point = next_point(point, stride)
    print(json.dumps({"tried": tried, "failures": failures[:20],
                      "anomalies": anomalies}), flush=True)


# --- the same merges in plain Python ----------------------------------------

def plain_rmerge(first_dict, second_dict):
    # the dictionary operations of the native merge, its fused store
    # included
    for key in second_dict:
        value = second_dict[key]
        existing = first_dict.setdefault(key, value)
        if existing is value:
            continue
        if isinstance(existing, dict) and isinstance(value, dict):
            plain_rmerge(existing, value)
        else:
            first_dict[key] = value
    return first_dict


def plain_fold(consumer_dict, dicts, reported):
    for element in dicts:
        try:
            plain_rmerge(consumer_dict, element)
        except Exception:
            if not reported:
                raise
            # as tightfold reports a failed step, and goes on
            sys.excepthook(*sys.exc_info())
    return consumer_dict


def plain(module_name, function):
    """The plain-Python counterpart of a function."""
    reported = module_name == "tightfold"
    if function == "merge":
        return lambda a, b: plain_rmerge(copy.deepcopy(a), b)
    if function == "merge_many":
        return lambda dicts: plain_fold(copy.deepcopy(dicts[0]), dicts[1:],
                                        reported)
    if function == "merge_many_inplace":
        return lambda dicts: plain_fold(dicts[0], dicts[1:], reported)
    if reported:
        return lambda a, b: plain_fold(a, [b], True)
    return plain_rmerge


def probe_setdefault():
    """PyDict_SetDefault, the native merges' fused store, called through
    the host's test module where it has it, with the allocation that grows
    the dict failing: where the host breaks its promise then."""
    anomalies = []
    for point in range(3 if hasattr(_testcapi, "dict_setdefault") else 0):
        full = dict.fromkeys(range(5), True)  # the next key grows it
        try:
            _testcapi.set_nomemory(point, point + 1)
            _testcapi.dict_setdefault(full, 5, True)
        except SystemError as exc:
            _testcapi.remove_mem_hooks()
            anomalies.append([point, "SystemError",
                              without_addresses(str(exc))])
        except MemoryError:
            _testcapi.remove_mem_hooks()
        else:
            _testcapi.remove_mem_hooks()
    print(json.dumps({"anomalies": anomalies}))


def main(argv):
    if argv[0] == "--probe":
        return probe_setdefault()
    judged = argv[0] != "--control"
    module_name, function, case, resume = argv[not judged:]
    module = importlib.import_module("calvoro." + module_name)
    call = getattr(module, function) if judged else plain(module_name,
                                                          function)
    # the counts of what a call looks up and drops again, watched in the
    # control too: a frame the host leaks holds its function
    sweep(call, function, case, int(resume), shared_of(module), judged)


if __name__ == "__main__":
    main(sys.argv[1:])

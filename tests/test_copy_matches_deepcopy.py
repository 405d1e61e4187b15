"""The copy that `merge` and `merge_many` make of plain data natively, when
the module's `deepcopy` is the standard one: nobody may tell it from the
real call, and whatever could tell gets the real call."""
import builtins
import collections
import copy
import gc
import os
import signal
import sys
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from helpers import SubDict, run_script

# The portable build (forced, or past the interpreters it knows) cannot read
# what it needs to copy natively, and always calls the real function.
PORTABLE = (os.environ.get("CALVORO_PORTABLE", "") not in ("", "0")
            or sys.version_info >= (3, 16))
MODULES = ["anyfold", "tightfold"]
# The name copy's code objects carry: not copy.__file__ where the library
# is zipped and precompiled (Windows' embeddable build: "copy.py").
COPY_CODE_FILE = copy.deepcopy.__code__.co_filename
CALLS = {
    "merge": lambda module, data: module.merge(data, {}),
    "merge_many": lambda module, data: module.merge_many([data, {}]),
}


def load(name):
    return __import__("calvoro." + name, fromlist=["_"])


def describe(copied, original):
    """What a caller can see of a copy: types, values, key order, sizes,
    which objects are shared or cyclic, and which are the original's own."""
    own = {}

    def number(obj):
        if id(obj) in own:
            return
        own[id(obj)] = len(own)
        if isinstance(obj, dict):
            for key, value in obj.items():
                number(key)
                number(value)
        elif isinstance(obj, (list, tuple)):
            for item in obj:
                number(item)

    number(original)
    seen = {}

    def node(obj):
        if id(obj) in seen:
            return ("again", seen[id(obj)])
        seen[id(obj)] = len(seen)
        if isinstance(obj, dict):
            inside = [(node(k), node(v)) for k, v in obj.items()]
        elif isinstance(obj, (list, tuple)):
            inside = [node(item) for item in obj]
        elif isinstance(obj, Probe):
            inside = "probe"
        else:
            inside = repr(obj)
        size = sys.getsizeof(obj) if isinstance(obj, (dict, list)) else None
        return (type(obj).__name__, own.get(id(obj)), size, inside)

    return node(copied)


class Probe:
    """Copied by its own __deepcopy__, which logs how full the memo was."""

    def __init__(self, log):
        self.log = log

    def __deepcopy__(self, memo):
        self.log.append(len(memo))
        return Probe(self.log)


# ---------------------------------------------------------------------------
# Plain data, and a sprinkling of other objects

atoms = st.one_of(st.none(), st.booleans(), st.integers(),
                  st.floats(allow_nan=True), st.text(max_size=3))
keys = st.one_of(st.text(max_size=3), st.integers(), st.none(),
                 st.tuples(st.integers(), st.text(max_size=2)))
others = st.sampled_from([
    lambda: Probe([]), lambda: SubDict(a=[1]), lambda: b"bytes",
    lambda: 1j, lambda: frozenset([1]), lambda: collections.OrderedDict(),
]).map(lambda make: make())


@st.composite
def data_sets(draw):
    leaves = atoms
    if draw(st.integers(0, 3)) == 0:
        leaves = st.one_of(atoms, others)
    tree = draw(st.recursive(leaves, lambda children: st.one_of(
        st.lists(children, max_size=4),
        st.lists(children, max_size=3).map(tuple),
        st.dictionaries(keys, children, max_size=4)), max_leaves=20))
    top = {"tree": tree}
    containers = []

    def collect(obj):
        if type(obj) in (dict, list, tuple):
            containers.append(obj)
            for item in (obj.values() if type(obj) is dict else obj):
                collect(item)

    collect(top)
    hosts = [c for c in containers if type(c) is not tuple]
    # shared sub-objects, and cycles where the target holds the host
    for i in range(draw(st.integers(0, 4))):
        host = draw(st.sampled_from(hosts))
        target = draw(st.sampled_from(containers))
        if type(host) is list:
            host.append(target)
        else:
            host[("link", i)] = target
    return top


@pytest.mark.parametrize("call", CALLS, ids=list(CALLS))
@pytest.mark.parametrize("name", MODULES)
@settings(max_examples=150, deadline=None)
@given(data=data_sets())
def test_copy_cannot_be_told_from_deepcopy(name, call, data):
    expected = copy.deepcopy(data)
    result = CALLS[call](load(name), data)
    assert describe(result, data) == describe(expected, data)


# ---------------------------------------------------------------------------
# Whatever could tell gets the real call

def counting(function, calls):
    def wrapper(*args):
        calls.append(1)
        return function(*args)
    return wrapper


def wrap_entry(table, key):
    return lambda mp, calls, module: mp.setitem(
        table, key, counting(table[key], calls))


def rebind_dispatch(mp, calls, module):
    table = dict(copy._deepcopy_dispatch)
    table[dict] = counting(table[dict], calls)
    mp.setattr(copy, "_deepcopy_dispatch", table)


def replace_keep_alive_code(mp, calls, module):
    mp.setattr(copy, "_calvoro_probe", counting(lambda x: None, calls),
               raising=False)
    namespace = {}
    exec("def _keep_alive(x, memo): _calvoro_probe(x)", namespace)
    mp.setattr(copy._keep_alive, "__code__",
               namespace["_keep_alive"].__code__)


def setter(target, name, make):
    return lambda mp, calls, module: mp.setattr(
        module if target is None else target, name,
        counting(make(), calls), raising=False)


CHANGES = {
    "module deepcopy wraps the real one":
        setter(None, "deepcopy", lambda: copy.deepcopy),
    "dispatch entry of dict": wrap_entry(copy._deepcopy_dispatch, dict),
    "dispatch entry of list": wrap_entry(copy._deepcopy_dispatch, list),
    "dispatch entry of tuple": wrap_entry(copy._deepcopy_dispatch, tuple),
    "dispatch table rebound": rebind_dispatch,
    "_keep_alive rebound": setter(copy, "_keep_alive",
                                  lambda: copy._keep_alive),
    "_keep_alive's code": replace_keep_alive_code,
    "list copier's default": lambda mp, calls, module: mp.setattr(
        copy._deepcopy_list, "__defaults__",
        (counting(copy.deepcopy, calls),)),
    "id in copy's namespace": setter(copy, "id", lambda: id),
    "builtins.id": setter(builtins, "id", lambda: builtins.id),
    "tuple in copy's namespace": setter(copy, "tuple", lambda: tuple),
}


def sample():
    shared = [1, 2.5]
    return {"a": {"b": shared, "c": (shared, "t")}, "d": shared, "e": None}


@pytest.mark.parametrize("change", CHANGES)
@pytest.mark.parametrize("call", CALLS)
def test_changed_copy_machinery_gets_the_real_call(module, monkeypatch,
                                                   call, change):
    data = sample()
    calls = []
    CHANGES[change](monkeypatch, calls, module)
    expected = module.deepcopy(data)
    expected_calls = len(calls)
    del calls[:]
    result = CALLS[call](module, data)
    monkeypatch.undo()
    assert len(calls) == expected_calls > 0
    assert describe(result, data) == describe(expected, data)


@pytest.mark.parametrize("change", CHANGES)
def test_merger_sees_a_change_after_its_checks_passed(monkeypatch, change):
    """Merger(copy=True) checks per value, keeping what passed while the
    copy module's dicts stay as they were."""
    from calvoro import Merger, _merger
    merger = Merger(copy=True)
    data = sample()
    merger.merge_inplace({}, {"v": data})
    calls = []
    CHANGES[change](monkeypatch, calls, _merger)
    expected = _merger.deepcopy(data)
    expected_calls = len(calls)
    del calls[:]
    result = {}
    merger.merge_inplace(result, {"v": data})
    monkeypatch.undo()
    assert len(calls) == expected_calls > 0
    assert describe(result["v"], data) == describe(expected, data)


@pytest.mark.parametrize("where", [
    lambda p: {"a": [1, {}], "b": (["x"], 2), "p": p},
    lambda p: {"a": [1, {}], "b": [(["x"], p)]},
    lambda p: {"a": {"b": {"c": [p]}}, "d": [2]},
], ids=["in the top dict", "in a tuple", "nested"])
def test_other_objects_get_the_real_call_from_the_start(module, where):
    """The real call's memo already holds what came before the object."""
    log = []
    data = where(Probe(log))
    copy.deepcopy(data)
    expected = list(log)
    del log[:]
    module.merge(data, {})
    assert log == expected and expected[0] > 0


def trace_calls(names):
    def tracer(frame, event, arg):
        if event == "call" and frame.f_code.co_filename == COPY_CODE_FILE:
            names.append(frame.f_code.co_name)
    return tracer


def by_trace(names):
    old = sys.gettrace()
    sys.settrace(trace_calls(names))
    return lambda: sys.settrace(old)


def by_profile(names):
    old = sys.getprofile()
    sys.setprofile(trace_calls(names))
    return lambda: sys.setprofile(old)


def by_monitoring(names):
    mon = getattr(sys, "monitoring", None)
    if mon is None:
        pytest.skip("no sys.monitoring before 3.12")
    tool = 3
    mon.use_tool_id(tool, "calvoro test")

    def started(code, offset):
        if code.co_filename == COPY_CODE_FILE:
            names.append(code.co_name)

    mon.register_callback(tool, mon.events.PY_START, started)
    mon.set_events(tool, mon.events.PY_START)

    def stop():
        mon.set_events(tool, 0)
        mon.register_callback(tool, mon.events.PY_START, None)
        mon.free_tool_id(tool)
    return stop


@pytest.mark.parametrize("watch", [by_trace, by_profile, by_monitoring],
                         ids=["settrace", "setprofile", "sys.monitoring"])
def test_watched_threads_get_the_real_call(module, watch):
    data = sample()
    seen = {}
    for what, run in [("deepcopy", lambda: copy.deepcopy(data)),
                      ("merge", lambda: module.merge(data, {}))]:
        names = seen[what] = []
        stop = watch(names)
        try:
            run()
        finally:
            stop()
    assert seen["merge"] == seen["deepcopy"] != []


def test_audit_hooks_see_every_id_of_the_real_call():
    if sys.version_info < (3, 8):
        pytest.skip("no audit hooks before 3.8")
    proc = run_script("""
        import copy, sys
        from calvoro import anyfold, tightfold
        events = []
        sys.addaudithook(
            lambda event, args: events.append(event == "builtins.id"))
        shared = [1]
        data = {"a": {"b": shared, "c": (shared,)}, "d": shared}
        counts = set()
        for run in [lambda: copy.deepcopy(data),
                    lambda: anyfold.merge(data, {}),
                    lambda: tightfold.merge(data, {}),
                    lambda: tightfold.merge_many([data, {}])]:
            del events[:]
            run()
            counts.add(sum(events))
        print(sorted(counts))
    """)
    counts = eval(proc.stdout)
    assert len(counts) == 1 and counts[0] > 0


def chain(levels):
    top = level = {}
    for _ in range(levels):
        level["k"] = level = {}
    return top


@pytest.mark.parametrize("call", CALLS)
def test_nesting_left_to_the_real_call(module, call):
    limit = sys.getrecursionlimit()
    with pytest.raises(RecursionError):
        copy.deepcopy(chain(limit))
    with pytest.raises(RecursionError):
        CALLS[call](module, chain(limit))
    data = chain(limit // 4)
    assert CALLS[call](module, data) == copy.deepcopy(data)


def copies_chain(copied, original):
    """Whether `copied` is a deep copy of chain `original`, walked level by
    level: == would recurse as deep as the chain goes."""
    while True:
        if (type(copied) is not dict or copied is original
                or copied.keys() != original.keys()):
            return False
        if not original:
            return True
        copied, original = copied["k"], original["k"]


@pytest.mark.skipif(PORTABLE, reason="the portable build copies no data")
@pytest.mark.parametrize("thread", ["main", "256 KiB stack"])
def test_nesting_deeper_than_the_native_stack(module, thread):
    data = chain(100000)
    results = []
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(10 ** 6)
    try:
        if thread == "main":
            results.append(module.merge(data, {}))
        else:
            size = threading.stack_size(256 * 1024)
            try:
                worker = threading.Thread(
                    target=lambda: results.append(module.merge(data, {})))
                worker.start()
                worker.join()
            finally:
                threading.stack_size(size)
    finally:
        sys.setrecursionlimit(limit)
    assert len(results) == 1 and copies_chain(results[0], data)


@pytest.mark.parametrize("last", [None, Probe([])],
                         ids=["copied", "given up"])
def test_nothing_held_after_the_copy(module, last):
    kept = ("kept", 2)
    shared = [kept]
    cyclic = [kept]
    cyclic.append(cyclic)
    data = {"s": shared, "c": cyclic, "t": (shared,), "last": last}
    objects = [kept, shared, cyclic, data]
    gc.collect()
    before = [sys.getrefcount(obj) for obj in objects]
    for _ in range(3):
        module.merge(data, {})
    gc.collect()  # the copies of `cyclic` are cycles
    assert [sys.getrefcount(obj) for obj in objects] == before


@pytest.mark.skipif(PORTABLE, reason="the portable build copies no data")
@pytest.mark.skipif(sys.platform == "win32",
                    reason="Windows has no SIGALRM or interval timers")
def test_plain_data_run_no_code_of_copy(module, monkeypatch):
    """A signal handler never finds copy's code on the stack while plain
    data are copied; it does once the real function is called."""
    data = {"k%d" % i: [i, {"v": (i, [i])}] for i in range(1000)}

    def hits():
        found = []

        def handler(signum, frame):
            while frame is not None:
                if frame.f_code.co_filename == COPY_CODE_FILE:
                    found.append(1)
                frame = frame.f_back

        old = signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.0002, 0.0002)
        try:
            for _ in range(30):
                module.merge(data, {})
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, old)
        return len(found)

    assert hits() == 0
    monkeypatch.setattr(module, "deepcopy", lambda x: copy.deepcopy(x))
    assert hits() > 0

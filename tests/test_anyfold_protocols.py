"""anyfold's _rmerge, observed through the protocols it uses."""
import builtins
import collections
import collections.abc
import gc
import json
import operator
import types

import pytest

from helpers import RecordingDict, RecordingMapping, SubDict, module_entries
from helpers import run_script


def error_of(func, *args):
    try:
        func(*args)
    except Exception as exc:
        return type(exc), str(exc)
    raise AssertionError("no error")


@pytest.mark.parametrize("first, second, steps", [
    pytest.param({}, {"k": 1}, ["in f", "s get", "f set"], id="new-key"),
    pytest.param({"k": 0}, {"k": 1}, ["in f", "f get", "s get", "f set"],
                 id="plain-value"),
    pytest.param({"k": 0}, {"k": {}}, ["in f", "f get", "s get", "f set"],
                 id="dict-replaces-plain"),
    pytest.param({"k": {}}, {"k": 1},
                 ["in f", "f get", "s get", "s get", "f set"],
                 id="plain-replaces-dict"),
    pytest.param({"k": {}}, {"k": {}},
                 ["in f", "f get", "s get", "f get", "s get", "call"],
                 id="nested"),
])
def test_operations_per_key(anyfold, monkeypatch, first, second, steps):
    rmerge = anyfold._rmerge
    log = []
    f = RecordingMapping(first, log, "f")
    s = RecordingMapping(second, log, "s")
    monkeypatch.setattr(anyfold, "_rmerge",
                        lambda a, b: log.append(("call", a, b)))
    assert rmerge(f, s) is f
    names = {"in f": ("f", "contains", "k"),
             "f get": ("f", "getitem", "k"),
             "s get": ("s", "getitem", "k"), "f set": ("f", "setitem", "k"),
             "call": ("call", first.get("k"), second["k"])}
    assert log == [("s", "iter")] + [names[step] for step in steps]
    if "call" not in steps:
        assert f.data["k"] is second["k"]


def test_order_of_the_result_and_sharing(anyfold):
    inner, nested, value = {"a": 1, "b": 1}, {"z": 0}, [1]
    first = {"x": inner, "y": 0}
    second = {"n": nested, "x": {"b": 2, "c": 3}, "v": value, "y": 1}
    assert anyfold._rmerge(first, second) is first
    assert list(first) == ["x", "y", "n", "v"]
    assert first["x"] is inner and inner == {"a": 1, "b": 2, "c": 3}
    assert first["n"] is nested and first["v"] is value


class LooksLikeDict:
    __class__ = property(lambda self: dict)


class Registered:
    def __init__(self, data):
        self.data = data

    def __getitem__(self, key):
        return self.data[key]


collections.abc.MutableMapping.register(Registered)


@pytest.mark.parametrize("make, merged", [
    pytest.param(lambda d: SubDict(d), True, id="dict-subclass"),
    pytest.param(lambda d: LooksLikeDict(), False, id="class-attribute"),
    pytest.param(lambda d: Registered(d), False, id="abc-registered"),
    pytest.param(types.MappingProxyType, False, id="mapping-proxy"),
    pytest.param(lambda d: RecordingMapping(d), False, id="mapping-protocol"),
])
def test_dictionary_test_reads_the_type_flag(anyfold, make, merged):
    for inner_first in (True, False):
        old = make({"a": 1}) if inner_first else {"a": 1}
        new = {"b": 2} if inner_first else make({"b": 2})
        first = {"k": old}
        anyfold._rmerge(first, {"k": new})
        if merged:
            assert first["k"] is old and dict(old) == {"a": 1, "b": 2}
        else:
            assert first["k"] is new


def test_dict_arguments_go_through_their_overrides(anyfold):
    log = []
    inner = RecordingDict({"a": 1}, log=log, name="inner")
    first = RecordingDict({"k": inner}, log=log, name="f")
    second = RecordingDict({"k": {"a": 2, "b": 3}}, log=log, name="s")
    anyfold._rmerge(first, second)
    assert log == [
        ("s", "iter"), ("f", "contains", "k"), ("f", "getitem", "k"),
        ("s", "getitem", "k"), ("f", "getitem", "k"), ("s", "getitem", "k"),
        ("inner", "contains", "a"), ("inner", "getitem", "a"),
        ("inner", "setitem", "a"), ("inner", "contains", "b"),
        ("inner", "setitem", "b")]
    assert first == {"k": {"a": 2, "b": 3}} and first["k"] is inner


class Appender(dict):
    """Grows or shrinks the list being walked on each assignment."""

    def __init__(self, walked, grow):
        super().__init__()
        self.walked, self.grow = walked, grow

    def __setitem__(self, key, value):
        super().__setitem__(key, value)
        if self.grow and len(self.walked) < 3:
            self.walked.append(len(self.walked))
        elif not self.grow:
            self.walked.pop()


def test_exact_sequences_are_walked_by_position(anyfold):
    assert anyfold._rmerge({}, [1, 0]) == {1: 0, 0: 1}
    assert anyfold._rmerge({}, (1, 0)) == {1: 0, 0: 1}
    walked = [0]
    assert anyfold._rmerge(Appender(walked, True), walked) == {0: 0, 1: 1, 2: 2}
    walked = [0, 1, 2]
    assert anyfold._rmerge(Appender(walked, False), walked) == {0: 0, 1: 1}

    class Reordered(list):
        def __iter__(self):
            return iter([1])
    assert anyfold._rmerge({}, Reordered([7, 0])) == {1: 0}


def test_iteration_protocols(anyfold):
    class Stop(StopIteration):
        pass

    class OneKey:
        def __iter__(self):
            return self

        def __next__(self):
            if getattr(self, "done", False):
                raise Stop()
            self.done = True
            return "k"

        def __getitem__(self, key):
            return "v"

    class OldSequence:
        def __getitem__(self, key):
            if isinstance(key, int):
                return "ab"[key]
            return key.upper()

    assert anyfold._rmerge({}, OneKey()) == {"k": "v"}
    assert anyfold._rmerge({}, OldSequence()) == {"a": "A", "b": "B"}
    with pytest.raises(TypeError) as info:
        anyfold._rmerge({}, "ab")
    assert (TypeError, str(info.value)) == error_of(operator.getitem, "ab", "a")


def test_fetch_through_sequence_slot(anyfold):
    target = collections.deque([-1, 1, "x"])
    anyfold._rmerge(target, {1: "one", -1: "last"})
    assert target == collections.deque([-1, "one", "last"])
    with pytest.raises(IndexError) as info:
        anyfold._rmerge(collections.deque([2 ** 70]), {2 ** 70: 0})
    assert str(info.value) == "cannot fit 'int' into an index-sized integer"
    with pytest.raises(TypeError) as info:
        anyfold._rmerge(collections.deque(["a"]), {"a": 0})
    assert (TypeError, str(info.value)) == error_of(
        lambda: collections.deque(["a"])["a"])

    class Holds:
        def __contains__(self, key):
            return True
    with pytest.raises(TypeError) as info:
        anyfold._rmerge(Holds(), {"a": 0})
    assert str(info.value) == "'Holds' object is not subscriptable"


def test_fetch_after_index_changed_the_class(anyfold):
    # __index__ reassigns __class__ and the old class is freed before the
    # item slot is called: the slot must be the new class's
    class Old(collections.deque):
        pass

    class New(collections.deque):
        pass

    class Key:
        def __hash__(self):
            return 1

        def __index__(self):
            if Classes and type(target) is Classes[0]:
                target.__class__ = New
                del Classes[:]
                gc.collect()
                # reuse the freed memory, so that a stale slot is garbage
                spray.extend(bytes([255]) * 900 for _ in range(2000))
            return 0

    spray = []
    Classes = [Old]
    key = Key()
    target = Old([key])
    del Old
    anyfold._rmerge(target, {key: "v"})
    assert type(target) is New and list(target) == ["v"]


def test_empty_second_touches_nothing(anyfold):
    assert anyfold._rmerge(5, {}) == 5
    assert anyfold._rmerge(None, {}) is None
    log = []
    first = RecordingMapping({"a": 1}, log)
    assert anyfold._rmerge(first, RecordingMapping(log=log, name="s")) is first
    assert log == [("s", "iter")]


def test_containment_decides(anyfold):
    class Denies(dict):
        def __contains__(self, key):
            return False
    first = Denies(k={"a": 1})
    anyfold._rmerge(first, {"k": {"b": 2}})
    assert first == {"k": {"b": 2}}
    proxy = types.MappingProxyType({"k": {"a": 1}})
    anyfold._rmerge(proxy, {"k": {"b": 2}})
    assert proxy["k"] == {"a": 1, "b": 2}
    with pytest.raises(TypeError):
        anyfold._rmerge(proxy, {"k": {"c": 3}, "new": 1})
    assert proxy["k"] == {"a": 1, "b": 2, "c": 3}


def test_rebinding_rmerge(anyfold, monkeypatch):
    rmerge = anyfold._rmerge
    calls = []

    class Recorder:
        def method(self, a, b):
            calls.append((self, a, b))
            return "ignored"
    recorder = Recorder()
    monkeypatch.setattr(anyfold, "_rmerge", recorder.method)
    inner = {"a": 1}
    first = {"k": inner}
    assert rmerge(first, {"k": {"b": 2}}) == {"k": {"a": 1}}
    assert calls == [(recorder, inner, {"b": 2})]
    monkeypatch.delattr(anyfold, "_rmerge")
    assert rmerge({"k": 1}, {"k": {"b": 2}}) == {"k": {"b": 2}}
    with pytest.raises(NameError):
        rmerge({"k": {}}, {"x": 1, "k": {}})
    monkeypatch.setattr(builtins, "_rmerge", recorder.method, raising=False)
    rmerge({"k": {}}, {"k": {}})
    assert len(calls) == 2
    monkeypatch.setattr(anyfold, "_rmerge", 5, raising=False)
    with pytest.raises(TypeError) as info:
        rmerge({"k": {}}, {"k": {}})
    assert (TypeError, str(info.value)) == error_of(lambda f: f(), 5)


def test_no_rollback_after_failure(anyfold):
    class Refuses(dict):
        def __setitem__(self, key, value):
            if key == "b":
                raise KeyError("refused")
            super().__setitem__(key, value)
    inner = Refuses()
    first = {"x": 0, "n": inner}
    second = {"x": 1, "n": {"a": 1, "b": 2, "c": 3}, "z": 1}
    with pytest.raises(KeyError):
        anyfold.merge_inplace(first, second)
    assert first == {"x": 1, "n": {"a": 1}} and first["n"] is inner


def test_merging_into_the_walked_dict(anyfold):
    second = {"k": {"new": 1}}
    first = {"k": second}
    with pytest.raises(RuntimeError) as info:
        anyfold._rmerge(first, second)

    def changed():
        d = {1: 1}
        for _ in d:
            d[2] = 2
    assert (RuntimeError, str(info.value)) == error_of(changed)
    assert module_entries(info.value)[0][1] == 14
    assert second["new"] == 1


def test_same_dict_twice(anyfold):
    value = [1]
    d = {"a": {"b": value}, "c": 2}
    assert anyfold._rmerge(d, d) is d
    assert d == {"a": {"b": [1]}, "c": 2} and d["a"]["b"] is value


def test_recursion_counts_against_the_limit():
    proc = run_script("""
        import json, sys
        from calvoro.anyfold import merge_inplace

        def nested(depth, leaf):
            d = leaf
            for _ in range(depth):
                d = {"k": d}
            return d

        def deepest():
            low, high = 1, sys.getrecursionlimit() + 10
            while low + 1 < high:
                mid = (low + high) // 2
                try:
                    merge_inplace(nested(mid, {}), nested(mid, {"v": 1}))
                    low = mid
                except RecursionError as exc:
                    message = str(exc)
                    high = mid
            return low, message

        base, message = deepest()
        sys.setrecursionlimit(sys.getrecursionlimit() + 100)
        raised, _ = deepest()
        d = {}
        d["k"] = d
        e = {}
        e["k"] = e
        try:
            merge_inplace(d, e)
        except RecursionError as exc:
            cyclic = str(exc)
        print(json.dumps([raised - base, message, cyclic]))
    """)
    steps, message, cyclic = json.loads(proc.stdout)
    assert steps == 100
    assert message.endswith(" while calling a Python object")
    assert cyclic == message

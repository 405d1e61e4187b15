"""tightfold's exact-type tests and its dictionary merge core, observed
through `merge`: the merge rule, the per-key operations, keys that change
the dictionaries while they are merged, and the traceback entries."""
import collections
import types
import weakref

import pytest

from helpers import HashKey, SubDict, module_entries

FILE = "src/calvoro/tightfold"
MERGE_ENTRIES = [(FILE, 25, "calvoro.tightfold.merge"),
                 (FILE, 34, "calvoro.tightfold.merge")]


def rmerge_entry(line):
    return (FILE, line, "calvoro.tightfold._rmerge")


class Boom(Exception):
    pass


class Value:
    """A value that can be weakly referenced."""


@pytest.fixture
def no_copy(tightfold, monkeypatch):
    """merge without the copy, so that its first argument is the target."""
    monkeypatch.setattr(tightfold, "deepcopy", lambda d: d)
    return tightfold.merge


# ---------------------------------------------------------------------------
# Exact types

ARG = "Argument '{}' has incorrect type (expected {}, got {})"


@pytest.mark.parametrize("name, args, message", [
    pytest.param("merge", (SubDict(), {}), ARG.format(
        "first_dict", "dict", "SubDict"), id="merge-first"),
    pytest.param("merge", ({}, SubDict()), ARG.format(
        "second_dict", "dict", "SubDict"), id="merge-second"),
    pytest.param("merge", ([], 5), ARG.format(
        "first_dict", "dict", "list"), id="merge-first-tested-first"),
    pytest.param("merge_inplace", (collections.OrderedDict(), {}), ARG.format(
        "first_dict", "dict", "collections.OrderedDict"), id="inplace-first"),
    pytest.param("merge_many", ((),), ARG.format(
        "dicts", "list", "tuple"), id="many-tuple"),
    pytest.param("merge_many_inplace", (5,), ARG.format(
        "dicts", "list", "int"), id="many-inplace-int"),
    pytest.param("merge_many", (type("Items", (list,), {})([{}, {}]),),
                 ARG.format("dicts", "list", "Items"), id="list-subclass"),
])
def test_argument_of_wrong_type(tightfold, monkeypatch, name, args, message):
    copies = []
    monkeypatch.setattr(tightfold, "deepcopy", copies.append)
    with pytest.raises(TypeError) as info:
        getattr(tightfold, name)(*args)
    assert str(info.value) == message
    assert module_entries(info.value) == []
    assert copies == []


@pytest.mark.parametrize("first, second, type_name", [
    pytest.param(SubDict(), {}, "SubDict", id="first-subclass"),
    pytest.param({}, collections.defaultdict(int), "collections.defaultdict",
                 id="second-subclass"),
    pytest.param(collections.OrderedDict(), SubDict(),
                 "collections.OrderedDict", id="both-names-first"),
])
def test_nested_value_of_wrong_type(tightfold, first, second, type_name):
    with pytest.raises(TypeError) as info:
        tightfold.merge({"k": first}, {"k": second})
    assert str(info.value) == "Expected dict, got " + type_name
    assert module_entries(info.value) == MERGE_ENTRIES + [rmerge_entry(19)]


@pytest.mark.parametrize("first, second", [
    pytest.param({"k": SubDict(a=1)}, {"k": 5}, id="subclass-replaced"),
    pytest.param({"k": 5}, {"k": SubDict(a=1)}, id="subclass-replaces"),
    pytest.param({}, {"k": SubDict(a=1)}, id="subclass-added"),
    pytest.param({"k": {"a": 1}}, {"k": types.MappingProxyType({"b": 2})},
                 id="proxy-replaces"),
    pytest.param({"k": types.MappingProxyType({"b": 2})}, {"k": {"a": 1}},
                 id="proxy-replaced"),
])
def test_value_not_merged_is_stored_as_is(no_copy, first, second):
    result = no_copy(first, second)
    assert result["k"] is second["k"]


# ---------------------------------------------------------------------------
# The merge rule


@pytest.mark.parametrize("make_key", [str, HashKey], ids=["str", "hashkey"])
def test_replacement_order_and_sharing(no_copy, make_key):
    a, b, c, y, z = (make_key(n) for n in "abcyz")
    inner, added, value = {"x": 1, "w": 1}, {"new": []}, []
    first = {a: 1, b: inner, c: {"n": 1}}
    second = {z: added, b: {"w": 2, "v": 3}, y: value, c: 0, a: {"m": 1}}
    assert no_copy(first, second) is first
    assert list(first) == [a, b, c, z, y]
    assert first[b] is inner and inner == {"x": 1, "w": 2, "v": 3}
    assert first[z] is added and first[y] is value
    assert first[c] == 0 and first[a] is second[a]


def test_equal_key_keeps_its_object(tightfold):
    result = tightfold.merge({1: "int"}, {1.0: "float"})
    assert result == {1: "float"}
    assert type(next(iter(result))) is int


@pytest.mark.parametrize("first, second, expected", [
    pytest.param(None, {}, None, id="none-empty"),
    pytest.param({"a": 1}, {}, {"a": 1}, id="empty-second"),
])
def test_empty_second_returns_first(no_copy, first, second, expected):
    assert no_copy(first, second) is first
    assert first == expected


def test_merge_into_itself(no_copy):
    d = {"a": {"b": {"c": 1}}, "d": 2}
    assert no_copy(d, d) is d
    assert d == {"a": {"b": {"c": 1}}, "d": 2}


def test_nested_dictionary_walked_by_enclosing_level(no_copy):
    s = {"k": {"new": 1}}
    f = {"k": s}
    with pytest.raises(RuntimeError) as info:
        no_copy(f, s)
    assert str(info.value) == "dictionary changed size during iteration"
    assert module_entries(info.value) == MERGE_ENTRIES + [rmerge_entry(13)]
    assert s == {"k": {"new": 1}, "new": 1}


# ---------------------------------------------------------------------------
# Operations per key, seen by the keys' hashing and equality


class Tagged(list):
    """A key's log that writes into a shared one under a tag."""

    def __init__(self, tag, shared):
        super().__init__()
        self.tag, self.shared = tag, shared

    def append(self, item):
        self.shared.append((self.tag,) + item)


IN_FIRST = [("s", "hash", "k"), ("f", "eq", "k")]   # a lookup in first_dict
IN_SECOND = [("s", "hash", "k")]                    # a lookup in second_dict


@pytest.mark.parametrize("first_value, second_value, expected", [
    pytest.param(None, 1, IN_SECOND * 3, id="absent"),
    pytest.param(0, 1, IN_FIRST * 2 + IN_SECOND + IN_FIRST, id="not-dict"),
    pytest.param({}, 1, IN_FIRST * 2 + IN_SECOND * 2 + IN_FIRST,
                 id="only-first-dict"),
    pytest.param({"x": 1}, {"y": 2}, IN_FIRST * 2 + IN_SECOND + IN_FIRST
                 + IN_SECOND, id="both-dicts"),
    pytest.param(SubDict(), {}, IN_FIRST * 2 + IN_SECOND + IN_FIRST,
                 id="first-fails-exact-test"),
    pytest.param({}, SubDict(), IN_FIRST * 2 + IN_SECOND + IN_FIRST
                 + IN_SECOND, id="second-fails-exact-test"),
])
def test_operations_per_key(no_copy, first_value, second_value, expected):
    log = []
    k1 = HashKey("k", log=Tagged("f", log))
    k2 = HashKey("k", log=Tagged("s", log))
    first = {} if first_value is None else {k1: first_value}
    second = {k2: second_value}
    del log[:]
    try:
        no_copy(first, second)
    except TypeError as exc:
        assert str(exc) == "Expected dict, got SubDict"
    assert log == expected
    if first_value is not None:
        assert next(iter(first)) is k1


@pytest.mark.parametrize("first_extra, lookups", [
    pytest.param({}, 2, id="absent"),
    pytest.param({"a": 0}, 3, id="present"),
])
def test_plain_key_lookups_seen_by_colliding_key(no_copy, first_extra,
                                                 lookups):
    log = []
    stored = HashKey("x", hash_value=hash("a"), log=log)
    first = {stored: 1}
    first.update(first_extra)
    del log[:]
    "a" in first   # the probing may meet the stored key more than once
    per_lookup = len(log)
    del log[:]
    no_copy(first, {"a": 2})
    assert log == [("eq", "x")] * (per_lookup * lookups)
    assert first == {stored: 1, "a": 2}


def test_plain_key_value_removed_by_colliding_key(no_copy):
    stored = HashKey("x", hash_value=hash("a"))
    first, second = {stored: 1}, {"a": 2}
    stored.on_eq = lambda: second.pop("a", None)
    with pytest.raises(KeyError) as info:
        no_copy(first, second)
    assert info.value.args == ("a",)
    assert module_entries(info.value) == MERGE_ENTRIES + [rmerge_entry(21)]
    assert first == {stored: 1}


# ---------------------------------------------------------------------------
# Keys whose hashing changes the dictionaries mid-merge
#
# Both dictionaries hold the same key object, so every lookup of it hashes
# it once and compares nothing. With dictionaries on both sides the merge
# hashes it for: 1 containment, 2 first_dict[key], 3 second_dict[key],
# 4 first_dict[key] again, 5 second_dict[key] again. With the key only in
# second_dict: 1 containment, 2 second_dict[key], 3 the assignment.


def on_call(key, n, action):
    calls = []

    def hook():
        calls.append(1)
        if len(calls) == n:
            key.on_hash = None   # the action itself hashes the key
            action()
    key.on_hash = hook


def raise_boom():
    raise Boom()


# id, dictionaries on both sides?, hash call, action, exception, line,
# whether first_dict still holds the key afterwards
MUTATIONS = [
    ("containment-raises", True, 1, "raise", Boom, 15, True),
    ("first-gone-before-test", True, 2, "del-first", KeyError, 16, False),
    ("second-gone-before-test", True, 3, "del-second", KeyError, 17, True),
    ("first-gone-before-nested", True, 4, "del-first", KeyError, 19, False),
    ("second-gone-before-nested", True, 5, "del-second", KeyError, 19, True),
    ("second-gone-before-replace", False, 2, "del-second", KeyError, 21,
     False),
    ("assignment-raises", False, 3, "raise", Boom, 21, False),
    ("second-grows", False, 1, "grow-second", RuntimeError, 13, True),
]


def build_mutation(both, call, action):
    k = HashKey("k")
    first = {k: {"x": 1}} if both else {}
    second = {k: {"y": 2} if both else 1}
    on_call(k, call, {
        "raise": raise_boom,
        "del-first": lambda: first.pop(k),
        "del-second": lambda: second.pop(k),
        "grow-second": lambda: second.update(grown=0),
    }[action])
    return first, second, k


@pytest.mark.parametrize("depth", [1, 3])
@pytest.mark.parametrize("both, call, action, exc_type, line, kept",
                         [m[1:] for m in MUTATIONS],
                         ids=[m[0] for m in MUTATIONS])
def test_key_changes_dictionaries(no_copy, depth, both, call, action,
                                  exc_type, line, kept):
    first, second, k = build_mutation(both, call, action)
    outer_first, outer_second = first, second
    for _ in range(depth - 1):
        outer_first, outer_second = {"n": outer_first}, {"n": outer_second}
    with pytest.raises(exc_type) as info:
        no_copy(outer_first, outer_second)
    if exc_type is KeyError:
        assert info.value.args == (k,) and info.value.args[0] is k
    levels = [rmerge_entry(19)] * (depth - 1) + [rmerge_entry(line)]
    assert module_entries(info.value) == MERGE_ENTRIES + levels
    assert first == ({k: {"x": 1} if both else 1} if kept else {})


def test_nested_target_released_mid_merge(no_copy):
    k = HashKey("k")
    first, second = {k: {"t": Value()}}, {k: {"y": 2}}
    probe = weakref.ref(first[k]["t"])
    on_call(k, 5, lambda: first.pop(k))
    assert no_copy(first, second) is first
    assert first == {} and second == {k: {"y": 2}}
    assert probe() is None


def test_stored_value_released_from_second(no_copy):
    k = HashKey("k")
    first, second = {}, {k: Value()}
    probe = weakref.ref(second[k])
    on_call(k, 3, lambda: second.pop(k))
    with pytest.raises(RuntimeError):
        no_copy(first, second)
    value = probe()
    assert value is not None and first == {k: value} and second == {}


def test_comparison_resizes_first(no_copy):
    k1, k2 = HashKey("k"), HashKey("k")
    first = {k1: 0}

    def flood():
        k1.on_eq = None
        first.update((i, i) for i in range(100))
    k1.on_eq = flood
    no_copy(first, {k2: 1})
    assert len(first) == 101 and first[k1] == 1 and next(iter(first)) is k1


@pytest.mark.parametrize("first, second, line", [
    pytest.param(None, {"a": 1}, 15, id="first-none"),
    pytest.param({}, None, 13, id="second-none"),
])
def test_none_as_dictionary(tightfold, first, second, line):
    with pytest.raises(TypeError) as info:
        tightfold.merge(first, second)
    assert str(info.value) == "'NoneType' object is not iterable"
    assert module_entries(info.value) == MERGE_ENTRIES + [rmerge_entry(line)]

"""Lookups of str and int keys in exact dicts, which the merge cores make
cheaply where nothing can tell: a stored key with its own equality must
still see every lookup that the merge rule makes, whether it was there
from the start or was put there by code that the merge itself ran."""
import pytest

from helpers import HashKey

# The key that second dicts hold. An int hashes to itself, so every lookup
# of it that meets a stored key of the same hash compares with it once.
KEY = 1
# Lookups of KEY when the first dict lacks it: containment, store.
ABSENT_LOOKUPS = 2


class Finalizer:
    def __init__(self, action):
        self.action = action

    def __del__(self):
        self.action()


class StrKey(str):
    """A str with its own equality: not plain, though it is a str."""

    def __new__(cls, name, log):
        self = super().__new__(cls, name)
        self.log = log
        return self

    def __hash__(self):
        return KEY

    def __eq__(self, other):
        self.log.append(("eq", str(self)))
        return str.__eq__(self, other)


def colliding(name, log):
    """A key that every lookup of KEY compares with."""
    return HashKey(name, hash_value=KEY, log=log)


def comparisons(log):
    """The comparisons logged; inserting the key mid-merge hashes it."""
    return [entry for entry in log if entry[0] == "eq"]


@pytest.mark.parametrize("make_key", [colliding, StrKey],
                         ids=["hashkey", "str-subclass"])
@pytest.mark.parametrize("nested", [False, True], ids=["top", "nested"])
@pytest.mark.parametrize("extra, lookups", [
    pytest.param({}, ABSENT_LOOKUPS, id="absent"),
    pytest.param({KEY: 0}, 3, id="present"),
    pytest.param({"k%d" % i: i for i in range(100)}, ABSENT_LOOKUPS,
                 id="large-first"),
])
def test_stored_colliding_key_sees_every_lookup(module, make_key, nested,
                                                extra, lookups):
    log = []
    stored = make_key("x", log)
    first, second = {stored: 1}, {KEY: 2}
    first.update(extra)
    expected = dict(first)
    expected[KEY] = 2
    if nested:
        first, second = {"n": first, "m": 0}, {"m": 1, "n": second}
        expected = {"n": expected, "m": 1}
    del log[:]
    module.merge_inplace(first, second)
    assert log == [("eq", "x")] * lookups
    assert first == expected


def released_value(make_value):
    """first["v"] is replaced, and freeing its old value inserts `stored`."""
    def build(stored):
        first = {}
        first["v"] = make_value(lambda: first.__setitem__(stored, 1))
        return first, {"v": 1, KEY: 2}, {"v": 1, stored: 1, KEY: 2}
    return build


def released_nested_target(stored):
    """The nested merge replaces the dict it was called for: the last
    reference to it, and to what it holds, goes when the call returns."""
    first = {}
    first["n"] = {"f": Finalizer(lambda: first.__setitem__(stored, 1)),
                  "back": first}
    second = {"n": {"back": {"n": 0}}, KEY: 2}
    return first, second, {"n": 0, stored: 1, KEY: 2}


def nested_in(depth, first, second, expected):
    """The same merge `depth` levels down, past dicts of str keys."""
    for level in range(depth):
        key = "l%d" % level
        first, second = {key: first, "s": 0}, {"s": 1, key: second}
        expected = {key: expected, "s": 1}
    return first, second, expected


@pytest.mark.parametrize("depth", [0, 3])
@pytest.mark.parametrize("build", [
    pytest.param(released_value(Finalizer), id="object"),
    pytest.param(released_value(lambda act: [1, Finalizer(act)]), id="list"),
    pytest.param(released_value(lambda act: ("s", Finalizer(act))),
                 id="tuple"),
    pytest.param(released_value(lambda act: {"f": Finalizer(act)}),
                 id="dict"),
    pytest.param(released_nested_target, id="nested-target"),
])
def test_key_inserted_by_a_release_sees_later_lookups(module, build, depth):
    log = []
    stored = colliding("x", log)
    first, second, expected = nested_in(depth, *build(stored))
    del log[:]
    module.merge_inplace(first, second)
    assert comparisons(log) == [("eq", "x")] * ABSENT_LOOKUPS
    assert first == expected


def test_key_inserted_by_rebound_rmerge_sees_later_lookups(anyfold,
                                                           monkeypatch):
    log = []
    stored = colliding("x", log)
    first, second = {"n": {}}, {"n": {"k": 1}, KEY: 2}
    own = anyfold._rmerge

    def rebound(a, b):
        first[stored] = 1
        return own(a, b)

    monkeypatch.setattr(anyfold, "_rmerge", rebound)
    del log[:]
    own(first, second)
    assert comparisons(log) == [("eq", "x")] * ABSENT_LOOKUPS
    assert first == {"n": {"k": 1}, stored: 1, KEY: 2}


def test_key_inserted_by_lookup_of_rmerge_sees_later_lookups(anyfold,
                                                             monkeypatch):
    log, global_log = [], []
    stored = colliding("x", log)
    first, second = {"n": {}}, {"n": {"k": 1}, KEY: 2}
    # a namespace key that the lookup of _rmerge compares with: stored
    # before the name, so that the lookup meets it first
    lurker = HashKey("g", hash_value=hash("_rmerge"), log=global_log)
    own = anyfold._rmerge
    monkeypatch.delattr(anyfold, "_rmerge")
    monkeypatch.setitem(vars(anyfold), lurker, None)
    monkeypatch.setattr(anyfold, "_rmerge", own, raising=False)
    lurker.on_eq = lambda: first.__setitem__(stored, 1)
    del global_log[:]
    del log[:]
    own(first, second)
    assert comparisons(global_log)
    assert comparisons(log) == [("eq", "x")] * ABSENT_LOOKUPS
    assert first == {"n": {"k": 1}, stored: 1, KEY: 2}


class Holder:
    pass


def instance_namespace(**items):
    holder = Holder()
    holder.__dict__.update(items)
    return holder.__dict__


def once_had_int_key(**items):
    d = dict(items)
    d[0] = None
    del d[0]
    return d


@pytest.mark.parametrize("make", [dict, instance_namespace, once_had_int_key],
                         ids=["plain", "instance-namespace", "once-int-key"])
def test_dicts_of_every_layout_merge_alike(module, make):
    first = make(a=1, n=make(b=2, c=[3]))
    second = make(a=10, n=make(c=30, d=40), e=50)
    module.merge_inplace(first, second)
    assert first == {"a": 10, "n": {"b": 2, "c": 30, "d": 40}, "e": 50}


@pytest.mark.parametrize("depth", [0, 3])
def test_rmerge_rebound_by_a_release_is_used_after(anyfold, monkeypatch,
                                                   depth):
    own = anyfold._rmerge
    calls = []

    def recorder(a, b):
        calls.append((a, b))
        return own(a, b)

    inner = {"m": {}, "n": {}}
    inner["v"] = Finalizer(lambda: setattr(anyfold, "_rmerge", recorder))
    later = {"m": {"k": 0}, "v": 1, "n": {"k": 1}}
    first, second, _ = nested_in(depth, inner, later, None)
    monkeypatch.setattr(anyfold, "_rmerge", own)
    anyfold.merge_inplace(first, second)
    assert calls == [(inner["n"], later["n"])]
    assert inner == {"m": {"k": 0}, "n": {"k": 1}, "v": 1}


def test_rmerge_rebound_by_the_merge_itself_is_used_after(anyfold,
                                                          monkeypatch):
    # a merge into the module's own namespace stores _rmerge like any key
    ns = vars(anyfold)
    monkeypatch.setitem(ns, "_rmerge", anyfold._rmerge)
    monkeypatch.setitem(ns, "x", {})
    monkeypatch.setitem(ns, "y", {})
    with pytest.raises(TypeError) as info:
        anyfold.merge_inplace(ns, {"x": {"a": 1}, "_rmerge": 1,
                                   "y": {"b": 2}})
    assert str(info.value) == "'int' object is not callable"
    assert (ns["x"], ns["y"]) == ({"a": 1}, {})

"""Merger's options, its value semantics (equality, hash, repr, pickling),
its argument errors, MergeConflict, DELETE and merge_patch."""
import collections
import collections.abc
import copy
import pickle

import pytest

from calvoro import DELETE, MergeConflict, Merger, merge_patch

LISTED = {
    "lists": "None, 'replace', 'keep', 'append', 'prepend', "
             "'append_unique', 'append_rp', 'prepend_rp'",
    "sets": "None, 'replace', 'keep', 'union', 'intersect'",
    "tuples": "None, 'replace', 'keep', 'append'",
    "conflicts": "'replace', 'keep', 'error'",
    "type_conflicts": "None, 'replace', 'keep', 'error'",
}

REFUSED = [
    ("lists", "extend", ValueError, "lists must be one of %s, not 'extend'"
     % LISTED["lists"]),
    ("sets", "append", ValueError, "sets must be one of %s, not 'append'"
     % LISTED["sets"]),
    ("tuples", 1, TypeError, "tuples must be one of %s, not int"
     % LISTED["tuples"]),
    ("conflicts", None, TypeError, "conflicts must be one of %s, not "
     "NoneType" % LISTED["conflicts"]),
    ("type_conflicts", "union", ValueError, "type_conflicts must be one of "
     "%s, not 'union'" % LISTED["type_conflicts"]),
    ("copy", 1, TypeError, "copy must be True or False, not int"),
    ("mappings", "dict", TypeError,
     "mappings must be a class or a tuple of classes, not str"),
    ("mappings", (dict, 1), TypeError,
     "mappings must be a class or a tuple of classes, not int"),
    ("mappings", (), ValueError, "mappings must name at least one class, "
     "not ()"),
]


@pytest.mark.parametrize("option, value, error, message", REFUSED,
                         ids=[row[0] + "=" + repr(row[1]) for row in REFUSED])
def test_an_option_outside_its_values_is_refused(option, value, error,
                                                 message):
    with pytest.raises(error) as info:
        Merger(**{option: value})
    assert str(info.value) == message


def test_options_are_keyword_only():
    with pytest.raises(TypeError):
        Merger("append")


SAME = [
    (Merger(), Merger(mappings=dict, conflicts="replace", copy=False)),
    (Merger(mappings=(dict,)), Merger()),
    (Merger(mappings=(collections.abc.Mapping,)),
     Merger(mappings=collections.abc.Mapping)),
    (Merger(delete=DELETE, lists="append"),
     Merger(lists="append", delete=DELETE)),
]
DIFFERENT = [
    (Merger(), Merger(lists="append")),
    (Merger(delete=None), Merger()),
    (Merger(delete=None), Merger(delete=DELETE)),
    (Merger(delete=[]), Merger(delete=[])),
    (Merger(mappings=collections.abc.Mapping), Merger()),
]


@pytest.mark.parametrize("a, b", SAME, ids=repr)
def test_mergers_of_the_same_options_are_equal(a, b):
    assert a == b and not a != b and hash(a) == hash(b)


@pytest.mark.parametrize("a, b", DIFFERENT, ids=repr)
def test_mergers_of_other_options_differ(a, b):
    assert a != b and not a == b


REPRS = [
    (Merger(), "Merger()"),
    (Merger(lists="append"), "Merger(lists='append')"),
    (Merger(copy=True, delete=DELETE, conflicts="error"),
     "Merger(conflicts='error', delete=calvoro.DELETE, copy=True)"),
    (Merger(delete=None), "Merger(delete=None)"),
    (Merger(mappings=(collections.abc.Mapping, collections.OrderedDict)),
     "Merger(mappings=(collections.abc.Mapping, collections.OrderedDict))"),
]


@pytest.mark.parametrize("merger, text", REPRS, ids=[r[1] for r in REPRS])
def test_repr_shows_the_options_that_differ(merger, text):
    assert repr(merger) == text


@pytest.mark.parametrize("merger", [r[0] for r in REPRS],
                         ids=[r[1] for r in REPRS])
def test_a_merger_pickles_and_copies_to_an_equal_one(merger):
    for again in (pickle.loads(pickle.dumps(merger)), copy.copy(merger),
                  copy.deepcopy(merger)):
        assert again == merger and repr(again) == repr(merger)


def test_a_merger_is_immutable():
    merger = Merger(lists="append")
    for name in ("lists", "_options", "merge"):
        with pytest.raises(AttributeError):
            setattr(merger, name, None)


def test_delete_is_one_object():
    assert repr(DELETE) == "calvoro.DELETE"
    assert pickle.loads(pickle.dumps(DELETE)) is DELETE
    assert copy.deepcopy(DELETE) is DELETE and type(DELETE)() is DELETE


def test_merge_conflict_says_where_and_what():
    with pytest.raises(MergeConflict) as info:
        Merger(type_conflicts="error").merge(
            {"a": {"b": [1]}}, {"a": {"b": (1,)}})
    exc = info.value
    assert isinstance(exc, ValueError)
    assert (exc.path, exc.first, exc.second) == (("a", "b"), [1], (1,))
    assert str(exc) == "conflicting types at ('a', 'b'): list and tuple"
    again = pickle.loads(pickle.dumps(exc))
    assert (str(again), again.path, again.first, again.second) == (
        str(exc), exc.path, exc.first, exc.second)


@pytest.mark.parametrize("function", ["merge_inplace", "merge_many_inplace"])
def test_an_interrupted_merge_keeps_what_it_merged(function):
    first = {"a": 1, "n": {"x": 1, "y": 2, "z": 3}}
    second = {"b": 2, "n": {"x": 9, "y": "s", "z": 9}}
    merger = Merger(type_conflicts="error")
    with pytest.raises(MergeConflict):
        if function == "merge_inplace":
            merger.merge_inplace(first, second)
        else:
            merger.merge_many_inplace([first, {}, second])
    assert first == {"a": 1, "n": {"x": 9, "y": 2, "z": 3}, "b": 2}


ARGUMENTS = [
    (Merger(), "merge", ([], {}), TypeError,
     "Merger.merge(): first must be a dict, not list"),
    (Merger(), "merge_inplace", ({}, None), TypeError,
     "Merger.merge_inplace(): second must be a dict, not NoneType"),
    (Merger(mappings=collections.abc.MutableMapping), "merge",
     ({}, ()), TypeError,
     "Merger.merge(): second must be an instance of MutableMapping, "
     "not tuple"),
    (Merger(mappings=(collections.OrderedDict, collections.Counter)),
     "merge_many", ([collections.OrderedDict(), {}],), TypeError,
     "Merger.merge_many(): mappings[1] must be an instance of OrderedDict or "
     "Counter, not dict"),
    (Merger(), "merge_many", (5,), TypeError,
     "Merger.merge_many(): mappings must be an iterable of mappings, "
     "not int"),
    (Merger(), "merge_many_inplace", ([{}],), ValueError,
     "Merger.merge_many_inplace(): mappings must hold at least two "
     "mappings, not 1"),
]


@pytest.mark.parametrize("merger, method, args, error, message", ARGUMENTS,
                         ids=[row[4] for row in ARGUMENTS])
def test_a_wrong_argument_is_named(merger, method, args, error, message):
    with pytest.raises(error) as info:
        getattr(merger, method)(*args)
    assert str(info.value) == message


def test_merge_many_takes_any_iterable():
    dicts = ({"a": {"b": 1}}, {"a": {"c": 2}}, {"d": 3})
    merged = Merger().merge_many(iter(dicts))
    assert merged == {"a": {"b": 1, "c": 2}, "d": 3}
    assert Merger().merge_many(mappings=dicts) == merged


# RFC 7396, Appendix A, as (original, patch, result); JSON null is None.
APPENDIX_A = [
    ({"a": "b"}, {"a": "c"}, {"a": "c"}),
    ({"a": "b"}, {"b": "c"}, {"a": "b", "b": "c"}),
    ({"a": "b"}, {"a": None}, {}),
    ({"a": "b", "b": "c"}, {"a": None}, {"b": "c"}),
    ({"a": ["b"]}, {"a": "c"}, {"a": "c"}),
    ({"a": "c"}, {"a": ["b"]}, {"a": ["b"]}),
    ({"a": {"b": "c"}}, {"a": {"b": "d", "c": None}}, {"a": {"b": "d"}}),
    ({"a": [{"b": "c"}]}, {"a": [1]}, {"a": [1]}),
    (["a", "b"], ["c", "d"], ["c", "d"]),
    ({"a": "b"}, ["c"], ["c"]),
    ({"a": "foo"}, None, None),
    ({"a": "foo"}, "bar", "bar"),
    ({"e": None}, {"a": 1}, {"e": None, "a": 1}),
    ([1, 2], {"a": "b", "c": None}, {"a": "b"}),
    ({}, {"a": {"bb": {"ccc": None}}}, {"a": {"bb": {}}}),
]


@pytest.mark.parametrize("target, patch, result", APPENDIX_A,
                         ids=[repr(row[:2]) for row in APPENDIX_A])
def test_merge_patch_is_rfc_7396(target, patch, result):
    untouched = copy.deepcopy((target, patch))
    assert merge_patch(target, patch) == result
    assert (target, patch) == untouched


def test_merge_patch_keeps_the_rules_key_order():
    merged = merge_patch({"a": 1, "b": {"x": 1}, "c": 3},
                         {"d": {"n": None, "m": 1}, "b": {"y": 2}, "a": None})
    assert list(merged) == ["b", "c", "d"] and merged["d"] == {"m": 1}
    assert list(merged["b"]) == ["x", "y"]


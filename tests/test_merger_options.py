"""Merger against its plain-Python model (merger_model.py), each option's
values in turn and a few combinations, on random nested data: results, key
order, what is shared, the conflicts raised and what an interrupted merge
leaves."""
import collections.abc
import copy

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from calvoro import DELETE, MergeConflict, Merger
from helpers import SubDict
from merger_model import NO_MARKER, Conflict, Model

VALUES = {
    "mappings": [collections.abc.Mapping, (SubDict, collections.OrderedDict)],
    "lists": ["replace", "keep", "append", "prepend", "append_unique",
              "append_rp", "prepend_rp"],
    "sets": ["replace", "keep", "union", "intersect"],
    "tuples": ["replace", "keep", "append"],
    "conflicts": ["keep", "error"],
    "type_conflicts": ["replace", "keep", "error"],
    "delete": [DELETE, None],
    "copy": [True],
}
OPTIONS = [{}] + [{name: value} for name, values in VALUES.items()
                  for value in values] + [
    {"lists": "append", "sets": "union", "tuples": "append",
     "delete": DELETE, "copy": True},
    {"lists": "append_unique", "type_conflicts": "error",
     "conflicts": "keep"},
    {"lists": "prepend_rp", "delete": None, "conflicts": "error"},
    {"mappings": collections.abc.Mapping, "delete": DELETE, "copy": True,
     "sets": "intersect"},
]


def option_id(options):
    return ",".join("%s=%s" % (name, getattr(value, "__name__", value))
                    for name, value in sorted(options.items())) or "rule"


def shape(obj, seen):
    """Types, contents, key order, and each container's identity told by
    its order of first appearance, so that sharing is compared too."""
    if not isinstance(obj, (dict, list, tuple, set, frozenset)):
        return (type(obj).__name__, obj)
    if id(obj) in seen:
        return ("same as", seen[id(obj)])
    seen[id(obj)] = len(seen)
    if isinstance(obj, dict):
        return (type(obj).__name__,
                [(k, shape(v, seen)) for k, v in obj.items()])
    if isinstance(obj, (set, frozenset)):
        return (type(obj).__name__, sorted(map(repr, obj)))
    return (type(obj).__name__, [shape(item, seen) for item in obj])


def shapes(*objects):
    seen = {}
    return [shape(obj, seen) for obj in objects]


KEYS = st.one_of(st.sampled_from("abc"), st.integers(0, 2))
SCALARS = st.one_of(st.none(), st.booleans(), st.integers(-2, 2),
                    st.text("xy", max_size=2))
LEAVES = st.one_of(
    SCALARS, st.just(DELETE), st.lists(SCALARS, max_size=3),
    st.lists(SCALARS, max_size=3).map(tuple),
    st.frozensets(SCALARS, max_size=3),
    st.frozensets(SCALARS, max_size=3).map(set))


def nested(children):
    mapping = st.dictionaries(KEYS, children, max_size=3)
    return st.one_of(mapping, mapping.map(SubDict),
                     mapping.map(collections.OrderedDict))


TREES = st.dictionaries(KEYS, st.recursive(LEAVES, nested, max_leaves=6),
                        max_size=4)
FUNCTIONS = ["merge", "merge_inplace", "merge_many", "merge_many_inplace"]


def call(target, function, dicts):
    if function.startswith("merge_many"):
        return getattr(target, function)(dicts)
    return getattr(target, function)(dicts[0], dicts[1])


@pytest.mark.parametrize("options", OPTIONS, ids=option_id)
@settings(max_examples=25, deadline=None,
          suppress_health_check=[HealthCheck.too_slow,
                                 HealthCheck.data_too_large])
@given(function=st.sampled_from(FUNCTIONS),
       dicts=st.lists(TREES, min_size=3, max_size=3))
def test_merger_agrees_with_its_model(options, function, dicts):
    model_options = dict(options)
    model_options.setdefault("delete", NO_MARKER)
    if isinstance(model_options.get("mappings"), tuple):
        # the top level is a plain dict: the model's are too, as tested
        model_options["mappings"] += (dict,)
        options = dict(options, mappings=model_options["mappings"])
    expected_dicts = copy.deepcopy(dicts)
    try:
        expected = call(Model(**model_options), function, expected_dicts)
        conflict = None
    except Conflict as exc:
        expected, conflict = None, exc
    try:
        result = call(Merger(**options), function, dicts)
        raised = None
    except MergeConflict as exc:
        result, raised = None, exc
    assert shapes(result, *dicts) == shapes(expected, *expected_dicts)
    assert (raised is None) == (conflict is None)
    if conflict is not None:
        assert raised.path == conflict.path
        assert shapes(raised.first, raised.second) == shapes(
            conflict.first, conflict.second)
        assert str(raised) == "conflicting %s at %r: %s and %s" % (
            "types" if conflict.of_types else "values", conflict.path,
            type(conflict.first).__name__, type(conflict.second).__name__)


JOINED = [
    ("lists", "append", [1, 2], [2, 3], [1, 2, 2, 3]),
    ("lists", "prepend", [1, 2], [2, 3], [2, 3, 1, 2]),
    ("lists", "append_unique", [1, 2], [2, 3, 3], [1, 2, 3]),
    ("lists", "append_rp", [1, 2], [2, 3], [1, 2, 3]),
    ("lists", "prepend_rp", [1, 2], [2, 3], [2, 3, 1]),
    ("sets", "union", {1, 2}, frozenset({2, 3}), {1, 2, 3}),
    ("sets", "intersect", frozenset({1, 2}), {2, 3}, frozenset({2})),
    ("tuples", "append", (1,), (2,), (1, 2)),
]


@pytest.mark.parametrize("option, mode, a, b, joined", JOINED,
                         ids=[row[1] for row in JOINED])
def test_a_join_is_a_new_object(option, mode, a, b, joined):
    before = copy.copy(a)
    first = {"k": a}
    Merger(**{option: mode}).merge_inplace(first, {"k": b})
    assert first["k"] == joined and type(first["k"]) is type(joined)
    assert first["k"] is not a and a == before

"""Merger() merges as the merge rule does: on dicts and their subclasses,
the results, key order, identities and sharing of anyfold's functions, and
so of tightfold's on exact dicts."""
import copy

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from calvoro import Merger, anyfold, tightfold
from helpers import SubDict
from test_merger_options import shapes

KEYS = st.one_of(st.sampled_from("abcd"), st.integers(0, 3))
SCALARS = st.one_of(st.none(), st.integers(-2, 2), st.text("xy", max_size=2))


def nested(children, subclass):
    mapping = st.dictionaries(KEYS, children, max_size=4)
    return st.one_of(mapping, mapping.map(SubDict)) if subclass else mapping


def trees(subclass):
    values = st.recursive(
        st.one_of(SCALARS, st.lists(SCALARS, max_size=2)),
        lambda children: nested(children, subclass), max_leaves=10)
    return st.lists(st.dictionaries(KEYS, values, max_size=5), min_size=3,
                    max_size=3)


def call(target, function, dicts):
    if function.startswith("merge_many"):
        return getattr(target, function)(list(dicts))
    return getattr(target, function)(dicts[0], dicts[1])


FUNCTIONS = ["merge", "merge_inplace", "merge_many", "merge_many_inplace"]
# the module to agree with, and whether the data holds dict subclasses
AGAINST = [("anyfold", True), ("tightfold", False)]


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("name, subclass", AGAINST, ids=["anyfold",
                                                          "tightfold"])
@settings(max_examples=40, deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_default_merger_is_the_merge_rule(name, subclass, function, data):
    module = {"anyfold": anyfold, "tightfold": tightfold}[name]
    dicts = data.draw(trees(subclass))
    # the same objects shared the same way between the mappings
    dicts[2]["shared"] = dicts[1]["shared"] = dicts[0].get("a", [1])
    theirs = copy.deepcopy(dicts)
    result = call(Merger(), function, dicts)
    expected = call(module, function, theirs)
    assert shapes(result, *dicts) == shapes(expected, *theirs)

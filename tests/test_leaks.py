"""Repeated calls, successful and failing, must leak neither objects nor
references to what they were given."""

import pytest

from helpers import (BYTE_ALLOWANCE, OBJECT_ALLOWANCE, leak_growth,
                     RaisingKey, SubDict, object_graph, quiet_reports)



def make_inputs():
    return {
        "first": {"a": 1, "n": {"x": [1, 2], "y": "s"}, 3: None},
        "second": {"b": 2.5, "n": {"y": "t", "z": {"q": 1}}, 3: {"new": 1}},
        "third": {"n": {"x": (1,)}, "c": "value"},
        "eq_first": {RaisingKey(): 1},
        "eq_second": {RaisingKey(): 2},
        "sub_first": {"k": SubDict(a=1)},
        "sub_second": {"k": {"b": 2}},
    }


BOTH = {
    "merge": lambda m, i: m.merge(i["first"], i["second"]),
    "merge by keyword": lambda m, i: m.merge(
        second_dict=i["second"], first_dict=i["first"]),
    "merge_inplace": lambda m, i: m.merge_inplace(i["first"], i["second"]),
    "merge_many": lambda m, i: m.merge_many(
        [i["first"], i["second"], i["third"]]),
    "merge_many_inplace": lambda m, i: m.merge_many_inplace(
        [i["first"], i["second"], i["third"]]),
    "missing argument": lambda m, i: m.merge(i["first"]),
    "extra argument": lambda m, i: m.merge(i["first"], i["second"], 1),
    "argument twice": lambda m, i: m.merge_inplace(
        i["first"], i["second"], first_dict=i["first"]),
    "unknown keyword": lambda m, i: m.merge(
        i["first"], i["second"], third=1),
    "many by keyword": lambda m, i: m.merge_many(dicts=[i["first"]]),
    "many without argument": lambda m, i: m.merge_many_inplace(),
    "too short": lambda m, i: m.merge_many([i["first"]]),
    "too short in place": lambda m, i: m.merge_many_inplace([]),
    "raising eq": lambda m, i: m.merge(i["eq_first"], i["eq_second"]),
    "raising eq in place": lambda m, i: m.merge_inplace(
        i["eq_first"], i["eq_second"]),
    "raising eq in many": lambda m, i: m.merge_many_inplace(
        [i["eq_first"], i["second"], i["eq_second"]]),
}

ONLY = {
    "anyfold": {
        "_rmerge": lambda m, i: m._rmerge(i["first"], i["second"]),
        "not iterable": lambda m, i: m.merge_inplace(i["first"], 5),
        "no length": lambda m, i: m.merge_many(5),
        "no item assignment": lambda m, i: m.merge_inplace(
            (), i["second"]),
    },
    "tightfold": {
        "argument type": lambda m, i: m.merge([], i["second"]),
        "list type": lambda m, i: m.merge_many((i["first"], i["second"])),
        "None merged": lambda m, i: m.merge(i["first"], None),
        "None in place": lambda m, i: m.merge_inplace(i["first"], None),
        "subclass in place": lambda m, i: m.merge_inplace(
            i["sub_first"], i["sub_second"]),
        "subclass in many": lambda m, i: m.merge_many(
            [i["first"], i["sub_first"], i["sub_second"]]),
        "bad element": lambda m, i: m.merge_many([i["first"], 5]),
        "bad element in place": lambda m, i: m.merge_many_inplace(
            [i["first"], i["second"], 5]),
        "None list": lambda m, i: m.merge_many_inplace(None),
    },
}

CASES = [(name, case) for name in ["anyfold", "tightfold"]
         for case in sorted(BOTH) + sorted(ONLY[name])]


# Small ints and interned strings are shared with the rest of the process;
# their counts move with it.
OWN_TYPES = (dict, list, tuple, float, RaisingKey, SubDict)


def reachable(objects):
    """The inputs' own objects, nested ones included, once each."""
    seen, _ = object_graph(objects)
    return [obj for obj in seen.values() if type(obj) in OWN_TYPES]


@pytest.mark.parametrize("name, case", CASES)
def test_repeated_calls_leak_nothing(name, case):
    module = __import__("calvoro." + name, fromlist=["_"])
    call = BOTH.get(case) or ONLY[name][case]
    inputs = make_inputs()

    def once():
        try:
            call(module, inputs)
        except Exception:
            pass

    with quiet_reports():
        # still inside at the end: the last report holds its exception, as
        # before
        grown, objects, refcounts, after = leak_growth(
            once, lambda: reachable(inputs.values()))
    assert grown < BYTE_ALLOWANCE and objects < OBJECT_ALLOWANCE
    assert after == refcounts

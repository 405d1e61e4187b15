"""A Merger under stress: repeated calls leak nothing, Python code that
changes the data mid-merge crashes nothing, deep nesting goes as deep as
the merge rule's, and threads may share one Merger."""
import copy
import json
import threading

import pytest

from calvoro import DELETE, MergeConflict, Merger, explain
from helpers import (BYTE_ALLOWANCE, OBJECT_ALLOWANCE, leak_growth,
                     RaisingKey, SubDict, object_graph, run_script)



def make_inputs():
    return {
        "first": {"a": 1, "n": {"x": [1, 2], "y": "s", "t": (1,)}, 3: None,
                  "s": {1}},
        "second": {"b": 2.5, "n": {"x": [3], "y": "t", "t": (2,),
                                   "z": {"q": 1, "d": DELETE}},
                   3: {"new": [1]}, "s": frozenset({2}), "a": DELETE},
        "conflicting": {"n": {"y": 1}},
        "eq_first": {RaisingKey(): 1},
        "eq_second": {RaisingKey(): 2},
        "sub": SubDict(n=SubDict(x=[5])),
    }


FULL = Merger(lists="append_unique", sets="union", tuples="append",
              delete=DELETE, copy=True)
CASES = {
    "rule": lambda i: Merger().merge(i["first"], i["second"]),
    "all options": lambda i: FULL.merge(i["first"], i["second"]),
    "in place": lambda i: Merger(lists="append").merge_inplace(
        {"n": {"x": [0]}, "a": 1}, i["second"]),
    "many": lambda i: FULL.merge_many([i["first"], i["sub"], i["second"]]),
    "generic mappings": lambda i: Merger(
        mappings=SubDict, lists="prepend_rp").merge(i["sub"], i["sub"]),
    "conflict": lambda i: Merger(conflicts="error").merge(
        i["first"], i["conflicting"]),
    "type conflict": lambda i: Merger(type_conflicts="error").merge_many(
        [i["first"], i["second"], i["conflicting"]]),
    "raising eq": lambda i: FULL.merge(i["eq_first"], i["eq_second"]),
    "wrong argument": lambda i: FULL.merge_inplace(i["first"], [1]),
    "too few": lambda i: FULL.merge_many([i["first"]]),
    "explain": lambda i: explain(
        [i["first"], i["sub"], i["second"], i["conflicting"]], "abcd", FULL),
    "explain, copied layers": lambda i: explain(
        [i["first"], i["second"], i["sub"]], merger=Merger(lists="append")),
    "explain conflict": lambda i: explain(
        [i["first"], i["conflicting"]], merger=Merger(type_conflicts="error")),
}
OWN_TYPES = (dict, list, tuple, float, set, frozenset, RaisingKey, SubDict)


@pytest.mark.parametrize("case", sorted(CASES))
def test_repeated_calls_leak_nothing(case):
    inputs = make_inputs()

    def once():
        try:
            CASES[case](inputs)
        except Exception:
            pass

    def watch():
        seen, _ = object_graph(inputs.values())
        return [obj for obj in seen.values() if type(obj) in OWN_TYPES]

    grown, objects, refcounts, after = leak_growth(once, watch)
    assert grown < BYTE_ALLOWANCE
    assert objects < OBJECT_ALLOWANCE
    assert after == refcounts


class Meddler:
    """Runs `change` at its nth hash or comparison: the merge's data
    changes under it."""

    def __init__(self, value, change, at=1):
        self.value, self.change, self.at = value, change, at

    def meddle(self):
        self.at -= 1
        if self.at == 0:
            self.change()

    def __hash__(self):
        self.meddle()
        return hash(self.value)

    def __eq__(self, other):
        self.meddle()
        return self.value == getattr(other, "value", other)


class MeddlingMeta(type):
    change = None

    def __instancecheck__(cls, obj):
        if MeddlingMeta.change:
            MeddlingMeta.change()
        return isinstance(obj, dict)


class MeddlingMapping(metaclass=MeddlingMeta):
    pass


def meddled(kind, at):
    """(merger, first, second): a merge whose code clears both mappings,
    and the nested ones, at its at-th call."""
    first = {"k": {"x": [1, 2], "s": {1, 2}, "n": {"y": 1}}, "z": 1}
    second = {"k": {"x": [2, 3], "s": {2, 3}, "n": {"y": 2}}, "z": 2}

    def change():
        for d in (first, second, first["k"], second["k"]):
            d.clear()
    if kind == "key":
        key = Meddler("k", change, at)
        first[key] = {"x": [1]}
        second[key] = {"x": [2]}
    elif kind == "list item":
        second["k"]["x"].append(Meddler(1, change, at))
    elif kind == "set item":
        second["k"]["s"].add(Meddler(9, change, at))
    elif kind == "isinstance":
        MeddlingMeta.change = Meddler(None, change, at).meddle
        return Merger(mappings=MeddlingMapping, lists="append"), first, second
    return (Merger(lists="append_unique", sets="union", delete=DELETE,
                   copy=True, type_conflicts="error"), first, second)


@pytest.mark.parametrize("at", [1, 2, 3, 5])
@pytest.mark.parametrize("kind", ["key", "list item", "set item",
                                  "isinstance"])
@pytest.mark.parametrize("function", ["merge", "merge_inplace", "explain"])
def test_data_changed_mid_merge_crashes_nothing(function, kind, at):
    merger, first, second = meddled(kind, at)
    try:
        if function == "explain":
            explain([first, second, second], merger=merger)
        else:
            getattr(merger, function)(first, second)
    except (RuntimeError, KeyError, TypeError, MergeConflict):
        pass
    finally:
        MeddlingMeta.change = None
    assert isinstance(first, dict) and isinstance(second, dict)


DEEP = """
import json, sys
from calvoro import DELETE, Merger, explain

def chain(levels, leaf, extra):
    top = level = {}
    for _ in range(levels - 1):
        level.update(extra)
        level["k"] = {}
        level = level["k"]
    level["leaf"] = leaf
    return top

def depth(d):
    n = 0
    while "k" in d:
        n, d = n + 1, d["k"]
    return n

sys.setrecursionlimit(10 ** 6)
levels = %d
merger = Merger(lists="append", delete=DELETE, type_conflicts="error")
first = chain(levels, [1], {"l": [0]})
merger.merge_inplace(first, chain(levels, [2], {"l": [1], "gone": DELETE}))
# an added chain is rebuilt without the marker's keys, level by level
added = merger.merge({}, {"new": chain(levels, 3, {"gone": DELETE})})
try:
    merger.merge_inplace(chain(levels, 1, {}), chain(levels, "x", {}))
    path = None
except Exception as exc:
    path = len(exc.path)
report = explain([chain(levels, 1, {}), chain(levels, "x", {})])
[(leaf, origin)] = report.origins.items()
print(json.dumps([depth(first), first["l"], "gone" in first,
                  depth(added["new"]), path, len(leaf), origin,
                  len(report.conflicts[0].path)]))
"""


def test_a_deep_merge_with_options_completes():
    levels = 100000
    proc = run_script(DEEP % levels)
    assert json.loads(proc.stdout) == [levels - 1, [0, 1], False,
                                       levels - 1, levels, levels, 1, levels]


def test_threads_share_one_merger():
    # copying value by value while another thread changes and restores the
    # copy module's dispatch table: each copy is the native or the real one
    merger = Merger(lists="append", sets="union", delete=DELETE, copy=True)
    shared = {"n": {"l": [1], "s": {1}}, "m": 1}
    errors = []
    table = copy._deepcopy_dispatch
    real = table[list]

    def meddle():
        try:
            for _ in range(300):
                table[list] = lambda x, memo, deepcopy=copy.deepcopy: real(
                    x, memo, deepcopy)
                table[list] = real
        finally:
            table[list] = real

    def merge():
        try:
            for i in range(300):
                first = {"n": {"l": [0], "s": {0}}, "m": 0}
                merger.merge_inplace(first, shared)
                merger.merge_inplace(first, {"n": {"l": [i]}, "m": DELETE})
                assert first == {"n": {"l": [0, 1, i], "s": {0, 1}}}
        except Exception as exc:
            errors.append(exc)

    threads = [threading.Thread(target=merge) for _ in range(4)]
    threads.append(threading.Thread(target=meddle))
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_code_run_by_a_nested_join_is_seen_by_the_levels_above():
    # a list item's comparison, deep in a fused run, gives the top level a
    # key whose comparison takes away the top level's next value
    second = {"a": {"l": [1]}, "b": {"y": {"deep": 1}}}
    first = {"a": {"l": []}}

    class Thief:
        def __hash__(self):
            return hash("b")

        def __eq__(self, other):
            second.pop("b", None)
            return False

    class Planter:
        def __eq__(self, other):
            first[Thief()] = 0
            return False

    first["a"]["l"].append(Planter())
    try:
        Merger(lists="append_unique").merge_inplace(first, second)
    except RuntimeError:
        pass
    assert first.get("b") in (None, {"y": {"deep": 1}})

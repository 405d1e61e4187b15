"""explain(): its result against merge_many's, its origins and conflicts
against the plain-Python model (merger_model.py) for every option, its
report's parts, its arguments, and layers that share objects."""
import copy
import importlib.util
import json
import pickle
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from calvoro import (DELETE, Conflict, Explanation, MergeConflict, Merger,
                     explain)
from helpers import run_script
from merger_model import NO_MARKER, Conflict as ModelConflict, Model
from test_merger_options import OPTIONS, TREES, option_id, shapes


def plain(obj):
    """Types, contents and key order, but not what is shared."""
    if isinstance(obj, dict):
        return (type(obj).__name__, [(k, plain(v)) for k, v in obj.items()])
    if isinstance(obj, (set, frozenset)):
        return (type(obj).__name__, sorted(map(repr, obj)))
    if isinstance(obj, (list, tuple)):
        return (type(obj).__name__, [plain(item) for item in obj])
    return (type(obj).__name__, obj)


@pytest.mark.parametrize("options", OPTIONS, ids=option_id)
@settings(max_examples=25, deadline=None,
          suppress_health_check=[HealthCheck.too_slow,
                                 HealthCheck.data_too_large])
@given(layers=st.lists(TREES, min_size=2, max_size=4),
       labels=st.sampled_from([None, "abcd", (1.5, "x", None, ())]))
def test_explain_agrees_with_merge_many_and_the_model(options, layers,
                                                      labels):
    model_options = dict(options)
    model_options.setdefault("delete", NO_MARKER)
    if isinstance(model_options.get("mappings"), tuple):
        model_options["mappings"] += (dict,)
        options = dict(options, mappings=model_options["mappings"])
    merger = Merger(**options)
    names = None if labels is None else tuple(labels[:len(layers)])
    before = shapes(*layers)
    try:
        expected = Model(**model_options).explain(
            layers, names or range(len(layers)))
        merged = merger.merge_many(copy.deepcopy(layers))
    except ModelConflict as conflict:
        with pytest.raises(MergeConflict) as raised:
            explain(layers, names, merger)
        assert raised.value.path == conflict.path
        assert (raised.value.first_layer,
                raised.value.second_layer) == conflict.layers
    else:
        report = explain(layers, names, merger)
        assert plain(report.result) == plain(expected[0]) == plain(merged)
        assert list(report.origins.items()) == list(expected[1].items())
        assert report.conflicts == tuple(map(Conflict._make, expected[2]))
    assert shapes(*layers) == before


def test_the_report_names_layers_joins_and_conflicts():
    layers = [{"server": {"port": 80, "host": "h"}, "plugins": ["a"],
               "db": {"url": "x"}, "gone": 1},
              {"server": {"port": 81}, "db": "sqlite", "gone": DELETE,
               "plugins": ["b"], "empty": {}},
              {"server": {"port": 82}, "plugins": ["c"], "db": {"u": 1}}]
    report = explain(layers, names=("defaults", "site", "local"),
                     merger=Merger(lists="append", delete=DELETE))
    assert report.result == Merger(lists="append", delete=DELETE).merge_many(
        copy.deepcopy(layers))
    assert list(report.origins.items()) == [
        (("server", "port"), "local"), (("server", "host"), "defaults"),
        (("plugins",), ("defaults", "site", "local")),
        (("db", "u"), "local"), (("empty",), "site")]
    assert report.conflicts == (
        Conflict(("db",), "defaults", "site", dict, str, "replace"),
        Conflict(("db",), "site", "local", str, dict, "replace"))
    assert repr(report.conflicts[0]) == (
        "Conflict(path=('db',), first='defaults', second='site', "
        "first_type=dict, second_type=str, outcome='replace')")
    assert pickle.loads(pickle.dumps(report)) == report
    assert isinstance(report, Explanation) and report[0] is report.result


@pytest.mark.parametrize("merger, outcome", [
    (Merger(), "replace"), (Merger(type_conflicts="keep"), "keep"),
    (Merger(lists="append"), "append"),
    (Merger(conflicts="keep"), "keep")])
def test_a_conflict_says_what_the_merger_did(merger, outcome):
    class Items(list):
        pass
    report = explain([{"k": [1]}, {"k": Items([2])}], merger=merger)
    assert report.conflicts == (
        Conflict(("k",), 0, 1, list, Items, outcome),)
    # a joined value names each layer it came from; a kept one, its own
    assert report.origins == {
        ("k",): {"append": (0, 1), "keep": 0}.get(outcome, 1)}


def test_a_raised_conflict_names_the_layer_that_held_the_value():
    layers = [{"a": {"k": 1}}, {"b": 1}, {"a": {"j": 2}}, {"a": [1]}]
    with pytest.raises(MergeConflict) as raised:
        explain(layers, "wxyz", Merger(type_conflicts="error"))
    error = raised.value
    assert (error.path, error.first_layer, error.second_layer) == (
        ("a",), "y", "z")
    with pytest.raises(MergeConflict) as raised:
        Merger(type_conflicts="error").merge_many(layers)
    assert raised.value.first_layer is None


def test_a_layer_is_copied_where_a_later_one_merges_into_it():
    # merge_many merges into the dict that layer 1 added, and so changes
    # layer 1 at both places that share it; explain changes no layer
    shared = {"x": 1}
    layers = [{"a": {}}, {"a": {"s": shared}, "b": shared},
              {"a": {"s": {"y": 2}}}]
    before = shapes(*layers)
    report = explain(layers)
    assert shapes(*layers) == before
    assert report.result == {"a": {"s": {"x": 1, "y": 2}}, "b": {"x": 1}}
    assert report.origins == {("a", "s", "x"): 1, ("a", "s", "y"): 2,
                              ("b", "x"): 1}


def test_a_cycle_in_the_result_is_a_leaf_where_it_comes_back():
    first = {"n": 1}
    first["self"] = first
    report = explain([first, {"n": 2}])
    assert report.result["self"] is report.result
    assert report.origins == {("n",): 1, ("self",): 0}
    first = {"sub": {"k": 1}}
    first["sub"]["up"] = first["sub"]
    report = explain([first, {"sub": {"k": 2}}])
    assert report.origins == {("sub", "k"): 1, ("sub", "up"): 0}


@pytest.mark.parametrize("args, error, message", [
    ((5,), TypeError, "layers must be a sequence of mappings, not int"),
    (([{}],), ValueError, "layers must hold at least two mappings, not 1"),
    (([{}, []],), TypeError, "layers[1] must be a dict, not list"),
    (([{}, {}], "a"), ValueError,
     "names must give one name per layer: 1 names for 2 layers"),
    (([{}, {}], ["a", []]), TypeError, "names[1] must be hashable, not list"),
    (([{}, {}], None, dict), TypeError,
     "merger must be a calvoro.Merger, not type"),
])
def test_arguments_are_checked(args, error, message):
    with pytest.raises(error) as raised:
        explain(*args)
    assert str(raised.value) == "explain(): " + message


@pytest.mark.parametrize("args, error", [
    (([{}, {}], ("a", "b"), Conflict), TypeError),
    ((({}, {}), ("a",), Conflict), ValueError),
    ((({}, 1), ("a", "b"), Conflict), TypeError),
    ((({}, {}), ("a", "b"), dict), TypeError),
])
def test_the_native_part_checks_its_own_arguments(args, error):
    with pytest.raises(error):
        Merger()._explain(*args)


def test_threads_explain_shared_layers_alike():
    layers = [{"a": {"x": [1], "y": 1}, "b": 1}, {"a": {"x": [2]}, "b": "s"},
              {"a": {"z": {}}, "c": {"d": 1}}, {"a": {"x": [3], "y": 2.5}}]
    merger = Merger(lists="append")
    expected = explain(layers, "wxyz", merger)
    reports = []

    def work():
        reports.extend(explain(layers, "wxyz", merger) for _ in range(200))
    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(reports) == 800 and all(r == expected for r in reports)


OUT_OF_MEMORY = """
import _testcapi, copy, json
from calvoro import DELETE, Merger, explain
# the first layer plain data: the host's own copy.deepcopy of a set
# crashes under failing allocations on 3.12 and 3.13
layers = [{"a": {"x": [1], "y": 1}, "b": 1, "d": {"e": {}}},
          {"a": {"x": [2], "y": "s", "s": {1}}, "b": "s",
           "d": {"e": {"f": 1}}, "n": {"m": 1}},
          {"a": {"z": {}, "x": [3], "s": {2}}, "c": {"d": 1},
           "n": {"m": 2}, "b": DELETE}]
merger = Merger(lists="append", sets="union", delete=DELETE)
before = copy.deepcopy(layers)
expected = explain(layers, "abc", merger)
outcomes = []
for start in range(2500):
    _testcapi.set_nomemory(start, start + 1)
    try:
        outcomes.append(explain(layers, "abc", merger) == expected)
    except MemoryError:
        outcomes.append("MemoryError")
    finally:
        _testcapi.remove_mem_hooks()
    assert layers == before, start
print(json.dumps(sorted(set(map(str, outcomes)))))
"""


@pytest.mark.skipif(importlib.util.find_spec("_testcapi") is None,
                    reason="needs _testcapi")
def test_each_allocation_failing_in_turn():
    # each fails with MemoryError or makes the whole report; no layer
    # changes either way
    proc = run_script(OUT_OF_MEMORY)
    assert json.loads(proc.stdout) == ["MemoryError", "True"]

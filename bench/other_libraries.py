"""Checks the README's table of other libraries' modes ("Merge modes")
against the installed libraries: the Merger it gives for each mode agrees
with that mode on random nested data, and each difference it names is
there.

    pip install mergedeep deepmerge python-benedict ansible-core
    python bench/other_libraries.py

in an environment where calvoro is installed (or with PYTHONPATH=src after
an in-place build); ansible-core wants a recent Python. Exit status 1 if a
claim fails.
"""
import collections
import collections.abc as abc
import copy
import random
import sys
from importlib.metadata import version

import ansible.utils.vars as ansible_vars
import benedict
import benedict.core
import deepmerge
import mergedeep
from deepmerge.exception import InvalidMerge

from calvoro import MergeConflict, Merger

failures = []


def claim(text, holds):
    print("%-4s %s" % ("ok" if holds else "FAIL", text))
    if not holds:
        failures.append(text)


# -- random plain data, where the libraries and their Mergers must agree -----

def leaf(rng, kinds):
    r = rng.random()
    if r < 0.2 and "list" in kinds:
        return [rng.randrange(4) for _ in range(rng.randrange(4))]
    if r < 0.3 and "set" in kinds:
        return set(rng.randrange(4) for _ in range(rng.randrange(3)))
    if r < 0.4 and "tuple" in kinds:
        return tuple(rng.randrange(4) for _ in range(rng.randrange(3)))
    if r < 0.5:
        return None
    if r < 0.7:
        return rng.randrange(4)
    if r < 0.8:
        return rng.random() < 0.5
    return rng.choice("xyz")


def tree(rng, kinds, depth=0):
    return {key: (tree(rng, kinds, depth + 1)
                  if depth < 2 and rng.random() < 0.35 else leaf(rng, kinds))
            for key in rng.sample("abcd", rng.randrange(1, 5))}


def same(x, y):
    if type(x) is not type(y):
        return False
    if isinstance(x, dict):
        return list(x) == list(y) and all(same(v, y[k]) for k, v in x.items())
    if isinstance(x, (list, tuple)):
        return len(x) == len(y) and all(map(same, x, y))
    return x == y


def outcome(call):
    try:
        return "value", call()
    except (TypeError, InvalidMerge, MergeConflict) as exc:
        return "raised", type(exc).__name__


def agree(name, theirs, ours, kinds, errors=None, runs=3000):
    """theirs(a, b) and ours(a, b) on copies of the same random pairs: the
    same results, and each raising where the other does."""
    rng = random.Random(name)
    for _ in range(runs):
        a, b = tree(rng, kinds), tree(rng, kinds)
        got = outcome(lambda: theirs(copy.deepcopy(a), copy.deepcopy(b)))
        want = outcome(lambda: ours(copy.deepcopy(a), copy.deepcopy(b)))
        if got[0] != want[0] or (got[0] == "value"
                                 and not same(got[1], want[1])):
            claim("%s agrees with its Merger (%r, %r: %r against %r)"
                  % (name, a, b, got, want), False)
            return
        if got[0] == "raised" and errors:
            assert (got[1], want[1]) == errors, (got, want)
    claim("%s agrees with its Merger on %d random pairs" % (name, runs),
          True)


def inplace(merger):
    def merge(a, b):
        merger.merge_inplace(a, b)
        return a
    return merge


ALL = ("list", "set", "tuple")
MAPPING = abc.Mapping
M = mergedeep.Strategy

# -- mergedeep ---------------------------------------------------------------

print("mergedeep", version("mergedeep"))
for strategy, merger in [
        (M.REPLACE, Merger(mappings=MAPPING, copy=True)),
        (M.ADDITIVE, Merger(mappings=MAPPING, lists="append", sets="union",
                            tuples="append", copy=True)),
        (M.TYPESAFE_REPLACE, Merger(mappings=MAPPING, type_conflicts="error",
                                    copy=True)),
        (M.TYPESAFE_ADDITIVE, Merger(mappings=MAPPING, lists="append",
                                     sets="union", tuples="append",
                                     type_conflicts="error", copy=True))]:
    agree("mergedeep %s" % strategy.name,
          lambda a, b, s=strategy: mergedeep.merge(a, b, strategy=s),
          inplace(merger), ALL, ("TypeError", "MergeConflict"))

dst = {"k": [1]}
out = mergedeep.merge(dst, {"k": [2]})
claim("mergedeep merges into its first argument and returns it",
      out is dst and dst == {"k": [2]})
shared = [1]
src = {"a": shared, "b": shared, "n": {"x": 1}}
dst = mergedeep.merge({}, src)
claim("mergedeep deep-copies each value it takes, each on its own",
      dst["a"] is not shared and dst["a"] is not dst["b"]
      and dst["n"] is not src["n"])
dst = mergedeep.merge({}, {"a": 1}, {"a": 2, "b": 3})
claim("mergedeep merges its sources in turn", dst == {"a": 2, "b": 3})
dst = {}
Merger(copy=True).merge_inplace(dst, src)
claim("so does Merger(copy=True)",
      dst["a"] is not shared and dst["a"] is not dst["b"]
      and dst["n"] is not src["n"])
first = [1]
alias = first
mergedeep.merge({"k": first}, {"k": [2]}, strategy=M.ADDITIVE)
claim("mergedeep ADDITIVE extends the first mapping's list in place",
      alias == [1, 2])
first = {1}
alias = first
mergedeep.merge({"k": first}, {"k": {2}}, strategy=M.ADDITIVE)
claim("mergedeep ADDITIVE updates the first mapping's set in place",
      alias == {1, 2})
first = [1]
dst = {"k": first}
Merger(lists="append").merge_inplace(dst, {"k": [2]})
claim("a Merger join makes a new list and leaves the old one",
      first == [1] and dst["k"] == [1, 2])
dst = mergedeep.merge({"k": frozenset({1})}, {"k": frozenset({2})},
                      strategy=M.ADDITIVE)
claim("mergedeep ADDITIVE replaces frozensets",
      dst["k"] == frozenset({2}))
dst = mergedeep.merge({"k": {1}}, {"k": frozenset({2})}, strategy=M.ADDITIVE)
claim("mergedeep ADDITIVE replaces a set by a frozenset",
      dst["k"] == frozenset({2}))
dst = Merger(sets="union").merge({"k": frozenset({1})},
                                 {"k": frozenset({2})})
claim("Merger(sets='union') joins frozensets (and sets with them)",
      dst["k"] == frozenset({1, 2}))
same_list = [1]
dst = mergedeep.merge({"k": same_list}, {"k": same_list},
                      strategy=M.ADDITIVE)
claim("mergedeep leaves a value alone where both mappings hold the very "
      "same object (no doubled list)", dst["k"] == [1])
dst = {"k": same_list}
Merger(lists="append").merge_inplace(dst, {"k": same_list})
claim("a Merger joins it with itself", dst["k"] == [1, 1])
counters = mergedeep.merge({"c": collections.Counter(a=1)},
                           {"c": collections.Counter(a=2)},
                           strategy=M.ADDITIVE)
claim("mergedeep ADDITIVE adds Counters' counts",
      counters["c"] == collections.Counter(a=3))
counters = mergedeep.merge({"c": collections.Counter(a=1, b=1)},
                           {"c": collections.Counter(a=2)})
claim("mergedeep REPLACE merges Counters as mappings",
      counters["c"] == collections.Counter(a=2, b=1))
counters = Merger(mappings=MAPPING).merge(
    {"c": collections.Counter(a=1, b=1)}, {"c": collections.Counter(a=2)})
claim("so does Merger(mappings=Mapping)",
      counters["c"] == collections.Counter(a=2, b=1))
dst = mergedeep.merge({"m": collections.OrderedDict(a=1)},
                      {"m": {"b": 2}}, strategy=M.TYPESAFE_REPLACE)
claim("mergedeep merges any two Mappings, TYPESAFE too, whatever their "
      "types", dst["m"] == {"a": 1, "b": 2})
try:
    mergedeep.merge({"k": 1}, {"k": True}, strategy=M.TYPESAFE_REPLACE)
except TypeError:
    claim("mergedeep TYPESAFE raises TypeError (bool is not int)", True)
else:
    claim("mergedeep TYPESAFE raises TypeError (bool is not int)", False)
dst = {"k": None}
mergedeep.merge(dst, {"k": 1})
claim("mergedeep: None is a value like any other", dst == {"k": 1})

# -- deepmerge ---------------------------------------------------------------

print("deepmerge", version("deepmerge"))
KEEP = Merger(lists="append", sets="union", conflicts="keep")
DM = {
    "always_merger": (deepmerge.always_merger,
                      Merger(lists="append", sets="union")),
    "merge_or_raise": (deepmerge.merge_or_raise,
                       Merger(lists="append", sets="union",
                              conflicts="error")),
    "conservative_merger": (deepmerge.conservative_merger, KEEP),
}
for name, (theirs, merger) in DM.items():
    agree("deepmerge %s" % name, theirs.merge, inplace(merger), ALL,
          ("InvalidMerge", "MergeConflict"))
for strategy, lists in [("append", "append"), ("prepend", "prepend"),
                        ("override", None), ("append_unique",
                                             "append_unique")]:
    theirs = deepmerge.Merger([(list, strategy), (dict, "merge"),
                               (set, "union")], ["override"], ["override"])
    agree("deepmerge list strategy %s" % strategy, theirs.merge,
          inplace(Merger(lists=lists, sets="union")), ALL)

base = {"k": [1], "n": {}}
later = {"n": {"x": [2]}, "new": {"y": 1}}
out = deepmerge.always_merger.merge(base, later)
claim("deepmerge merges into its first argument, returns it, and shares "
      "the later one's values", out is base and base["new"] is later["new"]
      and base["n"]["x"] is later["n"]["x"])
first = [1]
out = deepmerge.always_merger.merge({"k": first}, {"k": [2]})
claim("deepmerge append makes a new list", first == [1]
      and out["k"] == [1, 2])
out = deepmerge.always_merger.merge({"k": (1,)}, {"k": (2,)})
claim("deepmerge replaces tuples", out["k"] == (2,))
out = deepmerge.always_merger.merge({"k": frozenset({1})},
                                    {"k": frozenset({2})})
claim("deepmerge replaces frozensets", out["k"] == frozenset({2}))
try:
    deepmerge.merge_or_raise.merge({"k": frozenset()}, {"k": frozenset()})
except InvalidMerge:
    raised = True
else:
    raised = False
claim("deepmerge merge_or_raise raises on two frozensets", raised)
out = deepmerge.conservative_merger.merge({"k": frozenset({1})},
                                          {"k": frozenset({2})})
claim("deepmerge conservative_merger keeps frozensets",
      out["k"] == frozenset({1}))


class SubSet(set):
    pass


out = deepmerge.always_merger.merge({"k": SubSet({1})}, {"k": {2}})
claim("deepmerge joins set subclasses", out["k"] == {1, 2})
try:
    deepmerge.merge_or_raise.merge({"k": 1}, {"k": 1})
except InvalidMerge:
    raised = True
else:
    raised = False
claim("deepmerge merge_or_raise raises InvalidMerge even on two equal "
      "values", raised)
try:
    Merger(conflicts="error").merge({"k": 1}, {"k": 1})
except MergeConflict:
    raised = True
else:
    raised = False
claim("so does Merger(conflicts='error'), with MergeConflict", raised)
try:
    deepmerge.Merger([(dict, "merge")], ["override"], []).merge(
        {"k": 1}, {"k": True})
except InvalidMerge:
    bool_is_int = False
else:
    bool_is_int = True
claim("deepmerge takes two values for one type where either is an "
      "instance of the other's (bool and int)", bool_is_int)
out = deepmerge.always_merger.merge({"k": [1, 1]}, {"k": [1]})
claim("deepmerge append keeps duplicates", out["k"] == [1, 1, 1])
unique = deepmerge.Merger([(list, "append_unique"), (dict, "merge")],
                          ["override"], ["override"])
out = unique.merge({"k": [1, 1, {"a": 1}]}, {"k": [{"a": 1}, 2, 2, True]})
mine = Merger(lists="append_unique").merge(
    {"k": [1, 1, {"a": 1}]}, {"k": [{"a": 1}, 2, 2, True]})
claim("append_unique, deepmerge's and the Merger's, keeps the first "
      "list's duplicates, drops the later's, compares by equality "
      "(unhashable items too)", out == mine == {"k": [1, 1, {"a": 1}, 2]})


class Sub(dict):
    pass


out = deepmerge.always_merger.merge({"k": Sub(a=1)}, {"k": {"b": 2}})
claim("deepmerge merges dict subclasses", out["k"] == {"a": 1, "b": 2})
out = deepmerge.always_merger.merge([1], [2])
claim("deepmerge merges any two values, lists at the top too",
      out == [1, 2])

# -- python-benedict ---------------------------------------------------------

print("python-benedict", version("python-benedict"))
for overwrite in (True, False):
    for concat in (False, True):
        merger = Merger(lists="append" if concat else None,
                        conflicts="replace" if overwrite else "keep")

        def theirs(a, b, overwrite=overwrite, concat=concat):
            d = benedict.benedict(a)
            d.merge(b, overwrite=overwrite, concat=concat)
            return d.dict()
        agree("benedict merge overwrite=%s concat=%s" % (overwrite, concat),
              theirs, inplace(merger), ALL)

        def core(a, b, overwrite=overwrite, concat=concat):
            return benedict.core.merge(a, b, overwrite=overwrite,
                                       concat=concat)
        agree("benedict.core.merge overwrite=%s concat=%s"
              % (overwrite, concat), core, inplace(merger), ALL)
first = [1]
d = {"k": first}
benedict.core.merge(d, {"k": [2]}, concat=True)
claim("benedict concat extends the first mapping's list in place",
      first == [1, 2] and d["k"] is first)
later = {"n": {"x": 1}}
d = benedict.core.merge({}, later)
claim("benedict shares the later mapping's values", d["n"] is later["n"])
try:
    benedict.benedict({}).merge({"a.b": 1})
except ValueError:
    refused = True
else:
    refused = False
claim("benedict's method refuses keys holding its keypath separator",
      refused)
item = {"x": 1}
later = {"k": [item]}
d = benedict.benedict({})
d.merge(later)
claim("benedict's method makes benedicts of the dicts in the lists it "
      "stores, in the later mapping's own lists",
      type(later["k"][0]) is benedict.benedict)
later = {"n": {"x": 1}}
d = benedict.benedict({})
d.merge(later)
claim("... but keeps a nested dict it stores as it is, shared",
      d.dict()["n"] is later["n"])
d = benedict.core.merge({"k": (1,)}, {"k": (2,)}, concat=True)
claim("benedict concat replaces tuples", d["k"] == (2,))

# -- ansible-core merge_hash -------------------------------------------------

print("ansible-core", version("ansible-core"))
merge_hash = ansible_vars.merge_hash


def shortcut(x, y):
    """Where merge_hash takes a shortcut: the two mappings equal, or
    either empty, here or at a key where both hold mappings."""
    if x == {} or y == {} or x == y:
        return True
    return any(shortcut(x[k], v) for k, v in y.items()
               if isinstance(v, dict) and isinstance(x.get(k), dict))


MUTABLE = abc.MutableMapping
for mode in ("replace", "keep", "append", "prepend", "append_rp",
             "prepend_rp"):
    merger = Merger(mappings=MUTABLE,
                    lists=None if mode == "replace" else mode)

    rng = random.Random("ansible " + mode)
    ok, runs = True, 0
    while runs < 3000:
        a, b = tree(rng, ALL), tree(rng, ALL)
        if shortcut(a, b):
            continue
        runs += 1
        got = merge_hash(copy.deepcopy(a), copy.deepcopy(b), list_merge=mode)
        want = merger.merge(a, b)
        if not same(got, want):
            ok = False
            break
    claim("ansible merge_hash list_merge=%s agrees with its Merger on "
          "random pairs where no shortcut applies%s"
          % (mode, "" if ok else " (FAILS: %r %r %r %r)" % (a, b, got, want)),
          ok)

x = {"n": {"a": 1}, "o": {"p": [1]}}
y = {"n": {"b": 2}}
out = merge_hash(x, y)
claim("merge_hash returns a new dict and changes neither argument",
      out is not x and x == {"n": {"a": 1}, "o": {"p": [1]}}
      and y == {"n": {"b": 2}})
claim("merge_hash copies only the mappings it merges into: the first "
      "argument's other values are shared", out["o"] is x["o"]
      and out["n"] is not x["n"])
out = merge_hash({"k": [1], "a": 1, "b": 2}, {"b": 2, "a": 1, "k": [1]},
                 list_merge="append")
claim("merge_hash returns a copy of the later mapping where the two are "
      "equal: no join, the later mapping's key order",
      out == {"b": 2, "a": 1, "k": [1]} and list(out) == ["b", "a", "k"])
out = merge_hash({"n": {"k": [1]}, "m": 1}, {"n": {"k": [1]}, "m": 2},
                 list_merge="append")
claim("... at every level", out == {"n": {"k": [1]}, "m": 2})
x = {"a": 1}
claim("merge_hash returns the first argument itself where the later one "
      "is empty", merge_hash(x, {}) is x)
out = merge_hash({"k": (1,)}, {"k": (2,)}, list_merge="append")
claim("merge_hash replaces tuples", out["k"] == (2,))
out = merge_hash({"k": collections.deque([1])}, {"k": collections.deque([2])},
                 list_merge="append")
claim("merge_hash joins any two MutableSequences (a deque)",
      list(out["k"]) == [1, 2])
out = merge_hash({"n": {"a": 1}}, {"n": {"b": 2}}, recursive=False)
claim("merge_hash recursive=False replaces nested mappings",
      out == {"n": {"b": 2}})
out = merge_hash({"k": [1, 2, 1]}, {"k": [1, 3]}, list_merge="append_rp")
mine = Merger(lists="append_rp").merge({"k": [1, 2, 1]}, {"k": [1, 3]})
claim("append_rp: the first list's items not in the later, then the later",
      out == mine == {"k": [2, 1, 3]})
try:
    merge_hash({"k": 1}, [])
except Exception as exc:
    claim("merge_hash refuses arguments that are not MutableMappings (%s)"
          % type(exc).__name__, True)

print()
print("%d claim(s) failed" % len(failures))
sys.exit(1 if failures else 0)

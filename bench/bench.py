"""Benchmark of calvoro's merges against what a user would write instead.

    python bench/bench.py [--quick] [--json FILE] [--fresh {paths,deepcopy}]
                          [--clock {wall,cpu}]

Run it in an environment where calvoro is installed (or with PYTHONPATH=src
after an in-place build); mergedeep, deepmerge and json-merge-patch are
measured when they are importable and skipped with a note when not.

Contenders, where they fit the workload:

- calvoro.tightfold and calvoro.anyfold: merge, merge_inplace (two mappings)
  or merge_many, merge_many_inplace (a list of them);
- plain: the recursive function a user writes by hand, with a copying
  variant that deep-copies the first mapping;
- mergedeep.merge with Strategy.REPLACE, and a deepmerge.Merger that merges
  dicts and overrides everything else;
- on config-lists, the config workload whose override meets each list it
  touches with a list, and a set and a tuple with one of their kind:
  calvoro.Merger in place, with no options and with lists, sets and tuples
  joined, against tightfold.merge_inplace; deepmerge's always_merger (lists
  appended, sets joined) and mergedeep's Strategy.ADDITIVE (tuples appended
  too, later values copied), each against the Merger that merges alike;
- on config-patch, the same as JSON has it (the set and the tuple as lists)
  and the override as a merge patch (RFC 7396: its nulls delete):
  calvoro.merge_patch against deepcopy + json_merge_patch.merge, which
  patches its target in place, and Merger(delete=None).merge_inplace
  against json_merge_patch.merge alone. A contender that merges otherwise
  than the rule is checked against a plain function of its own;
- floors: dict.update (flat workloads only: the least any flat merge can
  cost), copy.deepcopy of the first mapping alone (the least any copying
  merge can cost), and two minimal C merges through the dict API alone,
  the least an exact in-place merge can cost without private reads: the
  public-API floor (PyDict_Next, one PyDict_SetDefault per key,
  PyDict_SetItem to replace) and the value-first floor (a lookup only where
  the later value is a dict, PyDict_SetItem for everything else; for
  merge_many, called on each later element in turn). scripts/bench.sh
  builds them from bench/floor.

The tables give each contender's time as a multiple of
tightfold.merge_inplace's (or merge_many_inplace's), of its floor
(dict.update for in-place merges, copy.deepcopy for copying ones), and, for
in-place merges, of the value-first floor's.

Method. Everything runs in one process. Inputs come from seeded generators
and are built before any timing. Every contender's result is first compared
with the plain function's, or its own plain function's (same keys in the
same order, same values at every depth); a contender that disagrees, or that
changes an input it should only read, is reported loudly and not timed. Then
each repetition visits every contender once, in an order rotated by one per
repetition, so that drift of the machine hits all of them alike. A visit
builds a pool of inputs, one per call, outside the timed region, and times a
batch of calls with perf_counter_ns; the batch's time divided by its size is
one sample, and the tables show the median of the samples. Results are kept
until the batch ends, so no call pays for freeing another's result, and the
cyclic garbage collector is off while measuring, as timeit does.

In-place contenders get a fresh first mapping per call. By default
(--fresh paths) the fresh mapping copies exactly the dictionaries that a
merge can change, those on the second mapping's dict paths, and shares the
rest with the original, which makes pools cheap (on config-lists, also the
lists and sets there, which mergedeep extends in place); after each workload
the originals are checked to be unchanged. --fresh deepcopy builds every pool
with copy.deepcopy instead. For merge_many the whole list is made fresh per
call for every contender, since a later element merges into nested
dictionaries that an earlier one contributed.

The scaling series times tightfold's and anyfold's merge_inplace against
dict.update on flat mappings of 10**3 to 10**6 str keys and reports the time
per key of the second mapping relative to dict.update's at the same size.

Exit status 1 if any contender disagreed with the plain function.
"""
import argparse
import copy
import functools
import gc
import itertools
import json
import os
import platform
import random
import sys
import time

# copy.deepcopy takes two frames per level: the 500-level chain needs room.
sys.setrecursionlimit(10000)

try:
    now_ns = time.perf_counter_ns
except AttributeError:  # Python 3.6
    def now_ns():
        return int(time.perf_counter() * 1e9)


def use_cpu_clock():
    """Times by the thread's CPU time: on a loaded machine, wall time
    counts the other processes too."""
    global now_ns
    try:
        now_ns = time.thread_time_ns
    except AttributeError:  # Python 3.6
        def now_ns(clock=time.CLOCK_THREAD_CPUTIME_ID):
            return int(time.clock_gettime(clock) * 1e9)


def import_calvoro():
    try:
        from calvoro import anyfold, tightfold
    except ImportError:
        # An in-place build of this checkout, when nothing is installed.
        src = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                           os.pardir, "src")
        sys.path.insert(0, os.path.normpath(src))
        from calvoro import anyfold, tightfold
    return anyfold, tightfold


anyfold, tightfold = import_calvoro()


def distribution_version(name):
    try:
        from importlib import metadata
        return metadata.version(name)
    except Exception:
        pass
    try:
        import pkg_resources
        return pkg_resources.get_distribution(name).version
    except Exception:
        return "?"


# ---------------------------------------------------------------------------
# What a user writes instead

def plain_merge_inplace(a, b):
    for k, v in b.items():
        if k in a and isinstance(a[k], dict) and isinstance(v, dict):
            plain_merge_inplace(a[k], v)
        else:
            a[k] = v


def plain_merge(a, b):
    a = copy.deepcopy(a)
    plain_merge_inplace(a, b)
    return a


def plain_merge_many_inplace(dicts):
    first = dicts[0]
    for d in itertools.islice(dicts, 1, None):
        plain_merge_inplace(first, d)


def plain_merge_many(dicts):
    first = copy.deepcopy(dicts[0])
    for d in itertools.islice(dicts, 1, None):
        plain_merge_inplace(first, d)
    return first


def plain_joining_inplace(a, b, tuples=False, copy_later=False):
    """What Merger(lists="append", sets="union") does (tuples="append" and
    copy=True with the flags), written plainly."""
    for k, v in b.items():
        if copy_later:
            v = copy.deepcopy(v)
        if k in a:
            old = a[k]
            if isinstance(old, dict) and isinstance(v, dict):
                plain_joining_inplace(old, v, tuples, False)
                continue
            if isinstance(old, list) and isinstance(v, list):
                v = old + v
            elif isinstance(old, (set, frozenset)) and \
                    isinstance(v, (set, frozenset)):
                v = old | v
            elif tuples and isinstance(old, tuple) and isinstance(v, tuple):
                v = old + v
        a[k] = v


def plain_joining_all_inplace(a, b):
    plain_joining_inplace(a, b, tuples=True, copy_later=True)


def plain_joining_tuples_inplace(a, b):
    plain_joining_inplace(a, b, tuples=True)


def plain_patch_inplace(a, b):
    """A merge patch (RFC 7396) of dict b applied to dict a, in place."""
    for k, v in b.items():
        if v is None:
            a.pop(k, None)
        elif isinstance(v, dict):
            old = a.get(k)
            if not isinstance(old, dict):
                old = a[k] = {}
            plain_patch_inplace(old, v)
        else:
            a[k] = v


def deepcopy_first(dicts):
    return copy.deepcopy(dicts[0])


def deepcopy_alone(first, second):
    # not deepcopy(first, second): the second argument would be its memo
    return copy.deepcopy(first)


# The copying merges as they were before they copied plain data natively:
# the real deepcopy, then the in-place merge.
def deepcopy_then(merge_inplace):
    def merge(first, second):
        first = copy.deepcopy(first)
        merge_inplace(first, second)
        return first
    return merge


def deepcopy_then_many(merge_many_inplace):
    def merge_many(dicts):
        dicts = list(dicts)
        dicts[0] = copy.deepcopy(dicts[0])
        merge_many_inplace(dicts)
        return dicts[0]
    return merge_many


EMPTY = {}


# The native copy alone, as merge makes it, merging nothing into it.
def native_copy(first, second):
    return tightfold.merge(first, EMPTY)


def native_copy_first(dicts):
    return tightfold.merge_many([dicts[0], EMPTY])


# ---------------------------------------------------------------------------
# Contenders

class Impl(object):
    """One contender: `call` takes (first, second) for pair workloads and
    (dicts,) for merge_many; `inplace` says whether it needs fresh input."""

    def __init__(self, name, call, inplace, floor=False, compare=True,
                 reference=None):
        self.name = name
        self.call = call
        self.inplace = inplace
        self.floor = floor
        self.compare = compare
        # the in-place plain function it must agree with, where it merges
        # otherwise than the rule
        self.reference = reference


notes = []

try:
    import calvoro_floor
except ImportError:
    calvoro_floor = None
    notes.append("calvoro_floor is not built (scripts/bench.sh builds it): "
                 "the C floor rows are skipped")

PUBLIC_FLOOR = "public-API floor (C)"
VALUE_FIRST_FLOOR = "value-first floor (C)"


def value_first_many(dicts):
    # the C floor merges two mappings: the list costs one call per element
    merge = calvoro_floor.merge_inplace_value_first
    first = dicts[0]
    for d in itertools.islice(dicts, 1, None):
        merge(first, d)


def optional_contenders():
    """(pair, many) lists of the third-party contenders found."""
    pair, many = [], []
    try:
        import mergedeep
    except ImportError:
        notes.append("mergedeep is not installed: its rows are skipped")
    else:
        replace = mergedeep.Strategy.REPLACE
        md_merge = mergedeep.merge
        pair.append(Impl("mergedeep.merge", functools.partial(
            md_merge, strategy=replace), True))

        def md_many(dicts):
            md_merge(dicts[0], *dicts[1:], strategy=replace)
        many.append(Impl("mergedeep.merge", md_many, True))
    try:
        import deepmerge
    except ImportError:
        notes.append("deepmerge is not installed: its rows are skipped")
    else:
        merger = deepmerge.Merger([(dict, ["merge"])], ["override"],
                                  ["override"])
        pair.append(Impl("deepmerge.merge", merger.merge, True))

        def dm_many(dicts, merge=merger.merge):
            first = dicts[0]
            for d in itertools.islice(dicts, 1, None):
                first = merge(first, d)
        many.append(Impl("deepmerge.merge", dm_many, True))
    return pair, many


# Mergers as the config-lists workload times them
JOINS = dict(lists="append", sets="union")
ALL_JOINS = dict(lists="append", sets="union", tuples="append")
RULE_MERGER = "Merger().merge_inplace"
JOINS_MERGER = "Merger(lists,sets,tuples).inpl"
DM_MERGER = "Merger(lists,sets).inplace"
MD_MERGER = "Merger(l,s,t,copy=True).inpl"
PATCH_MERGER = "Merger(delete=None).inplace"


def joins_contenders():
    """Contenders of config-lists: the Mergers beside tightfold and the
    libraries that merge as they do."""
    from calvoro import Merger
    impls = [
        Impl("tightfold.merge_inplace", tightfold.merge_inplace, True),
        Impl(RULE_MERGER, Merger().merge_inplace, True),
        Impl(JOINS_MERGER, Merger(**ALL_JOINS).merge_inplace, True,
             reference=plain_joining_tuples_inplace),
        Impl(DM_MERGER, Merger(**JOINS).merge_inplace, True,
             reference=plain_joining_inplace),
        Impl(MD_MERGER, Merger(copy=True, **ALL_JOINS).merge_inplace, True,
             reference=plain_joining_all_inplace),
    ]
    try:
        import deepmerge
    except ImportError:
        pass
    else:
        impls.append(Impl("deepmerge always_merger",
                          deepmerge.always_merger.merge, True,
                          reference=plain_joining_inplace))
    try:
        import mergedeep
    except ImportError:
        pass
    else:
        impls.append(Impl("mergedeep ADDITIVE", functools.partial(
            mergedeep.merge, strategy=mergedeep.Strategy.ADDITIVE), True,
            reference=plain_joining_all_inplace))
    if calvoro_floor:
        impls.append(Impl(VALUE_FIRST_FLOOR,
                          calvoro_floor.merge_inplace_value_first, True,
                          floor=True))
    return impls


def patch_contenders():
    """Contenders of config-patch: merge_patch, and the Merger it is,
    in place, against json_merge_patch.merge, which patches its target in
    place (so, to return a new document as merge_patch does, after a
    deepcopy)."""
    from calvoro import Merger, merge_patch
    impls = [
        Impl("tightfold.merge_inplace", tightfold.merge_inplace, True),
        Impl(PATCH_MERGER, Merger(delete=None).merge_inplace, True,
             reference=plain_patch_inplace),
        Impl("calvoro.merge_patch", merge_patch, False,
             reference=plain_patch_inplace),
    ]
    try:
        import json_merge_patch
    except ImportError:
        notes.append("json-merge-patch is not installed: its rows are "
                     "skipped")
    else:
        impls.append(Impl("json_merge_patch.merge", json_merge_patch.merge,
                          True, reference=plain_patch_inplace))
        impls.append(Impl("deepcopy+json_merge_patch", deepcopy_then(
            json_merge_patch.merge), False, reference=plain_patch_inplace))
    impls.append(Impl("native copy (tf.merge, {})", native_copy, False,
                      floor=True, compare=False))
    impls.append(Impl("copy.deepcopy", deepcopy_alone, False, floor=True,
                      compare=False))
    return impls


def pair_contenders(flat, extra):
    impls = [
        Impl("tightfold.merge_inplace", tightfold.merge_inplace, True),
        Impl("anyfold.merge_inplace", anyfold.merge_inplace, True),
        Impl("tightfold.merge", tightfold.merge, False),
        Impl("anyfold.merge", anyfold.merge, False),
        Impl("deepcopy+tightfold.inplace",
             deepcopy_then(tightfold.merge_inplace), False),
        Impl("deepcopy+anyfold.inplace",
             deepcopy_then(anyfold.merge_inplace), False),
        Impl("plain.merge_inplace", plain_merge_inplace, True),
        Impl("plain.merge", plain_merge, False),
    ]
    impls.extend(extra)
    impls.append(Impl("native copy (tf.merge, {})", native_copy, False,
                      floor=True, compare=False))
    if calvoro_floor:
        impls.append(Impl(PUBLIC_FLOOR, calvoro_floor.merge_inplace, True,
                          floor=True))
        impls.append(Impl(VALUE_FIRST_FLOOR,
                          calvoro_floor.merge_inplace_value_first, True,
                          floor=True))
    if flat:
        impls.append(Impl("dict.update", dict.update, True, floor=True))
    impls.append(Impl("copy.deepcopy", deepcopy_alone, False, floor=True,
                      compare=False))
    return impls


def many_contenders(extra):
    impls = [
        Impl("tightfold.merge_many_inplace", tightfold.merge_many_inplace,
             True),
        Impl("anyfold.merge_many_inplace", anyfold.merge_many_inplace, True),
        Impl("tightfold.merge_many", tightfold.merge_many, False),
        Impl("anyfold.merge_many", anyfold.merge_many, False),
        Impl("deepcopy+tightfold.many_inpl",
             deepcopy_then_many(tightfold.merge_many_inplace), False),
        Impl("deepcopy+anyfold.many_inpl",
             deepcopy_then_many(anyfold.merge_many_inplace), False),
        Impl("plain.merge_many_inplace", plain_merge_many_inplace, True),
        Impl("plain.merge_many", plain_merge_many, False),
    ]
    impls.extend(extra)
    impls.append(Impl("native copy (tf.merge_many)", native_copy_first,
                      False, floor=True, compare=False))
    if calvoro_floor:
        impls.append(Impl(VALUE_FIRST_FLOOR, value_first_many, True,
                          floor=True))
    impls.append(Impl("copy.deepcopy", deepcopy_first, False, floor=True,
                      compare=False))
    return impls


# ---------------------------------------------------------------------------
# Inputs

def shuffled(rng, items):
    items = list(items)
    rng.shuffle(items)
    return items


def flat_pair(n, seed, int_keys=False):
    """n keys in each mapping, half of the second's also in the first."""
    rng = random.Random(seed)
    total = n + n // 2
    if int_keys:
        keys = rng.sample(range(10 ** 9), total)
    else:
        keys = shuffled(rng, ["key%07d" % i for i in range(total)])
    a = {}
    for k in keys[:n]:
        a[k] = rng.randrange(10 ** 6)
    b = {}
    for k in shuffled(rng, keys[n // 2:n // 2 + n]):
        b[k] = rng.randrange(10 ** 6) if rng.random() < 0.5 else "v%d" % (
            rng.randrange(10 ** 6))
    return a, b


def leaf_value(rng):
    r = rng.random()
    if r < 0.25:
        return [rng.randrange(100) for _ in range(rng.randrange(1, 6))]
    if r < 0.5:
        return rng.randrange(10 ** 6)
    if r < 0.65:
        return rng.random()
    if r < 0.8:
        return rng.random() < 0.5
    if r < 0.9:
        return None
    return "s%d" % rng.randrange(10 ** 6)


def config_pair(seed, depth=4, fanout=8, touched=0.10, leaf=leaf_value,
                later=None):
    """A tree of `depth` levels of dicts with `fanout` keys each, scalars
    and lists at the leaves (those `leaf` makes); the override replaces
    `touched` of them, with what `later` makes of the leaf it replaces
    (by default, a new leaf)."""
    rng = random.Random(seed)
    paths = []
    leaves = {}

    def build(level, path):
        node = {}
        for i in range(fanout):
            key = "%s%d" % ("abcdefgh"[level], i)
            if level == depth - 1:
                node[key] = leaves[path + (key,)] = leaf(rng)
                paths.append(path + (key,))
            else:
                node[key] = build(level + 1, path + (key,))
        return node
    a = build(0, ())
    b = {}
    for path in rng.sample(paths, int(len(paths) * touched)):
        node = b
        for key in path[:-1]:
            node = node.setdefault(key, {})
        node[path[-1]] = (later(rng, leaves[path]) if later
                          else leaf_value(rng))
    return a, b


def list_later(rng, old):
    """A list where the override meets a list, so that a join has work;
    else a new leaf, as config's override has it."""
    if isinstance(old, list):
        return [rng.randrange(100) for _ in range(rng.randrange(1, 6))]
    return leaf_value(rng)


def config_lists_pair(seed, as_json=False):
    """The config workload whose override meets each list it touches with
    a list, and a set and a tuple with one of their kind; as_json: with the
    set and the tuple as lists, as JSON would have them."""
    a, b = config_pair(seed, later=list_later)
    # at the first two leaves the override touches
    pairs = [(set, (1, 2), (2, 3)), (tuple, (1, 2), (2, 3))]
    for path, (kind, old, new) in zip(leaf_paths(b), pairs):
        if as_json:
            kind = list
        node_of(a, path[:-1])[path[-1]] = kind(old)
        node_of(b, path[:-1])[path[-1]] = kind(new)
    return a, b


def leaf_paths(d, path=()):
    for key, value in d.items():
        if isinstance(value, dict):
            for inner in leaf_paths(value, path + (key,)):
                yield inner
        else:
            yield path + (key,)


def node_of(d, path):
    for key in path:
        d = d[key]
    return d


def deep_pair(levels=500):
    """One chain of `levels` nested dicts; the override changes a value at
    every level and adds a key at the bottom."""
    a = {"name": "level%d" % (levels - 1), "value": levels - 1, "tags": [1]}
    b = {"value": -(levels - 1), "extra": True}
    for i in range(levels - 2, -1, -1):
        a = {"name": "level%d" % i, "value": i, "tags": [i], "child": a}
        b = {"value": -i, "child": b}
    return a, b


def many_dicts(seed, count=100, sections=12, options=16):
    """`count` small configuration dicts over one universe of keys: every
    fourth option of a section is itself a dict of sub-options."""
    rng = random.Random(seed)
    dicts = []
    for _ in range(count):
        d = {}
        for s in rng.sample(range(sections), rng.randrange(2, 6)):
            section = d["section%d" % s] = {}
            for o in rng.sample(range(options), rng.randrange(2, 8)):
                if o % 4 == 0:
                    section["group%d" % o] = dict(
                        ("opt%d" % i, leaf_value(rng))
                        for i in rng.sample(range(8), rng.randrange(1, 5)))
                else:
                    section["opt%d" % o] = leaf_value(rng)
        dicts.append(d)
    return dicts


# Fresh inputs: copy the dictionaries that a merge can change, share the
# rest. A merge changes the first mapping and, one level down per step,
# each of its nested dicts under a key where the second mapping holds a
# dict too; nothing else.

def shape_of(d, into=None, containers=False):
    """The dict paths of `d`, as nested dicts of keys; with `containers`,
    the keys of its lists and sets too."""
    shape = {} if into is None else into
    for k, v in d.items():
        if isinstance(v, dict):
            shape_of(v, shape.setdefault(k, {}), containers)
        elif containers and isinstance(v, (list, set)):
            shape.setdefault(k, {})
    return shape


def copy_along(d, shape):
    c = dict(d)
    for k, sub in shape.items():
        v = c.get(k)
        if isinstance(v, dict):
            c[k] = copy_along(v, sub)
        elif isinstance(v, (list, set)):
            # only where the shape has containers: a list extended in place
            c[k] = type(v)(v)
    return c


class PairInputs(object):
    kind = "pair"

    def __init__(self, a, b, fresh_mode, containers=False):
        self.first, self.second = a, b
        self.pristine = (copy.deepcopy(a), copy.deepcopy(b))
        self.shape = shape_of(b, containers=containers)
        self.fresh_mode = fresh_mode

    def fresh(self):
        if self.fresh_mode == "deepcopy":
            return copy.deepcopy(self.first)
        return copy_along(self.first, self.shape)

    def deep_fresh(self):
        return copy.deepcopy(self.first)

    def unchanged(self):
        return (same(self.first, self.pristine[0]) and
                same(self.second, self.pristine[1]))


class ManyInputs(object):
    kind = "many"

    def __init__(self, dicts, fresh_mode):
        self.dicts = dicts
        self.pristine = copy.deepcopy(dicts)
        # element i can be merged into wherever a later element holds a dict
        self.shapes = []
        later = {}
        for d in reversed(dicts):
            self.shapes.append(copy.deepcopy(later))
            shape_of(d, later)
        self.shapes.reverse()
        self.fresh_mode = fresh_mode

    def fresh(self):
        if self.fresh_mode == "deepcopy":
            return copy.deepcopy(self.dicts)
        return [copy_along(d, s) for d, s in zip(self.dicts, self.shapes)]

    def deep_fresh(self):
        return copy.deepcopy(self.dicts)

    def unchanged(self):
        return same(self.dicts, self.pristine)


def same(x, y):
    """Equal, with the same types and the same key order at every depth.
    Plain loops: a generator per level would take two frames a level, past
    the recursion limit on the 500-level chain (3.12)."""
    if type(x) is not type(y):
        return False
    if isinstance(x, dict):
        if list(x) != list(y):
            return False
        for k, v in x.items():
            if not same(v, y[k]):
                return False
        return True
    if isinstance(x, list):
        if len(x) != len(y):
            return False
        for p, q in zip(x, y):
            if not same(p, q):
                return False
        return True
    return x == y


# ---------------------------------------------------------------------------
# Measuring

class Settings(object):
    def __init__(self, quick):
        self.quick = quick
        self.reps = 5 if quick else 15
        self.batch_ns = (4 if quick else 15) * 1000000
        self.max_batch = 2000
        self.scaling = ([10 ** 3, 10 ** 4, 10 ** 5, 10 ** 6])
        self.scaling_reps = 3 if quick else 9


def one_call(impl, inputs):
    """Runs one call on fresh full copies; returns (result, ns)."""
    if inputs.kind == "many":
        dicts = inputs.deep_fresh()
        t0 = now_ns()
        r = impl.call(dicts)
        t = now_ns() - t0
        return (dicts[0] if impl.inplace else r), t
    first = inputs.deep_fresh() if impl.inplace else inputs.first
    t0 = now_ns()
    r = impl.call(first, inputs.second)
    t = now_ns() - t0
    return (first if impl.inplace else r), t


def make_pool(impl, inputs, n):
    if inputs.kind == "many":
        return [inputs.fresh() for _ in range(n)]
    if impl.inplace:
        return [inputs.fresh() for _ in range(n)]
    return [inputs.first] * n


def timed_batch(impl, inputs, pool):
    """ns per call over one batch; results live until the batch is done."""
    call = impl.call
    if inputs.kind == "many":
        t0 = now_ns()
        out = list(map(call, pool))
        t = now_ns() - t0
    else:
        second = itertools.repeat(inputs.second, len(pool))
        t0 = now_ns()
        out = list(map(call, pool, second))
        t = now_ns() - t0
    del out
    return t / float(len(pool))


def median(xs):
    xs = sorted(xs)
    n = len(xs)
    m = n // 2
    return float(xs[m]) if n % 2 else (xs[m - 1] + xs[m]) / 2.0


def quartile_spread(xs):
    """Interquartile range relative to the median."""
    xs = sorted(xs)
    n = len(xs)
    if n < 4:
        return (xs[-1] - xs[0]) / median(xs) if median(xs) else 0.0
    q1 = xs[n // 4]
    q3 = xs[(3 * n) // 4]
    return (q3 - q1) / median(xs) if median(xs) else 0.0


mismatches = []


def validate(name, impls, inputs):
    """Compares every contender with the plain function; returns the ones
    fit to be timed, each with a first estimate of its time per call."""
    if inputs.kind == "many":
        reference, _ = one_call(Impl("plain", plain_merge_many_inplace, True),
                                inputs)
    else:
        reference, _ = one_call(Impl("plain", plain_merge_inplace, True),
                                inputs)
    references = {}
    for impl in impls:
        if impl.reference and impl.reference not in references:
            references[impl.reference] = one_call(
                Impl("plain", impl.reference, True), inputs)[0]
    fit = []
    for impl in impls:
        problem = None
        try:
            result, t = one_call(impl, inputs)
        except Exception as e:
            problem = "raised %s: %s" % (type(e).__name__, e)
        else:
            if impl.compare and not same(
                    result, references.get(impl.reference, reference)):
                problem = "result differs from %s's" % (
                    impl.reference.__name__ if impl.reference
                    else "plain.merge_inplace")
            elif not inputs.unchanged():
                problem = "changed an input that it should only read"
        if problem:
            print("!!! MISMATCH in %s: %s %s; not timed"
                  % (name, impl.name, problem))
            mismatches.append({"workload": name, "impl": impl.name,
                               "problem": problem})
            # a contender that broke the inputs would spoil the others
            if not inputs.unchanged():
                print("!!! inputs of %s are damaged; workload abandoned"
                      % name)
                return []
            continue
        fit.append((impl, max(t, 1)))
    return fit


def measure(name, impls, inputs, settings, reps=None):
    """{impl name: [ns per call, one per repetition]} and batch sizes."""
    reps = reps or settings.reps
    fit = validate(name, impls, inputs)
    batch = {}
    for impl, estimate in fit:
        # a short batch on pooled input refines the single call's time
        k = int(max(1, min(50, settings.batch_ns / 10.0 / estimate)))
        if estimate < settings.batch_ns:
            estimate = timed_batch(impl, inputs, make_pool(impl, inputs, k))
        batch[impl.name] = int(max(1, min(settings.max_batch,
                                          settings.batch_ns / estimate)))
    samples = dict((impl.name, []) for impl, _ in fit)
    order = [impl for impl, _ in fit]
    gc.collect()
    gc.disable()
    try:
        for rep in range(reps):
            shift = rep % len(order) if order else 0
            for impl in order[shift:] + order[:shift]:
                pool = make_pool(impl, inputs, batch[impl.name])
                samples[impl.name].append(timed_batch(impl, inputs, pool))
                del pool
    finally:
        gc.enable()
    if not inputs.unchanged():
        print("!!! %s: the original inputs changed while timing; the "
              "figures above may be wrong" % name)
        mismatches.append({"workload": name, "impl": "*",
                           "problem": "inputs changed while timing"})
    return samples, batch


def fmt_time(ns):
    if ns >= 1e6:
        return "%.2f ms" % (ns / 1e6)
    if ns >= 1e3:
        return "%.1f us" % (ns / 1e3)
    return "%.0f ns" % ns


def fmt_ratio(x):
    if x is None:
        return "-"
    return "%.2fx" % x if x < 100 else "%.0fx" % x


def report_workload(name, title, impls, samples, batch):
    """Prints the table; returns the workload's JSON record."""
    medians = dict((k, median(v)) for k, v in samples.items())
    base_name = ("tightfold.merge_many_inplace"
                 if "tightfold.merge_many_inplace" in medians
                 else "tightfold.merge_inplace")
    base = medians.get(base_name)
    update = medians.get("dict.update")
    deep = medians.get("copy.deepcopy")
    value_first = medians.get(VALUE_FIRST_FLOOR)
    print()
    print("== %s: %s" % (name, title))
    print("%-30s %11s %7s %8s %11s %9s %9s" % (
        "implementation", "median/call", "IQR", "batch", "x tf.inpl",
        "x floor", "x vfirst"))
    record = {"title": title, "baseline": base_name, "impls": {}}
    for impl in impls:
        if impl.name not in medians:
            print("%-30s %11s" % (impl.name, "not timed"))
            continue
        m = medians[impl.name]
        floor = update if impl.inplace else deep
        vs_base = m / base if base else None
        vs_floor = m / floor if floor and not impl.floor else None
        vs_value_first = (m / value_first if value_first and impl.inplace
                          and not impl.floor else None)
        print("%-30s %11s %6.1f%% %8d %11s %9s %9s" % (
            impl.name, fmt_time(m), 100 * quartile_spread(samples[impl.name]),
            batch[impl.name], fmt_ratio(vs_base), fmt_ratio(vs_floor),
            fmt_ratio(vs_value_first)))
        record["impls"][impl.name] = {
            "median_ns": m,
            "samples_ns": samples[impl.name],
            "batch": batch[impl.name],
            "ratio_vs_baseline": vs_base,
            "ratio_vs_floor": vs_floor,
            "ratio_vs_value_first_floor": vs_value_first,
            "floor": ("dict.update" if impl.inplace else "copy.deepcopy")
            if vs_floor is not None else None,
        }
    return record


def ratio(record, num, den):
    try:
        return (record["impls"][num]["median_ns"] /
                record["impls"][den]["median_ns"])
    except (KeyError, TypeError, ZeroDivisionError):
        return None


def over_parts(record, merge, copier, inplace):
    """merge against its parts timed apart: a copy, then the in-place
    merge."""
    try:
        impls = record["impls"]
        return impls[merge]["median_ns"] / (impls[copier]["median_ns"] +
                                            impls[inplace]["median_ns"])
    except (KeyError, TypeError, ZeroDivisionError):
        return None


# ---------------------------------------------------------------------------

def print_setting():
    """What was measured where: the interpreter and the calvoro it ran."""
    print("Python %s (%s) on %s" % (
        platform.python_version(), platform.python_implementation(),
        platform.platform()))
    print("interpreter: %s" % sys.executable)
    print("calvoro: %s" % os.path.dirname(tightfold.__file__))


def main():
    parser = argparse.ArgumentParser(
        description="Times calvoro's merges against the alternatives.")
    parser.add_argument("--quick", action="store_true",
                        help="fewer repetitions and shorter batches")
    parser.add_argument("--json", metavar="FILE",
                        help="write all medians and ratios to FILE")
    parser.add_argument("--fresh", choices=("paths", "deepcopy"),
                        default="paths",
                        help="how in-place contenders get fresh input "
                             "(default: copy only the dicts a merge changes)")
    parser.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                        help="time by the wall clock (default) or by the "
                             "thread's CPU time")
    args = parser.parse_args()
    if args.clock == "cpu":
        use_cpu_clock()
    settings = Settings(args.quick)
    started = time.time()

    print_setting()
    extra_pair, extra_many = optional_contenders()
    modes_impls = {"joins": joins_contenders(),
                   "patch": patch_contenders()}
    for dist in ("mergedeep", "deepmerge"):
        if any(i.name.startswith(dist + ".") for i in extra_pair):
            print("%s %s" % (dist, distribution_version(dist)))
    if any(i.name.startswith("json_merge_patch.")
           for i in modes_impls["patch"]):
        print("json-merge-patch %s" % distribution_version("json-merge-patch"))
    for note in notes:
        print("note: %s" % note)
    print("mode: %s; %d repetitions; batches of about %d ms; fresh input: "
          "%s; clock: %s" % ("quick" if args.quick else "full",
                             settings.reps, settings.batch_ns // 1000000,
                             args.fresh, args.clock))
    sys.stdout.flush()

    workloads = [
        ("flat", "1,000 str keys each, half of them shared", True,
         lambda: PairInputs(*flat_pair(1000, 1), fresh_mode=args.fresh)),
        ("config", "tree of depth 4, fanout 8; override touches 10% of "
         "the 4,096 leaves", False,
         lambda: PairInputs(*config_pair(2), fresh_mode=args.fresh)),
        ("wide", "100,000 str keys each, half of them shared", True,
         lambda: PairInputs(*flat_pair(100000, 3), fresh_mode=args.fresh)),
        ("deep", "one chain of 500 nested dicts", False,
         lambda: PairInputs(*deep_pair(500), fresh_mode=args.fresh)),
        ("many", "merge_many of 100 small configuration dicts", None,
         lambda: ManyInputs(many_dicts(4), fresh_mode=args.fresh)),
        ("int", "10,000 int keys each, half of them shared", True,
         lambda: PairInputs(*flat_pair(10000, 5, int_keys=True),
                            fresh_mode=args.fresh)),
        ("config-lists", "config with lists (a quarter of the leaves), sets "
         "and tuples; the override meets each with its kind", "joins",
         lambda: PairInputs(*config_lists_pair(2), fresh_mode=args.fresh,
                            containers=True)),
        ("config-patch", "config-lists as JSON (sets and tuples as lists), "
         "the override as a merge patch: its nulls delete", "patch",
         lambda: PairInputs(*config_lists_pair(2, as_json=True),
                            fresh_mode=args.fresh)),
    ]
    records = {}
    for name, title, flat, build in workloads:
        inputs = build()
        if flat is None:
            impls = many_contenders(extra_many)
        elif flat in modes_impls:
            impls = modes_impls[flat]
        else:
            impls = pair_contenders(flat, extra_pair)
        samples, batch = measure(name, impls, inputs, settings)
        records[name] = report_workload(name, title, impls, samples, batch)
        sys.stdout.flush()
        del inputs
        gc.collect()

    # Scaling
    print()
    print("== scaling: flat str keys, half shared; time per key of the "
          "second mapping")
    print("%9s %11s %11s %8s %11s %8s" % (
        "keys", "dict.update", "tightfold", "x upd", "anyfold", "x upd"))
    scaling = []
    for n in settings.scaling:
        inputs = PairInputs(*flat_pair(n, 100 + n), fresh_mode=args.fresh)
        impls = [
            Impl("dict.update", dict.update, True, floor=True),
            Impl("tightfold.merge_inplace", tightfold.merge_inplace, True),
            Impl("anyfold.merge_inplace", anyfold.merge_inplace, True),
        ]
        samples, batch = measure("scaling-%d" % n, impls, inputs, settings,
                                 reps=settings.scaling_reps)
        per_key = dict((k, median(v) / n) for k, v in samples.items())
        upd = per_key.get("dict.update")
        row = {"keys": n, "ns_per_key": per_key, "batch": batch,
               "samples_ns": samples}
        cells = []
        for impl in ("tightfold.merge_inplace", "anyfold.merge_inplace"):
            r = per_key[impl] / upd if upd and impl in per_key else None
            row["ratio_" + impl.split(".")[0]] = r
            cells.append((per_key.get(impl), r))
        scaling.append(row)

        def ns(x):
            return "%.1f ns" % x if x is not None else "-"
        print("%9d %11s %11s %8s %11s %8s" % (
            n, ns(upd), ns(cells[0][0]), fmt_ratio(cells[0][1]),
            ns(cells[1][0]), fmt_ratio(cells[1][1])))
        sys.stdout.flush()
        del inputs
        gc.collect()

    # Derived figures
    flat, config = records["flat"], records["config"]
    tfi, afi = "tightfold.merge_inplace", "anyfold.merge_inplace"

    def scaling_max(module):
        values = [r["ratio_" + module] for r in scaling
                  if r["ratio_" + module] is not None]
        return max(values) if values else None
    derived = [
        # (key, label, value, unit, goal, goal holds when value ...)
        ("flat.tightfold_inplace_vs_update",
         "flat: tightfold.merge_inplace / dict.update",
         ratio(flat, tfi, "dict.update"), "x", 1.5, "<="),
        ("config.tightfold_inplace_vs_public_floor",
         "config: tightfold.merge_inplace / public-API floor",
         ratio(config, tfi, PUBLIC_FLOOR), "x", 1.15, "<="),
        ("flat.tightfold_inplace_vs_public_floor",
         "flat: tightfold.merge_inplace / public-API floor",
         ratio(flat, tfi, PUBLIC_FLOOR), "x", 1.05, "<="),
        ("flat.anyfold_vs_tightfold_inplace",
         "flat: anyfold.merge_inplace / tightfold.merge_inplace",
         ratio(flat, afi, tfi), "x", 1.3, "<="),
        ("config.anyfold_vs_tightfold_inplace",
         "config: anyfold.merge_inplace / tightfold.merge_inplace",
         ratio(config, afi, tfi), "x", 1.3, "<="),
        ("config.plain_vs_tightfold_inplace",
         "config: plain.merge_inplace / tightfold.merge_inplace",
         ratio(config, "plain.merge_inplace", tfi), "x", 15, ">="),
        ("config.plain_vs_anyfold_inplace",
         "config: plain.merge_inplace / anyfold.merge_inplace",
         ratio(config, "plain.merge_inplace", afi), "x", 15, ">="),
        ("config.mergedeep_vs_tightfold_inplace",
         "config: mergedeep.merge / tightfold.merge_inplace",
         ratio(config, "mergedeep.merge", tfi), "x", 30, ">="),
        ("config.mergedeep_vs_anyfold_inplace",
         "config: mergedeep.merge / anyfold.merge_inplace",
         ratio(config, "mergedeep.merge", afi), "x", 30, ">="),
        ("config.deepmerge_vs_tightfold_inplace",
         "config: deepmerge.merge / tightfold.merge_inplace",
         ratio(config, "deepmerge.merge", tfi), "x", None, None),
        ("config.deepmerge_vs_anyfold_inplace",
         "config: deepmerge.merge / anyfold.merge_inplace",
         ratio(config, "deepmerge.merge", afi), "x", None, None),
        ("config.plain_merge_vs_tightfold_merge",
         "config: plain.merge / tightfold.merge",
         ratio(config, "plain.merge", "tightfold.merge"), "x", None, None),
    ]
    # the copying merges against the real deepcopy + merge_inplace, which
    # is what they did before copying plain data natively
    speedup_goals = {"config": 7, "flat": 3.5, "deep": 1, "int": 1,
                     "wide": 1, "many": 1}
    for workload, goal in sorted(speedup_goals.items()):
        record = records.get(workload)
        for module in ("tightfold", "anyfold"):
            if workload == "many":
                merge = module + ".merge_many"
                before = "deepcopy+%s.many_inpl" % module
            else:
                merge = module + ".merge"
                before = "deepcopy+%s.inplace" % module
            derived.append((
                "%s.%s_speedup_over_deepcopy" % (workload, merge),
                "%s: (deepcopy + %s_inplace) / %s" % (
                    workload, merge.split(".")[1], merge),
                ratio(record, before, merge) if record else None, "x",
                goal, ">="))
    for workload in ("config", "flat"):
        derived.append((
            "%s.tightfold_merge_over_native_parts" % workload,
            "%s: tightfold.merge / (native copy + merge_inplace)" % workload,
            over_parts(records[workload], "tightfold.merge",
                       "native copy (tf.merge, {})", tfi), "x", 1.3, "<="))
    # the in-place merges against the least the public dict API allows
    for workload in ("flat", "config", "wide", "deep", "int", "many"):
        record = records.get(workload)
        for module in ("tightfold", "anyfold"):
            kind = "merge_many_inplace" if workload == "many" else \
                "merge_inplace"
            merge = "%s.%s" % (module, kind)
            derived.append((
                "%s.%s_%s_vs_value_first_floor" % (
                    workload, module, kind.replace("merge_", "")),
                "%s: %s / value-first floor" % (workload, merge),
                ratio(record, merge, VALUE_FIRST_FLOOR) if record else None,
                "x", None, None))
    # the Mergers: against tightfold, and against what merges alike
    lists = records["config-lists"]
    derived += [
        ("config-lists.merger_vs_tightfold_inplace",
         "config-lists: Merger().merge_inplace / tightfold.merge_inplace",
         ratio(lists, RULE_MERGER, tfi), "x", 1.05, "<="),
        ("config-lists.joins_merger_vs_tightfold_inplace",
         "config-lists: Merger(lists, sets, tuples joined) / tightfold",
         ratio(lists, JOINS_MERGER, tfi), "x", 1.3, "<="),
        ("config-lists.deepmerge_vs_merger",
         "config-lists: deepmerge always_merger / Merger(lists, sets)",
         ratio(lists, "deepmerge always_merger", DM_MERGER), "x", 20, ">="),
        ("config-lists.mergedeep_vs_merger",
         "config-lists: mergedeep ADDITIVE / Merger(l, s, t, copy=True)",
         ratio(lists, "mergedeep ADDITIVE", MD_MERGER), "x", 10, ">="),
    ]
    patch = records["config-patch"]
    derived += [
        ("config-patch.json_merge_patch_vs_merge_patch",
         "config-patch: (deepcopy + json_merge_patch.merge) / merge_patch",
         ratio(patch, "deepcopy+json_merge_patch", "calvoro.merge_patch"),
         "x", 10, ">="),
        ("config-patch.json_merge_patch_vs_merger_inplace",
         "config-patch: json_merge_patch.merge / Merger(delete=None) inpl",
         ratio(patch, "json_merge_patch.merge", PATCH_MERGER), "x", 10,
         ">="),
    ]
    derived += [
        ("scaling.max_tightfold_vs_update",
         "scaling: max per-key tightfold.merge_inplace / dict.update",
         scaling_max("tightfold"), "x", 1.5, "<="),
        ("scaling.max_anyfold_vs_update",
         "scaling: max per-key anyfold.merge_inplace / dict.update",
         scaling_max("anyfold"), "x", 1.5, "<="),
    ]
    print()
    print("== derived figures")
    derived_json = {}
    slow = 0
    for key, label, value, unit, goal, sense in derived:
        if value is None:
            shown, verdict = "n/a", ""
        else:
            shown = ("%+.1f %%" % value) if unit == "%" else (
                "%.2fx" % value)
            verdict = ""
            if goal is not None:
                ok = value <= goal if sense == "<=" else value >= goal
                verdict = "%s (goal %s %s%s)" % (
                    "ok  " if ok else "SLOW", sense, goal,
                    " %" if unit == "%" else "x")
                slow += 0 if ok else 1
        print("%-66s %9s  %s" % (label, shown, verdict))
        derived_json[key] = {"value": value, "unit": unit, "goal": goal,
                             "goal_sense": sense}
    elapsed = time.time() - started
    print()
    if mismatches:
        print("!!! %d MISMATCH(ES): see the lines marked !!! above"
              % len(mismatches))
    print("%d figure(s) off their goal; %.0f s in all" % (slow, elapsed))

    if args.json:
        doc = {
            "python": platform.python_version(),
            "implementation": platform.python_implementation(),
            "executable": sys.executable,
            "platform": platform.platform(),
            "quick": args.quick,
            "fresh": args.fresh,
            "clock": args.clock,
            "repetitions": settings.reps,
            "notes": notes,
            "mismatches": mismatches,
            "workloads": records,
            "scaling": scaling,
            "derived": derived_json,
            "seconds": elapsed,
        }
        with open(args.json, "w") as f:
            json.dump(doc, f, indent=1, sort_keys=True)
        print("wrote %s" % args.json)
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())

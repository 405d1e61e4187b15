"""Deep and cyclic input. Each case runs in its own interpreter, so that a
stack overflow fails the test instead of ending the test run.

`merge` and `merge_many` are kept away from very deep input here: where
their deepcopy is the real call, it is Python recursion that can itself
overflow the stack (the native copy of plain data is tested with the copy).
"""
import json
import textwrap

import pytest

from helpers import run_script

PRELUDE = """
import json, sys, threading
from calvoro import anyfold, tightfold

def run_in(small_thread, work):
    # in a thread of 256 KiB of stack, or in the main thread
    if not small_thread:
        return work()
    threading.stack_size(256 * 1024)
    worker = threading.Thread(target=work)
    worker.start()
    worker.join()

def chain(levels, leaf):
    # every level holds "n" before "k", so a merge that stops part-way
    # has already assigned "n" on the levels above
    top = level = {}
    for _ in range(levels - 1):
        level["n"] = leaf
        level["k"] = {}
        level = level["k"]
    level["leaf"] = leaf
    return top

def levels_merged(first, leaf):
    count = 0
    level = first
    while level.get("n") == leaf:
        count += 1
        level = level["k"]
    return count, level.get("leaf")

def still_works():
    return [m.merge({"a": {"b": 1}}, {"a": {"c": 2}}) ==
            {"a": {"b": 1, "c": 2}} for m in (anyfold, tightfold)]
"""

TOO_DEEP = "maximum recursion depth exceeded"
CALLING = TOO_DEEP + " while calling a Python object"
MERGING = TOO_DEEP + " while merging dictionaries"
REPORTED = "Exception ignored in: 'calvoro.tightfold.merge_inplace'"


def run(*pieces):
    code = PRELUDE + "".join(textwrap.dedent(piece) for piece in pieces)
    proc = run_script(code, check=False)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout), proc.stderr


INPLACE_CALLS = {
    "merge_inplace": "{module}.merge_inplace(first, second)",
    "merge_many_inplace": "{module}.merge_many_inplace([first, second])",
}


@pytest.mark.parametrize("call", sorted(INPLACE_CALLS))
@pytest.mark.parametrize("name", ["anyfold", "tightfold"])
def test_nesting_stops_at_the_recursion_limit(name, call):
    # like the same merge written in Python: anyfold raises, tightfold's
    # in-place merges report; the levels above stay merged
    result, stderr = run("""
        first, second = chain(5000, 1), chain(5000, 2)
        try:
            %s
            outcome = None
        except RecursionError as exc:
            outcome = str(exc)
        merged, leaf = levels_merged(first, 2)
        print(json.dumps([outcome, 0 < merged <= sys.getrecursionlimit(),
                          leaf, still_works()]))
    """ % INPLACE_CALLS[call].format(module=name))
    if name == "anyfold":
        assert result == [CALLING, True, None, [True, True]]
    else:
        assert result == [None, True, None, [True, True]]
        assert REPORTED in stderr
        assert stderr.rstrip().endswith("RecursionError: " + MERGING)


HUNGRY = """
    def f(n):
        # ordinary code that needs some KiB of native stack a level
        return n and sorted([0], key=lambda _: f(n - 1))[0]

    class Hungry:
        armed = False  # not while the chains are built
        def __init__(self, n):
            self.n = n
        def __hash__(self):
            if Hungry.armed:
                f(self.n)
            return 1

    def hungry_chains(levels, hungry_from, every, n):
        first, second = {}, {}
        x, y = first, second
        for i in range(levels):
            if i >= hungry_from and i % every == 0:
                y[Hungry(n)] = 1
            x["k"], y["k"] = {}, {}
            x, y = x["k"], y["k"]
        return first, second
"""

# levels, first hungry level, one every, depth of f: code that runs at the
# top of the thread (f(200) needs some hundred KiB of the main thread's
# stack, f(10) less than half of the small thread's)
HUNGER = {
    "default limit": (100000, 40000, 1, 200),
    "raised limit": (100000, 0, 50, 200),
    "small thread": (5000, 0, 5, 10),
}


@pytest.mark.parametrize("where", sorted(HUNGER))
@pytest.mark.parametrize("name", ["anyfold", "tightfold"])
def test_code_run_deep_down_has_stack_to_run(name, where):
    # Python code met at the deepest level a merge reaches runs as it would
    # at the top of the thread, or the merge stops first: no crash.
    result, stderr = run(HUNGRY, """
        module, where = %s, %r
        first, second = hungry_chains(*%r)
        if where == "raised limit":
            sys.setrecursionlimit(10 ** 6)
        outcome = []
        def work():
            Hungry.armed = True
            try:
                module.merge_inplace(first, second)
                outcome.append(None)
            except RecursionError as exc:
                outcome.append(type(exc).__name__)
        run_in(where == "small thread", work)
        print(json.dumps([outcome, still_works()]))
    """ % (name, where, HUNGER[where]))
    [outcome], works = result
    assert works == [True, True]
    # levels take no native stack: under a raised limit the whole merge is
    # made, else it stops at the limit (tightfold reports)
    completes = where == "raised limit"
    if name == "tightfold":
        assert outcome is None
        assert (REPORTED in stderr) != completes
    else:
        assert outcome == (None if completes else "RecursionError")


@pytest.mark.parametrize("thread", [False, True], ids=["main", "256k-thread"])
@pytest.mark.parametrize("call", sorted(INPLACE_CALLS))
@pytest.mark.parametrize("name", ["anyfold", "tightfold"])
def test_raised_limit_merges_any_depth(name, call, thread):
    # levels take no native stack: the limit alone bounds a merge
    result, stderr = run("""
        sys.setrecursionlimit(10 ** 6)
        first, second = chain(100000, 1), chain(100000, 2)
        def work():
            %s
        run_in(%r, work)
        print(json.dumps([levels_merged(first, 2), still_works()]))
    """ % (INPLACE_CALLS[call].format(module=name), thread))
    assert result == [[99999, 2], [True, True]]
    assert stderr == ""


@pytest.mark.parametrize("thread", [False, True], ids=["main", "256k-thread"])
def test_rebound_rmerge_wrapper_stops_cleanly_at_any_depth(thread):
    # each nested call goes through Python code and back: native stack
    result, _ = run("""
        sys.setrecursionlimit(10 ** 6)
        original = anyfold._rmerge
        anyfold._rmerge = lambda a, b: original(a, b)
        first, second = chain(100000, 1), chain(100000, 2)
        outcome = []
        def work():
            try:
                anyfold.merge_inplace(first, second)
            except RecursionError as exc:
                outcome.append(type(exc).__name__)
        run_in(%r, work)
        anyfold._rmerge = original
        print(json.dumps([outcome, levels_merged(first, 2)[0] > 0,
                          still_works()]))
    """ % thread)
    assert result == [["RecursionError"], True, [True, True]]


CYCLES = """
    def cycle(**items):
        # {"k": itself}, with the given items before and after "k"
        d = dict(items.pop("before", {}))
        d["k"] = d
        d.update(items)
        return d

    first = cycle(before={"a": 1})
    second = cycle(before={"b": 2}, x=3)
"""


@pytest.mark.parametrize("name, call", [
    ("anyfold", "merge"), ("anyfold", "merge_inplace"),
    ("tightfold", "merge")])
def test_cycles_raise_recursion_error(name, call):
    result, _ = run(CYCLES, """
        try:
            getattr(%s, %r)(first, second)
        except RecursionError as exc:
            outcome = [type(exc).__name__, str(exc)]
        print(json.dumps([outcome, sorted(first), first.get("b"),
                          first["k"] is first, still_works()]))
    """ % (name, call))
    message = MERGING if name == "tightfold" else CALLING
    # a merge into the copy leaves the first argument alone; in place, every
    # level assigned "b" before going deeper and none reached "x"
    keys = ["a", "k"] if call == "merge" else ["a", "b", "k"]
    assert result == [["RecursionError", message], keys,
                      None if call == "merge" else 2, True, [True, True]]


def test_tightfold_merge_inplace_reports_a_cycle():
    result, stderr = run(CYCLES, """
        outcome = tightfold.merge_inplace(first, second)
        print(json.dumps([outcome, sorted(first), first["b"],
                          still_works()]))
    """)
    assert result == [None, ["a", "b", "k"], 2, [True, True]]
    assert REPORTED in stderr
    assert stderr.rstrip().endswith("RecursionError: " + MERGING)


@pytest.mark.parametrize("name", ["anyfold", "tightfold"])
def test_each_merge_gives_back_the_depth_it_took(name):
    # three levels a call: any level not given back soon exhausts the limit
    result, stderr = run("""
        module = %s
        for _ in range(3 * sys.getrecursionlimit()):
            module.merge_inplace({"a": {"b": {}}}, {"a": {"b": {"c": 1}}})
            module.merge_many_inplace([{"a": {}}, {"a": {"b": 1}}])
        print(json.dumps(still_works()))
    """ % name)
    assert result == [True, True] and stderr == ""

"""Deep and cyclic input. Each case runs in its own interpreter, so that a
stack overflow fails the test instead of ending the test run.

`merge` and `merge_many` are kept away from very deep input: their deepcopy
is plain Python recursion and can itself overflow the stack there.
"""
import json
import textwrap

import pytest

from helpers import run_script

PRELUDE = """
import json, sys
from calvoro import anyfold, tightfold

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
def test_anyfold_stops_at_the_recursion_limit(call):
    result, _ = run("""
        first, second = chain(5000, 1), chain(5000, 2)
        try:
            %s
        except RecursionError as exc:
            outcome = str(exc)
        merged, leaf = levels_merged(first, 2)
        print(json.dumps([outcome, 0 < merged <= sys.getrecursionlimit(),
                          leaf, still_works()]))
    """ % INPLACE_CALLS[call].format(module="anyfold"))
    assert result == [CALLING, True, None, [True, True]]


@pytest.mark.parametrize("call", sorted(INPLACE_CALLS))
def test_tightfold_is_not_bound_by_the_recursion_limit(call):
    result, stderr = run("""
        first, second = chain(5000, 1), chain(5000, 2)
        %s
        print(json.dumps([levels_merged(first, 2), still_works()]))
    """ % INPLACE_CALLS[call].format(module="tightfold"))
    assert result == [[4999, 2], [True, True]]
    assert stderr == ""


def test_anyfold_with_a_raised_limit_stops_before_the_stack_ends():
    result, _ = run("""
        sys.setrecursionlimit(100000)
        first, second = chain(50000, 1), chain(50000, 2)
        try:
            anyfold.merge_inplace(first, second)
        except RecursionError as exc:
            outcome = str(exc)
        merged, leaf = levels_merged(first, 2)
        print(json.dumps([outcome, merged > 0, leaf, still_works()]))
    """)
    assert result == [CALLING, True, None, [True, True]]


def test_tightfold_with_a_raised_limit_merges_or_reports():
    result, stderr = run("""
        sys.setrecursionlimit(100000)
        first, second = chain(50000, 1), chain(50000, 2)
        outcome = tightfold.merge_inplace(first, second)
        print(json.dumps([outcome, levels_merged(first, 2),
                          still_works()]))
    """)
    outcome, (merged, leaf), works = result
    assert outcome is None and works == [True, True]
    if stderr:
        # ran out of native stack: reported, and the levels above stay merged
        assert REPORTED in stderr
        assert stderr.rstrip().endswith("RecursionError: " + MERGING)
        assert 0 < merged < 49999 and leaf is None
    else:
        assert (merged, leaf) == (49999, 2)


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

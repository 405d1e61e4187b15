"""tightfold's entry points: the copy through the module's `deepcopy`, the
length error, the list's elements read as the fold reaches them, and the
traceback entries of `merge` and `merge_many`."""
import builtins
import copy
import sys

import pytest

from helpers import HashKey, SubDict, module_entries

FILE = "src/calvoro/tightfold"


def entries(name, *lines):
    return [(FILE, line, "calvoro.tightfold." + name) for line in lines]


def index_error_message():
    try:
        [][0]
    except IndexError as exc:
        return str(exc)


@pytest.fixture
def reports():
    """Unraisable reports, where the interpreter lets them be caught."""
    return []


def catching(seen, call):
    # the hook is set in the test's own call: some pytest versions install
    # one of their own for the call phase, over one set by a fixture
    if not hasattr(sys, "unraisablehook"):
        return call()
    saved, sys.unraisablehook = sys.unraisablehook, seen.append
    try:
        return call()
    finally:
        sys.unraisablehook = saved


# merge(a, b) and merge_many([a, b]) copy a the same way; the two entries
# that a failure of the copy step adds
COPYING = [
    pytest.param(lambda t, a, b: t.merge(a, b), entries("merge", 25, 34),
                 id="merge"),
    pytest.param(lambda t, a, b: t.merge_many([a, b]),
                 entries("merge_many", 50, 60), id="merge_many"),
]


# ---------------------------------------------------------------------------
# deepcopy

@pytest.mark.parametrize("call, failure", COPYING)
def test_default_copy_leaves_first_unchanged(tightfold, call, failure):
    assert tightfold.deepcopy is copy.deepcopy
    first = {"a": {"x": 1}}
    result = call(tightfold, first, {"a": {"y": 2}})
    assert result == {"a": {"x": 1, "y": 2}} and first == {"a": {"x": 1}}
    assert result is not first and result["a"] is not first["a"]


@pytest.mark.parametrize("call, failure", COPYING)
def test_deepcopy_looked_up_at_each_call(tightfold, monkeypatch, call,
                                         failure):
    calls = []

    def recorder(*args, **kwargs):
        calls.append((args, kwargs))
        return made

    made = {"made": 1}
    first = {"a": 1}
    monkeypatch.setattr(tightfold, "deepcopy", recorder)
    assert call(tightfold, first, {"b": 2}) is made
    assert made == {"made": 1, "b": 2}
    assert len(calls) == 1 and calls[0][1] == {}
    assert len(calls[0][0]) == 1 and calls[0][0][0] is first

    monkeypatch.setattr(tightfold, "deepcopy", lambda d: {"other": 0})
    assert call(tightfold, first, {}) == {"other": 0}
    assert len(calls) == 1


@pytest.mark.parametrize("call, failure", COPYING)
def test_deepcopy_from_builtins_then_missing(tightfold, monkeypatch, call,
                                             failure):
    monkeypatch.delattr(tightfold, "deepcopy")
    monkeypatch.setattr(builtins, "deepcopy", lambda d: {"built": 1},
                        raising=False)
    assert call(tightfold, {}, {}) == {"built": 1}
    monkeypatch.delattr(builtins, "deepcopy")
    with pytest.raises(NameError) as info:
        call(tightfold, {}, {})
    assert str(info.value) == "name 'deepcopy' is not defined"
    assert module_entries(info.value) == failure


class Boom(Exception):
    pass


def raise_boom(d):
    raise Boom()


@pytest.mark.parametrize("call, failure", COPYING)
@pytest.mark.parametrize("copier, exc_type, message", [
    pytest.param(raise_boom, Boom, "", id="raises"),
    pytest.param(lambda d: SubDict(d), TypeError, "Expected dict, got SubDict",
                 id="subclass"),
    pytest.param(lambda d: [d], TypeError, "Expected dict, got list",
                 id="list"),
    pytest.param(5, TypeError, "'int' object is not callable",
                 id="not-callable"),
])
def test_copy_step_failures(tightfold, monkeypatch, call, failure, copier,
                            exc_type, message):
    monkeypatch.setattr(tightfold, "deepcopy", copier)
    with pytest.raises(exc_type) as info:
        call(tightfold, {}, {"a": 1})
    assert str(info.value) == message
    assert module_entries(info.value) == failure


@pytest.mark.parametrize("call, failure", COPYING)
def test_copy_may_be_none(tightfold, monkeypatch, call, failure):
    monkeypatch.setattr(tightfold, "deepcopy", lambda d: None)
    assert call(tightfold, {"a": 1}, {}) is None


def test_merge_many_copies_element_zero_whatever_it_is(tightfold,
                                                       monkeypatch):
    seen = []
    monkeypatch.setattr(tightfold, "deepcopy",
                        lambda d: seen.append(d) or copy.deepcopy(d))
    element = [1]
    with pytest.raises(TypeError) as info:
        tightfold.merge_many([element, {}])
    assert str(info.value) == "Expected dict, got list"
    assert seen == [element] and seen[0] is element
    assert module_entries(info.value) == entries("merge_many", 50, 60)


# ---------------------------------------------------------------------------
# merge_many: length, elements, results

@pytest.mark.parametrize("dicts", [[], [{}]], ids=["empty", "one"])
def test_length_error(tightfold, monkeypatch, dicts):
    copies = []
    monkeypatch.setattr(tightfold, "deepcopy", copies.append)
    saved, raised = builtins.Exception, []
    for _ in range(2):
        try:
            raise KeyError("handled")
        except KeyError as handled:
            # the class raised is the interpreter's, not a name looked up
            builtins.Exception = Boom
            try:
                tightfold.merge_many(dicts)
            except BaseException as exc:
                raised.append((exc, handled))
            finally:
                builtins.Exception = saved
    (first, handled), (second, _) = raised
    assert type(first) is Exception and first is not second
    assert first.args == ("List len should be at least 2",)
    assert first.args is second.args
    assert first.__cause__ is None and first.__context__ is handled
    assert module_entries(first) == entries("merge_many", 50, 59)
    assert copies == []


@pytest.mark.parametrize("dicts, exc_type, message, line", [
    pytest.param(None, TypeError, "object of type 'NoneType' has no len()",
                 58, id="none"),
    pytest.param([{}, []], TypeError, "Expected dict, got list", 62,
                 id="element-1"),
    pytest.param([{}, SubDict()], TypeError, "Expected dict, got SubDict", 62,
                 id="element-1-subclass"),
    pytest.param([{}, {}, 5], TypeError, "Expected dict, got int", 64,
                 id="element-2"),
])
def test_merge_many_failures(tightfold, dicts, exc_type, message, line):
    with pytest.raises(exc_type) as info:
        tightfold.merge_many(dicts)
    assert str(info.value) == message
    assert module_entries(info.value) == entries("merge_many", 50, line)


def test_merge_many_results(tightfold):
    empty = {}
    assert tightfold.merge_many([empty, {}]) == {}
    assert tightfold.merge_many([empty, {}]) is not empty
    assert tightfold.merge_many([None, {}]) is None
    assert tightfold.merge_many([{"a": 1}, {"a": 2}, {"a": 3}]) == {"a": 3}
    inner = {"x": 1}
    dicts = [{}, {"k": inner}, {"k": {"y": 2}}]
    assert tightfold.merge_many(dicts) == {"k": {"x": 1, "y": 2}}
    assert dicts[1]["k"] is inner and inner == {"x": 1, "y": 2}


# ---------------------------------------------------------------------------
# Elements read as the fold reaches them. Element 0 holds a key whose
# comparison changes the list; element `at` holds an equal key, so the
# change happens while element `at` is merged.

def fold_with(change, at, size=4):
    dicts = [{HashKey("k"): 0}] + [{"e%d" % i: i} for i in range(1, size)]
    stored = next(iter(dicts[0]))
    dicts[at][HashKey("k")] = at
    fired = []

    def once():
        if not fired:
            fired.append(1)
            change(dicts)
    stored.on_eq = once
    return dicts


# change, made while element `at` is merged; keys merged from elements 1
# on (None: the fold fails at the first missing position)
FOLDS = [
    pytest.param(lambda d: d.append({"late": 1}), 1,
                 ["e1", "e2", "e3", "late"], id="grow-before-n"),
    pytest.param(lambda d: d.append({"late": 1}), 2, ["e1", "e2", "e3"],
                 id="grow-after-n"),
    pytest.param(lambda d: d.__setitem__(2, {"swapped": 1}), 1,
                 ["e1", "swapped", "e3"], id="replaced"),
    pytest.param(lambda d: d.clear(), 1, ["e1"], id="cleared-before-n"),
    pytest.param(lambda d: d.pop(), 2, None, id="shrunk-after-n"),
]


def merged_names(result):
    return [k for k in result if isinstance(k, str)]


@pytest.mark.parametrize("change, at, names", FOLDS)
def test_merge_many_reads_current_elements(tightfold, change, at, names):
    dicts = fold_with(change, at)
    if names is None:
        with pytest.raises(IndexError) as info:
            tightfold.merge_many(dicts)
        assert str(info.value) == index_error_message()
        assert module_entries(info.value) == entries("merge_many", 50, 64)
        return
    assert merged_names(tightfold.merge_many(dicts)) == names


@pytest.mark.parametrize("change, at, names", FOLDS)
def test_merge_many_inplace_reads_current_elements(tightfold, reports,
                                                   change, at, names):
    dicts = fold_with(change, at)
    first = dicts[0]
    assert catching(reports, lambda: tightfold.merge_many_inplace(dicts)) is None
    assert merged_names(first) == (names or ["e1", "e2"])
    if hasattr(sys, "unraisablehook"):
        assert [type(r.exc_value) for r in reports] == (
            [] if names else [IndexError])


def test_copy_shortens_list(tightfold, monkeypatch):
    dicts = [{}, {}]

    def shortening_copy(d):
        del dicts[1:]
        return {}
    monkeypatch.setattr(tightfold, "deepcopy", shortening_copy)
    with pytest.raises(IndexError) as info:
        tightfold.merge_many(dicts)
    assert str(info.value) == index_error_message()
    assert module_entries(info.value) == entries("merge_many", 50, 62)


# ---------------------------------------------------------------------------
# merge_many_inplace raises nothing once its argument is a list or None

def failing_element():
    key = HashKey("bad")
    element = {key: 1}
    key.on_hash = lambda: raise_boom(None)
    return element


@pytest.mark.parametrize("make_dicts, reported", [
    pytest.param(lambda: [5, {}], [TypeError], id="element-0"),
    pytest.param(lambda: [{}, 5, {}], [TypeError], id="element-1"),
    pytest.param(lambda: [{}, failing_element(), failing_element()],
                 [Boom, Boom], id="each-merge-fails"),
    pytest.param(lambda: [None, {}], [], id="none-target-empty"),
])
def test_merge_many_inplace_raises_nothing(tightfold, reports, make_dicts,
                                           reported):
    dicts = make_dicts()
    assert catching(reports, lambda: tightfold.merge_many_inplace(dicts)) is None
    if hasattr(sys, "unraisablehook"):
        assert [type(r.exc_value) for r in reports] == reported

"""Traceback entries that anyfold's functions add to a passing exception."""
import traceback
import types

import pytest

from helpers import module_entries

FILE = "src/calvoro/anyfold"


def entry(name, line):
    return (FILE, line, "calvoro.anyfold." + name)


class Boom(Exception):
    pass


class FailingSet(dict):
    def __setitem__(self, key, value):
        raise Boom(key)


class BadIterator:
    def __iter__(self):
        return self

    def __next__(self):
        raise Boom("next")


class LyingMapping:
    """Says that it holds every key, then holds none."""

    def __contains__(self, key):
        return True

    def __getitem__(self, key):
        raise KeyError(key)


class NoItems:
    def __contains__(self, key):
        return True


@pytest.mark.parametrize("first, second, exc_type, line", [
    pytest.param({}, 5, TypeError, 14, id="not-iterable"),
    pytest.param({}, BadIterator(), Boom, 14, id="next-raises"),
    pytest.param(object(), {"a": 1}, TypeError, 15, id="no-containment"),
    pytest.param(LyingMapping(), {"a": 1}, KeyError, 15, id="test-fetch"),
    pytest.param(NoItems(), {"a": 1}, TypeError, 15, id="not-subscriptable"),
    pytest.param(FailingSet(), {"a": 1}, Boom, 18, id="assignment"),
    pytest.param(types.MappingProxyType({}), {"a": 1}, TypeError, 18,
                 id="read-only"),
    pytest.param({}, ["a"], TypeError, 18, id="list-fetch"),
])
def test_rmerge_entry_per_failing_step(anyfold, first, second, exc_type, line):
    with pytest.raises(exc_type) as info:
        anyfold._rmerge(first, second)
    assert module_entries(info.value) == [entry("_rmerge", line)]


@pytest.mark.parametrize("replacement, exc_type", [
    pytest.param(None, NameError, id="deleted"),
    pytest.param(5, TypeError, id="not-callable"),
])
def test_nested_call_failures_at_call_line(anyfold, monkeypatch,
                                           replacement, exc_type):
    rmerge = anyfold._rmerge
    if replacement is None:
        monkeypatch.delattr(anyfold, "_rmerge")
    else:
        monkeypatch.setattr(anyfold, "_rmerge", replacement)
    with pytest.raises(exc_type) as info:
        rmerge({"a": {}}, {"a": {}})
    assert module_entries(info.value) == [entry("_rmerge", 16)]


def test_nested_failure_collects_one_entry_per_level(anyfold):
    first = {"a": {"b": FailingSet()}}
    second = {"a": {"b": {"c": 1}}}
    # outermost first, as Python prints them
    with pytest.raises(Boom) as info:
        anyfold.merge_many_inplace([first, second])
    assert module_entries(info.value) == [
        entry("merge_many_inplace", 77), entry("merge_inplace", 44),
        entry("_rmerge", 16), entry("_rmerge", 16), entry("_rmerge", 18)]
    with pytest.raises(Boom) as info:
        anyfold.merge_many([{}, {}, first, second])
    assert module_entries(info.value) == [
        entry("merge_many", 61), entry("merge_inplace", 44),
        entry("_rmerge", 16), entry("_rmerge", 16), entry("_rmerge", 18)]
    with pytest.raises(Boom) as info:
        anyfold.merge(first, second)
    assert module_entries(info.value) == [
        entry("merge", 31), entry("_rmerge", 16), entry("_rmerge", 16),
        entry("_rmerge", 18)]


class NoLen:
    def __getitem__(self, i):
        return {}


class Growing:
    """len() is 2 at first; elements are empty dicts up to index 1."""

    def __init__(self, second_len, items=None):
        self.calls = 0
        self.second_len = second_len
        self.items = items

    def __len__(self):
        self.calls += 1
        if self.calls == 1:
            return 2
        return self.second_len()

    def __getitem__(self, i):
        if self.items is not None:
            return self.items[i]
        if i >= 2:
            raise Boom(i)
        return {}


def raise_boom():
    raise Boom("len")


@pytest.mark.parametrize("make, exc_type, lines", [
    pytest.param(lambda: NoLen(), TypeError, (55, 73), id="no-len"),
    pytest.param(lambda: [{}], Exception, (56, 74), id="short"),
    pytest.param(lambda: {"x": {}, "y": {}}, KeyError, (57, 76),
                 id="element-0"),
    pytest.param(lambda: Growing(lambda: 2, items=[{}, 5]), TypeError,
                 (59, 77), id="first-merge"),
    pytest.param(lambda: Growing(raise_boom), Boom, (60, 78),
                 id="second-len"),
    pytest.param(lambda: Growing(lambda: 3), Boom, (61, 79), id="element-2"),
])
def test_many_entry_per_failing_step(anyfold, make, exc_type, lines):
    inner = [entry("merge_inplace", 44), entry("_rmerge", 14)]
    for name, line in zip(["merge_many", "merge_many_inplace"], lines):
        with pytest.raises(exc_type) as info:
            getattr(anyfold, name)(make())
        assert module_entries(info.value) == [entry(name, line)] + (
            inner if line in (59, 77) else [])


def test_missing_names_fail_at_the_using_line(anyfold, monkeypatch):
    cases = [("_rmerge", "merge", ({}, {}), 31),
             ("deepcopy", "merge", ({}, {}), 31),
             ("_rmerge", "merge_inplace", ({}, {}), 44),
             ("deepcopy", "merge_many", ([{}, {}],), 57),
             ("merge_inplace", "merge_many", ([{}, {}],), 59),
             ("merge_inplace", "merge_many_inplace", ([{}, {}],), 77)]
    for name, func, args, line in cases:
        with monkeypatch.context() as patch:
            patch.delattr(anyfold, name)
            with pytest.raises(NameError) as info:
                getattr(anyfold, func)(*args)
        assert str(info.value) == "name '%s' is not defined" % name
        assert module_entries(info.value) == [entry(func, line)]


@pytest.mark.parametrize("func, line", [("merge_many", 61),
                                        ("merge_many_inplace", 79)])
def test_missing_merge_inplace_in_the_loop(anyfold, monkeypatch, func, line):
    def vanish(first, second):
        del anyfold.merge_inplace

    monkeypatch.setattr(anyfold, "merge_inplace", vanish)
    with pytest.raises(NameError) as info:
        getattr(anyfold, func)([{}, {}, {}])
    assert module_entries(info.value) == [entry(func, line)]


def test_deepcopy_failure_at_copy_line(anyfold):
    class Uncopyable:
        def __deepcopy__(self, memo):
            raise Boom()
    with pytest.raises(Boom) as info:
        anyfold.merge(Uncopyable(), {})
    assert module_entries(info.value) == [entry("merge", 31)]
    with pytest.raises(Boom) as info:
        anyfold.merge_many([Uncopyable(), {}])
    assert module_entries(info.value) == [entry("merge_many", 57)]


def test_entry_keeps_the_pending_exception(anyfold):
    raised = Boom("mine")

    class Raiser(dict):
        def __setitem__(self, key, value):
            raise raised

    with pytest.raises(Boom) as info:
        anyfold.merge_inplace(Raiser(), {"k": 1})
    assert info.value is raised
    assert info.value.__context__ is None


def test_entries_print_like_python_frames(anyfold):
    with pytest.raises(TypeError) as info:
        anyfold.merge_inplace(types.MappingProxyType({}), {"k": 1})
    lines = traceback.format_exception(
        TypeError, info.value, info.value.__traceback__)
    assert lines[-3:-1] == [
        '  File "src/calvoro/anyfold", line 44, in calvoro.anyfold.merge_inplace\n',
        '  File "src/calvoro/anyfold", line 18, in calvoro.anyfold._rmerge\n']
    tb = info.value.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    assert tb.tb_frame.f_globals is vars(anyfold)
    code = tb.tb_frame.f_code
    assert (code.co_filename, code.co_name, code.co_firstlineno) == (
        FILE, "calvoro.anyfold._rmerge", 18)


def test_lines_stay_apart_across_repeated_failures(anyfold):
    # the objects behind the entries are made once per line and reused
    for _ in range(3):
        for first, second, line in [(FailingSet(), {"a": 1}, 18),
                                    ({}, 5, 14), (object(), {"a": 1}, 15)]:
            with pytest.raises(Exception) as info:
                anyfold._rmerge(first, second)
            assert module_entries(info.value) == [entry("_rmerge", line)]

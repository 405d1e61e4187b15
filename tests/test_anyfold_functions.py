"""anyfold's public functions: what they copy, call, fetch and return."""
import builtins
import copy
import sys

import pytest

from helpers import RecordingMapping, SubDict, module_entries

SHORT = "List len should be at least 2"


class Sequence:
    """A user sequence that logs len() and item access."""

    def __init__(self, items, lengths=None):
        self.items, self.log = items, []
        self.lengths = list(lengths or [])

    def __len__(self):
        self.log.append("len")
        return self.lengths.pop(0) if self.lengths else len(self.items)

    def __getitem__(self, i):
        self.log.append((type(i).__name__, i))
        return self.items[i]


def test_merge_copies_only_the_first(anyfold):
    shared, value = {"z": 0}, [1]
    a = {"n": {"a": 1}, "keep": [0]}
    b = {"n": {"b": 2}, "s": shared, "v": value}
    before = copy.deepcopy(a)
    result = anyfold.merge(a, b)
    assert result == {"n": {"a": 1, "b": 2}, "keep": [0], "s": {"z": 0},
                      "v": [1]}
    assert a == before and result is not a and result["n"] is not a["n"]
    assert result["keep"] is not a["keep"]
    assert result["s"] is shared and result["v"] is value
    anyfold.merge_inplace(result, {"s": {"y": 1}})
    assert b["s"] == {"z": 0, "y": 1}
    assert type(anyfold.merge(SubDict(a=1), {})) is SubDict
    assert anyfold.merge(5, {}) == 5


def test_merge_with_itself_shares_plain_values(anyfold):
    value = [1]
    d = {"a": {"b": value}}
    result = anyfold.merge(d, d)
    assert result == d and result["a"] is not d["a"]
    assert result["a"]["b"] is value


def test_merge_inplace(anyfold):
    inner = {"a": 1}
    first = {"n": inner}
    assert anyfold.merge_inplace(first, {"n": {"b": 2}, "c": 3}) is None
    assert first == {"n": {"a": 1, "b": 2}, "c": 3} and first["n"] is inner
    assert anyfold.merge_inplace(None, {}) is None


def test_names_looked_up_at_each_call(anyfold, monkeypatch):
    calls = []

    def fake_rmerge(first, second):
        calls.append(("rmerge", first, second))
        return "result"

    def fake_deepcopy(obj):
        calls.append(("deepcopy", obj))
        return "copy"

    assert anyfold.merge({"a": 1}, {}) == {"a": 1}
    monkeypatch.setattr(anyfold, "_rmerge", fake_rmerge)
    monkeypatch.setattr(anyfold, "deepcopy", fake_deepcopy)
    assert anyfold.merge("a", "b") == "result"
    assert anyfold.merge_inplace("c", "d") is None
    assert calls == [("deepcopy", "a"), ("rmerge", "copy", "b"),
                     ("rmerge", "c", "d")]
    monkeypatch.undo()
    assert anyfold.merge({"a": 1}, {"b": 2}) == {"a": 1, "b": 2}


class Interrupt(BaseException):
    pass


@pytest.mark.parametrize("raised", [AttributeError, LookupError, Interrupt])
def test_missing_name_asks_builtins_getattr(anyfold, monkeypatch, raised):
    # only "no such attribute" from the builtins module means "not defined"
    def module_getattr(name):
        raise raised(name)
    monkeypatch.setattr(builtins, "__getattr__", module_getattr,
                        raising=False)
    monkeypatch.delattr(anyfold, "deepcopy")
    defined = sys.version_info >= (3, 7) and raised is not AttributeError
    with pytest.raises(raised if defined else NameError):
        anyfold.merge({}, {})


def test_missing_names(anyfold, monkeypatch):
    log = []
    first, second = RecordingMapping(log=log), RecordingMapping(log=log)
    monkeypatch.setattr(anyfold, "deepcopy", lambda obj: log.append("copy"))
    monkeypatch.delattr(anyfold, "_rmerge")
    for func in (anyfold.merge, anyfold.merge_inplace):
        with pytest.raises(NameError) as info:
            func(first, second)
        assert str(info.value) == "name '_rmerge' is not defined"
    monkeypatch.delattr(anyfold, "deepcopy")
    with pytest.raises(NameError) as info:
        anyfold.merge(first, second)
    assert str(info.value) == "name '_rmerge' is not defined"
    assert log == []
    monkeypatch.undo()
    monkeypatch.delattr(anyfold, "deepcopy")
    with pytest.raises(NameError) as info:
        anyfold.merge({}, {})
    assert str(info.value) == "name 'deepcopy' is not defined"
    assert anyfold.merge_inplace({}, {"a": 1}) is None
    monkeypatch.setattr(builtins, "deepcopy", lambda obj: {"from": "builtins"},
                        raising=False)
    assert anyfold.merge({}, {"a": 1}) == {"from": "builtins", "a": 1}


def test_failed_copy_leaves_second_untouched(anyfold):
    class Uncopyable:
        def __deepcopy__(self, memo):
            raise ValueError("no copy")
    log = []
    with pytest.raises(ValueError):
        anyfold.merge(Uncopyable(), RecordingMapping(log=log))
    assert log == []


@pytest.mark.parametrize("dicts", [[], [{}], Sequence([{}])],
                         ids=["empty", "one", "user"])
def test_short_sequences_raise_the_own_exception(anyfold, dicts):
    for name, line in [("merge_many", 56), ("merge_many_inplace", 74)]:
        handled = KeyError("handled")
        try:
            raise handled
        except KeyError:
            with pytest.raises(Exception) as info:
                getattr(anyfold, name)(dicts)
        exc = info.value
        assert type(exc) is Exception and exc.args == (SHORT,)
        assert exc.__cause__ is None and exc.__context__ is handled
        assert module_entries(exc) == [
            ("src/calvoro/anyfold", line, "calvoro.anyfold." + name)]
    if isinstance(dicts, Sequence):
        assert dicts.log == ["len", "len"]


def test_own_exception_ignores_rebound_names(anyfold, monkeypatch):
    with pytest.raises(Exception) as first:
        anyfold.merge_many([])
    monkeypatch.setattr(anyfold, "Exception", KeyError, raising=False)
    monkeypatch.setattr(builtins, "Exception", KeyError)
    try:
        anyfold.merge_many_inplace([])
    except BaseException as exc:
        raised = exc
    monkeypatch.undo()
    assert type(raised) is Exception
    assert raised.args is first.value.args


def test_fold_order_and_sharing(anyfold):
    a = {"x": 1}
    b = {"k": {"b": 1}, "x": 2}
    c = {"k": {"c": 1}}
    result = anyfold.merge_many([a, b, c])
    assert result == {"x": 2, "k": {"b": 1, "c": 1}} and a == {"x": 1}
    assert result["k"] is b["k"] and b["k"] == {"b": 1, "c": 1}
    assert anyfold.merge_many(({"a": 1}, {"b": 2})) == {"a": 1, "b": 2}
    assert anyfold.merge_many({1: {"b": 2}, 0: {"a": 1}}) == {"a": 1, "b": 2}
    inner = {}
    d = {"n": inner}
    assert anyfold.merge_many_inplace([d, {"n": {"a": 1}}, {"z": 2}]) is None
    assert d == {"n": {"a": 1}, "z": 2} and d["n"] is inner


@pytest.mark.parametrize("name", ["merge_many", "merge_many_inplace"])
def test_two_length_readings_and_int_indexes(anyfold, name):
    items = [{"i": 0}, {"i": 1}, {"i": 2}, {"i": 3}, {"i": 4}]
    seq = Sequence(items, lengths=[2, 5])
    result = getattr(anyfold, name)(seq)
    assert seq.log == ["len", ("int", 0), ("int", 1), "len", ("int", 2),
                       ("int", 3), ("int", 4)]
    assert (result or items[0]) == {"i": 4}
    seq = Sequence(items[:3], lengths=[3, 2])
    getattr(anyfold, name)(seq)
    assert seq.log == ["len", ("int", 0), ("int", 1), "len"]


@pytest.mark.parametrize("name, line", [("merge_many", 57),
                                        ("merge_many_inplace", 76)])
def test_dicts_without_index_keys(anyfold, name, line):
    with pytest.raises(KeyError) as info:
        getattr(anyfold, name)({"x": {}, "y": {}})
    assert info.value.args == (0,)
    assert module_entries(info.value)[0][1] == line
    gen = ({} for _ in range(2))
    with pytest.raises(TypeError) as info:
        getattr(anyfold, name)(gen)
    with pytest.raises(TypeError) as expected:
        len(gen)
    assert str(info.value) == str(expected.value)


def test_merge_steps_call_the_current_merge_inplace(anyfold, monkeypatch):
    calls = []
    a, b, c = {"a": 1}, {"b": 2}, {"c": 3}
    dicts = [a, b, c]

    def second_step(first, other):
        calls.append(("second", first, other))

    def first_step(first, other):
        calls.append(("first", first, other))
        dicts[0] = {"replaced": True}
        monkeypatch.setattr(anyfold, "merge_inplace", second_step)

    monkeypatch.setattr(anyfold, "merge_inplace", first_step)
    result = anyfold.merge_many(dicts)
    assert result == a and result is not a
    assert calls == [("first", result, b), ("second", result, c)]
    calls[:] = []
    dicts[0] = a
    monkeypatch.setattr(anyfold, "merge_inplace", first_step)
    assert anyfold.merge_many_inplace(dicts) is None
    assert calls == [("first", a, b), ("second", a, c)]


def test_lookup_and_fetch_order(anyfold, monkeypatch):
    seq = Sequence([{}, {}])
    monkeypatch.delattr(anyfold, "deepcopy")
    with pytest.raises(NameError):
        anyfold.merge_many(seq)
    assert seq.log == ["len"]
    monkeypatch.undo()
    monkeypatch.delattr(anyfold, "merge_inplace")
    for func in (anyfold.merge_many, anyfold.merge_many_inplace):
        seq = Sequence([{}, {}])
        with pytest.raises(NameError) as info:
            func(seq)
        assert str(info.value) == "name 'merge_inplace' is not defined"
        assert seq.log == ["len", ("int", 0)]


@pytest.mark.parametrize("name, line", [("merge_many", 61),
                                        ("merge_many_inplace", 79)])
def test_shrinking_list(anyfold, monkeypatch, name, line):
    dicts = [{}, {}, {}, {}]
    monkeypatch.setattr(anyfold, "merge_inplace",
                        lambda first, other: other is dicts[2] and dicts.pop())
    with pytest.raises(IndexError) as info:
        getattr(anyfold, name)(dicts)
    with pytest.raises(IndexError) as expected:
        dicts[3]
    assert str(info.value) == str(expected.value)
    assert module_entries(info.value) == [
        ("src/calvoro/anyfold", line, "calvoro.anyfold." + name)]

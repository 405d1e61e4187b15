"""How both modules bind the arguments of a call, and how a bad call fails."""
import ctypes

import pytest

from helpers import RecordingMapping, module_entries

# (module, function) -> the line that a binding failure reports
BINDING_LINES = {
    ("anyfold", "_rmerge"): 7,
    ("anyfold", "merge"): 22,
    ("anyfold", "merge_inplace"): 34,
    ("tightfold", "merge"): 25,
    ("tightfold", "merge_inplace"): 38,
}
COUNT = "{}() takes exactly 2 positional arguments ({} given)"
MULTIPLE = "{}() got multiple values for keyword argument '{}'"
UNEXPECTED = "{}() got an unexpected keyword argument '{}'"
NOT_STR = "{}() keywords must be strings"


class Str(str):
    pass


def call_raw(func, args, kwargs):
    """Call through PyObject_Call, so that any keyword dict reaches func."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object] * 3
    return call(func, args, kwargs)


def short(module):
    return module.__name__.rpartition(".")[2]


def pair_functions(module):
    names = ["merge", "merge_inplace"]
    if short(module) == "anyfold":
        names.append("_rmerge")
    return names


PAIR_FAILURES = [
    pytest.param((), {}, COUNT, (0,), id="none"),
    pytest.param(({},), {}, COUNT, (1,), id="one"),
    pytest.param(({}, {}, {}), {}, COUNT, (3,), id="three"),
    pytest.param(({}, {}, {}), {"first_dict": {}}, COUNT, (3,),
                 id="three-before-keywords"),
    pytest.param((), {"second_dict": {}}, COUNT, (0,), id="only-second-kw"),
    pytest.param((), {"first_dict": {}}, COUNT, (1,), id="only-first-kw"),
    pytest.param(({},), {"first_dict": {}}, COUNT, (1,), id="one-and-first"),
    pytest.param(({},), {"x": 1}, COUNT, (1,), id="missing-before-unexpected"),
    pytest.param(({}, {}), {"first_dict": {}}, MULTIPLE, ("first_dict",),
                 id="multiple-first"),
    pytest.param(({}, {}), {"second_dict": {}}, MULTIPLE, ("second_dict",),
                 id="multiple-second"),
    pytest.param(({},), {"first_dict": {}, "second_dict": {}}, MULTIPLE,
                 ("first_dict",), id="multiple-after-both-bound"),
    pytest.param(({}, {}), {"extra": 1}, UNEXPECTED, ("extra",),
                 id="unexpected"),
    pytest.param((), {"first_dict": {}, "second_dict": {}, "extra": 1},
                 UNEXPECTED, ("extra",), id="unexpected-all-keywords"),
    pytest.param(({},), {"second_dict": {}, "zz": 1, "first_dict": {}},
                 UNEXPECTED, ("zz",), id="first-offender-unexpected"),
    pytest.param(({},), {"second_dict": {}, "first_dict": {}, "zz": 1},
                 MULTIPLE, ("first_dict",), id="first-offender-multiple"),
    pytest.param(({}, {}), {1: 2}, NOT_STR, (), id="non-str"),
    pytest.param((), {"first_dict": {}, "second_dict": {}, 1: 2}, NOT_STR, (),
                 id="non-str-after-bound"),
    pytest.param(({}, {}), {"extra": 1, 1: 2}, UNEXPECTED, ("extra",),
                 id="unexpected-before-non-str"),
    pytest.param(({}, {}), {Str("extra"): 1}, UNEXPECTED, ("extra",),
                 id="str-subclass-unexpected"),
    pytest.param(({}, {}), {Str("first_dict"): 1}, MULTIPLE, ("first_dict",),
                 id="str-subclass-multiple"),
]


@pytest.mark.parametrize("args, kwargs, template, fill", PAIR_FAILURES)
def test_pair_binding_failure(module, args, kwargs, template, fill):
    for name in pair_functions(module):
        with pytest.raises(TypeError) as info:
            call_raw(getattr(module, name), args, kwargs)
        assert str(info.value) == template.format(name, *fill)
        line = BINDING_LINES[short(module), name]
        assert module_entries(info.value) == [
            ("src/calvoro/" + short(module), line, module.__name__ + "." + name)]


@pytest.mark.parametrize("args, kwargs", [
    pytest.param(({"a": 1}, {"b": 2}), {}, id="positional-empty-kwargs"),
    pytest.param(({"a": 1},), {"second_dict": {"b": 2}}, id="one-and-kw"),
    pytest.param((), {"second_dict": {"b": 2}, "first_dict": {"a": 1}},
                 id="keywords-any-order"),
    pytest.param(({"a": 1},), {Str("second_dict"): {"b": 2}},
                 id="str-subclass-name"),
])
def test_pair_binding_success(module, args, kwargs):
    assert call_raw(module.merge, args, kwargs) == {"a": 1, "b": 2}
    bound = dict(zip(["first_dict", "second_dict"], args))
    bound.update(kwargs)
    call_raw(module.merge_inplace, args, kwargs)
    assert bound["first_dict"] == {"a": 1, "b": 2}


@pytest.mark.parametrize("args, kwargs, message", [
    pytest.param((), {}, "{}() takes exactly one argument (0 given)", id="none"),
    pytest.param(([], []), {}, "{}() takes exactly one argument (2 given)",
                 id="two"),
    pytest.param((), {"dicts": [{}, {}]}, "{}() takes no keyword arguments",
                 id="own-name"),
    pytest.param(([{}, {}],), {"x": 1}, "{}() takes no keyword arguments",
                 id="one-and-keyword"),
    pytest.param(([], []), {"x": 1}, "{}() takes no keyword arguments",
                 id="keywords-before-count"),
])
def test_single_binding_failure(module, args, kwargs, message):
    for name in ["merge_many", "merge_many_inplace"]:
        with pytest.raises(TypeError) as info:
            call_raw(getattr(module, name), args, kwargs)
        assert str(info.value) == message.format(name)
        assert module_entries(info.value) == []


def test_single_binding_accepts_empty_keywords(module):
    a = {"a": {"x": 1}}
    assert call_raw(module.merge_many, ([a, {"a": {"y": 2}}],), {}) == {
        "a": {"x": 1, "y": 2}}
    assert module.merge_many([a, {"b": 1}], **{}) == {"a": {"x": 1}, "b": 1}
    assert call_raw(module.merge_many_inplace, ([a, {"b": 1}],), {}) is None
    assert a == {"a": {"x": 1}, "b": 1}


def test_failed_binding_touches_no_argument(module):
    log = []
    first, second = RecordingMapping(log=log), RecordingMapping(log=log)
    for func in (module.merge, module.merge_inplace):
        with pytest.raises(TypeError):
            func(first, second, extra=1)
    with pytest.raises(TypeError):
        module.merge_many([first, second], x=1)
    assert log == []


def test_binding_comes_before_type_test(tightfold):
    with pytest.raises(TypeError) as info:
        tightfold.merge([], [], extra=1)
    assert str(info.value) == UNEXPECTED.format("merge", "extra")


def test_messages_keep_the_defined_name(anyfold):
    functions = [anyfold.merge, anyfold.merge_many]
    try:
        for func in functions:
            func.__name__ = func.__qualname__ = "renamed"
        with pytest.raises(TypeError) as info:
            anyfold.merge({})
        assert str(info.value) == COUNT.format("merge", 1)
        with pytest.raises(TypeError) as info:
            anyfold.merge_many(dicts=[])
        assert str(info.value) == "merge_many() takes no keyword arguments"
    finally:
        for func, name in zip(functions, ["merge", "merge_many"]):
            func.__name__ = func.__qualname__ = name

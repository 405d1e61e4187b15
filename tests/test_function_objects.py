"""The function type of anyfold's five functions."""
import copy
import gc
import inspect
import pickle
import re
import types
import weakref

import pytest

CODES = {
    "_rmerge": (2, ("first_dict", "second_dict", "key"), 7),
    "merge": (2, ("first_dict", "second_dict"), 22),
    "merge_inplace": (2, ("first_dict", "second_dict"), 34),
    "merge_many": (1, ("dicts", "consumer_dict", "i"), 47),
    "merge_many_inplace": (1, ("dicts", "consumer_dict", "i"), 65),
}
SETTABLE = ["__name__", "__qualname__", "__doc__", "__module__",
            "__annotations__", "__defaults__", "__kwdefaults__", "__dict__"]


@pytest.fixture
def func(anyfold):
    """anyfold.merge, with its settable attributes restored afterwards."""
    saved = {name: getattr(anyfold.merge, name) for name in SETTABLE}
    yield anyfold.merge
    for name, value in saved.items():
        setattr(anyfold.merge, name, value)


def host_stacksize():
    code = (lambda: None).__code__
    if not hasattr(code, "replace"):
        return 0
    return code.replace(co_stacksize=0).co_stacksize


@pytest.mark.parametrize("name", sorted(CODES))
def test_code_object(anyfold, name):
    code = getattr(anyfold, name).__code__
    argcount, varnames, firstline = CODES[name]
    assert type(code) is types.CodeType
    assert (code.co_name, code.co_filename, code.co_firstlineno) == (
        name, "src/calvoro/anyfold", firstline)
    assert (code.co_argcount, code.co_varnames, code.co_nlocals) == (
        argcount, varnames, len(varnames))
    assert (code.co_kwonlyargcount, code.co_flags, code.co_code) == (0, 3, b"")
    assert getattr(code, "co_posonlyargcount", 0) == 0
    assert getattr(code, "co_qualname", name) == name
    assert code.co_stacksize == host_stacksize()
    assert getattr(code, "co_linetable", b"") == b""
    assert code.co_consts == code.co_names == code.co_freevars == \
        code.co_cellvars == ()


def test_the_type(anyfold):
    t = type(anyfold.merge)
    assert t.__bases__ == (object,)
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (t,), {})
    f = anyfold.merge
    assert f == f and f != anyfold.merge_inplace
    assert hash(f) == object.__hash__(f)
    assert gc.is_tracked(f)
    assert weakref.ref(f)() is f
    assert not hasattr(f, "__text_signature__")


def test_repr_follows_qualname(func):
    # %p: upper-case hex on Windows
    match = re.fullmatch(r"<calvoro_function merge at (0x[0-9a-fA-F]+)>",
                         repr(func))
    assert match and int(match.group(1), 16) == id(func)
    func.__qualname__ = "other.name"
    assert repr(func).startswith("<calvoro_function other.name at 0x")


def test_read_only_values(anyfold, func):
    assert func.__globals__ is func.func_globals is vars(anyfold)
    assert func.__code__ is func.func_code
    assert func.__closure__ is func.func_closure is None
    assert func.__self__ is None
    for name in ["__globals__", "func_globals", "__code__", "func_code",
                 "__closure__", "func_closure", "__self__"]:
        with pytest.raises(AttributeError):
            setattr(func, name, None)
        with pytest.raises(AttributeError):
            delattr(func, name)


class Text(str):
    pass


@pytest.mark.parametrize("name, alias, message", [
    ("__name__", "func_name", "__name__ must be set to a string object"),
    ("__qualname__", None, "__qualname__ must be set to a string object"),
])
def test_names(func, name, alias, message):
    other = "__qualname__" if name == "__name__" else "__name__"
    value = Text("renamed")
    setattr(func, name, value)
    assert getattr(func, name) is value and getattr(func, other) == "merge"
    if alias:
        setattr(func, alias, "again")
        assert getattr(func, name) == getattr(func, alias) == "again"
    with pytest.raises(TypeError) as info:
        setattr(func, name, 1)
    assert str(info.value) == message
    with pytest.raises(TypeError) as info:
        delattr(func, name)
    assert str(info.value) == message
    assert getattr(func, name) == ("again" if alias else "renamed")


def test_doc_and_module(func):
    doc = func.__doc__
    assert func.__doc__ is doc and func.func_doc is doc
    func.__doc__ = 5
    assert func.__doc__ == 5
    del func.__doc__
    assert func.__doc__ is None
    func.__module__ = 7
    assert func.__module__ == 7
    del func.__module__
    assert func.__module__ is None


class Mapping(dict):
    pass


class Pair(tuple):
    pass


@pytest.mark.parametrize("name, good, message", [
    ("__annotations__", Mapping(a=1), "__annotations__ must be set to a dict object"),
    ("__defaults__", Pair((1, 2)), "__defaults__ must be set to a tuple object"),
    ("func_defaults", (1,), "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", Mapping(b=1), "__kwdefaults__ must be set to a dict object"),
])
def test_optional_containers(func, name, good, message):
    setattr(func, name, good)
    assert getattr(func, name) is good
    with pytest.raises(TypeError) as info:
        setattr(func, name, [])
    assert str(info.value) == message
    assert getattr(func, name) is good
    setattr(func, name, None)
    cleared = getattr(func, name)
    if name == "__annotations__":
        assert cleared == {} and getattr(func, name) is cleared
    else:
        assert cleared is None
    setattr(func, name, good)
    delattr(func, name)
    assert getattr(func, name) == ({} if name == "__annotations__" else None)


def test_defaults_do_not_change_binding(func):
    func.__defaults__ = ({},)
    assert inspect.signature(func).parameters["second_dict"].default == {}
    with pytest.raises(TypeError) as info:
        func({})
    assert str(info.value) == \
        "merge() takes exactly 2 positional arguments (1 given)"


def test_instance_dict(func):
    assert func.__dict__ == {} and func.func_dict is func.__dict__
    func.tag = 1
    assert func.__dict__ == {"tag": 1}
    replacement = Mapping(other=2)
    func.__dict__ = replacement
    assert func.__dict__ is replacement and func.other == 2
    with pytest.raises(TypeError) as info:
        func.__dict__ = []
    assert str(info.value) == "setting function's dictionary to a non-dict"
    with pytest.raises(TypeError) as info:
        del func.__dict__
    assert str(info.value) == "function's dictionary may not be deleted"


def test_method_binding(anyfold):
    class Target(dict):
        update_from = anyfold.merge_inplace

    assert Target.update_from is anyfold.merge_inplace
    target = Target(a=1)
    bound = target.update_from
    assert bound.__self__ is target and bound.__func__ is anyfold.merge_inplace
    assert bound({"b": 2}) is None and target == {"a": 1, "b": 2}
    assert list(inspect.signature(bound).parameters) == ["second_dict"]


def test_pickle_and_copy_by_reference(anyfold, func):
    for f in [getattr(anyfold, name) for name in CODES]:
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(f, protocol)) is f
        assert copy.copy(f) is f and copy.deepcopy(f) is f
        assert f.__reduce__() == f.__reduce__(1, 2) == f.__name__
    func.__qualname__ = "merge_inplace"
    assert func.__reduce__() == "merge_inplace"


@pytest.mark.parametrize("name", sorted(CODES))
def test_signature_as_for_python_functions(anyfold, name):
    f = getattr(anyfold, name)
    params = CODES[name][1][:CODES[name][0]]
    namespace = {}
    exec("def %s(%s): pass" % (name, ", ".join(params)), namespace)
    reference = namespace[name]
    reference.__annotations__ = dict(f.__annotations__)
    assert str(inspect.signature(f)) == str(inspect.signature(reference))
    assert list(inspect.signature(f).parameters) == list(params)

"""What `import calvoro.anyfold` leaves in the module."""
import builtins
import copy
import json
import types
import typing

import pytest

from helpers import run_script

PUBLIC = ["merge", "merge_inplace", "merge_many", "merge_many_inplace"]
FUNCTIONS = ["_rmerge"] + PUBLIC

DOCS = {
    "_rmerge": (
        "_rmerge(first_dict: Union[MutableMapping, Mapping], second_dict: "
        "Mapping) -> Mapping\n\n    Recursive merging utility\n\n"
        "    :param first_dict: first dict to merge, used as result\n"
        "    :param second_dict: dict to merge with\n    ", 223),
    "merge": (
        "merge(first_dict: Mapping, second_dict: Mapping) -> Mapping\n\n"
        "    Merge 2 dicts recursively.\n"
        "    If more than one given dict defines the same key,\n"
        "    then the one that is later in the argument sequence takes "
        "precedence.\n"
        "    :param first_dict: first dict to merge\n"
        "    :param second_dict: second dict to merge\n"
        "    :return: merged dict\n    ", 337),
    "merge_inplace": (
        "merge_inplace(first_dict: MutableMapping, second_dict: Mapping) "
        "-> None\n\n    Merge 2 dicts recursively.\n"
        "    If more than one given dict defines the same key,\n"
        "    then the one that is later in the argument sequence takes "
        "precedence.\n\n"
        "    First dict will contain merged version, faster in general.\n"
        "    :param first_dict: first dict to merge, will contain merged "
        "version\n"
        "    :param second_dict: second dict to merge\n    ", 417),
    "merge_many": (
        "merge_many(dicts: Sequence[MutableMapping]) -> Mapping\n\n"
        "    Merge list of dicts.\n"
        "    If more than one given dict defines the same key,\n"
        "    then the one that is later in the argument sequence takes "
        "precedence.\n"
        "    :param dicts: list of dicts\n"
        "    :return: merged dict\n    ", 270),
    "merge_many_inplace": (
        "merge_many_inplace(dicts: Sequence[MutableMapping]) -> None\n\n"
        "    Merge list of dicts inplace\n"
        "    If more than one given dict defines the same key,\n"
        "    then the one that is later in the argument sequence takes "
        "precedence.\n\n"
        "    :param dicts: list of dicts\n    ", 258),
}


def expected_annotations():
    t = typing
    many = {"dicts": t.Sequence[t.MutableMapping]}
    return {
        "_rmerge": [("first_dict", t.Union[t.MutableMapping, t.Mapping]),
                    ("second_dict", t.Mapping), ("return", t.Mapping)],
        "merge": [("first_dict", t.Mapping), ("second_dict", t.Mapping),
                  ("return", t.Mapping)],
        "merge_inplace": [("first_dict", t.MutableMapping),
                          ("second_dict", t.Mapping), ("return", None)],
        "merge_many": list(many.items()) + [("return", t.Mapping)],
        "merge_many_inplace": list(many.items()) + [("return", None)],
    }


def test_attribute_order_on_a_fresh_import():
    proc = run_script("""
        import json, calvoro.anyfold
        print(json.dumps(list(vars(calvoro.anyfold))))
    """)
    assert json.loads(proc.stdout) == [
        "__name__", "__doc__", "__package__", "__loader__", "__spec__",
        "__file__", "__builtins__", "deepcopy", "Mapping", "MutableMapping",
        "Sequence", "Union", "__all__"] + FUNCTIONS + ["__test__"]


def test_attribute_values(anyfold):
    spec = anyfold.__spec__
    assert (anyfold.__name__, spec.name) == ("calvoro.anyfold",) * 2
    assert anyfold.__doc__ is None
    assert anyfold.__package__ == "calvoro"
    assert anyfold.__loader__ is spec.loader
    assert anyfold.__file__ == spec.origin
    assert not hasattr(anyfold, "__path__")
    assert anyfold.__builtins__ is builtins
    assert anyfold.deepcopy is copy.deepcopy
    for name in ["Mapping", "MutableMapping", "Sequence", "Union"]:
        assert getattr(anyfold, name) is getattr(typing, name)
    assert type(anyfold.__all__) is list
    assert anyfold.__all__ == PUBLIC
    assert type(anyfold.__test__) is dict and anyfold.__test__ == {}
    assert "copy" not in vars(anyfold) and "typing" not in vars(anyfold)


def test_star_import_takes_the_public_functions(anyfold):
    namespace = {}
    exec("from calvoro.anyfold import *", namespace)
    del namespace["__builtins__"]
    assert namespace == {name: getattr(anyfold, name) for name in PUBLIC}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_content(anyfold, name):
    func = getattr(anyfold, name)
    assert not isinstance(func, (types.FunctionType,
                                 types.BuiltinFunctionType))
    assert type(func) is type(anyfold.merge)
    assert (func.__name__, func.__qualname__) == (name, name)
    assert func.__module__ == "calvoro.anyfold"
    assert func.__globals__ is vars(anyfold)
    text, length = DOCS[name]
    assert func.__doc__ == text
    assert len(func.__doc__) == length
    expected = expected_annotations()[name]
    assert list(func.__annotations__) == [key for key, _ in expected]
    for key, value in expected:
        # on 3.6 typing folds the Union into Mapping itself
        assert func.__annotations__[key] == value
        assert type(func.__annotations__[key]) is type(value)
        if value is None or value is typing.Mapping:
            assert func.__annotations__[key] is value


def test_module_name_is_fixed_whatever_the_spec():
    proc = run_script("""
        import importlib.util, json, sys
        import calvoro
        path = importlib.util.find_spec("calvoro.anyfold").origin
        spec = importlib.util.spec_from_file_location("anyfold", path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        print(json.dumps([module.__name__, module.merge.__module__,
                          sys.modules.get("calvoro.anyfold") is module]))
    """)
    assert json.loads(proc.stdout) == ["anyfold", "calvoro.anyfold", True]


def test_import_without_typing_name_fails_at_line_2():
    proc = run_script("""
        import json, sys, traceback, typing
        saved = typing.Sequence
        del typing.Sequence
        try:
            import calvoro.anyfold
        except ImportError as exc:
            tb = exc.__traceback__
            while tb.tb_next is not None:
                tb = tb.tb_next
            names = [n for n in ["deepcopy", "Mapping", "MutableMapping",
                                 "Sequence"] if n in tb.tb_frame.f_globals]
            entries = [(e.filename, e.lineno, e.name)
                       for e in traceback.extract_tb(exc.__traceback__)
                       if e.filename.startswith("src/")]
            result = [str(exc), entries, names,
                      "calvoro.anyfold" in sys.modules]
        typing.Sequence = saved
        import calvoro.anyfold
        result.append(calvoro.anyfold.merge_many([{"a": 1}, {"b": 2}]))
        print(json.dumps(result))
    """)
    assert json.loads(proc.stdout) == [
        "cannot import name Sequence",
        [["src/calvoro/anyfold", 2, "init calvoro.anyfold"]],
        ["deepcopy", "Mapping", "MutableMapping"], False, {"a": 1, "b": 2}]

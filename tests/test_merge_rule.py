"""Both modules against a plain-Python model of the merge rule, on random
nested structures."""
import copy
import importlib

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from helpers import HashKey, SubDict, quiet_reports


class Refused(Exception):
    """tightfold's exact-type test failing on the model's side."""


def model_rmerge(first, second, exact):
    for key in second:
        if (key in first and isinstance(first[key], dict)
                and isinstance(second[key], dict)):
            if exact and not (type(first[key]) is dict
                              and type(second[key]) is dict):
                raise Refused
            model_rmerge(first[key], second[key], exact)
        else:
            first[key] = second[key]
    return first


def model_step(consumer, other, exact, reports):
    """One in-place merge step; tightfold reports a failure and goes on."""
    try:
        model_rmerge(consumer, other, exact)
    except Refused:
        reports.append(1)


def model_call(function, dicts, exact):
    """(result, reports) of the model, run on `dicts`, which it changes."""
    reports = []
    if function == "merge":
        return model_rmerge(copy.deepcopy(dicts[0]), dicts[1], exact), 0
    if function == "merge_inplace":
        model_step(dicts[0], dicts[1], exact, reports)
        return None, len(reports)
    consumer = dicts[0]
    if function == "merge_many":
        consumer = copy.deepcopy(consumer)
    for other in dicts[1:]:
        model_step(consumer, other, exact, reports)
    return (consumer if function == "merge_many" else None), len(reports)


def module_call(module, function, dicts):
    func = getattr(module, function)
    if function.startswith("merge_many"):
        return func(list(dicts))
    return func(dicts[0], dicts[1])


def shape(obj, seen):
    """Types, contents and key order, with each container's identity told
    by the order of first appearance, so sharing is compared too."""
    if isinstance(obj, (dict, list)):
        if id(obj) in seen:
            return ("same as", seen[id(obj)])
        seen[id(obj)] = len(seen)
        if isinstance(obj, dict):
            return (type(obj).__name__,
                    [(type(k).__name__, k, shape(v, seen))
                     for k, v in obj.items()])
        return ("list", [shape(item, seen) for item in obj])
    return (type(obj).__name__, obj)


def shapes(*objects):
    seen = {}
    return [shape(obj, seen) for obj in objects]


KEYS = st.one_of(st.sampled_from("abcd"), st.integers(0, 3))
SCALARS = st.one_of(st.none(), st.integers(-2, 2), st.text("xy", max_size=2))


def nested(children):
    mapping = st.dictionaries(KEYS, children, max_size=4)
    return st.one_of(mapping, mapping.map(SubDict))


VALUES = st.recursive(
    st.one_of(SCALARS, st.lists(SCALARS, max_size=2)), nested,
    max_leaves=10)


def top_level(subclass):
    mapping = st.dictionaries(KEYS, VALUES, max_size=5)
    return st.one_of(mapping, mapping.map(SubDict)) if subclass else mapping


FUNCTIONS = ["merge", "merge_inplace", "merge_many", "merge_many_inplace"]
MODEL_SETTINGS = settings(max_examples=40, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])


def check_against_model(name, function, dicts):
    module = importlib.import_module("calvoro." + name)
    exact = name == "tightfold"
    if not function.startswith("merge_many"):
        dicts = dicts[:2]
    untouched = shapes(*dicts)
    expected_dicts = copy.deepcopy(dicts)
    try:
        expected, expected_reports = model_call(
            function, expected_dicts, exact)
    except Refused:
        expected = Refused
    with quiet_reports() as reports:
        if expected is Refused:
            with pytest.raises(TypeError) as info:
                module_call(module, function, dicts)
            assert str(info.value).startswith("Expected dict, got ")
        else:
            result = module_call(module, function, dicts)
            assert shapes(result, *dicts) == shapes(expected, *expected_dicts)
    if function == "merge":
        assert shapes(*dicts) == untouched
    else:
        assert shapes(*dicts) == shapes(*expected_dicts)
    if expected is not Refused:
        assert reports.count == expected_reports


@pytest.mark.parametrize("function", FUNCTIONS)
@MODEL_SETTINGS
@given(dicts=st.lists(top_level(subclass=True), min_size=2, max_size=4))
def test_anyfold_follows_the_model(function, dicts):
    check_against_model("anyfold", function, dicts)


@pytest.mark.parametrize("function", FUNCTIONS)
@MODEL_SETTINGS
@given(dicts=st.lists(top_level(subclass=False), min_size=2, max_size=4))
def test_tightfold_follows_the_model(function, dicts):
    check_against_model("tightfold", function, dicts)


def holed_tree(tag, size, depth):
    """str keys only, every third removed again, so that the tables have
    holes; every fourth value a nested dict."""
    tree = {}
    for i in range(size):
        key = "k%d" % i
        tree[key] = (holed_tree(tag, 7, depth - 1) if depth and i % 4 == 0
                     else "%s%d" % (tag, i))
    for i in range(0, size, 3):
        del tree["k%d" % i]
    return tree


# hash indexes of one, two and four bytes a slot
@pytest.mark.parametrize("size, depth", [(6, 3), (400, 3), (50000, 1)])
@pytest.mark.parametrize("name", ["anyfold", "tightfold"])
def test_str_keyed_tables_with_holes(name, size, depth):
    module = importlib.import_module("calvoro." + name)
    first = holed_tree("a", size, depth)
    second = holed_tree("b", size + 3, depth)
    expected = model_rmerge(copy.deepcopy(first), second, True)
    module.merge_inplace(first, second)
    assert shapes(first) == shapes(expected)
    assert list(first) == list(expected)


# Per-key operations through a key's own hashing and equality. Every lookup
# hashes the key once; one that finds the equal key stored in the first
# dict also compares with it once. The second dict holds the very key
# objects that are walked, so its lookups find them without comparing.

def expected_log(first, second, log):
    def find(mapping, key):
        # by name or value: neither hashes nor compares the key objects
        for stored, value in mapping.items():
            if (type(stored) is type(key) and
                    getattr(stored, "name", stored) ==
                    getattr(key, "name", key)):
                return True, value
        return False, None

    for key, value in second.items():
        tracked = isinstance(key, HashKey)
        present, old = find(first, key)

        def lookup_first():
            if tracked:
                log.extend([("hash", key.name)] +
                           [("eq", key.name)] * present)

        def lookup_second():
            if tracked:
                log.append(("hash", key.name))

        lookup_first()                       # the containment test
        if present:
            lookup_first()
            if isinstance(old, dict):
                lookup_second()
                if isinstance(value, dict):
                    lookup_first()
                    lookup_second()
                    expected_log(old, value, log)
                    continue
        lookup_second()
        lookup_first()                       # the assignment


def mixed_inputs(log):
    # pairs of equal keys, one for each dict
    new, plain, dict_plain, both, inner = (
        [HashKey(name, 10 ** 6 + ord(name), log) for _ in "12"]
        for name in "npdbi")
    first = {"s": 1, plain[0]: 1, 0: {"x": 1}, dict_plain[0]: {"x": 1},
             both[0]: {"s": 1, inner[0]: 1, 5: {}}, 7: "seven"}
    second = {both[1]: {inner[1]: 2, "t": 2, 5: {"u": 1}}, "s": 2,
              new[1]: 3, 0: {"y": 2}, plain[1]: 2, dict_plain[1]: 5, 8: 8,
              7: 7}
    return first, second


@pytest.mark.parametrize("call", ["merge_inplace", "merge_many_inplace"])
@pytest.mark.parametrize("name", ["anyfold", "tightfold"])
def test_hash_key_operations_among_str_and_int_keys(name, call):
    module = importlib.import_module("calvoro." + name)
    log = []
    first, second = mixed_inputs(log)
    expected = []
    expected_log(first, second, expected)
    del log[:]
    if call == "merge_inplace":
        module.merge_inplace(first, second)
    else:
        module.merge_many_inplace([first, second])
    assert log == expected
    # new key; value replaced; dict replaced; dicts merged; nested replace
    assert {n: (log.count(("hash", n)), log.count(("eq", n)))
            for n in "npdbi"} == {
        "n": (3, 0), "p": (4, 3), "d": (5, 3), "b": (5, 3), "i": (4, 3)}

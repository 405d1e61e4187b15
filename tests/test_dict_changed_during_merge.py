"""anyfold walks an exact dict without an iterator object; whatever the
merge does to the dictionary, the walk must fail (or not) exactly where
iterating it would."""
import pytest

from helpers import HashKey, module_entries


def mutation(name):
    def grow(d):
        d["grown"] = 0

    def swap_back(d):
        # same size, the new entry lies after the current position
        del d["x"]
        d["late"] = 0

    def swap_ahead(d):
        del d["z"]
        d["late"] = 0

    def shrink(d):
        d.popitem()
    return {"grow": grow, "swap_back": swap_back, "swap_ahead": swap_ahead,
            "shrink": shrink}[name]


def build(name):
    second = {"x": 0}
    key = HashKey("k")
    second[key] = 1
    second["z"] = 2
    change = mutation(name)
    fired = []

    def once():
        if not fired:
            fired.append(1)
            change(second)
    key.on_hash = once
    return second, key


def outcome(run):
    try:
        run()
    except RuntimeError as exc:
        return str(exc), exc
    return None, None


@pytest.mark.parametrize("name", ["grow", "swap_back", "swap_ahead", "shrink"])
def test_walk_fails_where_iteration_fails(anyfold, name):
    second, _ = build(name)
    seen = []

    def iterate():
        for k in second:
            seen.append(k)
            hash(k)
    expected, _ = outcome(iterate)

    second, _ = build(name)
    first = {}
    message, exc = outcome(lambda: anyfold.merge_inplace(first, second))
    assert message == expected
    assert list(first) == [k for k in seen]
    if exc is not None:
        assert module_entries(exc)[-1][1:] == (14, "calvoro.anyfold._rmerge")

"""Typed use of both modules; `mypy --strict` must accept this file."""
from collections import OrderedDict
from typing import Any, Dict, List, Mapping, MutableMapping, Optional

from calvoro import anyfold, tightfold

Config = Dict[str, Any]


def layered(base: Config, *overrides: Config) -> Config:
    if not overrides:
        return tightfold.merge(base, {})
    return tightfold.merge_many([base] + list(overrides))


def apply(target: Config, patch: Config) -> None:
    tightfold.merge_inplace(target, patch)
    tightfold.merge_many_inplace([target, patch, {"applied": True}])


def generic(first: Mapping[str, int], second: Mapping[str, int]) -> int:
    merged: Mapping[str, int] = anyfold.merge(first, second)
    return sum(merged.values())


def generic_inplace(target: MutableMapping[str, object]) -> None:
    ordered: "OrderedDict[str, object]" = OrderedDict(b=2)
    anyfold.merge_inplace(target, ordered)
    anyfold.merge_many_inplace([target, ordered])
    layers: List[MutableMapping[str, object]] = [target, ordered]
    result: Mapping[str, object] = anyfold.merge_many(layers)
    assert "b" in result


print(layered({"a": {"x": 1}}, {"a": {"y": 2}}))
print(generic({"a": 1}, {"b": 2}))


def optional(target: Optional[Config]) -> None:
    # None passes tightfold's type tests; the stubs admit it.
    tightfold.merge_inplace(target, None)
    nothing: None = tightfold.merge(None, {})
    assert nothing is None

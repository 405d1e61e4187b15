"""Typed use of both modules; `mypy --strict` and pyright must accept this
file, and it runs.

A line that must be refused carries `# type: ignore[...]`: both checkers
report an ignore that suppresses nothing (mypy under --strict, pyright by
the setting below), so the refusal is checked too.
"""
# pyright: strict, reportUnnecessaryTypeIgnoreComment=true
from collections import OrderedDict
from types import MappingProxyType
from typing import (
    TYPE_CHECKING,
    Any,
    Dict,
    List,
    Mapping,
    MutableMapping,
    Optional,
    Tuple,
    Union,
)

from calvoro import (
    DELETE,
    MergeConflict,
    Merger,
    anyfold,
    explain,
    merge_patch,
    tightfold,
)

if TYPE_CHECKING:
    from typing_extensions import assert_type
else:
    def assert_type(value, _):
        return value

Config = Dict[str, Any]


def layered(base: Config, *overrides: Config) -> Config:
    if not overrides:
        return tightfold.merge(base, {})
    return tightfold.merge_many([base] + list(overrides))


def apply(target: Config, patch: Config) -> None:
    tightfold.merge_inplace(target, patch)
    tightfold.merge_many_inplace([target, patch, {"applied": True}])


def own_type(
    plain: Dict[str, int], ordered: "OrderedDict[str, int]", more: Dict[str, int]
) -> Dict[str, int]:
    anyfold.merge(plain, more)["x"] = 1
    tightfold.merge(plain, more)["x"] = 1
    assert_type(anyfold.merge_many([plain, more]), Dict[str, int])
    assert_type(tightfold.merge_many([plain, more]), Dict[str, int])
    assert_type(anyfold.merge(ordered, plain), "OrderedDict[str, int]")
    assert_type(anyfold.merge_many([ordered, ordered]), "OrderedDict[str, int]")
    return tightfold.merge(plain, more)


def mixed_values(counts: Dict[str, int], names: Dict[str, str]) -> None:
    # The result has the first argument's type, so the wider one goes first.
    wide: Dict[str, Union[int, str]] = {}
    assert_type(anyfold.merge(wide, counts), Dict[str, Union[int, str]])
    assert_type(tightfold.merge(wide, names), Dict[str, Union[int, str]])
    anyfold.merge_inplace(wide, counts)
    tightfold.merge_inplace(wide, names)
    nested: Dict[str, object] = {"server": {"port": 8080}, "debug": False}
    tightfold.merge_inplace(nested, {"server": {"host": "::"}, "workers": 4})
    anyfold.merge_inplace(nested, counts)
    # Inferred without a declared result, a literal's type may be joined
    # with the first element's (pyright does); declaring it settles that.
    merged: Dict[str, object] = anyfold.merge_many([nested, {"debug": True}])
    merged = tightfold.merge_many([merged, {"tags": ["a"]}])
    config: Config = {}
    assert_type(tightfold.merge_many([config, {"debug": True}]), Config)
    config = anyfold.merge_many([config, {"debug": True}])


def read_only_layers(
    target: MutableMapping[str, int],
    frozen: Mapping[str, int],
    layers: List[Mapping[str, int]],
) -> int:
    anyfold.merge_inplace(target, frozen)
    anyfold.merge_inplace(target, MappingProxyType({"b": 2}))
    anyfold.merge_many_inplace([target, frozen, MappingProxyType({"c": 3})])
    assert_type(anyfold.merge(target, frozen), MutableMapping[str, int])
    merged = anyfold.merge_many(layers)
    assert_type(merged, Mapping[str, int])
    return sum(merged.values())


def refused(config: Config, maybe: Optional[Config], frozen: Mapping[str, int]) -> None:
    # never called: each of these fails whatever the contents
    tightfold.merge(config, None)  # type: ignore[arg-type]
    tightfold.merge(maybe, config)  # type: ignore[arg-type]
    tightfold.merge_inplace(config, maybe)  # type: ignore[arg-type]
    tightfold.merge_inplace(None, config)  # type: ignore[arg-type]
    tightfold.merge_many(None)  # type: ignore[arg-type]
    tightfold.merge_many_inplace(None)  # type: ignore[arg-type]
    anyfold.merge(config, None)  # type: ignore[arg-type]
    anyfold.merge_many(None)  # type: ignore[arg-type]
    # the first mapping is written into
    anyfold.merge_inplace(frozen, config)  # type: ignore[arg-type]
    anyfold.merge(frozen, config)  # type: ignore[type-var]
    # layers all declared read-only give a result declared so
    anyfold.merge_many([frozen, frozen])["a"] = 1  # type: ignore[index]


def configurable(base: Config, override: Config, layers: List[Config]) -> Config:
    merger = Merger(lists="append", type_conflicts="error", delete=DELETE)
    assert_type(merger.merge(base, override), Config)
    merger.merge_inplace(base, override)
    assert_type(merger.merge_many(layers), Config)
    merger.merge_many_inplace([base, override])
    ordered: "OrderedDict[str, int]" = OrderedDict(a=1)
    assert_type(Merger(mappings=(dict, OrderedDict)).merge(ordered, {}),
                "OrderedDict[str, int]")
    try:
        Merger(conflicts="error", copy=True).merge_inplace(base, override)
    except MergeConflict as exc:
        path: Tuple[Any, ...] = exc.path
        assert path and exc.first is not exc.second
    return merge_patch(base, {"debug": None})


def readme_merge_modes() -> None:
    # the README's example of Merger ("Merge modes"), as it is there
    layers = Merger(lists="append_unique", type_conflicts="error")
    config: Dict[str, Any] = {"plugins": ["auth"], "server": {"port": 8080}}
    layers.merge_inplace(config, {"plugins": ["cache", "auth"],
                                  "server": {"host": "::"}})
    assert config == {"plugins": ["auth", "cache"],
                      "server": {"port": 8080, "host": "::"}}
    try:
        layers.merge_inplace(config, {"server": {"port": "9000"}})
    except MergeConflict as exc:
        assert exc.path == ("server", "port")
        assert (exc.first, exc.second) == (8080, "9000")
    trimmed = Merger(delete=DELETE).merge(config, {"plugins": DELETE})
    assert trimmed == {"server": {"port": 8080, "host": "::"}}
    patched = merge_patch({"a": 1, "b": {"c": 2}}, {"b": {"c": None}, "d": [3]})
    assert patched == {"a": 1, "b": {}, "d": [3]}


def merger_refused(config: Config) -> None:
    # never called: each of these fails whatever the contents
    Merger(lists="extend")  # type: ignore[arg-type]
    Merger(conflicts=None)  # type: ignore[arg-type]
    Merger().merge(config, None)  # type: ignore[arg-type]


def readme_explain() -> None:
    # the README's example of explain ("Which layer set this value")
    layers: List[Dict[str, Any]] = [
        {"server": {"port": 80, "host": "::"}, "plugins": ["auth"],
         "db": {"url": "postgres://"}},
        {"server": {"port": 8080}, "db": "sqlite"},
        {"plugins": ["cache"]},
    ]
    report = explain(layers, names=("defaults", "site.toml", "local.yaml"),
                     merger=Merger(lists="append"))
    assert report.result == {"server": {"port": 8080, "host": "::"},
                             "plugins": ["auth", "cache"], "db": "sqlite"}
    assert report.origins[("plugins",)] == ("defaults", "local.yaml")
    [conflict] = report.conflicts
    assert conflict.path == ("db",) and conflict.outcome == "replace"
    assert (conflict.first_type, conflict.second_type) == (dict, str)


def main() -> None:
    assert layered({"a": {"x": 1}}, {"a": {"y": 2}}) == {"a": {"x": 1, "y": 2}}
    target: Config = {"a": {"x": 1}}
    apply(target, {"a": {"y": 2}})
    assert target == {"a": {"x": 1, "y": 2}, "applied": True}
    assert own_type({"a": 1}, OrderedDict(b=2), {"c": 3}) == {"a": 1, "c": 3}
    mixed_values({"a": 1}, {"b": "x"})
    assert read_only_layers({"a": 1}, {"z": 26}, [{"d": 4}, {"e": 5}]) == 9
    merged = configurable({"l": [1], "debug": True}, {"l": [2]}, [{"a": 1}, {"b": 2}])
    assert merged == {"l": [1, 2, 2]}
    readme_merge_modes()
    readme_explain()


if __name__ == "__main__":
    main()

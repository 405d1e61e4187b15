"""The native side of calvoro.Merger: its options and merges."""
from copy import deepcopy as deepcopy
from typing import Any, Dict, List, Tuple

from typing_extensions import disjoint_base

__test__: Dict[str, Any]

# its instances' layout is its own: a class cannot derive from it and
# from another such class
@disjoint_base
class NativeMerger:
    """The options and merges of calvoro.Merger, which validates the
    options."""

    def __new__(
        cls,
        given: Tuple[Any, ...],
        mappings: Any,
        lists: int,
        sets: int,
        tuples: int,
        conflicts: int,
        type_conflicts: int,
        marker: Tuple[Any, ...],
        copy: bool,
        conflict_type: type,
        expected: str,
    ) -> NativeMerger: ...
    @property
    def _options(self) -> Tuple[Any, ...]: ...
    def merge(self, first: Any, second: Any) -> Any: ...
    def merge_inplace(self, first: Any, second: Any) -> None: ...
    def merge_many(self, mappings: Any) -> Any: ...
    def merge_many_inplace(self, mappings: Any) -> None: ...
    def _explain(
        self,
        __layers: Tuple[Any, ...],
        __names: Tuple[Any, ...],
        __record_class: type,
    ) -> Tuple[Any, Dict[Tuple[Any, ...], Any], List[Any]]: ...

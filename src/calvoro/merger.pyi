"""Merger: the merge rule with options for what it leaves to the later
mapping; merge_patch, a JSON merge patch (RFC 7396) on nested dicts."""
# What a merge returns is a deep copy of its first mapping, typed as that
# argument, as anyfold's merges are; the values the later mappings bring are
# not tracked in that type.
import sys
from typing import (
    Any,
    Dict,
    Iterable,
    Mapping,
    MutableMapping,
    Optional,
    Tuple,
    Type,
    TypeVar,
    Union,
    overload,
)

if sys.version_info >= (3, 8):
    from typing import Final, Literal
else:
    from typing_extensions import Final, Literal

from calvoro._merger import NativeMerger

__all__ = ["DELETE", "MergeConflict", "Merger", "merge_patch"]

_T = TypeVar("_T")
# the first mapping, which a merge writes into
_M = TypeVar("_M", bound=MutableMapping[Any, Any])

_ListMode = Literal[
    "replace", "keep", "append", "prepend", "append_unique", "append_rp",
    "prepend_rp",
]
_SetMode = Literal["replace", "keep", "union", "intersect"]
_TupleMode = Literal["replace", "keep", "append"]
_ConflictMode = Literal["replace", "keep", "error"]

class _Delete:
    def __new__(cls) -> _Delete: ...

DELETE: Final[_Delete]

class MergeConflict(ValueError):
    """A key whose two values the options do not let the merge reconcile:
    `conflicts` or `type_conflicts` is "error"."""

    path: Tuple[Any, ...]
    first: Any
    second: Any
    # the layers' names, where calvoro.explain made the merge
    first_layer: Any
    second_layer: Any
    def __init__(
        self,
        message: str,
        path: Tuple[Any, ...] = ...,
        first: Any = ...,
        second: Any = ...,
    ) -> None: ...

class Merger(NativeMerger):
    """Merges nested mappings as the merge rule does, with options for the
    pairs of values that it leaves to the later mapping."""

    def __new__(
        cls,
        *,
        mappings: Union[Type[Any], Tuple[Type[Any], ...]] = ...,
        lists: Optional[_ListMode] = ...,
        sets: Optional[_SetMode] = ...,
        tuples: Optional[_TupleMode] = ...,
        conflicts: _ConflictMode = ...,
        type_conflicts: Optional[_ConflictMode] = ...,
        delete: object = ...,
        copy: bool = ...,
    ) -> Merger: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def merge(self, first: _M, second: Mapping[Any, Any]) -> _M:
        """Merge `second` into a deep copy of `first`; return the copy."""
    def merge_inplace(
        self, first: MutableMapping[Any, Any], second: Mapping[Any, Any]
    ) -> None:
        """Merge `second` into `first` itself."""
    def merge_many(self, mappings: Iterable[_M]) -> _M:
        """Merge the mappings, left to right, into a deep copy of the
        first; return the copy. Needs at least two."""
    def merge_many_inplace(
        self, mappings: Iterable[MutableMapping[Any, Any]]
    ) -> None:
        """Merge the mappings, left to right, into the first. Needs at
        least two."""

@overload
def merge_patch(target: object, patch: Dict[Any, Any]) -> Dict[Any, Any]:
    """Apply `patch` to `target` as a JSON merge patch (RFC 7396)."""
@overload
def merge_patch(target: object, patch: _T) -> _T: ...

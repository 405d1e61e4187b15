# Merging through the generic mapping protocols: any mapping is accepted,
# nothing is type-checked at run time.
from copy import deepcopy as deepcopy
from typing import (
    Mapping as Mapping,
    MutableMapping as MutableMapping,
    Sequence as Sequence,
    TypeVar,
    Union as Union,
)

_KT = TypeVar("_KT")
_VT = TypeVar("_VT")

__all__ = ["merge", "merge_inplace", "merge_many", "merge_many_inplace"]

def _rmerge(
    first_dict: Union[MutableMapping[_KT, _VT], Mapping[_KT, _VT]],
    second_dict: Mapping[_KT, _VT],
) -> Mapping[_KT, _VT]: ...
def merge(
    first_dict: Mapping[_KT, _VT], second_dict: Mapping[_KT, _VT]
) -> Mapping[_KT, _VT]: ...
def merge_inplace(
    first_dict: MutableMapping[_KT, _VT], second_dict: Mapping[_KT, _VT]
) -> None: ...

# `dicts` is positional-only: a call refuses it as a keyword.
def merge_many(
    __dicts: Sequence[MutableMapping[_KT, _VT]]
) -> Mapping[_KT, _VT]: ...
def merge_many_inplace(
    __dicts: Sequence[MutableMapping[_KT, _VT]]
) -> None: ...

# Merging of exact dicts: arguments must be `dict` (`list` for `dicts`),
# not a subclass, which a type checker cannot express. None passes the
# run-time type test too; `merge` then returns its first argument's copy,
# None, while a None to be merged from fails inside the merge.
from copy import deepcopy as deepcopy
from typing import Any, Dict, List, Optional, TypeVar, overload

_KT = TypeVar("_KT")
_VT = TypeVar("_VT")

__test__: Dict[str, Any]

@overload
def merge(
    first_dict: Dict[_KT, _VT], second_dict: Optional[Dict[_KT, _VT]]
) -> Dict[_KT, _VT]: ...
@overload
def merge(first_dict: None, second_dict: Optional[Dict[Any, Any]]) -> None: ...
def merge_inplace(
    first_dict: Optional[Dict[_KT, _VT]], second_dict: Optional[Dict[_KT, _VT]]
) -> None: ...
def merge_many(
    __dicts: Optional[List[Dict[_KT, _VT]]]
) -> Dict[_KT, _VT]: ...
def merge_many_inplace(__dicts: Optional[List[Dict[_KT, _VT]]]) -> None: ...

"""Recursive merging of nested mappings through the generic mapping
protocols: any mapping is accepted, nothing is type-checked at run time.

A failure while merging propagates as an exception; an in-place merge keeps
what it had merged by then.
"""
# What a merge returns is a deep copy of its first mapping, so it has the
# first argument's own type: a dict stays a dict, an OrderedDict stays one.
# The values a later mapping brings are not tracked in that type; where
# they differ, declare the first mapping with the wider value type.
from copy import deepcopy as deepcopy
from typing import (
    Any,
    Mapping as Mapping,
    MutableMapping as MutableMapping,
    Sequence as Sequence,
    TypeVar,
    Union as Union,
)

_KT = TypeVar("_KT")
_VT = TypeVar("_VT")
# the first mapping, which the merge writes into
_M = TypeVar("_M", bound=MutableMapping[Any, Any])
# a sequence's elements, typed alike: the first may be declared read-only
_L = TypeVar("_L", bound=Mapping[Any, Any])

__all__ = ["merge", "merge_inplace", "merge_many", "merge_many_inplace"]

def _rmerge(first_dict: _M, second_dict: Mapping[Any, Any]) -> _M:
    """Recursive merging utility.

    Merges ``second_dict`` into ``first_dict`` in place and returns it.
    Looked up on the module at each call: rebinding it changes how every
    function of the module merges.
    """

def merge(first_dict: _M, second_dict: Mapping[Any, Any]) -> _M:
    """Merge 2 dicts recursively, into a deep copy of ``first_dict``.

    If more than one given dict defines the same key, then the one that is
    later in the argument sequence takes precedence. Where both values are
    dicts (``dict`` or a subclass), they are merged one level deeper.

    :param first_dict: first dict to merge; copied with ``copy.deepcopy``,
        left alone
    :param second_dict: second dict to merge; its values enter the result
        as the same objects
    :return: merged dict, of ``first_dict``'s own type
    """

def merge_inplace(
    first_dict: MutableMapping[_KT, _VT], second_dict: Mapping[_KT, _VT]
) -> None:
    """Merge 2 dicts recursively, into ``first_dict`` itself.

    If more than one given dict defines the same key, then the one that is
    later in the argument sequence takes precedence. On a failure the
    exception propagates and ``first_dict`` keeps what was merged by then.

    :param first_dict: first dict to merge, will contain merged version
    :param second_dict: second dict to merge; read only
    """

# `dicts` is positional-only: a call refuses it as a keyword.
def merge_many(__dicts: Sequence[_L]) -> _L:
    """Merge a sequence of dicts, left to right, into a deep copy of its
    first element.

    If more than one given dict defines the same key, then the one that is
    later in the sequence takes precedence. Needs at least two elements.

    :param dicts: sequence of dicts; only the first is copied, and it must
        take item assignment
    :return: merged dict, of the first element's own type
    """

def merge_many_inplace(__dicts: Sequence[Mapping[Any, Any]]) -> None:
    """Merge a sequence of dicts, left to right, into its first element.

    If more than one given dict defines the same key, then the one that is
    later in the sequence takes precedence. Needs at least two elements;
    the first must take item assignment, the others are only read.

    :param dicts: sequence of dicts
    """

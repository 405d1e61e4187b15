"""Recursive merging of exact dicts.

Arguments must be exactly ``dict`` (``list`` for ``dicts``); a subclass is
refused with ``TypeError``.

A failure while merging is raised by ``merge``; ``merge_inplace``,
``merge_many_inplace`` and the merge steps of ``merge_many`` print it to
standard error instead (twice: through ``sys.excepthook``, which sets
``sys.last_value``, and as an unraisable exception, through
``sys.unraisablehook`` on Python 3.8+) and keep the partial merge.
"""
# A subclass of dict passes here though the run-time test refuses it: a
# type checker cannot ask for an exact type. None passes that test too,
# but merging anything into or from it fails, so these refuse it.
#
# What a merge returns is a deep copy of its first dict, typed as that
# argument. The values the later dicts bring are not tracked in that type;
# where they differ, declare the first dict with the wider value type.
from copy import deepcopy as deepcopy
from typing import Any, Dict, List, TypeVar

_KT = TypeVar("_KT")
_VT = TypeVar("_VT")

__test__: Dict[str, Any]

def merge(
    first_dict: Dict[_KT, _VT], second_dict: Dict[Any, Any]
) -> Dict[_KT, _VT]:
    """Merge 2 dicts recursively, into a deep copy of ``first_dict``.

    If more than one given dict defines the same key, then the one that is
    later in the argument sequence takes precedence. A failure is raised.

    :param first_dict: first dict to merge; copied with ``copy.deepcopy``,
        left alone
    :param second_dict: second dict to merge; its values enter the result
        as the same objects
    :return: merged dict
    """

def merge_inplace(first_dict: Dict[Any, Any], second_dict: Dict[Any, Any]) -> None:
    """Merge 2 dicts recursively, into ``first_dict`` itself.

    If more than one given dict defines the same key, then the one that is
    later in the argument sequence takes precedence. A failure while
    merging is printed to standard error, not raised, and ``first_dict``
    keeps what was merged by then; only a wrong argument type raises.

    :param first_dict: first dict to merge, will contain merged version
    :param second_dict: second dict to merge; read only
    """

def merge_many(__dicts: List[Dict[_KT, _VT]]) -> Dict[_KT, _VT]:
    """Merge a list of dicts, left to right, into a deep copy of its first
    element.

    If more than one given dict defines the same key, then the one that is
    later in the list takes precedence. Needs at least two elements. A
    failure of a merge step is printed to standard error, not raised.

    :param dicts: list of dicts; only the first is copied
    :return: merged dict
    """

def merge_many_inplace(__dicts: List[Dict[Any, Any]]) -> None:
    """Merge a list of dicts, left to right, into its first element.

    If more than one given dict defines the same key, then the one that is
    later in the list takes precedence. Needs at least two elements. A
    failure while merging is printed to standard error, not raised.

    :param dicts: list of dicts
    """

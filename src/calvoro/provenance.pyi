"""explain: which layer set each value of a merge, and which values of
different types met."""
from typing import (
    Any,
    Dict,
    Hashable,
    Iterable,
    Mapping,
    NamedTuple,
    Optional,
    Tuple,
)

from calvoro.merger import Merger

__all__ = ["Conflict", "Explanation", "explain"]

class Conflict(NamedTuple):
    """Two values of different types that met under one key and were not
    merged deeper."""

    path: Tuple[Any, ...]
    first: Any
    second: Any
    first_type: type
    second_type: type
    outcome: str

class Explanation(NamedTuple):
    """What explain() reports."""

    result: Dict[Any, Any]
    # a name, or the names of the layers a joined value came from
    origins: Dict[Tuple[Any, ...], Any]
    conflicts: Tuple[Conflict, ...]

def explain(
    layers: Iterable[Mapping[Any, Any]],
    names: Optional[Iterable[Hashable]] = ...,
    merger: Optional[Merger] = ...,
) -> Explanation: ...

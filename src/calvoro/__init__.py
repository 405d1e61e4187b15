"""Recursive merging of nested dictionaries.

Two native modules share one merge rule: ``calvoro.anyfold`` works on any
mapping through the generic object protocols; ``calvoro.tightfold`` is
specialised for exact ``dict`` and ``list`` and never raises from its
in-place merges. ``Merger`` merges by the same rule with options for the
values it leaves to the later mapping, ``merge_patch`` applies a JSON
merge patch, and ``explain`` tells which layer set each value of a merge.
"""

__version__ = "0.1.0"

from calvoro.merger import DELETE, MergeConflict, Merger, merge_patch
from calvoro.provenance import Conflict, Explanation, explain

__all__ = ["Conflict", "DELETE", "Explanation", "MergeConflict", "Merger",
           "explain", "merge_patch"]

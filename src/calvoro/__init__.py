"""Recursive merging of nested dictionaries.

Two native modules share one merge rule: ``calvoro.anyfold`` works on any
mapping through the generic object protocols; ``calvoro.tightfold`` is
specialised for exact ``dict`` and ``list`` and never raises from its
in-place merges.
"""

__version__ = "0.1.0"

"""Merger: the merge rule with options for what it leaves to the later
mapping; merge_patch, a JSON merge patch (RFC 7396) on nested dicts.

The options are validated here, once, and handed to the native side
(calvoro._merger) as codes: a Merger's methods are NativeMerger's own, so a
call runs no Python code of this module.
"""
from calvoro import _merger

__all__ = ["DELETE", "MergeConflict", "Merger", "merge_patch"]


class _Delete(object):
    """The type of DELETE, which has only that instance."""

    __slots__ = ()

    def __new__(cls):
        return DELETE

    def __repr__(self):
        return "calvoro.DELETE"

    def __reduce__(self):
        # pickled and copied as the module global, so it stays the one
        return "DELETE"


DELETE = object.__new__(_Delete)


class _NoMarker(object):
    __slots__ = ()

    def __repr__(self):
        return "<no marker>"


# `delete`'s default: no later value deletes anything
_NO_MARKER = _NoMarker()


class MergeConflict(ValueError):
    """A key whose two values the options do not let the merge reconcile:
    `conflicts` or `type_conflicts` is "error".

    path: the keys from the top of the mappings down to the key, a tuple;
    first, second: the value in the first mapping, and in the later one;
    first_layer, second_layer: where calvoro.explain made the merge, the
    names of the layers that held them, else None.
    """

    path = ()
    first = None
    second = None
    first_layer = None
    second_layer = None

    def __init__(self, message, path=(), first=None, second=None):
        ValueError.__init__(self, message)
        self.path = path
        self.first = first
        self.second = second


# The codes of the native side's Join, for each value an option takes.
_CODES = {None: 0, "replace": 1, "keep": 2, "append": 3, "prepend": 4,
          "append_unique": 5, "append_rp": 6, "prepend_rp": 7, "union": 8,
          "intersect": 9, "error": 10}

_VALUES = {
    "lists": (None, "replace", "keep", "append", "prepend", "append_unique",
              "append_rp", "prepend_rp"),
    "sets": (None, "replace", "keep", "union", "intersect"),
    "tuples": (None, "replace", "keep", "append"),
    "conflicts": ("replace", "keep", "error"),
    "type_conflicts": (None, "replace", "keep", "error"),
}

_NAMES = ("mappings", "lists", "sets", "tuples", "conflicts",
          "type_conflicts", "delete", "copy")
_DEFAULTS = (dict, None, None, None, "replace", None, _NO_MARKER, False)


def _mode(option, value):
    """The option's own value equal to `value`, or the error naming them."""
    values = _VALUES[option]
    listed = ", ".join(map(repr, values))
    if not (isinstance(value, str) or (value is None and None in values)):
        raise TypeError("%s must be one of %s, not %s"
                        % (option, listed, type(value).__name__))
    for known in values:
        if known == value:
            return known
    raise ValueError("%s must be one of %s, not %r" % (option, listed, value))


def _class_name(cls):
    if cls.__module__ == "builtins":
        return cls.__qualname__
    return "%s.%s" % (cls.__module__, cls.__qualname__)


def _mappings(value):
    """(the option as kept, the classes the native side tests or None for
    the dict-subclass flag, what a mapping must be in messages)."""
    classes = value if isinstance(value, tuple) else (value,)
    for cls in classes:
        if not isinstance(cls, type):
            raise TypeError("mappings must be a class or a tuple of "
                            "classes, not %s" % type(cls).__name__)
    if not classes:
        raise ValueError("mappings must name at least one class, not ()")
    kept = classes[0] if len(classes) == 1 else classes
    if kept is dict:
        return dict, None, "a dict"
    return kept, classes, "an instance of " + " or ".join(
        cls.__name__ for cls in classes)


def _shown(name, value):
    if name == "mappings":
        if isinstance(value, tuple):
            return "(%s)" % ", ".join(map(_class_name, value))
        return _class_name(value)
    return repr(value)


def _rebuild(cls, options):
    return cls(**options)


class Merger(_merger.NativeMerger):
    """Merges nested mappings as the merge rule does, with options for the
    pairs of values that it leaves to the later mapping.

    Every option is keyword-only; the defaults are the rule's own:
    mappings=dict, lists=None, sets=None, tuples=None, conflicts="replace",
    type_conflicts=None, no delete marker, copy=False.
    """

    __slots__ = ()

    def __new__(cls, *, mappings=dict, lists=None, sets=None, tuples=None,
                conflicts="replace", type_conflicts=None, delete=_NO_MARKER,
                copy=False):
        kept, classes, expected = _mappings(mappings)
        modes = [_mode(option, value) for option, value in (
            ("lists", lists), ("sets", sets), ("tuples", tuples),
            ("conflicts", conflicts), ("type_conflicts", type_conflicts))]
        if not isinstance(copy, bool):
            raise TypeError("copy must be True or False, not %s"
                            % type(copy).__name__)
        given = (kept,) + tuple(modes) + (delete, copy)
        marker = () if delete is _NO_MARKER else (delete,)
        codes = [_CODES[mode] for mode in modes]
        return _merger.NativeMerger.__new__(
            cls, given, classes, *codes, marker, copy, MergeConflict,
            expected)

    def _identity(self):
        # the marker counts by identity, as the merges test it
        options = self._options
        return options[:6] + (id(options[6]), options[7])

    def __eq__(self, other):
        if not isinstance(other, Merger):
            return NotImplemented
        return self._identity() == other._identity()

    def __ne__(self, other):
        equal = self.__eq__(other)
        return equal if equal is NotImplemented else not equal

    def __hash__(self):
        return hash(self._identity())

    def _changed(self):
        """The options that differ from the defaults, by name."""
        return [(name, value) for name, value, default
                in zip(_NAMES, self._options, _DEFAULTS)
                if not (value is default or (name != "delete"
                                             and value == default))]

    def __repr__(self):
        return "%s(%s)" % (type(self).__name__, ", ".join(
            "%s=%s" % (name, _shown(name, value))
            for name, value in self._changed()))

    def __reduce__(self):
        return _rebuild, (type(self), dict(self._changed()))


_PATCH = Merger(delete=None)


def merge_patch(target, patch):
    """The result of applying `patch` to `target` as a JSON merge patch
    (RFC 7396): a patch that is not a dict is the result; a dict patch
    merges into a copy of the target (into {} where the target is not a
    dict), None deleting its key, and a dict it adds is added without its
    Nones. Neither argument is changed.
    """
    if not isinstance(patch, dict):
        return patch
    if not isinstance(target, dict):
        target = {}
    return _PATCH.merge(target, patch)

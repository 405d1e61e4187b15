"""Merge modes: --lists, --keep-existing, --strict-types, --null-deletes and
--patch, as the options of a calvoro.Merger, and the message of a conflict
that --strict-types refuses."""
import collections

from calvoro import MergeConflict, Merger

from .dotted import dotted_path
from .errors import CliError

# lists: None or a Merger `lists` value; conflicts: "replace" or "keep";
# strict: type_conflicts="error"; deletes: a later null deletes its key.
Modes = collections.namedtuple("Modes", "lists conflicts strict deletes")

# Merger's `lists` values other than None, which is the rule's own
LIST_MODES = ("replace", "keep", "append", "prepend", "append_unique",
              "append_rp", "prepend_rp")


def modes_of(opts):
    """The Modes the options ask for, or None for the merge rule itself."""
    deletes = opts.null_deletes or opts.patch
    if not (opts.lists or opts.keep_existing or opts.strict_types
            or deletes):
        return None
    return Modes(opts.lists, "keep" if opts.keep_existing else "replace",
                 opts.strict_types, deletes)


def merger_of(modes):
    options = {"lists": modes.lists, "conflicts": modes.conflicts}
    if modes.strict:
        options["type_conflicts"] = "error"
    if modes.deletes:
        # RFC 7396's null: merge_patch is this Merger's merge
        options["delete"] = None
    return Merger(**options)


def kind(value):
    """A value's type as a message names it: JSON's names, with integers
    and floats apart, as --strict-types tells them apart."""
    if isinstance(value, dict):
        return "an object"
    if isinstance(value, list):
        return "an array"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, bool):
        return "a boolean"
    if value is None:
        return "null"
    if isinstance(value, int):
        return "an integer"
    if isinstance(value, float):
        return "a float"
    return "a " + type(value).__name__


def conflict_error(path, first, first_label, second, second_label):
    """The failure of --strict-types: first_label is the last input before
    second_label's with a value at the path, of first's type since every
    later value there has had to be."""
    return CliError("conflicting types at %s: %s in %s, %s in %s "
                    "(--strict-types)" % (dotted_path(path), kind(first),
                                          first_label, kind(second),
                                          second_label))


def _holder(sources, merged, path, deletes):
    """The label of the last of the first `merged` inputs that has a value
    at `path` (a deleting null is none), as the inputs are now.

    The merge changes no later input but where one's object was added to
    the result, and then only by what a still later input put there, which
    that input has too; so the last holder in the inputs as they are now is
    the last one as they were read."""
    for label, doc in reversed(sources[1:merged]):
        for key in path:
            if not isinstance(doc, dict) or key not in doc:
                break
            doc = doc[key]
        else:
            if not (deletes and doc is None):
                return label
    return sources[0][0]


def merge(sources, modes):
    """Merges the documents in place into the first with the Merger of
    `modes`; returns the first."""
    merger = merger_of(modes)
    result = sources[0][1]
    for i, (label, doc) in enumerate(sources[1:], 1):
        try:
            merger.merge_inplace(result, doc)
        except MergeConflict as exc:
            raise conflict_error(
                exc.path, exc.first,
                _holder(sources, i, exc.path, modes.deletes), exc.second,
                label)
    return result

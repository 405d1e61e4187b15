"""--explain and --conflicts: which input set each leaf of the result, and
the values of different types that met, by calvoro.explain."""
import itertools
import re

import calvoro

from .document import ESCAPE_SURROGATES
from .dotted import dotted_path, has_unbare
from .modes import conflict_error, kind, merger_of


# where a label holds a byte of a file name that is not UTF-8
_SURROGATE = re.compile("[\ud800-\udfff]")


def _encode_label(label):
    # such a file name is written back in its own bytes
    try:
        return label.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        return label.encode("utf-8", "backslashreplace")


def explained(sources, modes=None):
    """calvoro.explain's report on the sources ((label, document) pairs),
    merged by the rule or the Merger of `modes`; a conflict that
    --strict-types refuses is a CliError naming both inputs."""
    merger = calvoro.Merger() if modes is None else merger_of(modes)
    try:
        return calvoro.explain([doc for _, doc in sources],
                               [label for label, _ in sources], merger)
    except calvoro.MergeConflict as exc:
        raise conflict_error(exc.path, exc.first, exc.first_layer,
                             exc.second, exc.second_layer)


class _Labels(dict):
    """The tail of a line for each origin: a tab, the labels, a newline."""

    def __missing__(self, origin):
        names = origin if isinstance(origin, tuple) else (origin,)
        tail = self[origin] = "\t%s\n" % "\t".join(names)
        return tail


def _dotted(paths, ensure_ascii):
    """The dotted path of each path, in order."""
    keys = set(itertools.chain.from_iterable(paths))
    try:
        # str keys only: any other (a YAML integer) fails the join
        bare = "" not in keys and not has_unbare("x".join(keys))
    except TypeError:
        bare = False
    if bare:
        return map(".".join, paths)
    return [dotted_path(path, ensure_ascii) for path in paths]


def origin_lines(report, sort_keys=False, ensure_ascii=False):
    """UTF-8 lines 'dotted.path<TAB>label' for each leaf of the report's
    result; a value joined from several inputs names each, tab-separated.
    """
    origins = report.origins
    # depth first with each object's keys sorted is the paths' order
    paths = sorted(origins) if sort_keys else list(origins)
    labels = _Labels()
    tails = list(map(labels.__getitem__, map(origins.__getitem__, paths)
                     if sort_keys else origins.values()))
    dotted = _dotted(paths, ensure_ascii)
    if not any(map(_SURROGATE.search, labels.values())):
        return "".join(itertools.chain.from_iterable(
            zip(dotted, tails))).encode("utf-8", ESCAPE_SURROGATES)
    return b"".join(text.encode("utf-8", ESCAPE_SURROGATES)
                    + _encode_label(tail) for text, tail in zip(dotted, tails))


_DONE = {"replace": "replaced", "keep": "kept"}


def conflict_lines(report):
    """The --conflicts report: one line per pair of values of different
    types, with what the merge made of it."""
    return ["calvoro: conflicting types at %s: %s in %s, %s in %s (%s)\n"
            % (dotted_path(c.path), _kind_of(c.first_type), c.first,
               _kind_of(c.second_type), c.second,
               _DONE.get(c.outcome, "joined: " + c.outcome))
            for c in report.conflicts]


def _kind_of(cls):
    # what kind() says of a value of the type, without the value
    for sample in ({}, [], "", False, None, 0, 0.0):
        if cls is type(sample):
            return kind(sample)
    return "a " + cls.__name__


def explain(sources, sort_keys=False, ensure_ascii=False, modes=None):
    """The --explain output for the sources: origin_lines of their
    report."""
    return origin_lines(explained(sources, modes), sort_keys, ensure_ascii)

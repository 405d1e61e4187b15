"""--explain and --conflicts: which input set each leaf of the result, and
the values of different types that met, by calvoro.explain."""
import calvoro

from .document import ESCAPE_SURROGATES
from .dotted import dotted_path
from .modes import conflict_error, kind, merger_of


def _encode_label(label):
    # a file name given in bytes that are not UTF-8 is written back as such
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


def origin_lines(report, sort_keys=False, ensure_ascii=False):
    """UTF-8 lines 'dotted.path<TAB>label' for each leaf of the report's
    result; a value joined from several inputs names each, tab-separated."""
    origins = report.origins.items()
    if sort_keys:
        # depth first with each object's keys sorted: the paths' order
        origins = sorted(origins)
    lines = []
    for path, origin in origins:
        labels = origin if isinstance(origin, tuple) else (origin,)
        lines += [dotted_path(path, ensure_ascii).encode(
            "utf-8", ESCAPE_SURROGATES), b"\t",
            b"\t".join(map(_encode_label, labels)), b"\n"]
    return b"".join(lines)


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

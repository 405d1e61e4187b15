"""The merged document: merging the inputs and writing the result as JSON."""
import codecs
import json
import math

from calvoro import anyfold

from .dotted import dotted_path
from .errors import CliError
from .formats import json_float_key
from .modes import merge as merge_with_modes

# The error handler that encodes text holding lone surrogates as UTF-8.
ESCAPE_SURROGATES = "calvoro.escape_surrogates"


def _escape_surrogates(exc):
    # A lone surrogate can only stand in a JSON string, where its escape
    # means the same: the output stays UTF-8 and valid JSON.
    text = exc.object[exc.start:exc.end]
    return "".join("\\u%04x" % ord(c) for c in text), exc.end


codecs.register_error(ESCAPE_SURROGATES, _escape_surrogates)


def merge(sources, modes=None):
    """Merges the documents in place into the first, which it returns;
    by the merge rule, or with the merge modes given."""
    if modes is not None:
        return merge_with_modes(sources, modes)
    result = sources[0][1]
    for _, doc in sources[1:]:
        # anyfold raises a failure (a RecursionError) where tightfold's
        # in-place merge would report it and go on.
        anyfold.merge_inplace(result, doc)
    return result


def _json_default(value):
    # TOML dates and times have no JSON type: write them as ISO 8601 text.
    if hasattr(value, "isoformat"):
        return value.isoformat()
    raise TypeError("a %s has no JSON form" % type(value).__name__)


def _walk_values(root):
    """(path, value) of every value under root, depth first."""
    stack = [([], root)]
    while stack:
        path, value = stack.pop()
        yield path, value
        if isinstance(value, dict):
            items = value.items()
        elif isinstance(value, list):
            items = enumerate(value)
        else:
            continue
        stack.extend((path + [k], v) for k, v in reversed(list(items)))


def _non_finite_origin(sources, result):
    """A CliError naming where a NaN or infinity in the result came from."""
    for path, value in _walk_values(result):
        if isinstance(value, float) and not math.isfinite(value):
            break
    else:
        return CliError("the result holds a number that is not JSON")
    # A merge moves a later document's objects into earlier ones, never the
    # other way: the last source that holds this very object made it.
    label = sources[0][0]
    for source_label, doc in reversed(sources[1:]):
        if any(v is value for _, v in _walk_values(doc)):
            label = source_label
            break
    return CliError("%s: the number at %s is out of range, and %s is not "
                    "JSON (--allow-nan writes it)"
                    % (label, dotted_path(path), json_float_key(value)))


def render(result, opts, sources=()):
    """The merged document as chunks of UTF-8 JSON text."""
    kwargs = {"ensure_ascii": opts.ascii, "allow_nan": opts.allow_nan,
              "sort_keys": opts.sort_keys, "default": _json_default}
    if opts.compact:
        kwargs["separators"] = (",", ":")
    elif opts.indent is not None:
        kwargs["indent"] = opts.indent
    try:
        text = json.dumps(result, **kwargs)
    except ValueError as exc:
        if opts.allow_nan:
            raise CliError("cannot write the result as JSON: %s" % exc)
        raise _non_finite_origin(sources, result)
    except TypeError as exc:
        raise CliError("cannot write the result as JSON: %s" % exc)
    return [text.encode("utf-8", ESCAPE_SURROGATES), b"\n"]

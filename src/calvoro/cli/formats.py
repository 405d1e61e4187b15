"""The inputs: reading a file or standard input as JSON, TOML or YAML, into
the tree JSON itself would have made of it."""
import json
import math
import os
import sys

from .dotted import dotted_path
from .errors import CliError

FORMATS = ("json", "toml", "yaml")
_EXTENSIONS = {".json": "json", ".toml": "toml", ".yaml": "yaml",
               ".yml": "yaml"}
STDIN_LABEL = "<stdin>"


class NotJson(Exception):
    """Raised by the parse hooks for NaN and the infinities."""

    def __init__(self, literal):
        Exception.__init__(self, literal)
        self.literal = literal


def _reject_constant(literal):
    raise NotJson(literal)


def _finite_float(text):
    value = float(text)
    if not math.isfinite(value):
        raise NotJson(text)
    return value


def not_json_error(label, literal):
    return CliError("%s: %s is not JSON (--allow-nan accepts it)"
                    % (label, literal))


def value_error(label, exc):
    """A ValueError from a parser that is not a syntax error."""
    limit = getattr(sys, "get_int_max_str_digits", None)
    if limit is not None and "integer string conversion" in str(exc):
        return CliError(
            "%s: an integer has more than %d digits, this interpreter's "
            "limit (PYTHONINTMAXSTRDIGITS=0 lifts it)" % (label, limit()))
    return CliError("%s: %s" % (label, exc))


def _decode(label, data, encoding):
    try:
        return data.decode(encoding)
    except UnicodeDecodeError as exc:
        raise CliError("%s: not UTF-8 text (byte %d)" % (label, exc.start))


# made once: json.loads with a hook builds a decoder per call
STRICT_JSON = json.JSONDecoder(parse_constant=_reject_constant)


def _parse_json(label, data, allow_nan):
    text = _decode(label, data, "utf-8-sig")
    try:
        if allow_nan:
            return json.loads(text)
        return STRICT_JSON.decode(text)
    except NotJson as exc:
        raise not_json_error(label, exc.literal)
    except json.JSONDecodeError as exc:
        raise CliError("%s: invalid JSON at line %d, column %d: %s"
                       % (label, exc.lineno, exc.colno, exc.msg))
    except ValueError as exc:
        raise value_error(label, exc)


def _toml_module():
    try:
        import tomllib
        return tomllib
    except ImportError:
        pass
    try:
        import tomli
        return tomli
    except ImportError:
        return None


def _parse_toml(label, data, allow_nan):
    toml = _toml_module()
    if toml is None:
        raise CliError(
            "%s: TOML input needs the tomli package on Python %d.%d: "
            "pip install 'calvoro[toml]'" % ((label,) + sys.version_info[:2]))
    text = _decode(label, data, "utf-8")
    try:
        return toml.loads(text,
                          parse_float=float if allow_nan else _finite_float)
    except NotJson as exc:
        raise not_json_error(label, exc.literal)
    except toml.TOMLDecodeError as exc:
        raise CliError("%s: invalid TOML: %s" % (label, exc))
    except ValueError as exc:
        raise value_error(label, exc)


def _parse_yaml(label, data, allow_nan):
    try:
        import yaml
    except ImportError:
        raise CliError("%s: YAML input needs PyYAML: "
                       "pip install 'calvoro[yaml]'" % label)
    text = _decode(label, data, "utf-8-sig")
    try:
        doc = yaml.load(text, Loader=_yaml_loader(yaml))
    except yaml.MarkedYAMLError as exc:
        mark = exc.problem_mark or exc.context_mark
        what = exc.problem or exc.context or "error"
        if mark is None:
            raise CliError("%s: invalid YAML: %s" % (label, what))
        raise CliError("%s: invalid YAML at line %d, column %d: %s"
                       % (label, mark.line + 1, mark.column + 1, what))
    except yaml.YAMLError as exc:
        raise CliError("%s: invalid YAML: %s" % (label, exc))
    except ValueError as exc:
        raise value_error(label, exc)
    return _YamlToJson(label, allow_nan).value(doc, [])


def _yaml_loader(yaml):
    """PyYAML's safe loader (the C one where built), with keys made JSON's.

    The keys become the strings JSON would write for them while the mapping
    is built, before Python's dict could merge two that it holds equal
    (1, 1.0 and true).
    """
    base = getattr(yaml, "CSafeLoader", yaml.SafeLoader)

    class Loader(base):
        def construct_mapping(self, node, deep=False):
            self.flatten_mapping(node)
            mapping = {}
            for key_node, value_node in node.value:
                key = _json_key(self.construct_object(key_node, deep=deep))
                if key is None:
                    raise yaml.constructor.ConstructorError(
                        None, None, "found a key that JSON has no form for",
                        key_node.start_mark)
                mapping[key] = self.construct_object(value_node, deep=deep)
            return mapping
    return Loader


def _json_key(key):
    """The text JSON writes for a key, None where it writes none."""
    if isinstance(key, str):
        return key
    if key is None:
        return "null"
    if isinstance(key, bool):
        return "true" if key else "false"
    if isinstance(key, int):
        return int.__repr__(key)
    if isinstance(key, float):
        return json_float_key(key)
    if hasattr(key, "isoformat"):
        return key.isoformat()
    return None


def json_float_key(value):
    """The text JSON (with --allow-nan) writes for a float."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "Infinity" if value > 0 else "-Infinity"
    return float.__repr__(value)


class _YamlToJson:
    """Rebuilds what the YAML loader made as the tree JSON would have made.

    YAML aliases make one object appear in several places (or inside
    itself); an in-place merge into a shared mapping would change every
    place at once, so every occurrence gets containers of its own, and a
    recursive alias is an error. Dates and times become ISO 8601 text, and
    a value that JSON has no form for is an error naming its path.
    """

    def __init__(self, label, allow_nan):
        self.label = label
        self.allow_nan = allow_nan
        self.active = set()

    def fail(self, path, what):
        raise CliError("%s: %s at %s" % (self.label, what,
                                         dotted_path(path) or "top level"))

    def value(self, value, path):
        if isinstance(value, (str, bool, int)) or value is None:
            return value
        if isinstance(value, float):
            if not (self.allow_nan or math.isfinite(value)):
                raise not_json_error(
                    self.label, "%s at %s" % (json_float_key(value),
                                              dotted_path(path)))
            return value
        if isinstance(value, (dict, list)):
            if id(value) in self.active:
                self.fail(path, "a recursive alias")
            self.active.add(id(value))
            if isinstance(value, dict):
                out = {}
                for key, item in value.items():
                    out[key] = self.value(item, path + [key])
            else:
                out = [self.value(item, path + [i])
                       for i, item in enumerate(value)]
            self.active.discard(id(value))
            return out
        if hasattr(value, "isoformat"):
            return value.isoformat()
        self.fail(path, "a value of type %s, which has no JSON form"
                  % type(value).__name__)


_PARSERS = {"json": _parse_json, "toml": _parse_toml, "yaml": _parse_yaml}


def _type_name(value):
    if isinstance(value, list):
        return "an array"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, bool):
        return "a boolean"
    if value is None:
        return "null"
    return "a number"


def format_of(name, forced=None):
    """The format an input is read in: forced, else by its extension."""
    if forced:
        return forced
    if name == "-":
        return "json"
    return _EXTENSIONS.get(os.path.splitext(name)[1].lower(), "json")


def read_bytes(name):
    """The bytes of an input file, or of standard input for '-'."""
    label = STDIN_LABEL if name == "-" else name
    try:
        if name == "-":
            with open(0, "rb", closefd=False) as f:
                return f.read()
        with open(name, "rb") as f:
            return f.read()
    except OSError as exc:
        raise CliError("%s: cannot read: %s" % (label, exc.strerror or exc))


def load(name, fmt=None, allow_nan=False):
    """(label, document) for an input, whose top level must be an object."""
    label = STDIN_LABEL if name == "-" else name
    data = read_bytes(name)
    try:
        doc = _PARSERS[format_of(name, fmt)](label, data, allow_nan)
    except RecursionError:
        raise CliError("%s: nested too deeply" % label)
    if not isinstance(doc, dict):
        raise CliError("%s: top level is %s, not an object"
                       % (label, _type_name(doc)))
    return label, doc

"""Command line: merge JSON, TOML and YAML documents into one JSON document.

Inputs are merged in the order given, later ones taking precedence, nested
objects merged recursively; ``--set`` overrides come after the files. Each
input is parsed once and merged in place into the first, so the time and
memory grow with the size of the inputs, not with their number times the
size of the result. Every failure is one line on standard error and exit
status 2; nothing is written anywhere unless every step before the write
succeeded.
"""
import argparse
import codecs
import gc
import json
import math
import os
import re
import stat
import sys

import calvoro
from calvoro import anyfold

FORMATS = ("json", "toml", "yaml")
_EXTENSIONS = {".json": "json", ".toml": "toml", ".yaml": "yaml",
               ".yml": "yaml"}
STDIN_LABEL = "<stdin>"
STDOUT_LABEL = "<stdout>"

EXAMPLES = """\
examples:
  %(prog)s defaults.json site.toml local.yaml -o merged.json
  %(prog)s base.json --set server.port=9000 --set 'server.name="edge"'
  echo '{"debug": true}' | %(prog)s defaults.json - --indent 2
  %(prog)s defaults.json site.json --explain

--set PATH=VALUE merges {PATH: VALUE} after the files, in order: VALUE is
read as JSON where it is JSON, else taken as a string; a key holding a dot,
an equals sign or a quote is written as a JSON string ("a.b".c=1).
--explain prints, instead of the document, one line per leaf of the result:
its dotted path, a tab, and the input (or --set) that set it.
Exit status: 0 on success, 2 on any failure (one line on standard error).
"""


class CliError(Exception):
    """A failure reported as one line on standard error, exit status 2."""


class _NotJson(Exception):
    """Raised by the parse hooks for NaN and the infinities."""

    def __init__(self, literal):
        Exception.__init__(self, literal)
        self.literal = literal


# -- reading -----------------------------------------------------------------

def _reject_constant(literal):
    raise _NotJson(literal)


def _finite_float(text):
    value = float(text)
    if not math.isfinite(value):
        raise _NotJson(text)
    return value


def _not_json_error(label, literal):
    return CliError("%s: %s is not JSON (--allow-nan accepts it)"
                    % (label, literal))


def _value_error(label, exc):
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
_STRICT_JSON = json.JSONDecoder(parse_constant=_reject_constant)


def _parse_json(label, data, allow_nan):
    text = _decode(label, data, "utf-8-sig")
    try:
        if allow_nan:
            return json.loads(text)
        return _STRICT_JSON.decode(text)
    except _NotJson as exc:
        raise _not_json_error(label, exc.literal)
    except json.JSONDecodeError as exc:
        raise CliError("%s: invalid JSON at line %d, column %d: %s"
                       % (label, exc.lineno, exc.colno, exc.msg))
    except ValueError as exc:
        raise _value_error(label, exc)


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
    except _NotJson as exc:
        raise _not_json_error(label, exc.literal)
    except toml.TOMLDecodeError as exc:
        raise CliError("%s: invalid TOML: %s" % (label, exc))
    except ValueError as exc:
        raise _value_error(label, exc)


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
        raise _value_error(label, exc)
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
        return _json_float_key(key)
    if hasattr(key, "isoformat"):
        return key.isoformat()
    return None


def _json_float_key(value):
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
                raise _not_json_error(
                    self.label, "%s at %s" % (_json_float_key(value),
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


# -- --set and --explain -----------------------------------------------------

_BARE_KEY = re.compile(r'[^."=\s\x00-\x1f\x7f\ud800-\udfff]+\Z')


def dotted_path(keys, ensure_ascii=False):
    """The keys as a dotted path; a key that is not bare is a JSON string."""
    text = ""
    for key in keys:
        if isinstance(key, int):
            text += "[%d]" % key        # an array index, in error messages
            continue
        if text:
            text += "."
        text += key if _BARE_KEY.match(key) else json.dumps(
            key, ensure_ascii=ensure_ascii)
    return text


def parse_setting(text):
    """(keys, value text) of PATH=VALUE."""
    keys = []
    i = 0
    while True:
        if text.startswith('"', i):
            try:
                key, i = json.decoder.scanstring(text, i + 1)
            except ValueError:
                raise ValueError("a quoted key is not a JSON string")
        else:
            end = i
            while end < len(text) and text[end] not in ".=":
                end += 1
            key, i = text[i:end], end
            if not key:
                raise ValueError("an empty key")
        keys.append(key)
        if text.startswith("=", i):
            return keys, text[i + 1:]
        if not text.startswith(".", i):
            raise ValueError("expected PATH=VALUE")
        i += 1


def _setting(text):
    try:
        keys, value = parse_setting(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError("%s in %r" % (exc, text))
    return keys, value


def setting_document(keys, value_text, allow_nan):
    """(label, {k1: {k2: ... VALUE}}) for one --set."""
    label = "--set " + dotted_path(keys)
    try:
        value = (json.loads(value_text) if allow_nan
                 else _STRICT_JSON.decode(value_text))
    except (json.JSONDecodeError, _NotJson):
        value = value_text
    except ValueError as exc:
        raise _value_error(label, exc)
    for key in reversed(keys):
        value = {key: value}
    return label, value


def _encode_label(label):
    # a file name given in bytes that are not UTF-8 is written back as such
    try:
        return label.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        return label.encode("utf-8", "backslashreplace")


def explain(sources, sort_keys=False, ensure_ascii=False):
    """UTF-8 lines 'dotted.path<TAB>label' for each leaf of the merged
    result.

    Follows the merge rule over the sources before they are merged (merging
    in place changes the later documents' nested objects).
    """
    tree = {}   # key -> [label, subtree or None]

    def add(tree, doc, label):
        for key, value in doc.items():
            node = tree.get(key)
            if node is not None and node[1] is not None \
                    and isinstance(value, dict):
                add(node[1], value, label)
            else:
                tree[key] = new(value, label)

    def new(value, label):
        if isinstance(value, dict):
            return [label, {k: new(v, label) for k, v in value.items()}]
        return [label, None]

    def walk(tree, path, lines):
        for key in (sorted(tree) if sort_keys else tree):
            label, sub = tree[key]
            if sub:
                walk(sub, path + [key], lines)
            else:
                lines += [
                    dotted_path(path + [key], ensure_ascii).encode(
                        "utf-8", "calvoro.escape_surrogates"),
                    b"\t", _encode_label(label), b"\n"]

    for label, doc in sources:
        add(tree, doc, label)
    lines = []
    walk(tree, [], lines)
    return b"".join(lines)


# -- merging and writing JSON ------------------------------------------------

def merge(sources):
    """Merges the documents in place into the first, which it returns."""
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


def _escape_surrogates(exc):
    # A lone surrogate can only stand in a JSON string, where its escape
    # means the same: the output stays UTF-8 and valid JSON.
    text = exc.object[exc.start:exc.end]
    return "".join("\\u%04x" % ord(c) for c in text), exc.end


codecs.register_error("calvoro.escape_surrogates", _escape_surrogates)


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
                    % (label, dotted_path(path), _json_float_key(value)))


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
    return [text.encode("utf-8", "calvoro.escape_surrogates"), b"\n"]


# -- output ------------------------------------------------------------------

def _descriptor_named(path):
    """The descriptor of this process that path names, or None."""
    match = re.match(r"/(?:dev/(?:std(out|err)|fd/(\d+))"
                     r"|proc/(?:self|thread-self|%d)/fd/(\d+))\Z"
                     % os.getpid(), path)
    if match is None:
        return None
    if match.group(1):
        return 1 if match.group(1) == "out" else 2
    return int(match.group(2) or match.group(3))


def _special_target(path):
    """How to write to path, where renaming over it would be wrong.

    ("fd", N) where path, or a symbolic link it leads through, names a
    descriptor of this process (/dev/stdout, /dev/fd/N, /proc/self/fd/N):
    written as it is, so that an appending or piped standard output stays
    so. ("open",) where it leads into /dev or /proc: opened and written in
    place. None otherwise.
    """
    path = os.path.abspath(path)
    for _ in range(40):
        for form in (os.path.normpath(path),
                     os.path.join(os.path.realpath(os.path.dirname(path)),
                                  os.path.basename(path))):
            fd = _descriptor_named(form)
            if fd is not None:
                return "fd", fd
        path = form
        if path.startswith(("/dev/", "/proc/")):
            return ("open",)
        if not os.path.islink(path):
            return None
        path = os.path.join(os.path.dirname(path), os.readlink(path))
    return None


def _write_all(fd, chunks):
    for chunk in chunks:
        view = memoryview(chunk)
        while view:
            try:
                written = os.write(fd, view)
            except BlockingIOError:
                # a descriptor left non-blocking by whoever opened it
                import select
                select.select([], [fd], [])
                continue
            view = view[written:]


def _write_in_place(path, chunks):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC,
                 0o666)
    try:
        _write_all(fd, chunks)
    finally:
        os.close(fd)


def _new_file_mode():
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


def _replace_file(path, chunks):
    """Replaces the regular file path leads to, atomically, by rename."""
    import tempfile
    target = os.path.realpath(path)
    try:
        old = os.stat(target)
    except FileNotFoundError:
        old = None
    if old is not None:
        # Refuse what a shell redirection would refuse (a read-only file),
        # by the kernel's own check; opening without O_TRUNC changes nothing.
        os.close(os.open(target, os.O_WRONLY | os.O_CLOEXEC))
    try:
        fd, tmp = tempfile.mkstemp(
            dir=os.path.dirname(target),
            prefix="." + os.path.basename(target) + ".", suffix=".tmp")
    except PermissionError:
        if old is None:
            raise
        # A writable file in a directory that is not: written in place, as
        # a shell redirection would, since no rename can replace it.
        _write_in_place(target, chunks)
        return
    try:
        try:
            _write_all(fd, chunks)
            os.fsync(fd)
            if old is None:
                os.fchmod(fd, _new_file_mode())
            else:
                if (old.st_uid, old.st_gid) != (os.getuid(), os.getgid()):
                    try:
                        os.fchown(fd, old.st_uid, old.st_gid)
                    except OSError:
                        pass
                os.fchmod(fd, stat.S_IMODE(old.st_mode))
        finally:
            os.close(fd)
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def write_output(path, chunks):
    """Writes to path: standard output for None or '-'; a regular file (or
    a new one) is replaced atomically; anything else (a device, a FIFO, a
    socket, a terminal, /dev/stdout) is opened and written in place."""
    label = STDOUT_LABEL if path in (None, "-") else path
    try:
        special = ("fd", 1) if path in (None, "-") else _special_target(path)
        if special is not None and special[0] == "fd":
            _write_all(special[1], chunks)
            return
        if special is None:
            try:
                regular = stat.S_ISREG(os.stat(path).st_mode)
            except FileNotFoundError:
                regular = True
            if regular:
                _replace_file(path, chunks)
                return
        _write_in_place(path, chunks)
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise CliError("%s: cannot write: %s" % (label, exc.strerror or exc))


# -- the command -------------------------------------------------------------

def _indent(text):
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(
            "expected a non-negative integer, got %r" % text)
    return value


def build_parser(prog="calvoro"):
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Merge JSON, TOML and YAML files into one JSON "
                    "document. Later files take precedence; nested objects "
                    "are merged recursively.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument(
        "files", nargs="*", metavar="FILE",
        help="input file, - for standard input; the top level must be an "
             "object")
    parser.add_argument(
        "-o", "--output", metavar="OUT",
        help="write to OUT instead of standard output (- is standard "
             "output); a regular file is replaced atomically and keeps its "
             "mode, anything else (a device, a FIFO) is written in place")
    parser.add_argument(
        "--format", choices=FORMATS,
        help="read every input as FORMAT (default: by extension: .toml is "
             "TOML, .yaml and .yml YAML, anything else and - JSON)")
    parser.add_argument(
        "--set", dest="settings", action="append", default=[],
        type=_setting, metavar="PATH=VALUE",
        help="after the files, merge {PATH: VALUE}; repeatable, in order")
    parser.add_argument(
        "--explain", action="store_true",
        help="print each leaf's dotted path and the input that set it, "
             "instead of the document")
    layout = parser.add_mutually_exclusive_group()
    layout.add_argument(
        "--indent", type=_indent, metavar="N",
        help="indent nested levels by N spaces (default: one line)")
    layout.add_argument(
        "--compact", action="store_true",
        help="one line without spaces after , and :")
    parser.add_argument("--sort-keys", action="store_true",
                        help="write the keys of each object sorted")
    parser.add_argument("--ascii", action="store_true",
                        help="escape non-ASCII text as \\uXXXX "
                             "(default: UTF-8)")
    parser.add_argument(
        "--allow-nan", action="store_true",
        help="accept NaN and Infinity in the inputs and write them as such "
             "(they are not JSON)")
    parser.add_argument("--version", action="version",
                        version="calvoro %s" % calvoro.__version__)
    return parser


def parse_args(parser, argv):
    """The options, with files given between options gathered in order."""
    opts, rest = parser.parse_known_args(argv)
    files = list(opts.files)
    only_files = False
    for arg in rest:
        if only_files or arg == "-" or not arg.startswith("-"):
            files.append(arg)
        elif arg == "--":
            only_files = True
        else:
            parser.error("unrecognized arguments: %s" % arg)
    if not files:
        parser.error("the following arguments are required: FILE")
    if files.count("-") > 1:
        parser.error("standard input (-) can be read only once")
    opts.files = files
    return opts


def _die_of_sigpipe():
    # The reader went away: end as cat or jq do, killed by SIGPIPE (which
    # Python ignores), so the shell sees the status it sees for them.
    import signal
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    except OSError:
        pass
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    os.kill(os.getpid(), signal.SIGPIPE)
    return 128 + signal.SIGPIPE


def run(opts):
    sources = [load(name, opts.format, opts.allow_nan)
               for name in opts.files]
    sources += [setting_document(keys, value, opts.allow_nan)
                for keys, value in opts.settings]
    try:
        if opts.explain:
            # before merging: the merge changes the later documents
            chunks = [explain(sources, opts.sort_keys, opts.ascii)]
        else:
            chunks = render(merge(sources), opts, sources)
    except RecursionError:
        raise CliError("input nested too deeply")
    write_output(opts.output, chunks)


def main(argv=None, prog="calvoro"):
    """Runs the command; returns its exit status."""
    opts = parse_args(build_parser(prog), argv)
    # The documents hold no reference cycles (the YAML ones are rebuilt
    # without), so the cyclic collector would only walk the growing heap
    # again and again while a large input is parsed: two thirds of its time.
    collecting = gc.isenabled()
    gc.disable()
    try:
        run(opts)
    except CliError as exc:
        message = str(exc).replace("\n", " ")
    except MemoryError:
        message = "out of memory"
    except BrokenPipeError:
        return _die_of_sigpipe()
    except KeyboardInterrupt:
        return 130
    else:
        return 0
    finally:
        if collecting:
            gc.enable()
    try:
        sys.stderr.write("calvoro: %s\n" % message)
        sys.stderr.flush()
    except (OSError, ValueError, AttributeError):
        pass
    return 2

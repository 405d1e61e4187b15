"""Command line: merge JSON (and TOML) documents into one JSON document.

Files are merged in the order given, later ones taking precedence, nested
objects merged recursively. Exit status: 0 on success, 2 for bad input or
usage, 1 when the output cannot be written.
"""
import argparse
import json
import os
import sys
import tempfile

from calvoro import tightfold

if sys.version_info >= (3, 11):
    import tomllib
else:
    tomllib = None


class CliError(Exception):
    """A failure reported as one line on standard error."""

    def __init__(self, message, status=2):
        Exception.__init__(self, message)
        self.status = status


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


def _parse_json(path, data):
    try:
        return json.loads(data.decode("utf-8-sig"))
    except UnicodeDecodeError as exc:
        raise CliError("%s: not UTF-8 text (byte %d)" % (path, exc.start))
    except json.JSONDecodeError as exc:
        raise CliError("%s: invalid JSON at line %d, column %d: %s"
                       % (path, exc.lineno, exc.colno, exc.msg))


def _parse_toml(path, data):
    if tomllib is None:
        raise CliError("%s: TOML input needs Python 3.11 or newer" % path)
    try:
        return tomllib.loads(data.decode("utf-8"))
    except UnicodeDecodeError as exc:
        raise CliError("%s: not UTF-8 text (byte %d)" % (path, exc.start))
    except tomllib.TOMLDecodeError as exc:
        raise CliError("%s: invalid TOML: %s" % (path, exc))


def load(path):
    """The document in a file, which must be an object (a dict)."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as exc:
        raise CliError("%s: cannot read: %s" % (path, exc.strerror or exc))
    is_toml = path.lower().endswith(".toml")
    try:
        doc = (_parse_toml if is_toml else _parse_json)(path, data)
    except RecursionError:
        raise CliError("%s: nested too deeply" % path)
    if not isinstance(doc, dict):
        raise CliError("%s: top level is %s, not an object"
                       % (path, _type_name(doc)))
    return doc


def _json_default(value):
    # TOML dates and times have no JSON type: write them as ISO 8601 text.
    if hasattr(value, "isoformat"):
        return value.isoformat()
    raise TypeError("%s is not JSON serializable" % type(value).__name__)


def render(docs, indent=None):
    """The merge of the documents, as JSON text."""
    try:
        # merge, not merge_many: only merge raises; the in-place folding
        # inside merge_many would report a failure and return a partial
        # document.
        merged = docs[0]
        for doc in docs[1:]:
            merged = tightfold.merge(merged, doc)
        return json.dumps(merged, indent=indent, default=_json_default) + "\n"
    except RecursionError:
        # Copying and writing recurse once or twice per level, so a document
        # that loaded can still be too deep for them.
        raise CliError("input nested too deeply to merge")


def _new_file_mode(path):
    try:
        return os.stat(path).st_mode & 0o7777
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


def write_atomic(path, text):
    """Replaces path with text, or leaves it as it was."""
    target = os.path.realpath(path)
    directory = os.path.dirname(target)
    tmp = None
    try:
        fd, tmp = tempfile.mkstemp(
            dir=directory, prefix="." + os.path.basename(target) + ".",
            suffix=".tmp")
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        # mkstemp makes the file private; give it the mode the old file had,
        # or that of a file newly made here.
        os.chmod(tmp, _new_file_mode(target))
        os.replace(tmp, target)
    except OSError as exc:
        if tmp is not None:
            try:
                os.unlink(tmp)
            except OSError:
                pass
        raise CliError("%s: cannot write: %s" % (path, exc.strerror or exc),
                       status=1)


def _indent(text):
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(
            "expected a non-negative integer, got %r" % text)
    return value


def build_parser():
    parser = argparse.ArgumentParser(
        prog="python -m calvoro",
        description="Merge JSON files (TOML files too, by the extension "
                    ".toml, on Python 3.11+) into one JSON document. "
                    "Later files take precedence; nested objects are "
                    "merged recursively.")
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help="input file; the top level must be an object")
    parser.add_argument("-o", "--output", metavar="OUT",
                        help="write to OUT (replaced atomically) instead "
                             "of standard output")
    parser.add_argument("--indent", type=_indent, metavar="N",
                        help="indent nested levels by N spaces "
                             "(default: one line)")
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        text = render([load(path) for path in args.files], args.indent)
        if args.output is None:
            sys.stdout.write(text)
            sys.stdout.flush()
        else:
            write_atomic(args.output, text)
    except CliError as exc:
        sys.stderr.write("calvoro: %s\n" % exc)
        return exc.status
    except BrokenPipeError:
        # Reader went away; keep the interpreter's final flush quiet.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0

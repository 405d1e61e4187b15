"""The command's arguments: its parser and its help."""
import argparse

import calvoro

from .formats import FORMATS
from .modes import LIST_MODES
from .settings import setting_argument

EXAMPLES = """\
examples:
  %(prog)s defaults.json site.toml local.yaml -o merged.json
  %(prog)s base.json --set server.port=9000 --set 'server.name="edge"'
  echo '{"debug": true}' | %(prog)s defaults.json - --indent 2
  %(prog)s defaults.json site.json --explain
  %(prog)s defaults.json site.toml local.yaml --conflicts -o merged.json
  %(prog)s defaults.yaml local.yaml --lists append_unique --strict-types
  %(prog)s document.json patch.json --patch

--set PATH=VALUE merges {PATH: VALUE} after the files, in order: VALUE is
read as JSON where it is JSON, else taken as a string; a key holding a dot,
an equals sign or a quote is written as a JSON string ("a.b".c=1).
--explain prints, instead of the document, one line per leaf of the result:
its dotted path, a tab, and the input (or --set) that set it; an array
that --lists joined names each input it came from, tab-separated.
--conflicts writes the document, then one line on standard error for each
value that met one of another type: the path, both types, both inputs,
and whether the later replaced the earlier or was dropped (kept).
Without merge modes, a later value replaces an earlier one unless both are
objects. --lists MODE says what two arrays make: append (the earlier items,
then the later), prepend (the later, then the earlier), append_unique (the
earlier items, then each later item not there yet), append_rp (the earlier
items not in the later array, then the later array), prepend_rp (the later
array, then the earlier items not in it); keep and replace take one whole.
--strict-types fails on the first value of another type than the one
before it, naming the path and both inputs.
Exit status: 0 on success, 2 on any failure (one line on standard error).
"""


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
        type=setting_argument, metavar="PATH=VALUE",
        help="after the files, merge {PATH: VALUE}; repeatable, in order")
    parser.add_argument(
        "--explain", action="store_true",
        help="print each leaf's dotted path and the input that set it, "
             "instead of the document")
    parser.add_argument(
        "--conflicts", action="store_true",
        help="after the document, list on standard error each value that "
             "met one of another type, with both inputs (exit status 0)")
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
    modes = parser.add_argument_group(
        "merge modes", "where a later value meets an earlier one and not "
        "both are objects")
    modes.add_argument(
        "--lists", choices=LIST_MODES, metavar="MODE",
        help="what two arrays make: %s (default: the later array, or "
             "the earlier with --keep-existing)" % ", ".join(LIST_MODES))
    modes.add_argument(
        "--keep-existing", action="store_true",
        help="keep the earlier value where a later input has another; new "
             "keys are still added and objects merged")
    modes.add_argument(
        "--strict-types", action="store_true",
        help="fail where a later value's type differs from the earlier "
             "one's (integers and floats differ; null is a type)")
    modes.add_argument(
        "--null-deletes", action="store_true",
        help="a null in a later input deletes its key")
    modes.add_argument(
        "--patch", action="store_true",
        help="apply each later input as a JSON merge patch (RFC 7396): "
             "null deletes, objects merge, anything else replaces; not with "
             "--lists, --keep-existing or --strict-types")
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
    if opts.patch:
        # a merge patch replaces arrays and any value of another type
        for name, given in (("--lists", opts.lists),
                            ("--keep-existing", opts.keep_existing),
                            ("--strict-types", opts.strict_types)):
            if given:
                parser.error("--patch cannot be combined with %s" % name)
    opts.files = files
    return opts

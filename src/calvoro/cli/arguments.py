"""The command's arguments: its parser and its help."""
import argparse

import calvoro

from .formats import FORMATS
from .settings import setting_argument

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

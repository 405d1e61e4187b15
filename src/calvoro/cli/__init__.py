"""Command line: merge JSON, TOML and YAML documents into one JSON document.

Inputs are merged in the order given, later ones taking precedence, nested
objects merged recursively; ``--set`` overrides come after the files. Each
input is parsed once and merged in place into the first, so the time and
memory grow with the size of the inputs, not with their number times the
size of the result. Every failure is one line on standard error and exit
status 2; nothing is written anywhere unless every step before the write
succeeded.

The modules: formats (reading the inputs), settings (--set), document
(merging, and the result as JSON), modes (--lists and the other merge
modes), origins (--explain and --conflicts), output (where the result
goes), arguments (the parser), dotted (dotted paths), errors.
"""
import gc
import sys

from .arguments import EXAMPLES, build_parser, parse_args
from .document import merge, render
from .dotted import dotted_path
from .errors import CliError
from .formats import FORMATS, STDIN_LABEL, format_of, load, read_bytes
from .modes import modes_of
from .origins import conflict_lines, explain, explained, origin_lines
from .output import STDOUT_LABEL, broken_pipe_exit, write_output
from .settings import parse_setting, setting_document

__all__ = [
    "CliError", "EXAMPLES", "FORMATS", "STDIN_LABEL", "STDOUT_LABEL",
    "build_parser", "dotted_path", "explain", "format_of", "load", "main",
    "merge", "modes_of", "parse_args", "parse_setting", "read_bytes",
    "render", "run", "setting_document", "write_output",
]


def run(opts):
    sources = [load(name, opts.format, opts.allow_nan)
               for name in opts.files]
    sources += [setting_document(keys, value, opts.allow_nan)
                for keys, value in opts.settings]
    modes = modes_of(opts)
    report = None
    try:
        if opts.explain or opts.conflicts:
            report = explained(sources, modes)
        if opts.explain:
            chunks = [origin_lines(report, opts.sort_keys, opts.ascii)]
        else:
            result = report.result if report else merge(sources, modes)
            chunks = render(result, opts, sources)
    except RecursionError:
        raise CliError("input nested too deeply")
    write_output(opts.output, chunks)
    if opts.conflicts:
        try:
            sys.stderr.writelines(conflict_lines(report))
            sys.stderr.flush()
        except (OSError, ValueError, AttributeError):
            # no standard error to tell it on, as main() finds for failures
            pass


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
        return broken_pipe_exit()
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

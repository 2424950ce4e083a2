"""Command line of talvora.

``talvora analyze [PATH ...]`` scores every function of Python source files
with the workload analysis module and classifies it; ``talvora plan`` sizes a
GPU array allocation and decides how to place it; ``talvora help [COMMAND]``
prints the help.  ``python -m talvora`` with no arguments analyses the bundled
example workloads.

This module holds the argument parser and ``main``; the commands and what
they use live in the modules beside it.
"""

import argparse
import contextlib
import difflib
import importlib
import os
import signal
import sys
from typing import Dict, Optional, Sequence, TextIO

from talvora.cli.analyze import parse_capability, parse_jobs, parse_top, run_analyze
from talvora.cli.common import PROG
from talvora.cli.discovery import DEFAULT_EXCLUDES
from talvora.cli.plan import (
    NEGATIVE_VALUE,
    parse_element_size,
    parse_headroom,
    parse_overhead,
    parse_shape,
    parse_size,
    run_plan,
)
from talvora.cli.ranking import DEFAULT_TOP
from talvora.cli.streaming import POOL_MIN_FILES
from talvora.cli.tables import DEFAULT_WIDTH


def version() -> str:
    """The installed package's version."""
    import talvora

    return str(talvora.__version__)


def _argtype(parse):
    def convert(text: str):
        try:
            return parse(text)
        except ValueError as e:
            raise argparse.ArgumentTypeError(str(e)) from None

    convert.__name__ = parse.__name__.replace("parse_", "")
    return convert


COMMANDS = ("analyze", "plan", "help")
_TOP_OPTIONS = ("-h", "--help", "--version")

# Exit statuses beyond 0 (success), 1 (a path could not be analysed) and 2 (a usage error).
EXIT_NATIVE = 3
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 128 + getattr(signal, "SIGPIPE", 13)

# The native modules each command needs, checked before it starts.
_NATIVE_MODULES = {"analyze": ("talvora.plugins.analyzer.kelmarch",), "plan": ("talvora.gpu.drelling",)}
_ALL_NATIVE = {name for names in _NATIVE_MODULES.values() for name in names}

EXIT_STATUSES = """\
exit status:
  0    success
  1    a path could not be analysed (the others were)
  2    invalid command line
  3    a native module of the package is missing: rebuild it
  130  interrupted (Ctrl-C)
  141  the output was closed early (as by `| head`)"""

# The plan command's options: flag, value parser (str: taken as given), metavar, default (None: required)
# and help.
_PLAN_OPTIONS = (
    ("--shape", parse_shape, None, None, "array shape, such as 100000,1000"),
    ("--element-size", parse_element_size, "BYTES", None, "bytes per element, such as 8 for float64"),
    ("--available", parse_size, "SIZE", None, "available GPU memory, such as 8GiB, 512MiB, 2GB, 1PiB or a byte count"),
    (
        "--headroom",
        parse_headroom,
        "RATIO",
        0.2,
        "fraction of the available memory kept back, at most 0.99 applied (default: 0.2)",
    ),
    (
        "--op",
        str,
        "NAME",
        "zeros",
        "array operation, such as zeros, random.randn or matmul; other names are planned as not chunkable "
        "(default: zeros)",
    ),
    (
        "--overhead-factor",
        parse_overhead,
        "FACTOR",
        1.0,
        "multiplier for allocation overhead; 1 or less leaves the estimate unchanged (default: 1.0)",
    ),
)


class _Formatter(argparse.HelpFormatter):
    """Keeps texts written over several lines (the exit statuses) as they are; wraps the others."""

    def _fill_text(self, text: str, width: int, indent: str) -> str:
        if "\n" in text:
            return "".join(indent + line for line in text.splitlines(keepends=True))
        return super()._fill_text(text, width, indent)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Workload analysis and GPU allocation planning of talvora. "
        "Without a command, runs analyze (with no path: on the bundled example workloads); "
        "a first word that is an existing path, or -, is a PATH of analyze.",
        epilog=EXIT_STATUSES,
        formatter_class=_Formatter,
    )
    parser.add_argument("--version", action="version", version="%(prog)s " + version())
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    an = sub.add_parser(
        "analyze",
        help="score and classify every function of Python source files",
        description="Scores every function of the given Python files (directories are searched "
        "recursively for *.py files) and classifies its workload pattern. Prints a summary (files, "
        "functions, time, functions per pattern) and the strongest candidates for acceleration; "
        "--files adds a table per file. Without a path, analyses the bundled example workloads; a file "
        "named twice is analysed once.",
        epilog=EXIT_STATUSES,
        formatter_class=_Formatter,
    )
    an.add_argument("paths", nargs="*", metavar="PATH", help="Python source file or directory; - reads standard input")
    out = an.add_mutually_exclusive_group()
    out.add_argument("--json", action="store_true", help="print one JSON document at the end")
    out.add_argument(
        "--jsonl",
        action="store_true",
        help="print JSON Lines: a run record, then one record per file as it is analysed, then a summary",
    )
    an.add_argument(
        "--exclude",
        action="append",
        default=[],
        metavar="GLOB",
        help="leave out files and directories matching GLOB while searching directories "
        "(repeatable; a trailing / matches directories only, a GLOB with / matches the path "
        "below the searched directory)",
    )
    an.add_argument("--no-default-excludes", action="store_true", help="also search %s" % " ".join(DEFAULT_EXCLUDES))
    an.add_argument(
        "--wide",
        action="store_true",
        help="show every column of the tables, with full function names, however wide "
        "(default: the main scores, within the terminal's width or %d columns)" % DEFAULT_WIDTH,
    )
    an.add_argument(
        "--files",
        action=argparse.BooleanOptionalAction,
        help="show a table of every file's functions before the summary (default: only when the input is one file)",
    )
    an.add_argument(
        "--top",
        type=_argtype(parse_top),
        metavar="N",
        help="after the summary, list the N strongest acceleration candidates (not MIXED or SEQUENTIAL) with "
        "the scores they were ranked by and the indicator words that matched, by score, then path and line "
        "(default: %d; the JSON forms list them only when this is given)" % DEFAULT_TOP,
    )
    an.add_argument(
        "--jobs",
        type=_argtype(parse_jobs),
        metavar="N",
        help="analyse the files in N worker processes, the output the same as in one (default: the number of "
        "usable CPUs; 1: all in this process, as are runs of fewer than %d files and standard input)" % POOL_MIN_FILES,
    )
    gpu = an.add_mutually_exclusive_group()
    gpu.add_argument(
        "--gpu-capability",
        type=_argtype(parse_capability),
        metavar="X.Y",
        help="score for a GPU of this compute capability, such as 8.6 (default: no GPU)",
    )
    gpu.add_argument("--no-gpu", action="store_true", help="score as if no GPU were available (the default)")
    an.set_defaults(run=run_analyze)

    pl = sub.add_parser(
        "plan",
        help="plan a GPU array allocation",
        description="Estimates the bytes of an array allocation, the safe limit of the available "
        "GPU memory and the strategy: GPU direct, GPU chunked or CPU fallback.",
    )
    # "-5,3" or "-1" is an option's value, so that it reaches the option's own message.
    if hasattr(pl, "_negative_number_matcher"):
        pl._negative_number_matcher = NEGATIVE_VALUE
    for flag, parse, metavar, default, text in _PLAN_OPTIONS:
        pl.add_argument(
            flag,
            required=default is None,
            type=_argtype(parse),
            default=default,
            metavar=metavar,
            help=text,
        )
    pl.add_argument("--json", action="store_true", help="print machine-readable JSON")
    pl.set_defaults(run=run_plan)

    hp = sub.add_parser(
        "help", help="show the help of talvora or of a command", description="Shows the help of talvora, or of COMMAND."
    )
    hp.add_argument("topic", nargs="?", choices=COMMANDS, metavar="COMMAND", help="one of %s" % ", ".join(COMMANDS))
    hp.set_defaults(run=_help_runner(parser, {"analyze": an, "plan": pl, "help": hp}))
    return parser


def _help_runner(parser: argparse.ArgumentParser, commands: Dict[str, argparse.ArgumentParser]):
    def run_help(args: argparse.Namespace, stdout: TextIO, stderr: TextIO) -> int:
        (commands[args.topic] if args.topic else parser).print_help(stdout)
        return 0

    return run_help


def _first_word_error(word: str) -> str:
    """The complaint about a first word that is neither a command nor an existing path."""
    text = "%r is neither a command (choose from %s) nor an existing path" % (word, ", ".join(COMMANDS))
    close = difflib.get_close_matches(word, COMMANDS, n=1)
    return text + ("; did you mean %r?" % close[0] if close else "")


def _missing_native(command: str) -> Optional[str]:
    """The error lines for a native module of `command` that cannot be imported, or None when all can."""
    for name in _NATIVE_MODULES.get(command, ()):
        try:
            importlib.import_module(name)
        except ImportError as e:
            return _native_error(name, e)
    return None


def _native_error(name: str, e: ImportError) -> str:
    return (
        "%s: error: the native module %s cannot be imported: %s\n"
        "%s: note: this installation was built without it or for another Python; rebuild every module with "
        "`make install` in the source tree, or reinstall with `pip install .`\n" % (PROG, name, e, PROG)
    )


def _quiet_stdout(stdout: TextIO) -> None:
    """Points the process's standard output at the null device, so that nothing is written to a closed pipe
    again (not even the final flush at exit)."""
    if stdout is not sys.stdout and stdout is not sys.__stdout__:
        return
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(devnull, stdout.fileno())
        finally:
            os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def main(argv: Optional[Sequence[str]] = None, stdout: Optional[TextIO] = None, stderr: Optional[TextIO] = None) -> int:
    """Runs the command line; returns the exit status."""
    argv = list(sys.argv[1:] if argv is None else argv)
    stdout = sys.stdout if stdout is None else stdout
    stderr = sys.stderr if stderr is None else stderr
    parser = build_parser()
    try:
        with contextlib.redirect_stdout(stdout), contextlib.redirect_stderr(stderr):
            if not argv or (argv[0].startswith("-") and argv[0] not in _TOP_OPTIONS):  # options, or - for stdin
                argv = ["analyze"] + argv  # analyze is the default command
            elif argv[0] not in COMMANDS + _TOP_OPTIONS:
                if not os.path.lexists(argv[0]):
                    parser.error(_first_word_error(argv[0]))
                argv = ["analyze"] + argv  # an existing path: analyze it
            args = parser.parse_args(argv)
    except SystemExit as e:
        return e.code if isinstance(e.code, int) else 2
    if not getattr(args, "run", None):
        parser.print_help(stdout)
        return 2
    missing = _missing_native(args.command)
    if missing:
        stderr.write(missing)
        return EXIT_NATIVE
    try:
        status = int(args.run(args, stdout, stderr))
        stdout.flush()  # a closed pipe shows here rather than at exit
        return status
    except KeyboardInterrupt:
        stderr.write("%s: interrupted\n" % PROG)
        stderr.flush()
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of our output went away (as with `| head`): stop quietly, as if killed by SIGPIPE.
        _quiet_stdout(stdout)
        return EXIT_BROKEN_PIPE
    except ImportError as e:
        if e.name is None or e.name not in _ALL_NATIVE:
            raise
        stderr.write(_native_error(e.name, e))
        return EXIT_NATIVE

"""Command line of talvora.

``talvora analyze [PATH ...]`` scores every function of Python source files
with the workload analysis module and classifies it; ``talvora plan`` sizes a
GPU array allocation and decides how to place it.  ``python -m talvora`` with
no arguments analyses the bundled example workloads.

This module holds the argument parser and ``main``; the commands and what
they use live in the modules beside it.
"""

import argparse
import contextlib
import os
import sys
from typing import Optional, Sequence, TextIO

from talvora.cli.analyze import parse_capability, parse_top, run_analyze
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


_COMMANDS = ("analyze", "plan")

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


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Workload analysis and GPU allocation planning of talvora. "
        "Without a command, runs analyze (with no path: on the bundled example workloads).",
    )
    parser.add_argument("--version", action="version", version="%(prog)s " + version())
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    an = sub.add_parser(
        "analyze",
        help="score and classify every function of Python source files",
        description="Scores every function of the given Python files (directories are searched "
        "recursively for *.py files) and classifies its workload pattern. Without a path, "
        "analyses the bundled example workloads.",
    )
    an.add_argument("paths", nargs="*", metavar="PATH", help="Python source file or directory")
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
        "--top",
        type=_argtype(parse_top),
        metavar="N",
        help="after the summary, list the N strongest acceleration candidates",
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
    return parser


def main(argv: Optional[Sequence[str]] = None, stdout: Optional[TextIO] = None, stderr: Optional[TextIO] = None) -> int:
    """Runs the command line; returns the exit status."""
    argv = list(sys.argv[1:] if argv is None else argv)
    stdout = sys.stdout if stdout is None else stdout
    stderr = sys.stderr if stderr is None else stderr
    if not argv or argv[0] not in _COMMANDS + ("-h", "--help", "--version"):
        argv = ["analyze"] + argv  # analyze is the default command
    parser = build_parser()
    try:
        with contextlib.redirect_stdout(stdout), contextlib.redirect_stderr(stderr):
            args = parser.parse_args(argv)
    except SystemExit as e:
        return e.code if isinstance(e.code, int) else 2
    if not getattr(args, "run", None):
        parser.print_help(stdout)
        return 2
    try:
        return int(args.run(args, stdout, stderr))
    except KeyboardInterrupt:
        stderr.write("%s: interrupted\n" % PROG)
        stderr.flush()
        return 130
    except BrokenPipeError:
        # The reader of our output went away (as with `| head`): stop quietly.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            try:
                os.dup2(devnull, sys.stdout.fileno())
            finally:
                os.close(devnull)
        except (OSError, ValueError, AttributeError):
            pass
        return 1

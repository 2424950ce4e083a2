"""The analyze command: its option values, the writer its output options choose, and the run that hands every
file's outcome to that writer."""

import argparse
import os
import re
import time
from dataclasses import asdict
from typing import Any, Dict, List, Optional, TextIO

from talvora.cli.common import PROG, SCHEMA_VERSION, to_number
from talvora.cli.discovery import (
    DEFAULT_EXCLUDES,
    PathWarning,
    Skipped,
    bundled_examples,
    collect_files,
    format_exclusions,
    unmatched_excludes,
)
from talvora.cli.parallel import usable_cpus
from talvora.cli.ranking import DEFAULT_TOP, Tally, TopCandidates
from talvora.cli.reading import AnalysisError
from talvora.cli.scoring import FileReport, Thresholds
from talvora.cli.streaming import analyze_items
from talvora.cli.tables import table_layout, terminal_width
from talvora.cli.writers import JsonlWriter, JsonWriter, TableWriter, Writer


def parse_capability(text: str) -> str:
    """A GPU compute capability such as ``8.6``: major and minor version numbers."""
    cleaned = text.strip()
    if not re.fullmatch(r"\d{1,4}\.\d{1,4}", cleaned):
        raise ValueError("invalid compute capability %r (expected X.Y, such as 8.6)" % text)
    return cleaned


def parse_top(text: str) -> int:
    n = to_number(int, text, "invalid count %r (expected a positive number)")
    if n < 1:
        raise ValueError("count must be positive, got %d" % n)
    return n


def parse_jobs(text: str) -> int:
    n = to_number(int, text, "invalid number of jobs %r (expected a positive number)")
    if n < 1:
        raise ValueError("number of jobs must be positive, got %d" % n)
    return n


def shows_files(args: argparse.Namespace, paths: List[str]) -> bool:
    """Whether the tables of every file are shown: as --files says, or else when the input is one file."""
    if args.files is not None:
        return bool(args.files)
    return len(paths) == 1 and not os.path.isdir(paths[0])


def make_writer(args: argparse.Namespace, stdout: TextIO, settings: Dict[str, Any], paths: List[str]) -> Writer:
    """The writer of the output option given: --json, --jsonl or (by default) tables."""
    if args.json:
        return JsonWriter(stdout, settings)
    if args.jsonl:
        return JsonlWriter(stdout, settings)
    gpu = args.gpu_capability is not None
    layout = table_layout(terminal_width(stdout), args.wide, gpu)
    return TableWriter(stdout, layout, shows_files(args, paths), args.gpu_capability)


def top_count(args: argparse.Namespace) -> Optional[int]:
    """How many candidates to list: --top, else DEFAULT_TOP in the tables (JSON lists them only on request)."""
    if args.top is not None:
        return int(args.top)
    return None if args.json or args.jsonl else DEFAULT_TOP


def run_analyze(args: argparse.Namespace, stdout: TextIO, stderr: TextIO) -> int:
    import talvora

    started = time.perf_counter()
    paths = list(args.paths) or [bundled_examples()]
    gpu_capability = args.gpu_capability
    gpu_available = gpu_capability is not None
    thresholds = Thresholds()
    defaults = not args.no_default_excludes
    excludes = (list(DEFAULT_EXCLUDES) if defaults else []) + list(args.exclude)
    n = top_count(args)
    top: Optional[TopCandidates] = TopCandidates(n) if n is not None else None
    settings: Dict[str, Any] = {
        "schema_version": SCHEMA_VERSION,
        "version": str(talvora.__version__),
        "paths": paths,
        "options": {
            "exclude": list(args.exclude),
            "default_excludes": defaults,
            "top": args.top,
            "gpu_capability": gpu_capability,
        },
        "gpu_available": gpu_available,
        "gpu_capability": gpu_capability,
        "thresholds": asdict(thresholds),
    }
    writer = make_writer(args, stdout, settings, paths)
    skipped: List[Skipped] = []
    warnings: List[PathWarning] = []
    items = collect_files(paths, stderr, excludes, skipped, warnings)
    note = format_exclusions(skipped, defaults)
    if note:
        stderr.write(note)
    writer.begin(skipped, warnings)
    tally = Tally()
    try:
        jobs = args.jobs if getattr(args, "jobs", None) is not None else usable_cpus()
        for outcome in analyze_items(items, stderr, gpu_available, gpu_capability, thresholds, jobs):
            if isinstance(outcome, FileReport):
                tally.add(outcome)
                if top is not None:
                    top.add(outcome)
                writer.file(outcome)
            elif isinstance(outcome, AnalysisError):
                tally.errors += 1
                writer.error(outcome)
            else:
                writer.skipped(outcome)
    except KeyboardInterrupt:
        try:
            writer.interrupted(tally)
        except OSError:
            pass  # the reader went away too
        raise
    tally.seconds = time.perf_counter() - started
    writer.end(tally, top)
    for pattern in unmatched_excludes(args.exclude, skipped):
        stderr.write("%s: note: --exclude %s matched nothing\n" % (PROG, pattern))
    return 1 if tally.errors else 0

"""The analyze command: its option values, the writer its output options choose, and the run that hands every
file's outcome to that writer."""

import argparse
import re
from dataclasses import asdict
from typing import Any, Dict, List, Optional, TextIO

from talvora.cli.common import PROG, SCHEMA_VERSION, to_number
from talvora.cli.discovery import (
    DEFAULT_EXCLUDES,
    Skipped,
    bundled_examples,
    collect_files,
    format_exclusions,
    unmatched_excludes,
)
from talvora.cli.ranking import Tally, TopCandidates
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


def make_writer(args: argparse.Namespace, stdout: TextIO, settings: Dict[str, Any]) -> Writer:
    """The writer of the output option given: --json, --jsonl or (by default) tables."""
    if args.json:
        return JsonWriter(stdout, settings)
    if args.jsonl:
        return JsonlWriter(stdout, settings)
    return TableWriter(stdout, table_layout(terminal_width(stdout), args.wide))


def run_analyze(args: argparse.Namespace, stdout: TextIO, stderr: TextIO) -> int:
    paths = args.paths or [bundled_examples()]
    gpu_capability = args.gpu_capability
    gpu_available = gpu_capability is not None
    thresholds = Thresholds()
    defaults = not args.no_default_excludes
    excludes = (list(DEFAULT_EXCLUDES) if defaults else []) + list(args.exclude)
    top: Optional[TopCandidates] = TopCandidates(args.top) if args.top is not None else None
    settings: Dict[str, Any] = {
        "schema_version": SCHEMA_VERSION,
        "gpu_available": gpu_available,
        "gpu_capability": gpu_capability,
        "thresholds": asdict(thresholds),
    }
    writer = make_writer(args, stdout, settings)
    skipped: List[Skipped] = []
    items = collect_files(paths, stderr, excludes, skipped)
    note = format_exclusions(skipped, defaults)
    if note:
        stderr.write(note)
    writer.begin(skipped)
    tally = Tally()
    for outcome in analyze_items(items, stderr, gpu_available, gpu_capability, thresholds):
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
    writer.end(tally, top)
    for pattern in unmatched_excludes(args.exclude, skipped):
        stderr.write("%s: note: --exclude %s matched nothing\n" % (PROG, pattern))
    return 1 if tally.errors else 0

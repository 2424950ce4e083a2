"""Streaming: the files analysed one after another, each outcome handed on as soon as it is known, errors and
skips written to standard error as they occur, and a progress line on a terminal."""

import functools
import shutil
from typing import Iterator, Optional, Sequence, TextIO, Union

from talvora.cli.common import PROG, is_terminal
from talvora.cli.discovery import Item, Skipped
from talvora.cli.parallel import WorkerDied, imap_ordered
from talvora.cli.reading import STDIN, AnalysisError, NotRegularFile, analyze_file
from talvora.cli.scoring import DEFAULT_THRESHOLDS, FileReport, Thresholds

# Progress is shown on a terminal once at least this many files are analysed.
PROGRESS_MIN_FILES = 10

# Fewer files than this are analysed in this process whatever the number of jobs: starting the worker
# processes would cost about as much as they save.  Standard input is always read and analysed here.
POOL_MIN_FILES = 16


class Progress:
    """A one-line progress indicator on a terminal stream."""

    def __init__(self, stream: TextIO, total: int):
        self.stream = stream
        self.total = total
        self.enabled = total >= PROGRESS_MIN_FILES and is_terminal(stream)
        self._shown = False

    def update(self, done: int, path: str) -> None:
        if not self.enabled:
            return
        width = shutil.get_terminal_size((80, 24)).columns
        text = "[%*d/%d] %s" % (len(str(self.total)), done, self.total, path)
        if len(text) > width - 1:
            text = text[: max(width - 4, 0)] + "..."
        self.stream.write("\r\x1b[K" + text)
        self.stream.flush()
        self._shown = True

    def clear(self) -> None:
        if self._shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self._shown = False


Outcome = Union[FileReport, AnalysisError, Skipped]


def analyze_one(
    path: str,
    gpu_available: bool = True,
    gpu_capability: Optional[str] = None,
    thresholds: Thresholds = DEFAULT_THRESHOLDS,
) -> Outcome:
    """The report of one file, or the error or skip that stands in for it."""
    try:
        return analyze_file(path, gpu_available=gpu_available, gpu_capability=gpu_capability, thresholds=thresholds)
    except AnalysisError as e:
        return e
    except NotRegularFile:
        return Skipped(path, "not a regular file")


def _is_stdin(path: str) -> bool:
    return path == STDIN


def analyze_items(
    items: Sequence[Item],
    stderr: TextIO,
    gpu_available: bool = True,
    gpu_capability: Optional[str] = None,
    thresholds: Thresholds = DEFAULT_THRESHOLDS,
    jobs: int = 1,
) -> Iterator[Outcome]:
    """Analyses each file in turn, yielding its report, error or skip as soon as it is known.

    Errors and skips are also written to `stderr` as they occur, and a
    progress line on a terminal.  With `jobs` above 1 and at least
    POOL_MIN_FILES files, that many worker processes analyse the files; the
    outcomes come in the same order all the same.
    """
    paths = [path for path, err in items if err is None]
    progress = Progress(stderr, len(paths))
    analyze = functools.partial(
        analyze_one, gpu_available=gpu_available, gpu_capability=gpu_capability, thresholds=thresholds
    )
    results: Iterator[object]
    if jobs > 1 and len(paths) >= POOL_MIN_FILES:
        results = imap_ordered(analyze, paths, min(jobs, len(paths)), local=_is_stdin)
    else:
        results = map(analyze, paths)
    done = 0
    try:
        for path, err in items:
            outcome: Outcome
            if err is None:
                done += 1
                progress.update(done, path)
                result = next(results)
                if isinstance(result, WorkerDied):
                    result = AnalysisError(path, "the analysis crashed: %s" % result)
                outcome = result  # type: ignore[assignment]
            else:
                outcome = err
            # The line is cleared before anything else is written, to either stream.
            progress.clear()
            if isinstance(outcome, AnalysisError):
                stderr.write("%s: error: %s\n" % (PROG, outcome))
                stderr.flush()
            elif isinstance(outcome, Skipped):
                stderr.write("%s: note: %s: %s, skipped\n" % (PROG, outcome.path, outcome.reason))
                stderr.flush()
            yield outcome
    finally:
        close = getattr(results, "close", None)
        if close is not None:
            close()  # ends the workers
        progress.clear()

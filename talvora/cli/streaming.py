"""Streaming: the files analysed one after another, each outcome handed on as soon as it is known, errors and
skips written to standard error as they occur, and a progress line on a terminal."""

import shutil
from typing import Iterator, Optional, Sequence, TextIO, Union

from talvora.cli.common import PROG, is_terminal
from talvora.cli.discovery import Item, Skipped
from talvora.cli.reading import AnalysisError, NotRegularFile, analyze_file
from talvora.cli.scoring import DEFAULT_THRESHOLDS, FileReport, Thresholds

# Progress is shown on a terminal once at least this many files are analysed.
PROGRESS_MIN_FILES = 10


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


def analyze_items(
    items: Sequence[Item],
    stderr: TextIO,
    gpu_available: bool = True,
    gpu_capability: Optional[str] = None,
    thresholds: Thresholds = DEFAULT_THRESHOLDS,
) -> Iterator[Outcome]:
    """Analyses each file in turn, yielding its report, error or skip as soon as it is known.

    Errors and skips are also written to `stderr` as they occur, and a
    progress line on a terminal.
    """
    progress = Progress(stderr, sum(1 for _, err in items if err is None))
    done = 0
    try:
        for path, err in items:
            outcome: Outcome
            if err is None:
                done += 1
                progress.update(done, path)
                try:
                    outcome = analyze_file(
                        path, gpu_available=gpu_available, gpu_capability=gpu_capability, thresholds=thresholds
                    )
                except AnalysisError as e:
                    outcome = e
                except NotRegularFile:
                    outcome = Skipped(path, "not a regular file")
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
        progress.clear()

"""Writers of the analyze command's output: a table per file with a summary, one JSON document at the end, or
JSON Lines as the run goes.

Each writer takes the run in the same calls: ``begin`` with what the exclude
patterns left out, then ``file``, ``error`` or ``skipped`` for each outcome as
it arrives, and ``end`` with the counts and candidates of the run.
"""

import json
from typing import Any, Dict, List, Optional, Sequence, TextIO

from talvora.cli.discovery import Skipped
from talvora.cli.ranking import Tally, TopCandidates, format_tally, format_top
from talvora.cli.reading import AnalysisError
from talvora.cli.scoring import FileReport
from talvora.cli.tables import TableLayout, format_table, legend


def _file_record(report: FileReport) -> Dict[str, Any]:
    return {"path": report.path, "functions": [f.to_dict() for f in report.functions]}


def _error_record(error: AnalysisError) -> Dict[str, str]:
    return {"path": error.path, "error": error.message}


def _skipped_record(s: Skipped) -> Dict[str, str]:
    return {"path": s.path, "reason": s.reason}


class Writer:
    """What a writer is told of a run; each call writes nothing unless the writer says otherwise."""

    def __init__(self, stdout: TextIO):
        self.stdout = stdout

    def begin(self, skipped: Sequence[Skipped]) -> None:
        """The run starts; `skipped` holds what the exclude patterns left out."""

    def file(self, report: FileReport) -> None:
        """A file was analysed."""

    def error(self, error: AnalysisError) -> None:
        """A path could not be analysed."""

    def skipped(self, skipped: Skipped) -> None:
        """A path was left out while the files were analysed."""

    def end(self, tally: Tally, top: Optional[TopCandidates]) -> None:
        """The run is over."""


class TableWriter(Writer):
    """A table per file as it is analysed (the legend before the first), then the summary and the candidates."""

    def __init__(self, stdout: TextIO, layout: TableLayout):
        super().__init__(stdout)
        self.layout = layout
        self._tables = 0

    def file(self, report: FileReport) -> None:
        if not self._tables:
            self.stdout.write(legend(self.layout) + "\n\n")
        self._tables += 1
        self.stdout.write(format_table(report, self.layout) + "\n")
        self.stdout.flush()

    def end(self, tally: Tally, top: Optional[TopCandidates]) -> None:
        self.stdout.write(format_tally(tally))
        if top is not None:
            self.stdout.write("\n" + format_top(top))


class JsonWriter(Writer):
    """One JSON document at the end: the settings, every file, error and skipped path, the summary."""

    def __init__(self, stdout: TextIO, settings: Dict[str, Any]):
        super().__init__(stdout)
        self.settings = settings
        self._files: List[Dict[str, Any]] = []
        self._errors: List[Dict[str, str]] = []
        self._skipped: List[Skipped] = []

    def begin(self, skipped: Sequence[Skipped]) -> None:
        self._skipped.extend(skipped)

    def file(self, report: FileReport) -> None:
        self._files.append(_file_record(report))

    def error(self, error: AnalysisError) -> None:
        self._errors.append(_error_record(error))

    def skipped(self, skipped: Skipped) -> None:
        self._skipped.append(skipped)

    def end(self, tally: Tally, top: Optional[TopCandidates]) -> None:
        doc = dict(self.settings)
        doc.update(
            files=self._files,
            errors=self._errors,
            skipped=[_skipped_record(s) for s in self._skipped],
            summary=tally.to_dict(),
        )
        if top is not None:
            doc["top"] = top.to_list()
        json.dump(doc, self.stdout, indent=2)
        self.stdout.write("\n")


class JsonlWriter(Writer):
    """JSON Lines, each record written as soon as it is known: run, then file, error or skipped, then summary."""

    def __init__(self, stdout: TextIO, settings: Dict[str, Any]):
        super().__init__(stdout)
        self.settings = settings

    def _line(self, record: Dict[str, Any]) -> None:
        self.stdout.write(json.dumps(record) + "\n")
        self.stdout.flush()

    def begin(self, skipped: Sequence[Skipped]) -> None:
        self._line(dict(self.settings, type="run"))
        for s in skipped:
            self.skipped(s)

    def file(self, report: FileReport) -> None:
        self._line(dict(_file_record(report), type="file"))

    def error(self, error: AnalysisError) -> None:
        self._line(dict(_error_record(error), type="error"))

    def skipped(self, skipped: Skipped) -> None:
        self._line(dict(type="skipped", **_skipped_record(skipped)))

    def end(self, tally: Tally, top: Optional[TopCandidates]) -> None:
        last: Dict[str, Any] = {"type": "summary"}
        last.update(tally.to_dict())
        last["errors"] = tally.errors
        if top is not None:
            last["top"] = top.to_list()
        self._line(last)

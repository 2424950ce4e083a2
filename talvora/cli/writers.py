"""Writers of the analyze command's output: a table per file with a summary, one JSON document at the end, or
JSON Lines as the run goes.

Each writer takes the run in the same calls: ``begin`` with what the exclude
patterns left out and the warnings of the search, then ``file``, ``error`` or
``skipped`` for each outcome as it arrives, and ``end`` with the counts and
candidates of the run, or ``interrupted`` with the counts so far.
"""

import dataclasses
import json
import signal
import threading
from typing import Any, Dict, List, Optional, Sequence, TextIO

from talvora.cli.discovery import PathWarning, Skipped
from talvora.cli.jsontext import SCALARS, Laid, Layout, encoder
from talvora.cli.ranking import Tally, TopCandidates, format_tally, format_top
from talvora.cli.reading import AnalysisError
from talvora.cli.scoring import FileReport, FunctionReport
from talvora.cli.tables import TableLayout, format_table, legend


def _file_record(report: FileReport) -> Dict[str, Any]:
    return {"path": report.path, "imports": list(report.imports), "functions": [f.to_dict() for f in report.functions]}


def _error_record(error: AnalysisError) -> Dict[str, str]:
    return {"path": error.path, "error": error.message}


def _skipped_record(s: Skipped) -> Dict[str, str]:
    return {"path": s.path, "reason": s.reason}


def _warning_record(w: PathWarning) -> Dict[str, str]:
    return {"path": w.path, "message": w.message}


def write_whole(stream: TextIO, text: str) -> None:
    """Writes and flushes `text` with Ctrl-C held back until it is out, so that no record is cut short."""
    block = getattr(signal, "pthread_sigmask", None)
    if block is None or threading.current_thread() is not threading.main_thread():
        stream.write(text)
        stream.flush()
        return
    previous = block(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        stream.write(text)
        stream.flush()
    finally:
        block(signal.SIG_SETMASK, previous)


def assumption(gpu_capability: Optional[str]) -> str:
    """The one line on the GPU the scores assume."""
    if gpu_capability is None:
        return "No GPU assumed: gpu_suitability 0.00 and gpu_speedup 1.0x throughout (--gpu-capability X.Y: a GPU)."
    return "Scored for a GPU of compute capability %s." % gpu_capability


class Writer:
    """What a writer is told of a run; each call writes nothing unless the writer says otherwise."""

    def __init__(self, stdout: TextIO):
        self.stdout = stdout

    def begin(self, skipped: Sequence[Skipped], warnings: Sequence[PathWarning] = ()) -> None:
        """The run starts; `skipped` holds what the exclude patterns left out, `warnings` paths without files."""

    def file(self, report: FileReport) -> None:
        """A file was analysed."""

    def error(self, error: AnalysisError) -> None:
        """A path could not be analysed."""

    def skipped(self, skipped: Skipped) -> None:
        """A path was left out while the files were analysed."""

    def end(self, tally: Tally, top: Optional[TopCandidates]) -> None:
        """The run is over."""

    def interrupted(self, tally: Tally) -> None:
        """The run was interrupted; `tally` holds the counts so far."""


class TableWriter(Writer):
    """With `per_file`, a table per file with functions as it is analysed (the legend before the first); then
    the summary, the GPU assumption and the candidates."""

    def __init__(self, stdout: TextIO, layout: TableLayout, per_file: bool, gpu_capability: Optional[str] = None):
        super().__init__(stdout)
        self.layout = layout
        self.per_file = per_file
        self.gpu_capability = gpu_capability
        self._tables = 0

    def file(self, report: FileReport) -> None:
        if not (self.per_file and report.functions):
            return
        if not self._tables:
            self.stdout.write(legend(self.layout) + "\n\n")
        self._tables += 1
        write_whole(self.stdout, format_table(report, self.layout) + "\n")

    def end(self, tally: Tally, top: Optional[TopCandidates]) -> None:
        self.stdout.write(format_tally(tally))
        self.stdout.write(assumption(self.gpu_capability) + "\n")
        if top is not None:
            self.stdout.write("\n" + format_top(top, tally, self.gpu_capability is not None))


def _function_values(f: FunctionReport) -> List[Any]:
    """The scalars of ``f.to_dict()`` in its order (checked by _function_template)."""
    return [
        f.name,
        f.qualname,
        f.line,
        *f.indicators.values(),
        *f.normalized.values(),
        *f.frameworks.values(),
        f.loop_chunking_potential,
        f.parallelization_potential,
        f.gpu_suitability,
        f.gpu_speedup,
        f.pattern_code,
        f.pattern,
    ]


def _function_template(layout: Layout, f: FunctionReport) -> Optional[str]:
    """The text of a function record of `f`'s shape with %s for its scalars, or None when _function_values
    does not give the scalars of to_dict in its order."""
    marks = iter(range(1, 10**6))
    probe = dataclasses.replace(
        f,
        **{
            field.name: {key: next(marks) for key in getattr(f, field.name)}
            if isinstance(getattr(f, field.name), dict)
            else "m%d" % next(marks)
            for field in dataclasses.fields(f)
        },
    )
    flat: List[Any] = []
    for value in probe.to_dict().values():
        flat.extend(value.values() if isinstance(value, dict) else [value])
    if flat != _function_values(probe):
        return None
    return layout.template(f.to_dict(), 4)


class JsonWriter(Writer):
    """One JSON document at the end: the settings, every file, error and skipped path, the summary.

    Each file's record is kept as its text, laid out as ``json.dump(doc, indent=2)`` lays it out.
    """

    # Where the files go in the document's text: a character that JSON text holds only escaped.
    _FILES = "\x01"

    def __init__(self, stdout: TextIO, settings: Dict[str, Any]):
        super().__init__(stdout)
        self.settings = settings
        self._layout = Layout(2)
        self._templates: Dict[Any, Optional[str]] = {}
        self._split = encoder("\n")
        self._files: List[str] = []
        self._errors: List[Dict[str, str]] = []
        self._skipped: List[Skipped] = []
        self._warnings: List[PathWarning] = []

    def begin(self, skipped: Sequence[Skipped], warnings: Sequence[PathWarning] = ()) -> None:
        self._skipped.extend(skipped)
        self._warnings.extend(warnings)

    def _function(self, f: FunctionReport) -> str:
        """``layout.record(f.to_dict(), 4)``, its scalars taken from `f` without building the dict."""
        shape = (tuple(f.indicators), tuple(f.normalized), tuple(f.frameworks))
        template = self._templates.get(shape, "")
        if template == "":
            template = self._templates[shape] = _function_template(self._layout, f)
        values = _function_values(f)
        if template is None or not all(map(SCALARS.__contains__, map(type, values))):
            return self._layout.record(f.to_dict(), 4)
        return template % tuple(self._split(values)[1:-1].split("\n"))

    def file(self, report: FileReport) -> None:
        functions = Laid(self._function(f) for f in report.functions)
        self._files.append(
            self._layout.dumps({"path": report.path, "imports": list(report.imports), "functions": functions}, 2)
        )

    def error(self, error: AnalysisError) -> None:
        self._errors.append(_error_record(error))

    def skipped(self, skipped: Skipped) -> None:
        self._skipped.append(skipped)

    def end(self, tally: Tally, top: Optional[TopCandidates]) -> None:
        doc = dict(self.settings)
        doc.update(
            files=Laid([self._FILES] if self._files else []),
            errors=self._errors,
            skipped=[_skipped_record(s) for s in self._skipped],
            warnings=[_warning_record(w) for w in self._warnings],
            summary=tally.to_dict(),
        )
        if top is not None:
            doc["top"] = top.to_list()
        head, _, tail = self._layout.dumps(doc).partition(self._FILES)
        write = self.stdout.write
        write(head)
        for i, text in enumerate(self._files):
            write(",\n    " + text if i else text)
        write(tail + "\n")


class JsonlWriter(Writer):
    """JSON Lines, each record written as soon as it is known: run, then file, error or skipped, then summary."""

    def __init__(self, stdout: TextIO, settings: Dict[str, Any]):
        super().__init__(stdout)
        self.settings = settings

    def _line(self, record: Dict[str, Any]) -> None:
        write_whole(self.stdout, json.dumps(record) + "\n")

    def begin(self, skipped: Sequence[Skipped], warnings: Sequence[PathWarning] = ()) -> None:
        self._line(dict(self.settings, type="run"))
        for w in warnings:
            self._line(dict(type="warning", **_warning_record(w)))
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
        if top is not None:
            last["top"] = top.to_list()
        self._line(last)

    def interrupted(self, tally: Tally) -> None:
        # The last record of a stream cut short, so that readers can tell it from a complete one.
        self._line(dict(type="interrupted", **tally.to_dict()))

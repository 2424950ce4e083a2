"""Tables: the columns of the per-file tables, which of them fit a width, their legend, and the table of one
file's functions."""

import shutil
from typing import Callable, NamedTuple, Optional, Sequence, TextIO, Tuple

from talvora.cli.common import is_terminal
from talvora.cli.scoring import FileReport, FunctionReport
from talvora.plugins.analyzer import INDICATOR_KINDS, PATTERN_NAMES


class Column(NamedTuple):
    """One column of the per-file table: its header, alignment and cell text."""

    name: str
    align: str
    cell: Callable[[FunctionReport], str]
    reserve: int  # widest cell expected, used to decide which columns fit


def _score(get: Callable[[FunctionReport], float]) -> Callable[[FunctionReport], str]:
    return lambda f: "%.2f" % get(f)


COLUMNS = (
    Column("function", "<", lambda f: f.qualname, 0),
    Column("line", ">", lambda f: str(f.line), 5),
    Column("indicators", "<", lambda f: "/".join(str(f.indicators[kind]) for kind in INDICATOR_KINDS), 20),
    Column("cpu", ">", _score(lambda f: f.normalized["cpu_intensity"]), 4),
    Column("mem", ">", _score(lambda f: f.normalized["memory_intensity"]), 4),
    Column("par", ">", _score(lambda f: f.normalized["parallel_score"]), 4),
    Column("gpu", ">", _score(lambda f: f.normalized["gpu_operation_score"]), 4),
    Column("data", ">", _score(lambda f: f.normalized["data_size_score"]), 4),
    Column("numpy", ">", _score(lambda f: f.frameworks["numpy"]), 5),
    Column("pandas", ">", _score(lambda f: f.frameworks["pandas"]), 6),
    Column("sklearn", ">", _score(lambda f: f.frameworks["sklearn"]), 7),
    Column("par_pot", ">", _score(lambda f: f.parallelization_potential), 7),
    Column("gpu_suit", ">", _score(lambda f: f.gpu_suitability), 8),
    Column("speedup", ">", lambda f: "%.1fx" % f.gpu_speedup, 7),
    Column("pattern", "<", lambda f: f.pattern, max(len(name) for name in PATTERN_NAMES)),
)
_BY_NAME = {c.name: c for c in COLUMNS}

# The compact table, and the order in which its optional columns give way on a narrow terminal.
COMPACT_COLUMNS = ("function", "line", "cpu", "mem", "par_pot", "gpu_suit", "speedup", "pattern")
DROP_ORDER = ("mem", "cpu", "speedup", "gpu_suit", "par_pot")
# Width of the compact table when the output is not a terminal, so that what scripts read does not
# depend on who ran them.
DEFAULT_WIDTH = 100
# Narrowest function column worth keeping an optional column for.
MIN_FUNCTION_WIDTH = 16
INDENT = 2
GAP = 2
ELLIPSIS = "..."

_NORMALISED = ("cpu", "mem", "par", "gpu", "data")
_FRAMEWORKS = ("numpy", "pandas", "sklearn")
_DERIVED = (
    ("par_pot", "parallelisation potential"),
    ("gpu_suit", "GPU suitability"),
    ("speedup", "estimated GPU speed-up"),
)


class TableLayout(NamedTuple):
    """The columns of the per-file tables of a run and the width their rows keep within (None: any)."""

    columns: Tuple[Column, ...]
    width: Optional[int]


def _fixed_width(names: Sequence[str]) -> int:
    return INDENT + sum(GAP + max(len(n), _BY_NAME[n].reserve) for n in names if n != "function")


def table_layout(width: Optional[int] = DEFAULT_WIDTH, wide: bool = False) -> TableLayout:
    """Every column at any width with `wide`; otherwise the compact columns that fit `width`."""
    if wide:
        return TableLayout(COLUMNS, None)
    names = list(COMPACT_COLUMNS)
    if width is not None:
        for name in DROP_ORDER:
            if width - _fixed_width(names) >= MIN_FUNCTION_WIDTH:
                break
            names.remove(name)
    return TableLayout(tuple(_BY_NAME[n] for n in names), width)


def legend(layout: TableLayout) -> str:
    """What the columns of `layout` hold, one line per group."""
    shown = {c.name for c in layout.columns}
    lines = []
    if "indicators" in shown:
        lines.append("indicators: counts of cpu/memory/parallel/gpu-op/large-data/embarrassing/sequential keywords")
    scores = []
    for names, what in ((_NORMALISED, "normalised scores"), (_FRAMEWORKS, "framework scores")):
        present = [n for n in names if n in shown]
        if present:
            scores.append("%s: %s" % (" ".join(present), what))
    if scores:
        lines.append("; ".join(scores))
    derived = ["%s: %s" % (n, what) for n, what in _DERIVED if n in shown]
    if derived:
        lines.append("; ".join(derived))
    hidden = [c.name for c in COLUMNS if c.name not in shown]
    if hidden:
        lines.append("--wide adds: %s" % " ".join(hidden))
    return "\n".join(lines)


def shorten(text: str, width: int) -> str:
    """`text` cut to `width` characters with an ellipsis in the middle, keeping more of the end."""
    if len(text) <= width:
        return text
    if width <= len(ELLIPSIS):
        return text[-width:] if width > 0 else ""
    keep = width - len(ELLIPSIS)
    head = keep // 2
    return text[:head] + ELLIPSIS + text[len(text) - (keep - head) :]


def format_table(report: FileReport, layout: Optional[TableLayout] = None) -> str:
    """The table of one file's functions, its rows within the layout's width."""
    if layout is None:
        layout = table_layout()
    count = len(report.functions)
    title = "%s: %d function%s" % (report.path, count, "" if count == 1 else "s")
    if not count:
        return title + "\n"
    columns = layout.columns
    rows = [[c.name for c in columns]] + [[c.cell(f) for c in columns] for f in report.functions]
    widths = [max(len(r[i]) for r in rows) for i in range(len(columns))]
    if layout.width is not None and columns[0].name == "function":
        others = INDENT + sum(GAP + w for w in widths[1:])
        widths[0] = min(widths[0], max(layout.width - others, len(columns[0].name)))
        for r in rows[1:]:
            r[0] = shorten(r[0], widths[0])
    lines = [title]
    for r in rows:
        cells = ["%*s" % (w if c.align == ">" else -w, cell) for cell, w, c in zip(r, widths, columns)]
        lines.append(" " * INDENT + (" " * GAP).join(cells).rstrip())
    return "\n".join(lines) + "\n"


def terminal_width(stream: TextIO) -> int:
    """The width tables on `stream` keep within: the terminal's, or `DEFAULT_WIDTH` when not a terminal."""
    if is_terminal(stream):
        return shutil.get_terminal_size((DEFAULT_WIDTH, 24)).columns
    return DEFAULT_WIDTH

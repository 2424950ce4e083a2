"""Tables: the columns of the per-file tables, which of them fit a width, their legend, and the table of one
file's functions."""

import shutil
from typing import Callable, NamedTuple, Optional, Sequence, TextIO, Tuple

from talvora.cli.common import is_terminal
from talvora.cli.scoring import FileReport, FunctionReport
from talvora.plugins.analyzer import INDICATOR_KINDS, PATTERN_NAMES


class Column(NamedTuple):
    """One column of the per-file table: its header, alignment, cell text and the field it shows."""

    name: str
    align: str
    cell: Callable[[FunctionReport], str]
    reserve: int  # widest cell expected, used to decide which columns fit
    field: str  # the field of the JSON function record, dotted below "normalized" and "frameworks"


def _score(get: Callable[[FunctionReport], float]) -> Callable[[FunctionReport], str]:
    return lambda f: "%.2f" % get(f)


def _normalised(name: str, key: str) -> Column:
    return Column(name, ">", _score(lambda f: f.normalized[key]), 4, "normalized." + key)


def _framework(name: str) -> Column:
    return Column(name, ">", _score(lambda f: f.frameworks[name]), len(name), "frameworks." + name)


COLUMNS = (
    Column("function", "<", lambda f: f.qualname, 0, "qualname"),
    Column("line", ">", lambda f: str(f.line), 5, "line"),
    Column(
        "indicators",
        "<",
        lambda f: "/".join(str(f.indicators[kind]) for kind in INDICATOR_KINDS),
        20,
        "indicators",
    ),
    _normalised("cpu", "cpu_intensity"),
    _normalised("mem", "memory_intensity"),
    _normalised("par", "parallel_score"),
    _normalised("gpu", "gpu_operation_score"),
    _normalised("data", "data_size_score"),
    _framework("numpy"),
    _framework("pandas"),
    _framework("sklearn"),
    Column("par_pot", ">", _score(lambda f: f.parallelization_potential), 7, "parallelization_potential"),
    Column("gpu_suit", ">", _score(lambda f: f.gpu_suitability), 8, "gpu_suitability"),
    Column("speedup", ">", lambda f: "%.1fx" % f.gpu_speedup, 7, "gpu_speedup"),
    Column("pattern", "<", lambda f: f.pattern, max(len(name) for name in PATTERN_NAMES), "pattern"),
)
_BY_NAME = {c.name: c for c in COLUMNS}

# The compact table, and the order in which its optional columns give way on a narrow terminal.
COMPACT_COLUMNS = ("function", "line", "cpu", "mem", "par_pot", "gpu_suit", "speedup", "pattern")
DROP_ORDER = ("mem", "cpu", "speedup", "gpu_suit", "par_pot")
# Columns that are the same for every function when no GPU is assumed (0.00 and 1.0x): left out then.
GPU_COLUMNS = ("gpu_suit", "speedup")
# Width of the compact table when the output is not a terminal, so that what scripts read does not
# depend on who ran them.
DEFAULT_WIDTH = 100
# Narrowest function column worth keeping an optional column for.
MIN_FUNCTION_WIDTH = 16
INDENT = 2
GAP = 2
ELLIPSIS = "..."


class TableLayout(NamedTuple):
    """The columns of the per-file tables of a run and the width their rows keep within (None: any)."""

    columns: Tuple[Column, ...]
    width: Optional[int]
    gpu: bool = True  # whether the GPU columns can vary (False: left out, every column list without them)


def _fixed_width(names: Sequence[str]) -> int:
    return INDENT + sum(GAP + max(len(n), _BY_NAME[n].reserve) for n in names if n != "function")


def table_layout(width: Optional[int] = DEFAULT_WIDTH, wide: bool = False, gpu: bool = True) -> TableLayout:
    """Every column at any width with `wide`; otherwise the compact columns that fit `width`.

    Without `gpu`, the GPU columns are left out: no GPU is assumed, so they
    hold the same values for every function.
    """
    names = [c.name for c in COLUMNS] if wide else list(COMPACT_COLUMNS)
    if not gpu:
        names = [n for n in names if n not in GPU_COLUMNS]
    if width is not None and not wide:
        for name in DROP_ORDER:
            if width - _fixed_width(names) >= MIN_FUNCTION_WIDTH:
                break
            if name in names:
                names.remove(name)
    return TableLayout(tuple(_BY_NAME[n] for n in names), None if wide else width, gpu)


def legend(layout: TableLayout) -> str:
    """What the columns of `layout` hold: the field of the JSON records each shows, and what --wide adds."""
    pairs = []
    for c in layout.columns:
        if c.name == "indicators":
            pairs.append("indicators = indicators (%s counts)" % "/".join(INDICATOR_KINDS))
        elif c.name != c.field:
            pairs.append("%s = %s" % (c.name, c.field))
    lines = []
    line = "columns (JSON fields):"
    for pair in pairs:
        if len(line) + len(pair) + 3 > DEFAULT_WIDTH:  # with the comma of a full line
            lines.append(line + ",")
            line = "  " + pair
        else:
            line += (" " if line.endswith(":") else ", ") + pair
    lines.append(line)
    available = [c for c in COLUMNS if layout.gpu or c.name not in GPU_COLUMNS]
    hidden = [c.name for c in available if c not in layout.columns]
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
    """The table of one file's functions, its rows within the layout's width; nothing for a file without any."""
    if layout is None:
        layout = table_layout()
    count = len(report.functions)
    if not count:
        return ""
    title = "%s: %d function%s" % (report.path, count, "" if count == 1 else "s")
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

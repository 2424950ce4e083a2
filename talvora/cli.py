"""Command line of talvora.

``talvora analyze [PATH ...]`` scores every function of Python source files
with the workload analysis module and classifies it; ``talvora plan`` sizes a
GPU array allocation and decides how to place it.  ``python -m talvora`` with
no arguments analyses the bundled example workloads.
"""

import argparse
import ast
import contextlib
import json
import os
import re
import shutil
import sys
import tokenize
from dataclasses import asdict, dataclass, field
from decimal import Decimal, InvalidOperation
from typing import Dict, Iterable, Iterator, List, Optional, Sequence, TextIO, Tuple, Union

PROG = "talvora"

# Workload pattern codes of determine_workload_pattern, by code.
PATTERN_NAMES = (
    "MIXED",
    "CPU_INTENSIVE",
    "MEMORY_INTENSIVE",
    "PARALLEL_FRIENDLY",
    "SEQUENTIAL",
    "GPU_SUITABLE",
    "GPU_COMPUTE_INTENSIVE",
    "GPU_MEMORY_BOUND",
    "NUMPY_VECTORIZED",
    "NUMPY_LINALG",
    "PANDAS_DATAFRAME",
    "PANDAS_GROUPBY",
    "SKLEARN_TRAINING",
    "SKLEARN_INFERENCE",
)

STRATEGY_NAMES = ("GPU_DIRECT", "GPU_CHUNKED", "CPU_FALLBACK")

INDICATOR_KINDS = ("cpu", "memory", "parallel", "gpu_op", "large_data", "embarrassing", "sequential")

# Progress is shown on a terminal once at least this many files are analysed.
PROGRESS_MIN_FILES = 10

INT32_MAX = 2**31 - 1
UINT64_MAX = 2**64 - 1


def pattern_name(code: int) -> str:
    """The name of a workload pattern code ("UNKNOWN(<code>)" outside the table)."""
    if 0 <= code < len(PATTERN_NAMES):
        return PATTERN_NAMES[code]
    return "UNKNOWN(%d)" % code


# ---------------------------------------------------------------------------
# Workload analysis


@dataclass(frozen=True)
class Thresholds:
    """Detection thresholds handed to determine_workload_pattern."""

    cpu: float = 0.25
    memory: float = 0.25
    gpu: float = 0.3
    numpy: float = 0.15
    pandas: float = 0.15
    sklearn: float = 0.15


@dataclass
class FunctionReport:
    """Scores and classification of one function."""

    name: str
    qualname: str
    line: int
    indicators: Dict[str, int]
    normalized: Dict[str, float]
    frameworks: Dict[str, float]
    loop_chunking_potential: float
    parallelization_potential: float
    gpu_suitability: float
    gpu_speedup: float
    pattern_code: int
    pattern: str

    def to_dict(self) -> dict:
        return asdict(self)


@dataclass
class FileReport:
    path: str
    functions: List[FunctionReport] = field(default_factory=list)


class AnalysisError(Exception):
    """A path that could not be analysed; the message names the path."""

    def __init__(self, path: str, message: str):
        super().__init__("%s: %s" % (path, message))
        self.path = path
        self.message = message


_STOP_NODES = (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda, ast.ClassDef)
_COMPREHENSIONS = (ast.ListComp, ast.SetComp, ast.DictComp, ast.GeneratorExp)


def _walk_local(node: ast.AST) -> Iterator[ast.AST]:
    """Nodes below `node`, not descending into nested functions or classes."""
    stack = list(ast.iter_child_nodes(node))
    while stack:
        n = stack.pop()
        yield n
        if not isinstance(n, _STOP_NODES):
            stack.extend(ast.iter_child_nodes(n))


def _breaks_out(body: Sequence[ast.stmt]) -> bool:
    """Whether a loop body leaves the loop early or suspends (break, return, yield, await)."""
    for stmt in body:
        for n in [stmt, *_walk_local(stmt)]:
            if isinstance(n, (ast.Return, ast.Yield, ast.YieldFrom, ast.Await)):
                return True
            if isinstance(n, ast.Break) and not _inside_inner_loop(stmt, n):
                return True
    return False


def _inside_inner_loop(root: ast.stmt, target: ast.AST) -> bool:
    """Whether `target` sits in a loop nested within `root` (so it breaks that loop)."""
    for n in [root, *_walk_local(root)]:
        if isinstance(n, (ast.For, ast.AsyncFor, ast.While)):
            if any(m is target for body in (n.body, n.orelse) for s in body for m in [s, *_walk_local(s)]):
                return True
    return False


def loop_chunking_potential(func: ast.AST) -> float:
    """Share of the function's loops whose iterations could be split into chunks.

    `for` loops and comprehensions count as chunkable unless their body breaks
    out, returns, yields or awaits; `while` loops never do (their trip count is
    unknown).  A function without loops scores 0.0.
    """
    loops = 0
    chunkable = 0
    for n in _walk_local(func):
        if isinstance(n, (ast.For, ast.AsyncFor)):
            loops += 1
            if not _breaks_out(n.body):
                chunkable += 1
        elif isinstance(n, ast.While):
            loops += 1
        elif isinstance(n, _COMPREHENSIONS):
            loops += 1
            elts = [n.key, n.value] if isinstance(n, ast.DictComp) else [n.elt]
            if not any(isinstance(m, (ast.Yield, ast.YieldFrom, ast.Await)) for e in elts for m in ast.walk(e)):
                chunkable += 1
    return chunkable / loops if loops else 0.0


FunctionNode = Union[ast.FunctionDef, ast.AsyncFunctionDef]


def _functions(tree: ast.AST) -> List[Tuple[FunctionNode, str]]:
    """Every function definition with its qualified name, in source order."""
    found: List[Tuple[FunctionNode, str]] = []
    stack: List[Tuple[ast.AST, str]] = [(tree, "")]
    while stack:  # iterative: long expressions nest deeply
        node, prefix = stack.pop()
        for child in ast.iter_child_nodes(node):
            if isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef)):
                qual = prefix + child.name
                found.append((child, qual))
                stack.append((child, qual + ".<locals>."))
            elif isinstance(child, ast.ClassDef):
                stack.append((child, prefix + child.name + "."))
            else:
                stack.append((child, prefix))
    found.sort(key=lambda item: (item[0].lineno, item[0].col_offset))
    return found


def score_function(
    code: str,
    name: str,
    chunking: float,
    gpu_available: bool = True,
    gpu_capability: Optional[str] = None,
    thresholds: Thresholds = Thresholds(),
) -> dict:
    """Scores one function's source text with the workload analysis module."""
    from talvora.plugins.analyzer import kelmarch as k

    counts = k.score_indicators(code, name)
    cpu, memory, parallel, gpu_op, large_data, embarrassing, sequential = counts
    cpu_i, mem_i, par_s, gpu_s, data_s = k.normalize_scores(cpu, memory, parallel, gpu_op, large_data)
    numpy_s, pandas_s, sklearn_s = k.score_framework_patterns(code)
    potential = k.calculate_parallelization_potential(par_s, embarrassing, sequential, chunking)
    suitability = k.calculate_gpu_suitability(gpu_s, data_s, cpu_i, gpu_available, gpu_capability)
    speedup = k.estimate_gpu_speedup(gpu_s, data_s, gpu_available)
    code_ = k.determine_workload_pattern(
        cpu_i, mem_i, potential, suitability, gpu_s, numpy_s, pandas_s, sklearn_s, sequential, embarrassing,
        thresholds.cpu, thresholds.memory, thresholds.gpu, thresholds.numpy, thresholds.pandas,
        thresholds.sklearn, gpu_available,
    )
    return {
        "indicators": dict(zip(INDICATOR_KINDS, counts)),
        "normalized": {
            "cpu_intensity": cpu_i,
            "memory_intensity": mem_i,
            "parallel_score": par_s,
            "gpu_operation_score": gpu_s,
            "data_size_score": data_s,
        },
        "frameworks": {"numpy": numpy_s, "pandas": pandas_s, "sklearn": sklearn_s},
        "loop_chunking_potential": chunking,
        "parallelization_potential": potential,
        "gpu_suitability": suitability,
        "gpu_speedup": speedup,
        "pattern_code": code_,
        "pattern": pattern_name(code_),
    }


def analyze_source(
    source: str,
    filename: str = "<string>",
    gpu_available: bool = True,
    gpu_capability: Optional[str] = None,
    thresholds: Thresholds = Thresholds(),
) -> List[FunctionReport]:
    """Scores every function of a module's source; raises SyntaxError if it does not parse."""
    tree = ast.parse(source, filename=filename)
    reports = []
    for node, qualname in _functions(tree):
        code = ast.get_source_segment(source, node) or ""
        scores = score_function(code, node.name, loop_chunking_potential(node), gpu_available, gpu_capability,
                                thresholds)
        reports.append(FunctionReport(name=node.name, qualname=qualname, line=node.lineno, **scores))
    return reports


def read_source(path: str) -> str:
    """Reads a Python source file honouring its encoding declaration."""
    try:
        with tokenize.open(path) as handle:
            return handle.read()
    except FileNotFoundError:
        raise AnalysisError(path, "no such file or directory") from None
    except IsADirectoryError:
        raise AnalysisError(path, "is a directory") from None
    except OSError as e:
        raise AnalysisError(path, "cannot read: %s" % (e.strerror or e)) from None
    except (SyntaxError, UnicodeDecodeError) as e:
        # tokenize.open reports a bad encoding declaration as SyntaxError.
        raise AnalysisError(path, "cannot decode: %s" % (getattr(e, "msg", None) or e)) from None


def analyze_file(path: str, **options) -> FileReport:
    source = read_source(path)
    try:
        functions = analyze_source(source, path, **options)
    except SyntaxError as e:
        where = ""
        if e.lineno:
            where = " at line %d" % e.lineno + (", column %d" % e.offset if e.offset else "")
        raise AnalysisError(path, "syntax error%s: %s" % (where, e.msg)) from None
    except ValueError as e:  # null bytes in the source (before 3.12)
        raise AnalysisError(path, "syntax error: %s" % e) from None
    except RecursionError:
        raise AnalysisError(path, "too deeply nested to analyse") from None
    return FileReport(path, functions)


def _skip_dir(name: str) -> bool:
    return name.startswith(".") or name == "__pycache__"


def expand_path(path: str) -> List[Tuple[str, Optional[AnalysisError]]]:
    """The files of one command-line path, as (file, error) pairs.

    A directory is searched recursively for ``*.py`` files (hidden directories
    and ``__pycache__`` skipped), in sorted order; a file named explicitly is
    taken whatever its suffix.  A path that does not exist or a directory that
    cannot be listed gives an error instead of a file.
    """
    if os.path.isdir(path):
        errors: List[OSError] = []
        found: List[Tuple[str, Optional[AnalysisError]]] = []
        for root, dirs, files in os.walk(path, onerror=errors.append):
            dirs[:] = sorted(d for d in dirs if not _skip_dir(d))
            found.extend((os.path.join(root, f), None) for f in sorted(files) if f.endswith(".py"))
        failed = [(e.filename or path, AnalysisError(e.filename or path, "cannot read: %s" % (e.strerror or e)))
                  for e in errors]
        return failed + found
    if os.path.exists(path):
        return [(path, None)]
    return [(path, AnalysisError(path, "no such file or directory"))]


class Progress:
    """A one-line progress indicator on a terminal stream."""

    def __init__(self, stream: TextIO, total: int):
        isatty = getattr(stream, "isatty", None)
        self.stream = stream
        self.total = total
        self.enabled = total >= PROGRESS_MIN_FILES and bool(isatty and isatty())
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


def bundled_examples() -> str:
    """Path of the bundled example workloads."""
    from talvora.examples import workloads

    return workloads.__file__


def analyze_paths(
    paths: Sequence[str],
    stderr: TextIO,
    gpu_available: bool = True,
    gpu_capability: Optional[str] = None,
    thresholds: Thresholds = Thresholds(),
) -> Tuple[List[FileReport], List[AnalysisError]]:
    """Analyses every file under `paths`, reporting errors on `stderr` as they occur."""
    items: List[Tuple[str, Optional[AnalysisError]]] = []
    for path in paths:
        expanded = expand_path(path)
        if not expanded:
            stderr.write("%s: warning: %s: no Python files found\n" % (PROG, path))
        items.extend(expanded)
    progress = Progress(stderr, sum(1 for _, err in items if err is None))
    reports: List[FileReport] = []
    errors: List[AnalysisError] = []
    done = 0
    for path, err in items:
        if err is None:
            done += 1
            progress.update(done, path)
            try:
                reports.append(
                    analyze_file(path, gpu_available=gpu_available, gpu_capability=gpu_capability,
                                 thresholds=thresholds)
                )
                continue
            except AnalysisError as e:
                err = e
        progress.clear()
        errors.append(err)
        stderr.write("%s: error: %s\n" % (PROG, err))
        stderr.flush()
    progress.clear()
    return reports, errors


def pattern_counts(reports: Iterable[FileReport]) -> Dict[str, int]:
    """Number of functions per pattern name, in pattern-code order (all fourteen)."""
    counts = dict.fromkeys(PATTERN_NAMES, 0)
    for r in reports:
        for f in r.functions:
            counts[f.pattern] = counts.get(f.pattern, 0) + 1
    return counts


_COLUMNS = (
    ("function", "<"),
    ("line", ">"),
    ("indicators", "<"),
    ("cpu", ">"),
    ("mem", ">"),
    ("par", ">"),
    ("gpu", ">"),
    ("data", ">"),
    ("numpy", ">"),
    ("pandas", ">"),
    ("sklearn", ">"),
    ("par_pot", ">"),
    ("gpu_suit", ">"),
    ("speedup", ">"),
    ("pattern", "<"),
)

LEGEND = (
    "indicators: counts of cpu/memory/parallel/gpu-op/large-data/embarrassing/sequential keywords\n"
    "cpu mem par gpu data: normalised scores; numpy pandas sklearn: framework scores\n"
    "par_pot: parallelisation potential; gpu_suit: GPU suitability; speedup: estimated GPU speed-up"
)


def _row(f: FunctionReport) -> List[str]:
    n = f.normalized
    fw = f.frameworks
    return [
        f.qualname,
        str(f.line),
        "/".join(str(f.indicators[kind]) for kind in INDICATOR_KINDS),
        "%.2f" % n["cpu_intensity"],
        "%.2f" % n["memory_intensity"],
        "%.2f" % n["parallel_score"],
        "%.2f" % n["gpu_operation_score"],
        "%.2f" % n["data_size_score"],
        "%.2f" % fw["numpy"],
        "%.2f" % fw["pandas"],
        "%.2f" % fw["sklearn"],
        "%.2f" % f.parallelization_potential,
        "%.2f" % f.gpu_suitability,
        "%.1fx" % f.gpu_speedup,
        f.pattern,
    ]


def format_table(report: FileReport) -> str:
    """The table of one file's functions."""
    count = len(report.functions)
    title = "%s: %d function%s" % (report.path, count, "" if count == 1 else "s")
    if not count:
        return title + "\n"
    rows = [[name for name, _ in _COLUMNS]] + [_row(f) for f in report.functions]
    widths = [max(len(r[i]) for r in rows) for i in range(len(_COLUMNS))]
    lines = [title]
    for r in rows:
        cells = ["%*s" % (w if align == ">" else -w, cell) for cell, w, (_, align) in zip(r, widths, _COLUMNS)]
        lines.append("  " + "  ".join(cells).rstrip())
    return "\n".join(lines) + "\n"


def format_summary(reports: Sequence[FileReport], errors: Sequence[AnalysisError]) -> str:
    files = len(reports)
    functions = sum(len(r.functions) for r in reports)
    lines = ["Summary: %d function%s in %d file%s" % (functions, "" if functions == 1 else "s", files,
                                                     "" if files == 1 else "s")]
    counts = pattern_counts(reports)
    width = max(len(name) for name in PATTERN_NAMES)
    for name, n in counts.items():
        if n:
            lines.append("  %-*s %d" % (width, name, n))
    if errors:
        lines.append("%d path%s could not be analysed" % (len(errors), "" if len(errors) == 1 else "s"))
    return "\n".join(lines) + "\n"


def run_analyze(args: argparse.Namespace, stdout: TextIO, stderr: TextIO) -> int:
    paths = args.paths or [bundled_examples()]
    gpu_available = not args.no_gpu
    thresholds = Thresholds()
    reports, errors = analyze_paths(paths, stderr, gpu_available, args.gpu_capability, thresholds)
    if args.json:
        doc = {
            "gpu_available": gpu_available,
            "gpu_capability": args.gpu_capability,
            "thresholds": asdict(thresholds),
            "files": [{"path": r.path, "functions": [f.to_dict() for f in r.functions]} for r in reports],
            "errors": [{"path": e.path, "error": e.message} for e in errors],
            "summary": {
                "files": len(reports),
                "functions": sum(len(r.functions) for r in reports),
                "patterns": pattern_counts(reports),
            },
        }
        json.dump(doc, stdout, indent=2)
        stdout.write("\n")
    else:
        if reports:
            stdout.write(LEGEND + "\n\n")
        for r in reports:
            stdout.write(format_table(r) + "\n")
        stdout.write(format_summary(reports, errors))
    return 1 if errors else 0


# ---------------------------------------------------------------------------
# GPU allocation planning

_SIZE_UNITS = {
    "": 1,
    "b": 1,
    "k": 2**10,
    "kib": 2**10,
    "kb": 10**3,
    "m": 2**20,
    "mib": 2**20,
    "mb": 10**6,
    "g": 2**30,
    "gib": 2**30,
    "gb": 10**9,
    "t": 2**40,
    "tib": 2**40,
    "tb": 10**12,
}
_SIZE_RE = re.compile(r"^\s*((?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?)\s*([A-Za-z]*)\s*$")


def parse_size(text: str) -> int:
    """A byte count such as ``8GiB``, ``512 MiB``, ``2GB``, ``1.5G`` or ``1000000``.

    Binary units: K, M, G, T and KiB, MiB, GiB, TiB (powers of 1024); decimal
    units: kB, MB, GB, TB (powers of 1000); B or no unit for bytes.  Units are
    case-insensitive.  The result must be a whole number of bytes that fits in
    64 bits.
    """
    m = _SIZE_RE.match(text)
    unit = m and _SIZE_UNITS.get(m.group(2).lower())
    if not m or unit is None:
        raise ValueError("invalid size %r (expected a byte count such as 1048576, 512MiB, 8GiB or 2GB)" % text)
    try:
        value = Decimal(m.group(1)) * unit
    except InvalidOperation:
        raise ValueError("invalid size %r" % text) from None
    if value != value.to_integral_value():
        raise ValueError("size %r is not a whole number of bytes" % text)
    n = int(value)
    if n > UINT64_MAX:
        raise ValueError("size %r is too large (at most %d bytes)" % (text, UINT64_MAX))
    return n


def parse_shape(text: str) -> Tuple[int, ...]:
    """An array shape such as ``100000,1000`` or ``64x64x3``; empty for a scalar."""
    cleaned = text.strip().strip("()[]").strip()
    if not cleaned:
        return ()
    parts = [p.strip() for p in re.split(r"[,xX]", cleaned)]
    if parts and parts[-1] == "" and "," in cleaned:
        parts.pop()  # trailing comma, as in "(5,)"
    dims = []
    for p in parts:
        if not re.fullmatch(r"\d+", p):
            raise ValueError("invalid shape %r (expected non-negative integers separated by commas, "
                             "such as 100000,1000)" % text)
        d = int(p)
        if d > INT32_MAX:
            raise ValueError("dimension %d of shape %r is too large (at most %d)" % (d, text, INT32_MAX))
        dims.append(d)
    return tuple(dims)


def parse_element_size(text: str) -> int:
    """A positive element size in bytes."""
    try:
        n = int(text.strip())
    except ValueError:
        raise ValueError("invalid element size %r (expected a positive number of bytes)" % text) from None
    if n < 1:
        raise ValueError("element size must be positive, got %d" % n)
    if n > INT32_MAX:
        raise ValueError("element size %d is too large (at most %d)" % (n, INT32_MAX))
    return n


def parse_headroom(text: str) -> float:
    """A headroom ratio: the fraction of available memory kept back, in [0, 1)."""
    try:
        h = float(text)
    except ValueError:
        raise ValueError("invalid headroom %r (expected a ratio such as 0.2)" % text) from None
    if not 0.0 <= h < 1.0:
        raise ValueError("headroom must be at least 0 and below 1, got %r" % text)
    return h


def parse_overhead(text: str) -> float:
    try:
        f = float(text)
    except ValueError:
        raise ValueError("invalid overhead factor %r (expected a number such as 1.2)" % text) from None
    if not f > 0.0 or f == float("inf"):
        raise ValueError("overhead factor must be a positive number, got %r" % text)
    return f


def _argtype(parse):
    def convert(text: str):
        try:
            return parse(text)
        except ValueError as e:
            raise argparse.ArgumentTypeError(str(e)) from None

    convert.__name__ = parse.__name__.replace("parse_", "")
    return convert


def human_bytes(n: int) -> str:
    """A byte count in binary units, e.g. 1.50 GiB."""
    value = float(n)
    for unit in ("B", "KiB", "MiB", "GiB", "TiB", "PiB"):
        if value < 1024 or unit == "PiB":
            return "%d B" % n if unit == "B" else "%.2f %s" % (value, unit)
        value /= 1024
    raise AssertionError("unreachable")


def plan_allocation(
    shape: Tuple[int, ...],
    element_size: int,
    available: int,
    headroom: float = 0.2,
    op: str = "zeros",
    overhead_factor: float = 1.0,
) -> dict:
    """Sizes an array allocation and decides how to place it on the GPU."""
    from talvora.gpu import drelling as d

    requested = d.estimate_allocation_bytes(shape, element_size, overhead_factor)
    safe = d.calculate_safe_limit(available, headroom)
    chunkable = d.is_chunkable_operation(op)
    strategy, chunk_size, chunk_count, message = d.decide_allocation_strategy(requested, available, headroom,
                                                                             chunkable)
    chunk_shapes = None
    row_bytes = element_size
    for dim in shape[1:]:
        row_bytes *= dim
    if strategy == 1:
        chunk_shapes = [list(s) for s in d.compute_chunk_shapes(shape, element_size, chunk_size)]
    return {
        "shape": list(shape),
        "element_size": element_size,
        "overhead_factor": overhead_factor,
        "allocation_bytes": requested,
        "available_bytes": available,
        "headroom_ratio": headroom,
        "safe_limit_bytes": safe,
        "operation": op,
        "chunkable": chunkable,
        "strategy_code": strategy,
        "strategy": STRATEGY_NAMES[strategy] if 0 <= strategy < len(STRATEGY_NAMES) else str(strategy),
        "message": message,
        "chunk_size_bytes": chunk_size,
        "chunk_count": chunk_count,
        "chunk_shapes": chunk_shapes,
        # Chunks hold whole rows (the first axis is split), so a row larger
        # than the chunk size makes every chunk exceed the safe limit.
        "row_bytes": row_bytes,
        "chunks_fit": None if chunk_shapes is None else row_bytes <= chunk_size,
    }


def _shape_text(shape: Sequence[int]) -> str:
    return "(%s)" % (", ".join(str(x) for x in shape) + ("," if len(shape) == 1 else ""))


def _runs(shapes: Sequence[Sequence[int]]) -> List[Tuple[Sequence[int], int]]:
    runs: List[Tuple[Sequence[int], int]] = []
    for s in shapes:
        if runs and runs[-1][0] == s:
            runs[-1] = (s, runs[-1][1] + 1)
        else:
            runs.append((s, 1))
    return runs


def format_plan(plan: dict) -> str:
    def size(n: int) -> str:
        return "%d bytes (%s)" % (n, human_bytes(n))

    rows = [
        ("Shape", "%s x %d bytes per element" % (_shape_text(plan["shape"]), plan["element_size"])),
        ("Allocation estimate", size(plan["allocation_bytes"])),
        ("Available", size(plan["available_bytes"])),
        ("Headroom", "%g" % plan["headroom_ratio"]),
        ("Safe limit", size(plan["safe_limit_bytes"])),
        ("Operation", "%s (%s)" % (plan["operation"], "chunkable" if plan["chunkable"] else "not chunkable")),
        ("Strategy", "%s - %s" % (plan["strategy"], plan["message"])),
    ]
    if plan["overhead_factor"] != 1.0:
        rows.insert(1, ("Overhead factor", "%g" % plan["overhead_factor"]))
    if plan["chunk_shapes"] is not None:
        rows.append(("Chunk size", size(plan["chunk_size_bytes"])))
        rows.append(("GPU passes", str(plan["chunk_count"])))
        rows.append(("Chunk shapes", "%d chunks of whole rows along the first axis" % len(plan["chunk_shapes"])))
    width = max(len(label) for label, _ in rows) + 1
    lines = ["%-*s %s" % (width, label + ":", value) for label, value in rows]
    if plan["chunk_shapes"] is not None:
        lines.extend("  %s x %d" % (_shape_text(s), n) for s, n in _runs(plan["chunk_shapes"]))
        if not plan["chunks_fit"]:
            lines.append("Warning: one row takes %d bytes, more than the chunk size; every chunk exceeds the "
                         "safe limit" % plan["row_bytes"])
    return "\n".join(lines) + "\n"


def run_plan(args: argparse.Namespace, stdout: TextIO, stderr: TextIO) -> int:
    plan = plan_allocation(args.shape, args.element_size, args.available, args.headroom, args.op,
                           args.overhead_factor)
    if args.json:
        json.dump(plan, stdout, indent=2)
        stdout.write("\n")
    else:
        stdout.write(format_plan(plan))
    return 0


# ---------------------------------------------------------------------------
# Entry point


_COMMANDS = ("analyze", "plan")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Workload analysis and GPU allocation planning of talvora. "
        "Without a command, runs analyze (with no path: on the bundled example workloads).",
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    an = sub.add_parser(
        "analyze",
        help="score and classify every function of Python source files",
        description="Scores every function of the given Python files (directories are searched "
        "recursively for *.py files) and classifies its workload pattern. Without a path, "
        "analyses the bundled example workloads.",
    )
    an.add_argument("paths", nargs="*", metavar="PATH", help="Python source file or directory")
    an.add_argument("--json", action="store_true", help="print machine-readable JSON")
    gpu = an.add_mutually_exclusive_group()
    gpu.add_argument("--gpu-capability", metavar="X.Y",
                     help="compute capability of the target GPU, such as 8.6 (default: unknown)")
    gpu.add_argument("--no-gpu", action="store_true", help="score as if no GPU were available")
    an.set_defaults(run=run_analyze)

    pl = sub.add_parser(
        "plan",
        help="plan a GPU array allocation",
        description="Estimates the bytes of an array allocation, the safe limit of the available "
        "GPU memory and the strategy: GPU direct, GPU chunked or CPU fallback.",
    )
    pl.add_argument("--shape", required=True, type=_argtype(parse_shape),
                    help="array shape, such as 100000,1000")
    pl.add_argument("--element-size", required=True, type=_argtype(parse_element_size), metavar="BYTES",
                    help="bytes per element, such as 8 for float64")
    pl.add_argument("--available", required=True, type=_argtype(parse_size), metavar="SIZE",
                    help="available GPU memory, such as 8GiB, 512MiB, 2GB or a byte count")
    pl.add_argument("--headroom", type=_argtype(parse_headroom), default=0.2, metavar="RATIO",
                    help="fraction of the available memory kept back (default: 0.2)")
    pl.add_argument("--op", default="zeros", metavar="NAME",
                    help="array operation, such as zeros, random.randn or matmul (default: zeros)")
    pl.add_argument("--overhead-factor", type=_argtype(parse_overhead), default=1.0, metavar="FACTOR",
                    help="multiplier for allocation overhead (default: 1.0)")
    pl.add_argument("--json", action="store_true", help="print machine-readable JSON")
    pl.set_defaults(run=run_plan)
    return parser


def main(argv: Optional[Sequence[str]] = None, stdout: Optional[TextIO] = None,
         stderr: Optional[TextIO] = None) -> int:
    """Runs the command line; returns the exit status."""
    argv = list(sys.argv[1:] if argv is None else argv)
    stdout = sys.stdout if stdout is None else stdout
    stderr = sys.stderr if stderr is None else stderr
    if not argv or argv[0] not in _COMMANDS + ("-h", "--help"):
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
        return args.run(args, stdout, stderr)
    except BrokenPipeError:
        # The reader of our output went away (as with `| head`): stop quietly.
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except (OSError, ValueError, AttributeError):
            pass
        return 1


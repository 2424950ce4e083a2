"""Command line of talvora.

``talvora analyze [PATH ...]`` scores every function of Python source files
with the workload analysis module and classifies it; ``talvora plan`` sizes a
GPU array allocation and decides how to place it.  ``python -m talvora`` with
no arguments analyses the bundled example workloads.
"""

import argparse
import ast
import contextlib
import fnmatch
import heapq
import io
import json
import os
import re
import shutil
import stat
import sys
import threading
import tokenize
from dataclasses import asdict, dataclass, field
from decimal import Decimal, InvalidOperation
from typing import (Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Sequence, TextIO, Tuple,
                    TypeVar, Union)

from talvora.gpu import strategy_name
from talvora.plugins.analyzer import INDICATOR_KINDS, PATTERN_NAMES, pattern_name

PROG = "talvora"


def version() -> str:
    """The installed package's version."""
    import talvora

    return str(talvora.__version__)

# Progress is shown on a terminal once at least this many files are analysed.
PROGRESS_MIN_FILES = 10

INT32_MAX = 2**31 - 1
UINT64_MAX = 2**64 - 1


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

    def to_dict(self) -> Dict[str, Any]:
        # What dataclasses.asdict gives, without its deep copy of every value.
        return {
            "name": self.name,
            "qualname": self.qualname,
            "line": self.line,
            "indicators": dict(self.indicators),
            "normalized": dict(self.normalized),
            "frameworks": dict(self.frameworks),
            "loop_chunking_potential": self.loop_chunking_potential,
            "parallelization_potential": self.parallelization_potential,
            "gpu_suitability": self.gpu_suitability,
            "gpu_speedup": self.gpu_speedup,
            "pattern_code": self.pattern_code,
            "pattern": self.pattern,
        }


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


# Node classes without children that matter here (contexts and operators): not visited.
_LEAVES = frozenset(cls for base in (ast.expr_context, ast.boolop, ast.operator, ast.unaryop, ast.cmpop)
                    for cls in base.__subclasses__())


def _children(node: ast.AST) -> List[ast.AST]:
    """The child nodes of `node` in field order, as ast.iter_child_nodes gives them, less the leaves."""
    found: List[ast.AST] = []
    for name in node._fields:
        value = getattr(node, name, None)
        if isinstance(value, list):
            found.extend(item for item in value if isinstance(item, ast.AST) and type(item) not in _LEAVES)
        elif isinstance(value, ast.AST) and type(value) not in _LEAVES:
            found.append(value)
    return found


def _walk_local(node: ast.AST) -> Iterator[ast.AST]:
    """Nodes below `node`, not descending into nested functions or classes."""
    stack = _children(node)
    while stack:
        n = stack.pop()
        yield n
        if not isinstance(n, _STOP_NODES):
            stack.extend(_children(n))


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
    counts = [0, 0]
    for n in _walk_local(func):
        _count_loop(n, counts)
    return _share(counts)


_LOOPS = (ast.For, ast.AsyncFor, ast.While) + _COMPREHENSIONS


def _count_loop(n: ast.AST, counts: List[int]) -> None:
    """Adds a loop node to counts = [loops, chunkable loops]; other nodes leave them."""
    if isinstance(n, (ast.For, ast.AsyncFor)):
        counts[0] += 1
        if not _breaks_out(n.body):
            counts[1] += 1
    elif isinstance(n, ast.While):
        counts[0] += 1
    elif isinstance(n, _COMPREHENSIONS):
        counts[0] += 1
        elts = [n.key, n.value] if isinstance(n, ast.DictComp) else [n.elt]
        if not any(isinstance(m, (ast.Yield, ast.YieldFrom, ast.Await)) for e in elts for m in ast.walk(e)):
            counts[1] += 1


def _share(counts: List[int]) -> float:
    loops, chunkable = counts
    return chunkable / loops if loops else 0.0


FunctionNode = Union[ast.FunctionDef, ast.AsyncFunctionDef]


_FUNCTIONS = (ast.FunctionDef, ast.AsyncFunctionDef)

# Fields that never hold a node that matters here (names, numbers, contexts, operators, imported names).
_SCALAR_FIELDS = frozenset({"id", "name", "asname", "arg", "attr", "n", "s", "kind", "type_comment", "module",
                            "level", "conversion", "is_async", "names", "ctx", "op", "tag"})
# Fields that hold statements (and the handlers and match cases that hold statements).
_STATEMENT_FIELDS = frozenset({"body", "orelse", "finalbody", "handlers", "cases"})
_STATEMENT_HOLDERS = (ast.stmt, ast.mod, ast.excepthandler) + tuple(
    cls for cls in (getattr(ast, "match_case", None),) if cls is not None)
_FIELDS: Dict[type, Tuple[Tuple[str, ...], Tuple[str, ...]]] = {}


def _fields(cls: type) -> Tuple[Tuple[str, ...], Tuple[str, ...]]:
    """(fields that may hold nodes, fields that hold statements) of a node class."""
    try:
        return _FIELDS[cls]
    except KeyError:
        every = tuple(f for f in getattr(cls, "_fields", ()) if f not in _SCALAR_FIELDS)
        if cls in _LEAVES or cls in (ast.Name, ast.Constant):
            every = ()
        statements = tuple(f for f in every if f in _STATEMENT_FIELDS) if issubclass(cls, _STATEMENT_HOLDERS) else ()
        _FIELDS[cls] = (every, statements)
        return _FIELDS[cls]


def _scan(tree: ast.AST) -> List[Tuple[FunctionNode, str, float]]:
    """Every function definition with its qualified name and loop chunking potential, in source order.

    One walk over the tree, with the qualified-name prefix of each scope and
    the loop counts of the function whose own code a node is, as
    loop_chunking_potential counts them.  Outside functions (modules, class
    bodies) only statements are visited: definitions are statements, and
    loops there count for no function; lambdas are not entered at all.
    """
    found: List[Tuple[FunctionNode, str, List[int]]] = []
    Counts = Optional[List[int]]
    stack: List[Tuple[ast.AST, str, Counts]] = [(tree, "", None)]
    fields = _fields
    AST = ast.AST
    while stack:  # iterative: long expressions nest deeply
        node, prefix, owner = stack.pop()
        every, statements = fields(type(node))
        for name in every if owner is not None else statements:
            value = getattr(node, name, None)
            if type(value) is list:
                children = value
            elif isinstance(value, AST):
                children = [value]
            else:
                continue
            for child in children:
                if not isinstance(child, AST):
                    continue
                if isinstance(child, _FUNCTIONS):
                    qual = prefix + child.name
                    counts = [0, 0]
                    found.append((child, qual, counts))
                    stack.append((child, qual + ".<locals>.", counts))
                elif isinstance(child, ast.ClassDef):
                    stack.append((child, prefix + child.name + ".", None))
                elif isinstance(child, ast.Lambda):
                    pass  # neither definitions nor counted loops inside
                else:
                    if owner is not None and isinstance(child, _LOOPS):
                        _count_loop(child, owner)
                    if fields(type(child))[0]:
                        stack.append((child, prefix, owner))
    found.sort(key=lambda item: (item[0].lineno, item[0].col_offset))
    return [(node, qual, _share(counts)) for node, qual, counts in found]


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


# Lines as the parser counts them: ended by "\r\n", "\r" or "\n" (a form feed
# does not end a line), each with its line break.
_LINE = re.compile(r"[^\r\n]*(?:\r\n|\r|\n)|[^\r\n]+\Z")


class SourceLines:
    """A source text split into lines once, to cut out the text of many nodes.

    ``segment(node)`` gives what ``ast.get_source_segment(source, node)`` gives,
    in time proportional to the segment rather than to the whole source.
    """

    def __init__(self, source: str):
        self.lines = _LINE.findall(source)

    def segment(self, node: ast.AST) -> Optional[str]:
        try:
            first, last = node.lineno - 1, node.end_lineno - 1  # type: ignore[attr-defined]
            start, end = node.col_offset, node.end_col_offset  # type: ignore[attr-defined]
        except AttributeError:
            return None
        if last is None or end is None:
            return None
        lines = self.lines
        # Column offsets count UTF-8 bytes.
        if first == last:
            return lines[first].encode()[start:end].decode()
        head = lines[first].encode()[start:].decode()
        tail = lines[last].encode()[:end].decode()
        return head + "".join(lines[first + 1:last]) + tail


def analyze_source(
    source: str,
    filename: str = "<string>",
    gpu_available: bool = True,
    gpu_capability: Optional[str] = None,
    thresholds: Thresholds = Thresholds(),
) -> List[FunctionReport]:
    """Scores every function of a module's source; raises SyntaxError if it does not parse."""
    tree = ast.parse(source, filename=filename)
    lines = SourceLines(source)
    reports = []
    for node, qualname, chunking in _scan(tree):
        code = lines.segment(node) or ""
        scores = score_function(code, node.name, chunking, gpu_available, gpu_capability, thresholds)
        reports.append(FunctionReport(name=node.name, qualname=qualname, line=node.lineno, **scores))
    return reports


def read_source(path: str) -> str:
    """Reads a Python source file honouring its encoding declaration.

    Only regular files are read: anything else (a FIFO, a device) raises
    NotRegularFile before its content is touched.
    """
    try:
        st = os.stat(path)
        if stat.S_ISDIR(st.st_mode):
            raise AnalysisError(path, "is a directory")
        if not stat.S_ISREG(st.st_mode):
            raise NotRegularFile(path)
        # Non-blocking, so that a path that has become a FIFO since does not wait for a writer.
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
        try:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                raise NotRegularFile(path)
            os.set_blocking(fd, True)
            raw = io.FileIO(fd, "rb")
        except BaseException:
            os.close(fd)
            raise
        raw.name = path  # named in the messages of detect_encoding
        with io.BufferedReader(raw) as buffer:
            encoding, _ = tokenize.detect_encoding(buffer.readline)
            buffer.seek(0)
            with io.TextIOWrapper(buffer, encoding, line_buffering=True) as text:
                return text.read()
    except FileNotFoundError:
        raise AnalysisError(path, "no such file or directory") from None
    except IsADirectoryError:
        raise AnalysisError(path, "is a directory") from None
    except OSError as e:
        raise AnalysisError(path, "cannot read: %s" % (e.strerror or e)) from None
    except (SyntaxError, UnicodeDecodeError) as e:
        # detect_encoding reports a bad encoding declaration as SyntaxError.
        raise AnalysisError(path, "cannot decode: %s" % (getattr(e, "msg", None) or e)) from None


class NotRegularFile(Exception):
    """A path that is neither a regular file nor a directory (a FIFO, a socket, a device)."""

    def __init__(self, path: str):
        super().__init__("%s: not a regular file" % path)
        self.path = path


# The parser and the conversion of its tree to Python objects recurse once per
# nesting level of an expression, on the C stack; some interpreters check no
# depth and overflow the stack of the main thread.  Each file is therefore
# parsed on a thread whose stack grows with the source, up to a cap: a level
# costs at most some 100 bytes and takes at least one character.
PARSE_STACK_PER_CHAR = 256
PARSE_STACK_MIN = 16 * 2**20
PARSE_STACK_MAX = 2**30

_T = TypeVar("_T")


def call_with_stack(stack_bytes: int, func: Callable[..., _T], *args: Any, **kwargs: Any) -> _T:
    """``func(*args, **kwargs)`` on a thread with a stack of `stack_bytes`; its result or its exception.

    Falls back to the calling thread when no such thread can be started.
    """
    outcome: List[Tuple[bool, Any]] = []

    def target() -> None:
        try:
            outcome.append((True, func(*args, **kwargs)))
        except BaseException as e:  # handed to the caller
            outcome.append((False, e))

    worker = threading.Thread(target=target, name="talvora-parse", daemon=True)
    try:
        previous = threading.stack_size(stack_bytes)
    except (ValueError, RuntimeError):
        return func(*args, **kwargs)
    try:
        worker.start()
    except RuntimeError:
        return func(*args, **kwargs)
    finally:
        threading.stack_size(previous)
    worker.join()
    ok, value = outcome[0]
    if ok:
        return value  # type: ignore[no-any-return]
    raise value


def _parse_stack(source: str) -> int:
    return min(max(len(source) * PARSE_STACK_PER_CHAR, PARSE_STACK_MIN), PARSE_STACK_MAX)


def analyze_file(path: str, **options: Any) -> FileReport:
    source = read_source(path)
    try:
        functions = call_with_stack(_parse_stack(source), analyze_source, source, path, **options)
    except SyntaxError as e:
        where = ""
        if e.lineno:
            where = " at line %d" % e.lineno + (", column %d" % e.offset if e.offset else "")
        raise AnalysisError(path, "syntax error%s: %s" % (where, e.msg)) from None
    except ValueError as e:  # null bytes in the source (before 3.12)
        raise AnalysisError(path, "syntax error: %s" % e) from None
    except RecursionError:
        raise AnalysisError(path, "too deeply nested to analyse") from None
    except MemoryError:
        # The parser's own limit on right-recursive nesting raises MemoryError.
        raise AnalysisError(path, "too deeply nested or too large to analyse") from None
    return FileReport(path, functions)


# Skipped while searching directories unless --no-default-excludes is given.
# A trailing "/" matches directories only.
DEFAULT_EXCLUDES = (".*/", "__pycache__/", "test/", "tests/", "test_*.py", "*_test.py", "conftest.py")


def exclusion(relpath: str, is_dir: bool, patterns: Sequence[str]) -> Optional[str]:
    """The first pattern that excludes `relpath` (relative to a searched directory, "/"-separated), if any.

    A pattern without "/" (apart from a trailing one) matches the last path
    component, so ``tests/`` excludes every directory named tests; one with a
    "/" matches the whole relative path, as in ``pkg/*/fixtures``.  ``*``
    matches "/" too; matching is case-sensitive.
    """
    name = relpath.rsplit("/", 1)[-1]
    for pattern in patterns:
        body = pattern[:-1] if pattern.endswith("/") else pattern
        if body != pattern and not is_dir:
            continue
        if fnmatch.fnmatchcase(relpath if "/" in body else name, body):
            return pattern
    return None


class Skipped(NamedTuple):
    """A path left out of the analysis, with the reason."""

    path: str
    reason: str
    pattern: Optional[str] = None  # the exclude pattern, when excluded by one


def expand_path(path: str, excludes: Sequence[str] = (), skipped: Optional[List[Skipped]] = None,
                ) -> List[Tuple[str, Optional[AnalysisError]]]:
    """The files of one command-line path, as (file, error) pairs.

    A directory is searched recursively for ``*.py`` files in sorted order;
    directories and files matching one of `excludes` are left out and
    recorded in `skipped`.  A file named explicitly is taken whatever its
    suffix.  A path that does not exist or a directory that cannot be listed
    gives an error instead of a file.
    """
    if skipped is None:
        skipped = []
    if os.path.isdir(path):
        errors: List[OSError] = []
        found: List[Tuple[str, Optional[AnalysisError]]] = []
        for root, dirs, files in os.walk(path, onerror=errors.append):
            rel = os.path.relpath(root, path).replace(os.sep, "/")
            prefix = "" if rel == "." else rel + "/"
            kept = []
            for d in sorted(dirs):
                hit = exclusion(prefix + d, True, excludes)
                if hit is None:
                    kept.append(d)
                else:
                    skipped.append(Skipped(os.path.join(root, d), "excluded by %s" % hit, hit))
            dirs[:] = kept
            for f in sorted(files):
                if not f.endswith(".py"):
                    continue
                hit = exclusion(prefix + f, False, excludes)
                if hit is None:
                    found.append((os.path.join(root, f), None))
                else:
                    skipped.append(Skipped(os.path.join(root, f), "excluded by %s" % hit, hit))
        failed = [(e.filename or path, AnalysisError(e.filename or path, "cannot read: %s" % (e.strerror or e)))
                  for e in errors]
        return failed + found
    if os.path.exists(path):
        return [(path, None)]
    return [(path, AnalysisError(path, "no such file or directory"))]


def _is_terminal(stream: TextIO) -> bool:
    isatty = getattr(stream, "isatty", None)
    return bool(isatty and isatty())


class Progress:
    """A one-line progress indicator on a terminal stream."""

    def __init__(self, stream: TextIO, total: int):
        self.stream = stream
        self.total = total
        self.enabled = total >= PROGRESS_MIN_FILES and _is_terminal(stream)
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

    return str(workloads.__file__)


Outcome = Union[FileReport, AnalysisError, Skipped]
Item = Tuple[str, Optional[AnalysisError]]


def collect_files(paths: Sequence[str], stderr: TextIO, excludes: Sequence[str] = (),
                  skipped: Optional[List[Skipped]] = None) -> List[Item]:
    """The files under `paths` as (file, error) pairs; warns of paths without Python files."""
    items: List[Item] = []
    for path in paths:
        expanded = expand_path(path, excludes, skipped)
        if not expanded:
            stderr.write("%s: warning: %s: no Python files found\n" % (PROG, path))
        items.extend(expanded)
    return items


def analyze_items(
    items: Sequence[Item],
    stderr: TextIO,
    gpu_available: bool = True,
    gpu_capability: Optional[str] = None,
    thresholds: Thresholds = Thresholds(),
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
                    outcome = analyze_file(path, gpu_available=gpu_available, gpu_capability=gpu_capability,
                                           thresholds=thresholds)
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


def analyze_paths(
    paths: Sequence[str],
    stderr: TextIO,
    gpu_available: bool = True,
    gpu_capability: Optional[str] = None,
    thresholds: Thresholds = Thresholds(),
) -> Tuple[List[FileReport], List[AnalysisError]]:
    """Analyses every file under `paths`, reporting errors on `stderr` as they occur."""
    reports: List[FileReport] = []
    errors: List[AnalysisError] = []
    items = collect_files(paths, stderr)
    for outcome in analyze_items(items, stderr, gpu_available, gpu_capability, thresholds):
        if isinstance(outcome, FileReport):
            reports.append(outcome)
        elif isinstance(outcome, AnalysisError):
            errors.append(outcome)
    return reports, errors


# Patterns that name no acceleration: not listed by --top.
NOT_CANDIDATES = ("MIXED", "SEQUENTIAL")


def candidate_score(f: FunctionReport) -> float:
    """How strongly a function calls for acceleration: its strongest score.

    The largest of its parallelisation potential, GPU suitability, CPU
    intensity and framework scores, all in [0, 1].
    """
    return max(f.parallelization_potential, f.gpu_suitability, f.normalized["cpu_intensity"],
               *f.frameworks.values())


class TopCandidates:
    """The `n` functions with the highest candidate score, kept while files stream by."""

    def __init__(self, n: int):
        self.n = n
        self._heap: List[Tuple[float, int, str, FunctionReport]] = []
        self._seen = 0

    def add(self, report: FileReport) -> None:
        for f in report.functions:
            if self.n <= 0 or f.pattern in NOT_CANDIDATES:
                continue
            # Ties go to the function seen first; the counter is negated so that it loses the min-heap.
            self._seen += 1
            entry = (candidate_score(f), -self._seen, report.path, f)
            if len(self._heap) < self.n:
                heapq.heappush(self._heap, entry)
            elif entry[:2] > self._heap[0][:2]:
                heapq.heapreplace(self._heap, entry)

    def ranked(self) -> List[Tuple[float, str, FunctionReport]]:
        return [(score, path, f) for score, _, path, f in sorted(self._heap, key=lambda e: e[:2], reverse=True)]

    def to_list(self) -> List[Dict[str, Any]]:
        return [{"score": score, "path": path, "qualname": f.qualname, "line": f.line, "pattern": f.pattern}
                for score, path, f in self.ranked()]


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
_DERIVED = (("par_pot", "parallelisation potential"), ("gpu_suit", "GPU suitability"),
            ("speedup", "estimated GPU speed-up"))


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


LEGEND = legend(table_layout(wide=True))


def shorten(text: str, width: int) -> str:
    """`text` cut to `width` characters with an ellipsis in the middle, keeping more of the end."""
    if len(text) <= width:
        return text
    if width <= len(ELLIPSIS):
        return text[-width:] if width > 0 else ""
    keep = width - len(ELLIPSIS)
    head = keep // 2
    return text[:head] + ELLIPSIS + text[len(text) - (keep - head):]


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


class Tally:
    """Counts of a run, kept as files stream by."""

    def __init__(self) -> None:
        self.files = 0
        self.functions = 0
        self.errors = 0
        self.patterns = dict.fromkeys(PATTERN_NAMES, 0)

    def add(self, report: FileReport) -> None:
        self.files += 1
        self.functions += len(report.functions)
        for f in report.functions:
            self.patterns[f.pattern] = self.patterns.get(f.pattern, 0) + 1

    def to_dict(self) -> Dict[str, Any]:
        return {"files": self.files, "functions": self.functions, "patterns": dict(self.patterns)}


def _plural(n: int, word: str) -> str:
    return "%d %s%s" % (n, word, "" if n == 1 else "s")


def format_tally(tally: Tally) -> str:
    lines = ["Summary: %s in %s" % (_plural(tally.functions, "function"), _plural(tally.files, "file"))]
    width = max(len(name) for name in PATTERN_NAMES)
    for name, n in tally.patterns.items():
        if n:
            lines.append("  %-*s %d" % (width, name, n))
    if tally.errors:
        lines.append("%s could not be analysed" % _plural(tally.errors, "path"))
    return "\n".join(lines) + "\n"


def format_top(top: TopCandidates) -> str:
    ranked = top.ranked()
    lines = ["Top %s (score: the largest of par_pot, gpu_suit, cpu and the framework scores):"
             % _plural(len(ranked), "candidate")]
    width = max((len(f.pattern) for _, _, f in ranked), default=0)
    for i, (score, path, f) in enumerate(ranked, 1):
        lines.append("  %*d. %.2f  %-*s %s:%d %s" % (len(str(len(ranked))), i, score, width, f.pattern, path,
                                                     f.line, f.qualname))
    return "\n".join(lines) + "\n"


def format_exclusions(skipped: Sequence[Skipped], defaults: bool) -> Optional[str]:
    """One note line on what the exclude patterns left out, or None when nothing was."""
    counts: Dict[str, int] = {}
    for s in skipped:
        if s.pattern is not None:
            counts[s.pattern] = counts.get(s.pattern, 0) + 1
    if not counts:
        return None
    text = "%s: note: excluded %s" % (PROG, ", ".join("%d matching %s" % (n, p) for p, n in counts.items()))
    if defaults and any(p in DEFAULT_EXCLUDES for p in counts):
        text += " (--no-default-excludes includes them)"
    return text + "\n"


SCHEMA_VERSION = 1


def _skipped_record(s: Skipped) -> Dict[str, str]:
    return {"path": s.path, "reason": s.reason}


def _json_line(record: Dict[str, Any], stdout: TextIO) -> None:
    stdout.write(json.dumps(record) + "\n")
    stdout.flush()


def terminal_width(stream: TextIO) -> int:
    """The width tables on `stream` keep within: the terminal's, or `DEFAULT_WIDTH` when not a terminal."""
    if _is_terminal(stream):
        return shutil.get_terminal_size((DEFAULT_WIDTH, 24)).columns
    return DEFAULT_WIDTH


def run_analyze(args: argparse.Namespace, stdout: TextIO, stderr: TextIO) -> int:
    paths = args.paths or [bundled_examples()]
    gpu_capability = args.gpu_capability
    gpu_available = gpu_capability is not None
    thresholds = Thresholds()
    defaults = not args.no_default_excludes
    excludes = (list(DEFAULT_EXCLUDES) if defaults else []) + list(args.exclude)
    mode = "json" if args.json else "jsonl" if args.jsonl else "table"
    top = TopCandidates(args.top) if args.top is not None else None
    layout = table_layout(terminal_width(stdout), args.wide)
    settings: Dict[str, Any] = {
        "schema_version": SCHEMA_VERSION,
        "gpu_available": gpu_available,
        "gpu_capability": gpu_capability,
        "thresholds": asdict(thresholds),
    }
    skipped: List[Skipped] = []
    items = collect_files(paths, stderr, excludes, skipped)
    note = format_exclusions(skipped, defaults)
    if note:
        stderr.write(note)
    if mode == "jsonl":
        _json_line(dict(settings, type="run"), stdout)
        for s in skipped:
            _json_line(dict(type="skipped", **_skipped_record(s)), stdout)
    tally = Tally()
    files: List[Dict[str, Any]] = []
    errors: List[Dict[str, str]] = []
    for outcome in analyze_items(items, stderr, gpu_available, gpu_capability, thresholds):
        if isinstance(outcome, FileReport):
            tally.add(outcome)
            if top is not None:
                top.add(outcome)
            record: Dict[str, Any] = {"path": outcome.path, "functions": [f.to_dict() for f in outcome.functions]}
            if mode == "json":
                files.append(record)
            elif mode == "jsonl":
                _json_line(dict(record, type="file"), stdout)
            else:
                if tally.files == 1:
                    stdout.write(legend(layout) + "\n\n")
                stdout.write(format_table(outcome, layout) + "\n")
                stdout.flush()
        elif isinstance(outcome, AnalysisError):
            tally.errors += 1
            error = {"path": outcome.path, "error": outcome.message}
            if mode == "json":
                errors.append(error)
            elif mode == "jsonl":
                _json_line(dict(error, type="error"), stdout)
        else:
            skipped.append(outcome)
            if mode == "jsonl":
                _json_line(dict(type="skipped", **_skipped_record(outcome)), stdout)
    summary = tally.to_dict()
    if mode == "json":
        doc = dict(settings)
        doc.update(files=files, errors=errors, skipped=[_skipped_record(s) for s in skipped],
                   summary=summary)
        if top is not None:
            doc["top"] = top.to_list()
        json.dump(doc, stdout, indent=2)
        stdout.write("\n")
    elif mode == "jsonl":
        last: Dict[str, Any] = {"type": "summary"}
        last.update(summary)
        last["errors"] = tally.errors
        if top is not None:
            last["top"] = top.to_list()
        _json_line(last, stdout)
    else:
        stdout.write(format_tally(tally))
        if top is not None:
            stdout.write("\n" + format_top(top))
    return 1 if tally.errors else 0


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


def parse_capability(text: str) -> str:
    """A GPU compute capability such as ``8.6``: major and minor version numbers."""
    cleaned = text.strip()
    if not re.fullmatch(r"\d{1,4}\.\d{1,4}", cleaned):
        raise ValueError("invalid compute capability %r (expected X.Y, such as 8.6)" % text)
    return cleaned


def parse_top(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        raise ValueError("invalid count %r (expected a positive number)" % text) from None
    if n < 1:
        raise ValueError("count must be positive, got %d" % n)
    return n


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


def _row_bytes(shape: Sequence[int], element_size: int) -> int:
    """Bytes of one row along the first axis (of the whole array for a scalar shape)."""
    row = element_size
    for dim in shape[1:]:
        row *= dim
    return row


def chunk_groups(shape: Sequence[int], element_size: int, max_chunk_bytes: int) -> List[Tuple[Tuple[int, ...], int]]:
    """The chunk shapes of ``compute_chunk_shapes`` as (shape, count) groups, computed without listing them.

    For non-negative dimensions the groups expand to exactly the library's
    list: chunks of whole rows along the first axis, all full but the last.
    """
    if not shape:
        return [(tuple(shape), 1)]
    first, tail = shape[0], tuple(shape[1:])
    if first < 1:
        return []
    row = _row_bytes(shape, element_size)
    if row == 0:
        per_chunk = first  # rows without bytes: all in one chunk
    elif row > max_chunk_bytes:
        per_chunk = 1  # a row beyond the limit is a chunk of its own
    else:
        per_chunk = max_chunk_bytes // row
    full, rest = divmod(first, per_chunk)
    groups = [((per_chunk,) + tail, full)] if full else []
    if rest:
        groups.append(((rest,) + tail, 1))
    return groups


def plan_allocation(
    shape: Tuple[int, ...],
    element_size: int,
    available: int,
    headroom: float = 0.2,
    op: str = "zeros",
    overhead_factor: float = 1.0,
) -> Dict[str, Any]:
    """Sizes an array allocation and decides how to place it on the GPU."""
    from talvora.gpu import drelling as d

    requested = d.estimate_allocation_bytes(shape, element_size, overhead_factor)
    safe = d.calculate_safe_limit(available, headroom)
    chunkable = d.is_chunkable_operation(op)
    strategy, chunk_size, chunk_count, message = d.decide_allocation_strategy(requested, available, headroom,
                                                                             chunkable)
    groups = None
    row_bytes = _row_bytes(shape, element_size)
    if strategy == 1:
        groups = chunk_groups(shape, element_size, chunk_size)
    return {
        "schema_version": SCHEMA_VERSION,
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
        "strategy": strategy_name(strategy),
        "message": message,
        "chunk_size_bytes": chunk_size,
        "chunk_count": chunk_count,
        # Equal chunk shapes grouped, in order: a huge shape makes billions of chunks.
        "chunk_groups": None if groups is None else [{"shape": list(s), "count": n} for s, n in groups],
        "chunks": None if groups is None else sum(n for _, n in groups),
        # Chunks hold whole rows (the first axis is split), so a row larger
        # than the chunk size makes every chunk exceed the safe limit.
        "row_bytes": row_bytes,
        "chunks_fit": None if groups is None else row_bytes <= chunk_size,
    }


def _shape_text(shape: Sequence[int]) -> str:
    return "(%s)" % (", ".join(str(x) for x in shape) + ("," if len(shape) == 1 else ""))


def format_plan(plan: Dict[str, Any]) -> str:
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
    groups = plan["chunk_groups"]
    if groups is not None:
        rows.append(("Chunk size", size(plan["chunk_size_bytes"])))
        rows.append(("GPU passes", str(plan["chunk_count"])))
        rows.append(("Chunk shapes", "%d chunks of whole rows along the first axis" % plan["chunks"]))
    width = max(len(label) for label, _ in rows) + 1
    lines = ["%-*s %s" % (width, label + ":", value) for label, value in rows]
    if groups is not None:
        lines.extend("  %s x %d" % (_shape_text(g["shape"]), g["count"]) for g in groups)
        if plan["chunks"] != plan["chunk_count"] and groups:
            rows_per_chunk = groups[0]["shape"][0]
            lines.append("Chunks hold whole rows of %d bytes: %d chunks of up to %s, against %d passes "
                         "counted in bytes" % (plan["row_bytes"], plan["chunks"], _plural(rows_per_chunk, "row"),
                                               plan["chunk_count"]))
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
    out.add_argument("--jsonl", action="store_true",
                     help="print JSON Lines: a run record, then one record per file as it is analysed, "
                     "then a summary")
    an.add_argument("--exclude", action="append", default=[], metavar="GLOB",
                    help="leave out files and directories matching GLOB while searching directories "
                    "(repeatable; a trailing / matches directories only, a GLOB with / matches the path "
                    "below the searched directory)")
    an.add_argument("--no-default-excludes", action="store_true",
                    help="also search %s" % " ".join(DEFAULT_EXCLUDES))
    an.add_argument("--wide", action="store_true",
                    help="show every column of the tables, with full function names, however wide "
                    "(default: the main scores, within the terminal's width or %d columns)" % DEFAULT_WIDTH)
    an.add_argument("--top", type=_argtype(parse_top), metavar="N",
                    help="after the summary, list the N strongest acceleration candidates")
    gpu = an.add_mutually_exclusive_group()
    gpu.add_argument("--gpu-capability", type=_argtype(parse_capability), metavar="X.Y",
                     help="score for a GPU of this compute capability, such as 8.6 (default: no GPU)")
    gpu.add_argument("--no-gpu", action="store_true", help="score as if no GPU were available (the default)")
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


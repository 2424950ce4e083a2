"""Ranking and counting: the strongest acceleration candidates and the counts of a run, kept as files stream
by, and the text of both."""

import heapq
from typing import Any, Dict, List, NamedTuple, Sequence, Tuple

from talvora.cli.common import plural
from talvora.cli.evidence import FRAMEWORKS, matched_words
from talvora.cli.scoring import FileReport, FunctionReport
from talvora.plugins.analyzer import PATTERN_NAMES

# Candidates listed in the tables when --top is not given.
DEFAULT_TOP = 10

# Patterns that name no acceleration: not ranked.
NOT_CANDIDATES = ("MIXED", "SEQUENTIAL")

# The scores a candidate is ranked by, under their names in the JSON records.
RANKING_SCORES = ("parallelization_potential", "gpu_suitability", "cpu_intensity") + FRAMEWORKS

ORDER = "by score (the largest of %s), then path and line"

# The tables of matched words that bear on each pattern, shown as its evidence.
EVIDENCE_KINDS = {
    "CPU_INTENSIVE": ("cpu",),
    "MEMORY_INTENSIVE": ("memory",),
    "PARALLEL_FRIENDLY": ("parallel", "embarrassing"),
    "GPU_SUITABLE": ("gpu_op", "large_data"),
    "GPU_COMPUTE_INTENSIVE": ("gpu_op", "cpu"),
    "GPU_MEMORY_BOUND": ("gpu_op", "memory"),
    "NUMPY_VECTORIZED": ("numpy",),
    "PANDAS_DATAFRAME": ("pandas",),
    "SKLEARN_TRAINING": ("sklearn",),
}
# The framework whose import a pattern presumes.
PATTERN_FRAMEWORK = {"NUMPY_VECTORIZED": "numpy", "PANDAS_DATAFRAME": "pandas", "SKLEARN_TRAINING": "sklearn"}
# Matched words shown per table in the text; JSON has them all.
MAX_WORDS = 6
# Width the evidence lines keep within where they can.
WIDTH = 100


def ranking_scores(f: FunctionReport) -> Dict[str, float]:
    """The scores a function is ranked by, by name."""
    return {
        "parallelization_potential": f.parallelization_potential,
        "gpu_suitability": f.gpu_suitability,
        "cpu_intensity": f.normalized["cpu_intensity"],
        **{name: f.frameworks[name] for name in FRAMEWORKS},
    }


def candidate_score(f: FunctionReport) -> float:
    """How strongly a function calls for acceleration: the largest of its ranking scores, all in [0, 1]."""
    return max(ranking_scores(f).values())


class Candidate(NamedTuple):
    score: float
    path: str
    function: FunctionReport
    imports: Tuple[str, ...]

    @property
    def key(self) -> Tuple[float, str, int, str]:
        """Sort key: the higher score first, then path, line and name."""
        return (-self.score, self.path, self.function.line, self.function.qualname)

    def ranked_by(self) -> str:
        """The name of the score that gave the candidate its score (the first of RANKING_SCORES on a tie)."""
        scores = ranking_scores(self.function)
        return next(name for name in RANKING_SCORES if scores[name] == self.score)

    def to_dict(self) -> Dict[str, Any]:
        f = self.function
        return {
            "score": self.score,
            "ranked_by": self.ranked_by(),
            "scores": ranking_scores(f),
            "path": self.path,
            "qualname": f.qualname,
            "line": f.line,
            "pattern": f.pattern,
            "matched": matched_words(f.code, f.name),
            "imports": list(self.imports),
        }


class _Worst:
    """A heap entry that orders the worst candidate first, so the heap's root is the one to give way."""

    __slots__ = ("key", "candidate")

    def __init__(self, candidate: Candidate):
        self.key = candidate.key
        self.candidate = candidate

    def __lt__(self, other: "_Worst") -> bool:
        return self.key > other.key


class TopCandidates:
    """The `n` best candidates, kept while files stream by, in the order of ORDER."""

    def __init__(self, n: int):
        self.n = n
        self._heap: List[_Worst] = []

    def add(self, report: FileReport) -> None:
        for f in report.functions:
            if self.n <= 0 or f.pattern in NOT_CANDIDATES:
                continue
            entry = _Worst(Candidate(candidate_score(f), report.path, f, report.imports))
            if len(self._heap) < self.n:
                heapq.heappush(self._heap, entry)
            elif entry.key < self._heap[0].key:
                heapq.heapreplace(self._heap, entry)

    def candidates(self) -> List[Candidate]:
        return sorted((e.candidate for e in self._heap), key=lambda c: c.key)

    def ranked(self) -> List[Tuple[float, str, FunctionReport]]:
        return [(c.score, c.path, c.function) for c in self.candidates()]

    def to_list(self) -> List[Dict[str, Any]]:
        return [c.to_dict() for c in self.candidates()]


class Tally:
    """Counts of a run, kept as files stream by."""

    def __init__(self) -> None:
        self.files = 0
        self.functions = 0
        self.errors = 0
        self.seconds = 0.0
        self.patterns = dict.fromkeys(PATTERN_NAMES, 0)

    def add(self, report: FileReport) -> None:
        self.files += 1
        self.functions += len(report.functions)
        for f in report.functions:
            self.patterns[f.pattern] = self.patterns.get(f.pattern, 0) + 1

    def to_dict(self) -> Dict[str, Any]:
        return {
            "files": self.files,
            "functions": self.functions,
            "errors": self.errors,
            "patterns": dict(self.patterns),
        }


def format_tally(tally: Tally) -> str:
    lines = [
        "Summary: %s in %s, %.2f s" % (plural(tally.functions, "function"), plural(tally.files, "file"), tally.seconds)
    ]
    width = max(len(name) for name in PATTERN_NAMES)
    for name, n in tally.patterns.items():
        if n:
            lines.append(
                "  %-*s %*d  %5.1f %%" % (width, name, len(str(tally.functions)), n, 100.0 * n / tally.functions)
            )
    if tally.errors:
        lines.append("%s could not be analysed" % plural(tally.errors, "path"))
    return "\n".join(lines) + "\n"


def no_candidates(tally: Tally) -> str:
    """Why no function was ranked."""
    if not tally.functions:
        return "No candidates: no functions were analysed."
    kinds = [name for name in NOT_CANDIDATES if tally.patterns.get(name)]
    if tally.functions == 1:
        return "No candidates: the one function analysed is %s." % kinds[0]
    detail = ", ".join("%d %s" % (tally.patterns[name], name) for name in kinds)
    return "No candidates: all %d functions are %s (%s)." % (tally.functions, " or ".join(kinds), detail)


def _words(words: Sequence[str]) -> str:
    shown = ", ".join(words[:MAX_WORDS])
    return shown + (" (+%d)" % (len(words) - MAX_WORDS) if len(words) > MAX_WORDS else "")


def evidence(c: Candidate) -> List[str]:
    """The matched words that bear on the candidate's pattern, and what its file imports."""
    f = c.function
    matched = matched_words(f.code, f.name)
    parts = ["%s words: %s" % (kind, _words(matched[kind]) or "none") for kind in EVIDENCE_KINDS[f.pattern]]
    if f.pattern == "PARALLEL_FRIENDLY":
        parts.append("chunkable loops %.0f %%" % (100 * f.loop_chunking_potential))
    framework = PATTERN_FRAMEWORK.get(f.pattern)
    if framework is not None:
        parts.append("file imports %s: %s" % (framework, "yes" if framework in c.imports else "no"))
    elif c.imports:
        parts.append("file imports %s" % ", ".join(c.imports))
    return parts


def _pack(parts: Sequence[str], indent: str, width: int = WIDTH) -> List[str]:
    """`parts` joined by "; " into lines of at most `width` characters where they fit, each after `indent`."""
    lines: List[str] = []
    for part in parts:
        if lines and len(lines[-1]) + 2 + len(part) <= width:
            lines[-1] += "; " + part
        else:
            lines.append(indent + part)
    return lines


def format_top(top: TopCandidates, tally: Tally, gpu_available: bool = True) -> str:
    """The ranked candidates with their scores and evidence, or why there are none."""
    ranked = top.candidates()
    if not ranked:
        return no_candidates(tally) + "\n"
    names = [n for n in RANKING_SCORES if gpu_available or n != "gpu_suitability"]
    lines = [
        "Top %s by score, then path and line; a function's score is the largest of its"
        % plural(len(ranked), "candidate"),
        "%s and %s scores:" % (", ".join(names[:-1]), names[-1]),
    ]
    digits = len(str(len(ranked)))
    indent = " " * (digits + 4)
    for i, c in enumerate(ranked, 1):
        f = c.function
        by = c.ranked_by()
        others = ["%s %.2f" % (n, v) for n, v in ranking_scores(f).items() if n != by and v and n in names]
        lines.append("  %*d. %.2f  %s  %s:%d %s" % (digits, i, c.score, f.pattern, c.path, f.line, f.qualname))
        lines.append("%sscore = %s%s" % (indent, by, "; also " + ", ".join(others) if others else ""))
        lines.extend(_pack(evidence(c), indent))
    return "\n".join(lines) + "\n"

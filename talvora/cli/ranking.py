"""Ranking and counting: the strongest acceleration candidates and the counts of a run, kept as files stream
by, and the text of both."""

import heapq
from typing import Any, Dict, List, Tuple

from talvora.cli.common import plural
from talvora.cli.scoring import FileReport, FunctionReport
from talvora.plugins.analyzer import PATTERN_NAMES

# Patterns that name no acceleration: not listed by --top.
NOT_CANDIDATES = ("MIXED", "SEQUENTIAL")


def candidate_score(f: FunctionReport) -> float:
    """How strongly a function calls for acceleration: its strongest score.

    The largest of its parallelisation potential, GPU suitability, CPU
    intensity and framework scores, all in [0, 1].
    """
    return max(f.parallelization_potential, f.gpu_suitability, f.normalized["cpu_intensity"], *f.frameworks.values())


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
        return [
            {"score": score, "path": path, "qualname": f.qualname, "line": f.line, "pattern": f.pattern}
            for score, path, f in self.ranked()
        ]


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


def format_tally(tally: Tally) -> str:
    lines = ["Summary: %s in %s" % (plural(tally.functions, "function"), plural(tally.files, "file"))]
    width = max(len(name) for name in PATTERN_NAMES)
    for name, n in tally.patterns.items():
        if n:
            lines.append("  %-*s %d" % (width, name, n))
    if tally.errors:
        lines.append("%s could not be analysed" % plural(tally.errors, "path"))
    return "\n".join(lines) + "\n"


def format_top(top: TopCandidates) -> str:
    ranked = top.ranked()
    lines = [
        "Top %s (score: the largest of par_pot, gpu_suit, cpu and the framework scores):"
        % plural(len(ranked), "candidate")
    ]
    width = max((len(f.pattern) for _, _, f in ranked), default=0)
    for i, (score, path, f) in enumerate(ranked, 1):
        lines.append(
            "  %*d. %.2f  %-*s %s:%d %s" % (len(str(len(ranked))), i, score, width, f.pattern, path, f.line, f.qualname)
        )
    return "\n".join(lines) + "\n"

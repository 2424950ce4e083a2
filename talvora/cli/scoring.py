"""Scoring: the source text of each function scored and classified by the workload analysis module, and the
records that hold the results."""

import ast
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

from talvora.cli.evidence import framework_imports, may_import_frameworks
from talvora.cli.scan import SourceLines, find_functions
from talvora.plugins.analyzer import INDICATOR_KINDS, pattern_name


@dataclass(frozen=True)
class Thresholds:
    """Detection thresholds handed to determine_workload_pattern."""

    cpu: float = 0.25
    memory: float = 0.25
    gpu: float = 0.3
    numpy: float = 0.15
    pandas: float = 0.15
    sklearn: float = 0.15


DEFAULT_THRESHOLDS = Thresholds()


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
    # The scored source text: kept for the evidence of the strongest candidates, not written out.
    code: str = field(default="", repr=False, compare=False)

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
    """The functions of one analysed file."""

    path: str
    functions: List[FunctionReport] = field(default_factory=list)
    imports: Tuple[str, ...] = ()  # the frameworks the file imports anywhere


def score_function(
    code: str,
    name: str,
    chunking: float,
    gpu_available: bool = True,
    gpu_capability: Optional[str] = None,
    thresholds: Thresholds = DEFAULT_THRESHOLDS,
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
        cpu_i,
        mem_i,
        potential,
        suitability,
        gpu_s,
        numpy_s,
        pandas_s,
        sklearn_s,
        sequential,
        embarrassing,
        thresholds.cpu,
        thresholds.memory,
        thresholds.gpu,
        thresholds.numpy,
        thresholds.pandas,
        thresholds.sklearn,
        gpu_available,
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


def analyze_module(
    source: str,
    filename: str = "<string>",
    gpu_available: bool = True,
    gpu_capability: Optional[str] = None,
    thresholds: Thresholds = DEFAULT_THRESHOLDS,
) -> FileReport:
    """Scores every function of a module's source; raises SyntaxError if it does not parse."""
    tree = ast.parse(source, filename=filename)
    lines = SourceLines(source)
    reports = []
    for node, qualname, chunking in find_functions(tree, lines.lines):
        code = lines.segment(node) or ""
        scores = score_function(code, node.name, chunking, gpu_available, gpu_capability, thresholds)
        reports.append(FunctionReport(name=node.name, qualname=qualname, line=node.lineno, code=code, **scores))
    return FileReport(filename, reports, framework_imports(tree) if may_import_frameworks(source) else ())


def analyze_source(source: str, filename: str = "<string>", **options: Any) -> List[FunctionReport]:
    """The scored functions of a module's source (`options` as for analyze_module)."""
    return analyze_module(source, filename, **options).functions

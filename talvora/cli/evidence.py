"""Evidence for a classification: which indicator words of the workload analysis module occur in a function's
text, and which frameworks its file imports.

The module counts these words itself; the lists here are the same tables, so
that a reader can see what was counted (a test ties them to the module's
counts).
"""

import ast
from typing import Dict, List, Tuple

from talvora.plugins.analyzer import INDICATOR_KINDS

FRAMEWORKS = ("numpy", "pandas", "sklearn")

# fmt: off
# The indicator tables of score_indicators, in the order of INDICATOR_KINDS.
INDICATOR_WORDS: Dict[str, Tuple[str, ...]] = dict(
    zip(
        INDICATOR_KINDS,
        (
            (
                "for", "while", "range", "numpy", "scipy", "math", "calculation", "compute", "algorithm", "sum",
                "prod", "dot", "matmul", "fft", "linalg",
            ),
            ("array", "list", "dict", "pandas", "dataframe", "allocate", "buffer", "cache", "append", "extend"),
            (
                "multiprocessing", "threading", "concurrent", "async", "parallel", "pool", "worker", "chunk",
                "batch", "processpoolexecutor", "threadpoolexecutor",
            ),
            (
                "matmul", "dot", "tensordot", "@", "fft", "ifft", "rfft", "convolve", "correlate", "sum", "mean",
                "std", "var", "sin", "cos", "exp", "log", "sqrt", "power", "**", "add", "subtract", "multiply",
                "divide", "/", "*", "+", "-", "linalg", "linear_algebra", "array", "asarray", "zeros", "ones",
                "empty", "full",
            ),
            (
                "reshape", "resize", "huge", "large", "gigabyte", "gb", "million", "billion", "1e6", "1e9", "1024",
                "megabyte", "mb",
            ),
            ("workload", "benchmark", "intensive", "chunk_workload", "map", "apply", "vectorize", "broadcast"),
            ("global", "nonlocal", "lock", "mutex", "synchronized", "sequential", "ordered", "dependencies"),
        ),
    )
)

# The framework tables of score_framework_patterns.
FRAMEWORK_WORDS: Dict[str, Tuple[str, ...]] = {
    "numpy": (
        "numpy", "np.", "ndarray", "array", "matrix", "vectorize", "broadcast", "ufunc", "dot", "matmul", "linalg",
        "fft", "sum", "mean", "std", "var", "min", "max", "argmax", "argmin", "reshape", "transpose", "concatenate",
        "stack", "split",
    ),
    "pandas": (
        "pandas", "pd.", "dataframe", "series", "groupby", "apply", "agg", "transform", "merge", "join", "concat",
        "pivot", "melt", "query", "eval", "rolling", "resample", "sort_values",
    ),
    "sklearn": (
        "sklearn", "fit", "predict", "transform", "score", "cross_val", "gridsearchcv", "randomizedsearchcv",
        "pipeline", "featureunion", "train_test_split", "classification", "regression", "clustering",
        "preprocessing", "model_selection", "metrics", "ensemble",
    ),
}
# fmt: on

# Indicator kinds also searched for in the function's name.
_NAME_KINDS = ("gpu_op", "embarrassing")


def matched_words(code: str, name: str = "") -> Dict[str, List[str]]:
    """The words of every table found in `code` (and, for some kinds, in `name`), as the module counts them.

    Keys: the indicator kinds, then the frameworks.  Matching is substring
    containment in the lower-cased text; each word counts once.
    """
    text = code.lower()
    func = name.lower()
    found: Dict[str, List[str]] = {}
    for kind, words in INDICATOR_WORDS.items():
        if kind in _NAME_KINDS:
            found[kind] = [w for w in words if w in text or w in func]
        else:
            found[kind] = [w for w in words if w in text]
    for framework, words in FRAMEWORK_WORDS.items():
        found[framework] = [w for w in words if w in text]
    return found


# Statement fields: imports inside functions, classes and blocks are found without visiting expressions.
_BLOCKS = ("body", "orelse", "finalbody", "handlers", "cases")


def may_import_frameworks(source: str) -> bool:
    """False when `source` cannot import a framework of FRAMEWORKS: ASCII text that names none of them."""
    return not source.isascii() or any(f in source for f in FRAMEWORKS)


def framework_imports(tree: ast.AST) -> Tuple[str, ...]:
    """The frameworks of FRAMEWORKS that a module imports anywhere (``import numpy``, ``from pandas import x``)."""
    found = set()
    stack = [tree]
    while stack:
        node = stack.pop()
        if isinstance(node, ast.Import):
            found.update(alias.name.partition(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            if not node.level and node.module:
                found.add(node.module.partition(".")[0])
        for field in _BLOCKS:
            value = getattr(node, field, None)
            if type(value) is list:
                stack.extend(value)
    return tuple(f for f in FRAMEWORKS if f in found)

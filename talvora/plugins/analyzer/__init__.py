"""Workload analysis: ``kelmarch`` scores and classifies source text, ``vossendra`` decides on adaptation.

The names here describe what ``kelmarch`` returns: the kinds of indicator
counted by ``score_indicators`` and the workload patterns whose codes
``determine_workload_pattern`` returns.
"""

#: The indicator kinds of ``score_indicators``, in the order of its tuple.
INDICATOR_KINDS = ("cpu", "memory", "parallel", "gpu_op", "large_data", "embarrassing", "sequential")

#: The workload pattern names of ``determine_workload_pattern``, indexed by code.
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


def pattern_name(code: int) -> str:
    """The name of a workload pattern code ("UNKNOWN(<code>)" outside the table)."""
    if 0 <= code < len(PATTERN_NAMES):
        return PATTERN_NAMES[code]
    return "UNKNOWN(%d)" % code

"""Workload analysis: ``kelmarch`` scores and classifies source text, ``vossendra`` decides on adaptation.

The names here describe what ``kelmarch`` returns: the kinds of indicator
counted by ``score_indicators`` and the workload patterns whose codes
``determine_workload_pattern`` returns (``WorkloadPattern``; the native result
stays a plain int, which the members compare equal to).
"""

import enum
from typing import Tuple

#: The indicator kinds of ``score_indicators``, in the order of its tuple.
INDICATOR_KINDS = ("cpu", "memory", "parallel", "gpu_op", "large_data", "embarrassing", "sequential")


class WorkloadPattern(enum.IntEnum):
    """The workload pattern code of ``determine_workload_pattern``."""

    MIXED = 0
    CPU_INTENSIVE = 1
    MEMORY_INTENSIVE = 2
    PARALLEL_FRIENDLY = 3
    SEQUENTIAL = 4
    GPU_SUITABLE = 5
    GPU_COMPUTE_INTENSIVE = 6
    GPU_MEMORY_BOUND = 7
    NUMPY_VECTORIZED = 8
    NUMPY_LINALG = 9
    PANDAS_DATAFRAME = 10
    PANDAS_GROUPBY = 11
    SKLEARN_TRAINING = 12
    SKLEARN_INFERENCE = 13


#: The workload pattern names of ``determine_workload_pattern``, indexed by code.
PATTERN_NAMES: Tuple[str, ...] = tuple(p.name for p in WorkloadPattern)


def pattern_name(code: int) -> str:
    """The name of a workload pattern code ("UNKNOWN(<code>)" outside the table)."""
    if 0 <= code < len(PATTERN_NAMES):
        return PATTERN_NAMES[code]
    return "UNKNOWN(%d)" % code

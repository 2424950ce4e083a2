"""Types for annotating code that uses talvora's native modules.

The statistics dictionaries as typed dicts (keys in the order the modules
build them), the operation names of ``fast_bitmap_operations``, and the
protocol a telemetry store handed to ``AdaptivePolicy`` satisfies::

    from talvora.interfaces import FunctionMetricsLike, TelemetryStoreLike

    class Store:
        def get_metrics(self, func_id: str) -> FunctionMetricsLike: ...

Nothing here is needed at run time: the native modules accept any object
with the right attributes.
"""

from typing import Literal, Protocol, TypedDict

__all__ = [
    "BitmapOperation",
    "FunctionMetricsLike",
    "PolicyStatistics",
    "SlabStatistics",
    "StatisticsSnapshot",
    "TelemetryStoreLike",
    "TreeStatistics",
]

#: The operations of ``talvora.memory.pardune.fast_bitmap_operations``.
BitmapOperation = Literal["is_set", "set", "clear", "find_first"]


class StatisticsSnapshot(TypedDict):
    """``LockFreeStatistics.get_snapshot()``."""

    total_allocations: int
    total_deallocations: int
    current_allocations: int
    bytes_allocated: int
    bytes_reserved: int
    peak_allocations: int
    peak_bytes_allocated: int
    bucketed_allocations: int
    fallback_allocations: int
    bucketed_allocation_ratio: str  # such as "37.5%"
    alignment_padding_bytes: int
    average_allocation_time_ns: float
    average_deallocation_time_ns: float
    allocation_mode: str


class _TreeCounters(TypedDict):
    total_blocks: int
    total_insertions: int
    total_deletions: int
    total_searches: int
    bucket_hits: int
    tree_hits: int
    operation_count: int


class _TreeBreaker(_TreeCounters, total=False):
    circuit_breaker_trips: int  # present once reset_circuit_breaker() has run


class TreeStatistics(_TreeBreaker):
    """``FastRedBlackTree.get_stats()``."""

    node_count: int
    height: int
    sampled_operations: int
    is_valid: bool


class SlabStatistics(TypedDict):
    """``FastStatsCollector.get_stats()``."""

    total_allocations: int
    total_deallocations: int
    bucketed_allocations: int
    fallback_allocations: int
    bucketed_allocation_ratio: str  # such as "75.0%"
    alignment_padding_bytes: int


class PolicyStatistics(TypedDict):
    """``AdaptivePolicy.get_statistics()``."""

    tracked_functions: int
    avg_threshold: float  # an int while no function is tracked
    min_threshold: int
    max_threshold: int


class FunctionMetricsLike(Protocol):
    """What ``AdaptivePolicy`` reads from a function's metrics (``last_compiled`` too, when present)."""

    @property
    def call_count(self) -> int: ...

    @property
    def compile_count(self) -> int: ...

    @property
    def avg_speedup(self) -> float: ...


class TelemetryStoreLike(Protocol):
    """A telemetry store, such as ``talvora.jit.telemetry_store.TelemetryStore``."""

    def get_metrics(self, func_id: str) -> FunctionMetricsLike: ...

"""A typed client of every native module: checked by mypy --strict and run by the suite."""

import time
from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple

from talvora.gpu import drelling
from talvora.interfaces import (
    FunctionMetricsLike,
    PolicyStatistics,
    SlabStatistics,
    StatisticsSnapshot,
    TelemetryStoreLike,
    TreeStatistics,
)
from talvora.jit.orvistle import AdaptivePolicy, FunctionMetrics, create_function_metrics, get_orvistle
from talvora.jit.telemetry_store import TelemetryStore
from talvora.memory.fennick import MemoryBlock
from talvora.memory.mesqua import AtomicCounter, AtomicPointer, LockFreeStack, LockFreeStatistics, PerformanceTimer
from talvora.memory.pardune import (
    FastBucketAllocator,
    FastSlabHeaderOps,
    FastStatsCollector,
    fast_align_size,
    fast_bitmap_operations,
)
from talvora.memory.tollet import FastRedBlackTree
from talvora.plugins.analyzer import kelmarch, vossendra


def counters() -> Tuple[int, StatisticsSnapshot]:
    counter = AtomicCounter(1)
    counter.increment(2)
    stats = LockFreeStatistics()
    stats.record_allocation(64, True, 8, 100)
    snapshot = stats.get_snapshot()
    ratio: str = snapshot["bucketed_allocation_ratio"]
    average: float = snapshot["average_allocation_time_ns"]
    assert ratio == "100.0%" and average == 100.0
    pointer = AtomicPointer("a")
    assert pointer.compare_and_swap("a", "b") and pointer.get_version() == 1
    stack = LockFreeStack()
    stack.push(1)
    assert stack.pop() == 1
    timer = PerformanceTimer()
    timer.start()
    assert timer.elapsed_ns() >= 0
    return counter.load(), snapshot


def blocks() -> TreeStatistics:
    tree = FastRedBlackTree()
    tree.insert(64, MemoryBlock(0, 64))
    tree.insert(32, "any object")
    found = tree.find_best_fit(40)
    assert isinstance(found, MemoryBlock) and found.end == 64
    size, block = tree.remove_ge(10)
    if size is not None:
        assert size >= 10 and block == "any object"
    stats = tree.get_stats()
    assert stats["total_insertions"] == 2 and stats["is_valid"]
    return stats


def slabs() -> SlabStatistics:
    header = FastSlabHeaderOps(1, 16)
    header.py_allocate_object_at(0)
    assert header.py_find_free_object() == 1
    buckets = FastBucketAllocator()
    buckets.add_to_bucket(0, 32)
    offset: Optional[int] = buckets.remove_from_bucket(32)
    assert offset == 0
    is_set: bool = fast_bitmap_operations(0b101, 2, "is_set")
    first: int = fast_bitmap_operations(0b100, 0, "find_first")
    assert is_set and first == 2 and fast_align_size(13, 8) == 16
    collector = FastStatsCollector()
    collector.py_record_allocation(64, 0, True)
    return collector.get_stats()


@dataclass
class Metrics:
    call_count: int
    compile_count: int
    avg_speedup: float
    last_compiled: float = 0.0


class TypedStore:
    """A store of its own, typed as users write them."""

    def __init__(self) -> None:
        self.metrics: Dict[str, Metrics] = {}

    def get_metrics(self, func_id: str) -> Metrics:
        return self.metrics[func_id]


def policy() -> PolicyStatistics:
    store = TypedStore()
    store.metrics["f"] = Metrics(call_count=150, compile_count=1, avg_speedup=3.0, last_compiled=time.time())
    stores: List[TelemetryStoreLike] = [store, TelemetryStore()]
    adaptive = AdaptivePolicy()
    adaptive.update("f", stores[0])
    assert adaptive.get_threshold("f") == 91
    metrics: FunctionMetricsLike = create_function_metrics(call_count=5)
    record: FunctionMetrics = create_function_metrics()
    assert metrics.call_count == 5 and record.call_count == 0
    assert not get_orvistle().should_compile("g", stores[1])
    return adaptive.get_statistics()


def analysis() -> int:
    code = "def f(a, b):\n    return a @ b\n"
    counts = kelmarch.score_indicators(code, "f")
    cpu, memory, parallel, gpu, data = kelmarch.normalize_scores(*counts[:5])
    numpy_score, pandas_score, sklearn_score = kelmarch.score_framework_patterns(code)
    pattern = kelmarch.determine_workload_pattern(
        cpu,
        memory,
        0.0,
        0.0,
        gpu,
        numpy_score,
        pandas_score,
        sklearn_score,
        counts[6],
        counts[5],
        0.25,
        0.25,
        0.3,
        0.15,
        0.15,
        0.15,
        False,
    )
    trend = vossendra.calculate_performance_trend([(0.0, 10.0), (1.0, 11.0), (2.0, 12.0)], 0.0)
    dominant = vossendra.detect_dominant_pattern(["a", "b", "b"], 3)
    assert trend > 0.0 and dominant == "b"
    return pattern


def planning() -> List[Tuple[int, ...]]:
    strategy, chunk_size, passes, message = drelling.decide_allocation_strategy(3000, 2000, 0.5, True)
    assert (strategy, passes) == (1, 3) and message.endswith("GPU passes")
    return drelling.compute_chunk_shapes((10, 4), 8, chunk_size)


def main() -> None:
    value, snapshot = counters()
    assert value == 3 and snapshot["total_allocations"] == 1
    assert blocks()["total_blocks"] == 1
    assert slabs()["total_allocations"] == 1
    assert policy()["tracked_functions"] == 1
    assert analysis() >= 0
    assert planning() == [(10, 4)]


if __name__ == "__main__":
    main()

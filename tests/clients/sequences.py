"""A typed client that keeps its histories in variables of their own list types, as callers do: checked by
mypy --strict and run by the suite."""

from typing import Dict, List, Optional, Tuple

from talvora.gpu import AllocationStrategy, drelling
from talvora.plugins.analyzer import WorkloadPattern, kelmarch, vossendra


def histories() -> None:
    lists: List[List[float]] = [[float(t), 10.0 + t] for t in range(12)]
    tuples: List[Tuple[float, float]] = [(float(t), 10.0 - t) for t in range(12)]
    ints: List[Tuple[int, int]] = [(t, 100) for t in range(12)]
    assert vossendra.calculate_performance_trend(lists, 0.0) > 0.0
    assert vossendra.calculate_performance_trend(tuples, 0.0) < 0.0
    assert vossendra.calculate_performance_trend(None, 0.0) == 0.0
    assert vossendra.detect_performance_degradation(tuples, 20.0, 0.1, 0.0)
    assert not vossendra.detect_performance_degradation(None, 20.0, 0.1, 0.0)
    allocations, total, confidence = vossendra.predict_resource_requirements(ints, 11.0)
    assert (allocations, total) == (12, 1200) and confidence > 0.0
    assert vossendra.predict_resource_requirements(lists, 11.0)[0] == 12


def patterns() -> None:
    names: List[str] = ["numpy", "pandas", "pandas"]
    dominant: str = vossendra.detect_dominant_pattern(names)
    assert dominant == "pandas"
    maybe: List[Optional[str]] = [None, None, "numpy"]
    found: Optional[str] = vossendra.detect_dominant_pattern(maybe, 3)
    assert found is None
    entry: Dict[str, float] = {"parallelization_potential": 0.1, "cpu_intensity": 0.2, "memory_intensity": 0.3}
    history: List[Dict[str, float]] = [entry] * 3 + [dict(entry, cpu_intensity=0.9)] * 3
    changed, _, cpu_change, _ = vossendra.detect_workload_characteristics_change(history)
    assert changed and round(cpu_change, 6) == 0.7


def codes() -> None:
    code = kelmarch.determine_workload_pattern(
        0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.9, 0, 0, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, False
    )
    assert WorkloadPattern(code) is WorkloadPattern.SKLEARN_TRAINING and code == WorkloadPattern.SKLEARN_TRAINING
    strategy, _, passes, _ = drelling.decide_allocation_strategy(3000, 2000, 0.5, True)
    assert AllocationStrategy(strategy) is AllocationStrategy.GPU_CHUNKED and passes == 3
    shapes: List[Tuple[int, ...]] = drelling.compute_chunk_shapes((5,), 4, 8)
    assert shapes == [(2,), (2,), (1,)]


if __name__ == "__main__":
    histories()
    patterns()
    codes()

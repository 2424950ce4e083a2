"""Adaptive JIT threshold policy.

Dynamically adjusts compilation thresholds based on observed performance.
Reduces compilation attempts while maximizing benefit.
"""

import logging
import threading
import time as time
from typing import Any, Dict, NoReturn, Optional

from typing_extensions import Self, disjoint_base

from talvora.interfaces import PolicyStatistics, TelemetryStoreLike

logger: logging.Logger
_policy_lock: threading.Lock
__test__: Dict[str, Any]

@disjoint_base
class PolicyConfig:
    """Configuration for adaptive policy."""

    initial_threshold: int
    min_threshold: int
    max_threshold: int
    learning_rate: float
    target_speedup: float
    def __new__(
        cls,
        initial_threshold: int = 100,
        min_threshold: int = 10,
        max_threshold: int = 10000,
        learning_rate: float = 0.1,
        target_speedup: float = 2.0,
    ) -> Self: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, __pyx_state: Any) -> NoReturn: ...

@disjoint_base
class FunctionMetrics:
    """Metrics for a function's execution and compilation."""

    call_count: int
    compile_count: int
    avg_speedup: float
    total_execution_time_ms: float
    last_compiled: float
    last_compile_time: float
    def __new__(
        cls,
        call_count: int = 0,
        compile_count: int = 0,
        avg_speedup: float = 1.0,
        total_execution_time_ms: float = 0.0,
        last_compile_time: float = 0.0,
        last_compiled: float = -1.0,
    ) -> Self: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, __pyx_state: Any) -> NoReturn: ...

@disjoint_base
class AdaptivePolicy:
    """Per-function compile thresholds that adapt to the measured speed-ups."""

    @property
    def config(self) -> PolicyConfig: ...
    def __new__(cls, config: Optional[object] = None) -> Self: ...
    def get_threshold(self, func_id: Optional[str]) -> int: ...
    def should_compile(self, func_id: str, telemetry_store: TelemetryStoreLike) -> bool: ...
    def update(self, func_id: str, telemetry_store: TelemetryStoreLike) -> None: ...
    def get_statistics(self) -> PolicyStatistics: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, __pyx_state: Any) -> NoReturn: ...

def get_orvistle() -> AdaptivePolicy: ...
def reset_orvistle() -> None: ...
def create_function_metrics(
    call_count: int = 0,
    compile_count: int = 0,
    avg_speedup: float = 1.0,
    total_execution_time_ms: float = 0.0,
    last_compile_time: float = 0.0,
) -> FunctionMetrics: ...
def create_policy_config(
    initial_threshold: int = 100,
    min_threshold: int = 10,
    max_threshold: int = 10000,
    learning_rate: float = 0.1,
    target_speedup: float = 2.0,
) -> PolicyConfig: ...

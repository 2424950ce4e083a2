"""Per-function call and compilation telemetry for the JIT layer.

The store counts calls (with their execution time) and compilations (with
the measured speed-up and the compile time) per function identifier, and
answers ``get_metrics(func_id)`` with a ``FunctionMetrics`` snapshot, the
record that ``AdaptivePolicy`` reads::

    store = TelemetryStore()
    policy = get_orvistle()
    store.record_call(func_id, execution_time_ms)
    if policy.should_compile(func_id, store):
        speedup, compile_time_ms = compile_and_measure(func)
        store.record_compilation(func_id, speedup, compile_time_ms)
        policy.update(func_id, store)

All methods are thread-safe.  The store never calls back into the policy,
so it may be read while the policy holds its own lock.
"""

import math
import numbers
import threading
import time
from typing import Dict, List, Optional

from talvora.jit.orvistle import FunctionMetrics

__all__ = ["FunctionMetrics", "TelemetryStore"]

_ALL = object()  # reset() without an identifier: None is a valid identifier


def _real(name: str, value) -> float:
    if not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    return float(value)


def _non_negative(name: str, value) -> float:
    value = _real(name, value)
    if not value >= 0.0 or math.isinf(value):
        raise ValueError(f"{name} must be a finite non-negative number, got {value!r}")
    return value


class _Entry:
    __slots__ = (
        "call_count",
        "compile_count",
        "avg_speedup",
        "total_execution_time_ms",
        "total_compile_time_ms",
        "last_compiled",
    )

    def __init__(self) -> None:
        self.call_count = 0
        self.compile_count = 0
        self.avg_speedup = 1.0
        self.total_execution_time_ms = 0.0
        self.total_compile_time_ms = 0.0
        self.last_compiled = 0.0


class TelemetryStore:
    """Thread-safe call and compilation counters per function identifier."""

    def __init__(self, clock=time.time) -> None:
        # `clock` gives compilation timestamps on the time.time() scale.
        self._clock = clock
        self._lock = threading.Lock()
        self._entries: Dict[Optional[str], _Entry] = {}

    def _entry(self, func_id: Optional[str]) -> _Entry:
        entry = self._entries.get(func_id)
        if entry is None:
            entry = self._entries[func_id] = _Entry()
        return entry

    def record_call(self, func_id: Optional[str], execution_time_ms: float = 0.0) -> None:
        """Count one call of `func_id` that took `execution_time_ms`."""
        elapsed = _non_negative("execution_time_ms", execution_time_ms)
        with self._lock:
            entry = self._entry(func_id)
            entry.call_count += 1
            entry.total_execution_time_ms += elapsed

    def record_compilation(
        self,
        func_id: Optional[str],
        speedup: float,
        compile_time_ms: float = 0.0,
        timestamp: Optional[float] = None,
    ) -> None:
        """Count one compilation of `func_id` with its measured speed-up.

        The average speed-up is the running mean over all compilations; the
        compilation time is stamped with `timestamp`, or the store's clock.
        """
        speedup = _real("speedup", speedup)
        if not speedup > 0.0 or math.isinf(speedup):
            raise ValueError(f"speedup must be a finite positive number, got {speedup!r}")
        duration = _non_negative("compile_time_ms", compile_time_ms)
        stamp = self._clock() if timestamp is None else timestamp
        stamp = _non_negative("timestamp", stamp)
        with self._lock:
            entry = self._entry(func_id)
            entry.compile_count += 1
            if entry.compile_count == 1:
                entry.avg_speedup = speedup
            else:
                entry.avg_speedup += (speedup - entry.avg_speedup) / entry.compile_count
            entry.total_compile_time_ms += duration
            entry.last_compiled = stamp

    def get_metrics(self, func_id: Optional[str]) -> FunctionMetrics:
        """A snapshot of `func_id`'s record (all zero for an unknown function).

        The snapshot is the caller's; later calls and compilations do not
        change it, and changing it does not change the store.
        """
        with self._lock:
            entry = self._entries.get(func_id)
            if entry is None:
                return FunctionMetrics()
            return FunctionMetrics(
                call_count=entry.call_count,
                compile_count=entry.compile_count,
                avg_speedup=entry.avg_speedup,
                total_execution_time_ms=entry.total_execution_time_ms,
                last_compiled=entry.last_compiled,
            )

    def get_compile_time_ms(self, func_id: Optional[str]) -> float:
        """Total time spent compiling `func_id`, in milliseconds."""
        with self._lock:
            entry = self._entries.get(func_id)
            return entry.total_compile_time_ms if entry is not None else 0.0

    def function_ids(self) -> List[Optional[str]]:
        """The identifiers seen so far, in first-seen order."""
        with self._lock:
            return list(self._entries)

    def reset(self, func_id=_ALL) -> None:
        """Forget `func_id`, or every function when none is given."""
        with self._lock:
            if func_id is _ALL:
                self._entries.clear()
            else:
                self._entries.pop(func_id, None)

    def __contains__(self, func_id: object) -> bool:
        with self._lock:
            return func_id in self._entries

    def __len__(self) -> int:
        with self._lock:
            return len(self._entries)

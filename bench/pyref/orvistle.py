"""Adaptive compilation policy in pure Python."""

import logging
import threading
import time

logger = logging.getLogger(__name__)


class PolicyConfig:
    __slots__ = ("initial_threshold", "min_threshold", "max_threshold", "learning_rate", "target_speedup")

    def __init__(
        self, initial_threshold=100, min_threshold=10, max_threshold=10000, learning_rate=0.1, target_speedup=2.0
    ):
        if min_threshold <= 0:
            raise ValueError("min_threshold must be positive")
        if max_threshold <= min_threshold:
            raise ValueError("max_threshold must be greater than min_threshold")
        if not (0 < learning_rate <= 1):
            raise ValueError("learning_rate must be in (0, 1]")
        if not target_speedup > 0:
            raise ValueError("target_speedup must be positive")
        if initial_threshold < min_threshold or initial_threshold > max_threshold:
            raise ValueError("initial_threshold must be within bounds")
        self.initial_threshold = initial_threshold
        self.min_threshold = min_threshold
        self.max_threshold = max_threshold
        self.learning_rate = float(learning_rate)
        self.target_speedup = float(target_speedup)


class FunctionMetrics:
    __slots__ = ("call_count", "compile_count", "avg_speedup", "total_execution_time_ms", "last_compiled")

    def __init__(
        self,
        call_count=0,
        compile_count=0,
        avg_speedup=1.0,
        total_execution_time_ms=0.0,
        last_compile_time=0.0,
        last_compiled=-1.0,
    ):
        self.call_count = call_count
        self.compile_count = compile_count
        self.avg_speedup = float(avg_speedup)
        self.total_execution_time_ms = float(total_execution_time_ms)
        self.last_compiled = float(last_compiled if last_compiled >= 0 else last_compile_time)

    @property
    def last_compile_time(self):
        return self.last_compiled


class AdaptivePolicy:
    def __init__(self, config=None):
        self.config = config if config is not None else PolicyConfig()
        self.thresholds = {}
        self.lock = threading.Lock()
        self.recompile_interval = 600.0

    def get_threshold(self, func_id):
        with self.lock:
            return self.thresholds.get(func_id, self.config.initial_threshold)

    def should_compile(self, func_id, telemetry_store):
        current_time = time.time()
        with self.lock:
            threshold = self.thresholds.get(func_id, self.config.initial_threshold)
            metrics = telemetry_store.get_metrics(func_id)
            call_count = metrics.call_count
            compile_count = metrics.compile_count
            last_compiled = getattr(metrics, "last_compiled", 0.0)
        if call_count < threshold:
            return False
        if compile_count == 0:
            return True
        return current_time - last_compiled >= self.recompile_interval

    def update(self, func_id, telemetry_store):
        with self.lock:
            metrics = telemetry_store.get_metrics(func_id)
            if metrics.compile_count == 0:
                return None
            current = self.thresholds.get(func_id, self.config.initial_threshold)
            cfg = self.config
            target = cfg.target_speedup if cfg.target_speedup > 0 else 1.0
            ratio = metrics.avg_speedup / target
            damping = min(0.1 * metrics.compile_count, 1.0)
            rate = cfg.learning_rate - damping * cfg.learning_rate
            step = rate * current
            if ratio > 1.0:
                step = -step
            candidate = current + step
            if not candidate >= cfg.min_threshold:
                new = cfg.min_threshold
            elif candidate > cfg.max_threshold:
                new = cfg.max_threshold
            else:
                new = int(candidate)
            self.thresholds[func_id] = new
        logger.debug(
            "Updated threshold for "
            + str(func_id)
            + ": "
            + str(current)
            + " -> "
            + str(new)
            + " (speedup: "
            + format(metrics.avg_speedup, ".2f")
            + "x)"
        )

    def get_statistics(self):
        with self.lock:
            if not self.thresholds:
                return {
                    "tracked_functions": 0,
                    "avg_threshold": self.config.initial_threshold,
                    "min_threshold": self.config.min_threshold,
                    "max_threshold": self.config.max_threshold,
                }
            values = list(self.thresholds.values())
            return {
                "tracked_functions": len(values),
                "avg_threshold": sum(values) / len(values),
                "min_threshold": min(values),
                "max_threshold": max(values),
            }


_policy_lock = threading.Lock()
_global_policy = None


def get_orvistle():
    global _global_policy
    with _policy_lock:
        if _global_policy is None:
            _global_policy = AdaptivePolicy()
        return _global_policy


def reset_orvistle():
    global _global_policy
    with _policy_lock:
        _global_policy = None


def create_function_metrics(
    call_count=0, compile_count=0, avg_speedup=1.0, total_execution_time_ms=0.0, last_compile_time=0.0
):
    return FunctionMetrics(
        call_count=call_count,
        compile_count=compile_count,
        avg_speedup=avg_speedup,
        total_execution_time_ms=total_execution_time_ms,
        last_compile_time=last_compile_time,
    )


def create_policy_config(
    initial_threshold=100, min_threshold=10, max_threshold=10000, learning_rate=0.1, target_speedup=2.0
):
    return PolicyConfig(
        initial_threshold=initial_threshold,
        min_threshold=min_threshold,
        max_threshold=max_threshold,
        learning_rate=learning_rate,
        target_speedup=target_speedup,
    )

"""talvora.jit.telemetry_store: the telemetry store, alone and driving the policy."""

import logging
import math
import threading
import time

import pytest

from talvora.jit.orvistle import AdaptivePolicy, FunctionMetrics, PolicyConfig, get_orvistle, reset_orvistle
from talvora.jit.telemetry_store import TelemetryStore


class Clock:
    def __init__(self, now=1_000_000.0):
        self.now = now

    def __call__(self):
        return self.now


def snapshot(m):
    return (m.call_count, m.compile_count, m.avg_speedup, m.total_execution_time_ms, m.last_compiled)


class TestRecording:
    def test_unknown_function(self):
        store = TelemetryStore()
        m = store.get_metrics("nope")
        assert type(m) is FunctionMetrics
        assert snapshot(m) == (0, 0, 1.0, 0.0, 0.0)
        assert "nope" not in store and len(store) == 0

    def test_calls(self):
        store = TelemetryStore()
        store.record_call("f", 1.5)
        store.record_call("f", execution_time_ms=2.25)
        store.record_call("f")
        store.record_call("g", 4)
        assert snapshot(store.get_metrics("f")) == (3, 0, 1.0, 3.75, 0.0)
        assert snapshot(store.get_metrics("g")) == (1, 0, 1.0, 4.0, 0.0)
        assert store.function_ids() == ["f", "g"]

    def test_running_average_speedup(self):
        clock = Clock(500.0)
        store = TelemetryStore(clock=clock)
        store.record_compilation("f", 3.0, 10.0)
        m = store.get_metrics("f")
        assert (m.compile_count, m.avg_speedup, m.last_compiled) == (1, 3.0, 500.0)
        clock.now = 900.0
        store.record_compilation("f", 1.0, compile_time_ms=5.0)
        store.record_compilation("f", 5.0, timestamp=1200.0)
        m = store.get_metrics("f")
        assert (m.compile_count, m.avg_speedup, m.last_compiled) == (3, 3.0, 1200.0)
        assert m.last_compile_time == 1200.0
        assert store.get_compile_time_ms("f") == 15.0
        assert store.get_compile_time_ms("g") == 0.0
        assert m.call_count == 0  # compilations are not calls

    def test_average_of_many(self):
        store = TelemetryStore()
        speedups = [1.1, 2.7, 0.4, 9.5, 3.3, 1.0, 6.25]
        for s in speedups:
            store.record_compilation("f", s)
        assert math.isclose(store.get_metrics("f").avg_speedup, sum(speedups) / len(speedups), rel_tol=1e-12)

    def test_default_clock_is_wall_time(self):
        store = TelemetryStore()
        before = time.time()
        store.record_compilation("f", 2.0)
        after = time.time()
        assert before <= store.get_metrics("f").last_compiled <= after

    def test_snapshots_are_independent(self):
        store = TelemetryStore()
        store.record_call("f", 1.0)
        m = store.get_metrics("f")
        m.call_count = 1000
        store.record_call("f", 1.0)
        assert m.call_count == 1000
        assert store.get_metrics("f").call_count == 2
        assert store.get_metrics("f") is not store.get_metrics("f")

    def test_none_identifier_and_reset(self):
        store = TelemetryStore()
        store.record_call(None)
        store.record_call("f")
        store.record_call("g")
        assert None in store and store.get_metrics(None).call_count == 1
        store.reset(None)
        assert None not in store and store.function_ids() == ["f", "g"]
        store.reset("f")
        store.reset("missing")
        assert store.function_ids() == ["g"]
        store.reset()
        assert len(store) == 0 and store.get_metrics("g").call_count == 0

    @pytest.mark.parametrize("bad", [-1.0, math.nan, math.inf])
    def test_invalid_times(self, bad):
        store = TelemetryStore()
        with pytest.raises(ValueError, match="execution_time_ms"):
            store.record_call("f", bad)
        with pytest.raises(ValueError, match="compile_time_ms"):
            store.record_compilation("f", 2.0, bad)
        with pytest.raises(ValueError, match="timestamp"):
            store.record_compilation("f", 2.0, 1.0, timestamp=bad)
        assert len(store) == 0

    @pytest.mark.parametrize("bad", [0.0, -2.0, math.nan, math.inf])
    def test_invalid_speedups(self, bad):
        store = TelemetryStore()
        with pytest.raises(ValueError, match="speedup"):
            store.record_compilation("f", bad)
        assert store.get_metrics("f").compile_count == 0

    def test_non_numbers(self):
        store = TelemetryStore()
        with pytest.raises(TypeError, match="^execution_time_ms must be a real number, not str$"):
            store.record_call("f", "1.5")
        with pytest.raises(TypeError, match="^speedup must be a real number, not NoneType$"):
            store.record_compilation("f", None)
        with pytest.raises(TypeError, match="^timestamp must be a real number, not str$"):
            store.record_compilation("f", 2.0, timestamp="now")
        store.record_call("f", True)  # bool is an int
        assert store.get_metrics("f").total_execution_time_ms == 1.0
        store.reset()
        assert len(store) == 0

    def test_concurrent_recording(self):
        store = TelemetryStore()
        n_threads, n_calls = 8, 500

        def worker(k):
            for i in range(n_calls):
                store.record_call("shared", 0.5)
                store.record_call(f"own{k}", 1.0)
                if i % 50 == 0:
                    store.record_compilation("shared", 2.0)

        threads = [threading.Thread(target=worker, args=(k,)) for k in range(n_threads)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        m = store.get_metrics("shared")
        assert m.call_count == n_threads * n_calls
        assert m.total_execution_time_ms == n_threads * n_calls * 0.5
        assert m.compile_count == n_threads * (n_calls // 50) and m.avg_speedup == 2.0
        assert all(store.get_metrics(f"own{k}").call_count == n_calls for k in range(n_threads))


class TestWithPolicy:
    def test_docstring_sequence(self, monkeypatch, caplog):
        """Record calls, ask, compile and measure, record the compilation, update."""
        clock = Clock(10_000.0)
        monkeypatch.setattr(time, "time", clock)
        caplog.set_level(logging.DEBUG, logger="talvora.jit.orvistle")
        store = TelemetryStore(clock=clock)
        policy = AdaptivePolicy()
        compiled_at = []
        measured = iter([3.0, 1.0])

        def call(func_id):
            store.record_call(func_id, 0.2)
            if policy.should_compile(func_id, store):
                speedup = next(measured)  # compile and measure
                store.record_compilation(func_id, speedup, compile_time_ms=12.0)
                policy.update(func_id, store)
                compiled_at.append(store.get_metrics(func_id).call_count)

        for _ in range(150):
            call("hot")
        assert compiled_at == [100]
        assert policy.get_threshold("hot") == 91
        assert policy.get_threshold("cold") == 100

        # Within the recompile interval nothing happens; after it, the next
        # call recompiles, and the poorer average raises the threshold.
        clock.now += 599.0
        call("hot")
        assert compiled_at == [100]
        clock.now += 1.0
        call("hot")
        assert compiled_at == [100, 152]
        m = store.get_metrics("hot")
        assert (m.compile_count, m.avg_speedup, m.last_compiled) == (2, 2.0, clock.now)
        assert policy.get_threshold("hot") == 98  # 91 + 0.08 * 91 = 98.28 (average 2.0 is not above target)
        assert store.get_compile_time_ms("hot") == 24.0

        msgs = [r.getMessage() for r in caplog.records if r.name == "talvora.jit.orvistle"]
        assert msgs == [
            "Updated threshold for hot: 100 -> 91 (speedup: 3.00x)",
            "Updated threshold for hot: 91 -> 98 (speedup: 2.00x)",
        ]
        assert policy.get_statistics() == {
            "tracked_functions": 1,
            "avg_threshold": 98.0,
            "min_threshold": 98,
            "max_threshold": 98,
        }

    def test_update_before_any_compilation(self):
        store = TelemetryStore()
        policy = AdaptivePolicy()
        store.record_call("f")
        policy.update("f", store)
        assert policy.get_statistics()["tracked_functions"] == 0

    def test_shared_policy_with_threads(self):
        reset_orvistle()
        try:
            store = TelemetryStore()
            policy = get_orvistle()
            compiles = []
            lock = threading.Lock()

            def worker(k):
                for _ in range(300):
                    func_id = f"fn{k % 3}"
                    store.record_call(func_id, 0.1)
                    if get_orvistle().should_compile(func_id, store):
                        store.record_compilation(func_id, 4.0)
                        get_orvistle().update(func_id, store)
                        with lock:
                            compiles.append(func_id)

            threads = [threading.Thread(target=worker, args=(k,)) for k in range(6)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            # Each function reaches its threshold and compiles; the race between
            # two threads asking at once can compile it more than once, but the
            # 600 s interval stops it from compiling on every call.
            assert sorted(set(compiles)) == ["fn0", "fn1", "fn2"]
            assert len(compiles) < 3 * 10
            for func_id in ("fn0", "fn1", "fn2"):
                m = store.get_metrics(func_id)
                assert m.call_count == 600 and m.compile_count >= 1
                assert policy.get_threshold(func_id) < 100
            assert get_orvistle() is policy
        finally:
            reset_orvistle()

    def test_custom_config_through_store(self):
        store = TelemetryStore()
        policy = AdaptivePolicy(PolicyConfig(initial_threshold=3, min_threshold=2, max_threshold=5, learning_rate=1.0))
        decisions = []
        for _ in range(4):
            store.record_call("f")
            decisions.append(policy.should_compile("f", store))
        assert decisions == [False, False, True, True]
        store.record_compilation("f", 1.2)
        policy.update("f", store)
        assert policy.get_threshold("f") == 5  # 3 + 0.9 * 3 = 5.7, clamped

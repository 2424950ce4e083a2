"""talvora.memory.mesqua: counters, statistics, pointer cell, stack, timer."""

import gc
import sys
import threading
import weakref

import pytest

from talvora.memory.mesqua import (
    AtomicCounter,
    AtomicCounterWrapper,
    AtomicPointer,
    LockFreeStack,
    LockFreeStatistics,
    PerformanceTimer,
)

INT64_MAX = 2**63 - 1
INT64_MIN = -(2**63)


STAT_NAMES = [
    "total_allocations",
    "total_deallocations",
    "current_allocations",
    "bytes_allocated",
    "bytes_reserved",
    "peak_allocations",
    "peak_bytes_allocated",
    "bucketed_allocations",
    "fallback_allocations",
    "alignment_padding_bytes",
    "total_allocation_time_ns",
    "total_deallocation_time_ns",
]


class Recorder:
    """Stand-in counter that logs (name, method, args) of every call into a shared list."""

    def __init__(self, name, log, value=0, cas_failures=0):
        self.name, self.log, self.value, self.cas_failures = name, log, value, cas_failures

    def load(self, *args):
        self.log.append((self.name, "load", args))
        return self.value

    def store(self, *args):
        self.log.append((self.name, "store", args))
        self.value = args[0]

    def increment(self, *args):
        self.log.append((self.name, "increment", args))
        self.value += args[0] if args else 1
        return self.value

    def decrement(self, *args):
        self.log.append((self.name, "decrement", args))
        self.value -= args[0] if args else 1
        return self.value

    def compare_and_swap(self, *args):
        self.log.append((self.name, "compare_and_swap", args))
        if self.cas_failures:
            self.cas_failures -= 1
            return False
        if self.value == args[0]:
            self.value = args[1]
            return True
        return False


def recorded_stats():
    s = LockFreeStatistics()
    log = []
    for name in STAT_NAMES:
        setattr(s, name, Recorder(name, log))
    return s, log


class TestAtomicCounter:
    def test_construction(self):
        assert AtomicCounter().load() == 0
        assert AtomicCounter(5).load() == 5
        assert AtomicCounter(initial_value=-3).load() == -3

    def test_operations(self):
        c = AtomicCounter()
        assert c.increment() == 1
        c.store(3)
        assert c.decrement(5) == -2
        c.store(10)
        assert c.fetch_and_add(4) == 10 and c.load() == 14
        assert c.fetch_and_add(-20) == 14 and c.load() == -6
        assert c.increment(-4) == -10
        assert c.decrement(-10) == 0
        assert c.store(1) is None

    def test_compare_and_swap(self):
        c = AtomicCounter()
        assert c.compare_and_swap(1, 2) is False and c.load() == 0
        c.store(1)
        assert c.compare_and_swap(1, 2) is True and c.load() == 2

    def test_wraparound(self):
        c = AtomicCounter(INT64_MAX)
        assert c.increment() == INT64_MIN and c.load() == INT64_MIN
        assert c.decrement() == INT64_MAX
        c.store(INT64_MIN)
        assert c.fetch_and_add(-1) == INT64_MIN and c.load() == INT64_MAX
        c.store(0)
        assert c.decrement(INT64_MIN) == INT64_MIN  # negating the smallest value wraps to itself

    def test_method_table(self):
        d = vars(AtomicCounter)
        names = [k for k in d if not k.startswith("__")]
        assert names == [
            "load",
            "store",
            "increment",
            "decrement",
            "compare_and_swap",
            "fetch_and_add",
            "py_load",
            "py_store",
            "py_increment",
            "py_decrement",
            "py_compare_and_swap",
            "py_fetch_and_add",
        ]
        assert AtomicCounter.load.__doc__ == "Atomically load value."
        assert AtomicCounter.store.__doc__ == "Atomically store value."
        assert AtomicCounter.decrement.__doc__ == "Atomically decrement and return new value."
        assert AtomicCounter.compare_and_swap.__doc__ == "Atomically compare and swap."
        assert AtomicCounter.fetch_and_add.__doc__ == "Atomically fetch and add."
        assert AtomicCounter.compare_and_swap.__annotations__ == {"return": "bool"}

    def test_two_threads(self):
        c = AtomicCounter()

        def work():
            for _ in range(100000):
                c.increment()

        threads = [threading.Thread(target=work) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert c.load() == 200000

    def test_cas_loop_from_threads(self):
        c = AtomicCounter()

        def work():
            for _ in range(20000):
                while True:
                    v = c.load()
                    if c.compare_and_swap(v, v + 1):
                        break

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert c.load() == 80000


class TestWrapper:
    def test_forwarding(self):
        w = AtomicCounterWrapper(7)
        assert w.increment() == 8
        assert w.decrement(3) == 5
        assert w.fetch_and_add(2) == 5 and w.load() == 7
        assert w.compare_and_swap(7, 1) is True and w.load() == 1
        assert w.store(2.5) is None and w.load() == 2
        assert isinstance(w._counter, AtomicCounter)
        assert AtomicCounterWrapper().load() == 0

    def test_looks_up_counter_on_each_call(self):
        w = AtomicCounterWrapper(1)
        w._counter = AtomicCounter(100)
        assert w.increment() == 101
        del w._counter
        with pytest.raises(AttributeError):
            w.load()

    def test_forwards_converted_ints_to_py_names(self):
        calls = []

        class Fake:
            def py_increment(self, delta):
                calls.append(("py_increment", delta))
                return 1

            def py_compare_and_swap(self, expected, new_value):
                calls.append(("py_compare_and_swap", expected, new_value))
                return "kept"

            def py_store(self, value):
                calls.append(("py_store", value))
                return "ignored"

        w = AtomicCounterWrapper()
        w._counter = Fake()
        w.increment(2.9)
        w.increment(True)
        assert w.compare_and_swap(1.5, False) == "kept"  # a "bool" result is not coerced
        assert w.store(7.2) is None
        assert calls == [("py_increment", 2), ("py_increment", 1), ("py_compare_and_swap", 1, 0), ("py_store", 7)]
        assert all(type(v) is int for c in calls for v in c[1:])

    def test_signature_records(self):
        assert AtomicCounterWrapper.__init__.__defaults__ == (0,)
        assert AtomicCounterWrapper.__init__.__annotations__ == {"initial_value": "int"}
        assert AtomicCounterWrapper.fetch_and_add.__defaults__ is None
        assert AtomicCounterWrapper.increment.__annotations__ == {"delta": "int", "return": "int"}
        assert AtomicCounterWrapper.store.__annotations__ == {"value": "int"}
        with pytest.raises(TypeError, match=r"^load\(\) takes exactly 1 positional argument \(2 given\)$"):
            AtomicCounterWrapper().load(1)


class TestLockFreeStatistics:
    def snap(self, s):
        return s.get_snapshot()

    def test_fresh_snapshot(self):
        snap = LockFreeStatistics().get_snapshot()
        assert list(snap) == [
            "total_allocations",
            "total_deallocations",
            "current_allocations",
            "bytes_allocated",
            "bytes_reserved",
            "peak_allocations",
            "peak_bytes_allocated",
            "bucketed_allocations",
            "fallback_allocations",
            "bucketed_allocation_ratio",
            "alignment_padding_bytes",
            "average_allocation_time_ns",
            "average_deallocation_time_ns",
            "allocation_mode",
        ]
        assert snap["bucketed_allocation_ratio"] == "0.0%"
        assert snap["average_allocation_time_ns"] == 0.0 and type(snap["average_allocation_time_ns"]) is float
        assert snap["average_deallocation_time_ns"] == 0.0
        assert snap["allocation_mode"] == "lock-free C11 atomics"
        assert all(snap[k] == 0 for k in snap if k not in ("bucketed_allocation_ratio", "allocation_mode"))

    def test_record_allocation(self):
        s = LockFreeStatistics()
        s.record_allocation(100)
        snap = s.get_snapshot()
        assert (snap["total_allocations"], snap["current_allocations"], snap["bytes_allocated"]) == (1, 1, 100)
        assert (snap["peak_allocations"], snap["peak_bytes_allocated"]) == (1, 100)
        assert (snap["bucketed_allocations"], snap["fallback_allocations"]) == (1, 0)
        assert snap["bucketed_allocation_ratio"] == "100.0%"
        assert snap["average_allocation_time_ns"] == 0.0

    def test_mixed_allocations(self):
        s = LockFreeStatistics()
        s.record_allocation(64, False, 8, 500)
        s.record_allocation(32)
        snap = s.get_snapshot()
        assert snap["fallback_allocations"] == 1 and snap["bucketed_allocations"] == 1
        assert snap["bucketed_allocation_ratio"] == "50.0%"
        assert snap["alignment_padding_bytes"] == 8
        assert snap["average_allocation_time_ns"] == 250.0
        s.record_allocation(1, is_bucketed=0)
        assert s.get_snapshot()["bucketed_allocation_ratio"] == "33.3%"

    def test_deallocation(self):
        s = LockFreeStatistics()
        s.record_allocation(100)
        s.record_deallocation(100, time_ns=30)
        snap = s.get_snapshot()
        assert snap["current_allocations"] == 0 and snap["bytes_allocated"] == 0
        assert snap["peak_allocations"] == 1 and snap["peak_bytes_allocated"] == 100
        assert snap["total_deallocations"] == 1 and snap["average_deallocation_time_ns"] == 30.0

    def test_non_positive_padding_and_time_ignored(self):
        s = LockFreeStatistics()
        s.record_allocation(10, padding=-5, time_ns=-1)
        s.record_allocation(10, padding=0, time_ns=0)
        assert s.alignment_padding_bytes.load() == 0 and s.total_allocation_time_ns.load() == 0

    def test_peaks_follow_maximum(self):
        s = LockFreeStatistics()
        for size in (10, 20, 5):
            s.record_allocation(size)
        s.record_deallocation(20)
        s.record_deallocation(5)
        s.record_allocation(1)
        assert s.peak_allocations.load() == 3 and s.peak_bytes_allocated.load() == 35

    def test_py_family(self):
        s = LockFreeStatistics()
        s.py_record_allocation(10, True, 4, 7)
        snap = s.get_snapshot()
        assert (snap["total_allocations"], snap["current_allocations"], snap["bytes_allocated"]) == (1, 1, 10)
        assert snap["peak_allocations"] == 0 and snap["peak_bytes_allocated"] == 0
        assert snap["bucketed_allocations"] == 0 and snap["alignment_padding_bytes"] == 0
        s.py_record_deallocation(10, 5)
        snap = s.get_snapshot()
        assert (snap["total_deallocations"], snap["current_allocations"], snap["bytes_allocated"]) == (1, 0, 0)
        assert snap["average_deallocation_time_ns"] == 0.0
        with pytest.raises(OverflowError):
            s.py_record_allocation(2**63, True)
        with pytest.raises(OverflowError):
            s.py_record_deallocation(1, 2**64)
        assert s.total_allocations.load() == 1 and s.total_deallocations.load() == 1
        with pytest.raises(TypeError, match=r"^Argument 'size' has incorrect type \(expected int, got str\)$"):
            s.py_record_allocation("1", True)

    def test_public_counters_replaceable(self):
        s = LockFreeStatistics()
        mine = AtomicCounter(40)
        s.total_allocations = mine
        s.record_allocation(1)
        assert mine.load() == 41 and s.total_allocations is mine
        s.total_allocations = "anything"
        assert s.total_allocations == "anything"
        del s.total_allocations
        assert s.total_allocations is None
        with pytest.raises(AttributeError):
            s.record_allocation(1)
        assert s.current_allocations.load() == 1  # the earlier counters in that call are not rolled back

    def test_stand_in_counters_and_update_peaks_override(self):
        calls = []

        class Stats(LockFreeStatistics):
            def _update_peaks(self, a, b):
                calls.append((a, b))

        s = Stats()
        s.record_allocation(5)
        s.record_allocation(7)
        assert calls == [(1, 5), (2, 12)]
        assert s.peak_allocations.load() == 0

    def test_snapshot_with_float_counters(self):
        class Loader:
            def __init__(self, v):
                self.v = v

            def load(self):
                return self.v

        s = LockFreeStatistics()
        s.total_allocations = Loader(8)
        s.bucketed_allocations = Loader(3)
        s.total_allocation_time_ns = Loader(2.0)
        snap = s.get_snapshot()
        assert snap["bucketed_allocation_ratio"] == "37.5%"
        assert snap["average_allocation_time_ns"] == 0.25

    def test_reset(self):
        s = LockFreeStatistics()
        s.record_allocation(64, False, 8, 500)
        s.record_allocation(32, True)
        s.record_deallocation(32, 10)
        s.reset()
        snap = s.get_snapshot()
        for key in (
            "total_allocations",
            "total_deallocations",
            "current_allocations",
            "bytes_allocated",
            "bytes_reserved",
            "peak_allocations",
            "peak_bytes_allocated",
        ):
            assert snap[key] == 0, key
        assert snap["bucketed_allocations"] == 1 and snap["fallback_allocations"] == 1
        assert snap["alignment_padding_bytes"] == 8
        assert s.total_allocation_time_ns.load() == 500 and s.total_deallocation_time_ns.load() == 10

    def test_reset_error_releases_lock(self):
        s = LockFreeStatistics()
        s.current_allocations = None
        with pytest.raises(AttributeError):
            s.reset()
        assert s.total_allocations.load() == 0
        s.current_allocations = AtomicCounter(5)
        s.reset()  # the lock was released on the error path
        assert s.current_allocations.load() == 0

    def test_argument_errors(self):
        s = LockFreeStatistics()
        with pytest.raises(TypeError, match=r"^Argument 'size' has incorrect type \(expected int, got str\)$"):
            s.record_allocation("x")
        with pytest.raises(
            TypeError, match=r"^record_allocation\(\) takes at least 1 positional argument \(0 given\)$"
        ):
            s.record_allocation()
        assert s.total_allocations.load() == 0

    def test_method_table(self):
        d = vars(LockFreeStatistics)
        assert [k for k in d if not k.startswith("__") and callable(d[k])] == [
            "py_record_allocation",
            "py_record_deallocation",
            "_update_peaks",
            "record_allocation",
            "record_deallocation",
            "get_snapshot",
            "reset",
        ]
        assert LockFreeStatistics.record_allocation.__annotations__ == {
            "size": "int",
            "is_bucketed": "bool",
            "padding": "int",
            "time_ns": "int",
            "return": "None",
        }
        assert LockFreeStatistics.py_record_allocation.__annotations__ == {
            "size": "int",
            "is_bucketed": "bool",
            "padding": "int",
            "time_ns": "int",
        }
        assert LockFreeStatistics._update_peaks.__annotations__ == {
            "current_allocs": "int",
            "current_bytes": "int",
            "return": "None",
        }
        assert LockFreeStatistics.get_snapshot.__annotations__ == {"return": "dict"}
        assert LockFreeStatistics.reset.__doc__ == "Reset all statistics to zero."
        assert LockFreeStatistics.record_allocation.__doc__.startswith("Record an allocation event.")

    def test_record_allocation_call_sequence(self):
        s, log = recorded_stats()
        s.record_allocation(10, False, 3, 7)
        assert log == [
            ("total_allocations", "increment", ()),
            ("current_allocations", "increment", ()),
            ("bytes_allocated", "increment", (10,)),
            ("fallback_allocations", "increment", ()),
            ("alignment_padding_bytes", "increment", (3,)),
            ("total_allocation_time_ns", "increment", (7,)),
            ("current_allocations", "load", ()),
            ("bytes_allocated", "load", ()),
            ("peak_allocations", "load", ()),
            ("peak_allocations", "compare_and_swap", (0, 1)),
            ("peak_bytes_allocated", "load", ()),
            ("peak_bytes_allocated", "compare_and_swap", (0, 10)),
        ]
        log.clear()
        # Zero padding and time are not passed on (strict comparisons).
        s.record_allocation(5, padding=0, time_ns=0)
        assert [e[0] for e in log[:4]] == [
            "total_allocations",
            "current_allocations",
            "bytes_allocated",
            "bucketed_allocations",
        ]
        assert log[4] == ("current_allocations", "load", ())

    def test_record_deallocation_call_sequence(self):
        s, log = recorded_stats()
        s.record_deallocation(4)
        assert log == [
            ("total_deallocations", "increment", ()),
            ("current_allocations", "decrement", ()),
            ("bytes_allocated", "decrement", (4,)),
        ]
        log.clear()
        s.record_deallocation(4, 9)
        assert log[-1] == ("total_deallocation_time_ns", "increment", (9,))
        log.clear()
        s.record_deallocation(4, -9)
        assert len(log) == 3

    def test_py_family_touches_only_three_public_counters(self):
        s, log = recorded_stats()
        s.py_record_allocation(10, False, 3, 7)
        assert log == [
            ("total_allocations", "increment", ()),
            ("current_allocations", "increment", ()),
            ("bytes_allocated", "increment", (10,)),
        ]
        log.clear()
        s.py_record_deallocation(10, 5)
        assert log == [
            ("total_deallocations", "increment", ()),
            ("current_allocations", "decrement", ()),
            ("bytes_allocated", "decrement", (10,)),
        ]

    def test_py_family_conversion_order(self):
        class BadBool:
            def __bool__(self):
                raise ValueError("no truth")

        s, log = recorded_stats()
        # Every argument is converted as annotated before the 64-bit range check.
        with pytest.raises(TypeError, match=r"^Argument 'padding' has incorrect type \(expected int, got str\)$"):
            s.py_record_allocation(2**63, True, "x")
        with pytest.raises(ValueError, match="no truth"):
            s.py_record_allocation(1, BadBool())
        with pytest.raises(OverflowError):
            s.py_record_allocation(1, True, 0, 2**63)
        with pytest.raises(ValueError, match="no truth"):
            s.record_allocation(1, BadBool())
        assert log == []

    def test_update_peaks_loop(self):
        s, log = recorded_stats()
        s.peak_allocations = Recorder("peak_allocations", log, value=3, cas_failures=2)
        s._update_peaks(5, 0)
        # Failed swaps reload and retry; an equal or smaller candidate stops after the load.
        assert log == [
            ("peak_allocations", "load", ()),
            ("peak_allocations", "compare_and_swap", (3, 5)),
            ("peak_allocations", "load", ()),
            ("peak_allocations", "compare_and_swap", (3, 5)),
            ("peak_allocations", "load", ()),
            ("peak_allocations", "compare_and_swap", (3, 5)),
            ("peak_bytes_allocated", "load", ()),
        ]
        assert s.peak_allocations.value == 5
        log.clear()
        s._update_peaks(5, -1)
        assert log == [("peak_allocations", "load", ()), ("peak_bytes_allocated", "load", ())]
        assert s._update_peaks(2.9, 0) is None and s.peak_allocations.value == 5

    def test_snapshot_and_reset_call_sequence(self):
        s, log = recorded_stats()
        s.get_snapshot()
        assert log == [(name, "load", ()) for name in STAT_NAMES]
        log.clear()
        s.reset()
        assert log == [(name, "store", (0,)) for name in STAT_NAMES[:7]]
        log.clear()
        s.current_allocations = object()
        with pytest.raises(AttributeError):
            s.reset()
        assert log == [(name, "store", (0,)) for name in STAT_NAMES[:2]]

    def test_snapshot_guards_are_strict(self):
        s = LockFreeStatistics()
        s.total_allocations.store(-4)
        s.bucketed_allocations.store(2)
        s.total_allocation_time_ns.store(100)
        s.total_deallocations.store(-1)
        s.total_deallocation_time_ns.store(100)
        snap = s.get_snapshot()
        assert snap["bucketed_allocation_ratio"] == "0.0%"
        assert snap["average_allocation_time_ns"] == 0.0 and type(snap["average_allocation_time_ns"]) is float
        assert snap["average_deallocation_time_ns"] == 0.0
        s.total_allocations.store(3)
        s.total_deallocations.store(8)
        snap = s.get_snapshot()
        assert snap["bucketed_allocation_ratio"] == "66.7%"
        assert snap["average_deallocation_time_ns"] == 12.5

    def test_threads_recording(self):
        s = LockFreeStatistics()

        def work():
            for _ in range(5000):
                s.record_allocation(8)
                s.py_record_allocation(8, False)
                s.record_deallocation(8)

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        snap = s.get_snapshot()
        assert snap["total_allocations"] == 40000 and snap["total_deallocations"] == 20000
        assert snap["current_allocations"] == 20000 and snap["bytes_allocated"] == 160000
        assert snap["bucketed_allocations"] == 20000


class PlainCounter(AtomicCounter):
    """An AtomicCounter subclass that changes nothing: its methods are reached
    through Python calls, so it serves as the reference for the exact type."""


class SpyCounter(AtomicCounter):
    """An AtomicCounter subclass that logs every method call into `log`."""

    log = None
    label = None

    def _note(self, method, args):
        self.log.append((self.label, method, args))

    def load(self):
        self._note("load", ())
        return super().load()

    def increment(self, *args):
        self._note("increment", args)
        return super().increment(*args)

    def decrement(self, *args):
        self._note("decrement", args)
        return super().decrement(*args)

    def store(self, *args):
        self._note("store", args)
        return super().store(*args)

    def compare_and_swap(self, *args):
        self._note("compare_and_swap", args)
        return super().compare_and_swap(*args)


def spy(label, log, value=0):
    c = SpyCounter(value)
    c.label, c.log = label, log
    return c


class TestExactCounters:
    """Exact AtomicCounter counters and an exact LockFreeStatistics are updated
    natively; every other object must see the same calls as before."""

    def twin(self):
        exact = LockFreeStatistics()
        ref = LockFreeStatistics()
        for name in STAT_NAMES:
            setattr(ref, name, PlainCounter(0))
        return exact, ref

    def values(self, s):
        return [getattr(s, name).load() for name in STAT_NAMES]

    def test_exact_counters_match_subclass_counters(self):
        import random

        rng = random.Random(5)
        exact, ref = self.twin()
        sizes = [0, 1, 7, 4096, -3, INT64_MAX, INT64_MIN, 2**63, -(2**63) - 1, 2**70, True, 2.5]
        for step in range(600):
            op = rng.choice(["alloc", "alloc", "dealloc", "peaks", "py_alloc", "py_dealloc", "reset", "snap"])
            size = rng.choice(sizes)
            args = {
                "alloc": (size, rng.random() < 0.5, rng.choice(sizes), rng.choice(sizes)),
                "dealloc": (size, rng.choice(sizes)),
                "peaks": (size, rng.choice(sizes)),
                "py_alloc": (size, True, rng.choice([0, 5]), 0),
                "py_dealloc": (size,),
            }.get(op, ())
            method = {
                "alloc": "record_allocation",
                "dealloc": "record_deallocation",
                "peaks": "_update_peaks",
                "py_alloc": "py_record_allocation",
                "py_dealloc": "py_record_deallocation",
                "reset": "reset",
                "snap": "get_snapshot",
            }[op]
            outcome = []
            for s in (exact, ref):
                try:
                    outcome.append(("ok", getattr(s, method)(*args)))
                except Exception as e:  # the same error, at the same point, on both
                    outcome.append((type(e), str(e)))
            assert outcome[0] == outcome[1], (step, method, args)
            assert self.values(exact) == self.values(ref), (step, method, args)

    def test_wraparound_and_peaks_on_exact_counters(self):
        exact, ref = self.twin()
        for s in (exact, ref):
            s.current_allocations.store(INT64_MAX)
            s.bytes_allocated.store(INT64_MAX - 5)
            s.record_allocation(2)
        assert self.values(exact) == self.values(ref)
        assert exact.current_allocations.load() == INT64_MIN
        assert exact.peak_allocations.load() == 0  # the wrapped count is below the old peak
        assert exact.peak_bytes_allocated.load() == INT64_MAX - 3

    def test_overflowing_size_fails_after_the_earlier_counters(self):
        s = LockFreeStatistics()
        with pytest.raises(OverflowError):
            s.record_allocation(2**63)
        assert s.total_allocations.load() == 1 and s.current_allocations.load() == 1
        assert s.bytes_allocated.load() == 0 and s.bucketed_allocations.load() == 0
        with pytest.raises(OverflowError):
            s._update_peaks(1, 2**64)
        assert s.peak_allocations.load() == 1 and s.peak_bytes_allocated.load() == 0

    def test_subclass_counters_among_exact_ones_see_every_call_in_order(self):
        log = []
        s = LockFreeStatistics()
        s.bytes_allocated = spy("bytes_allocated", log)
        s.peak_allocations = spy("peak_allocations", log)
        s.record_allocation(10, False, 3, 7)
        assert log == [
            ("bytes_allocated", "increment", (10,)),
            ("bytes_allocated", "load", ()),
            ("peak_allocations", "load", ()),
            ("peak_allocations", "compare_and_swap", (0, 1)),
        ]
        assert s.peak_allocations.load() == 1 and s.peak_bytes_allocated.load() == 10
        assert s.alignment_padding_bytes.load() == 3 and s.total_allocation_time_ns.load() == 7
        log.clear()
        s.record_deallocation(4)
        s.get_snapshot()
        s.reset()
        assert log == [
            ("bytes_allocated", "decrement", (4,)),
            ("bytes_allocated", "load", ()),
            ("peak_allocations", "load", ()),
            ("bytes_allocated", "store", (0,)),
            ("peak_allocations", "store", (0,)),
        ]

    def test_stand_in_peak_counter_goes_through_update_peaks(self):
        # Exact counters elsewhere, one stand-in peak: the peaks still go
        # through the (overridable) method with the loaded values.
        calls = []

        class Stats(LockFreeStatistics):
            def _update_peaks(self, a, b):
                calls.append((a, b))
                return LockFreeStatistics._update_peaks(self, a, b)

        log = []
        s = Stats()
        s.peak_bytes_allocated = Recorder("peak_bytes_allocated", log, value=100)
        s.record_allocation(64)
        s.record_allocation(64)
        assert calls == [(1, 64), (2, 128)]
        assert log == [
            ("peak_bytes_allocated", "load", ()),
            ("peak_bytes_allocated", "load", ()),
            ("peak_bytes_allocated", "compare_and_swap", (100, 128)),
        ]
        assert s.peak_allocations.load() == 2

    def test_counter_replaced_during_a_call_is_read_afresh(self):
        log = []
        s = LockFreeStatistics()

        class Swapper(Recorder):
            def increment(self, *args):
                s.peak_allocations = Recorder("peak_allocations", log, value=9)
                s.bytes_allocated = AtomicCounter(50)
                return super().increment(*args)

        s.total_allocations = Swapper("total_allocations", log)
        s.record_allocation(5)
        assert log == [("total_allocations", "increment", ()), ("peak_allocations", "load", ())]
        assert s.bytes_allocated.load() == 55 and s.peak_bytes_allocated.load() == 55

    def test_errors_of_stand_ins_stop_the_call(self):
        s = LockFreeStatistics()
        s.fallback_allocations = None
        with pytest.raises(AttributeError):
            s.record_allocation(8, False)
        assert s.total_allocations.load() == 1 and s.bytes_allocated.load() == 8
        assert s.peak_allocations.load() == 0
        s.fallback_allocations = AtomicCounter()
        s.peak_bytes_allocated = "no methods"
        with pytest.raises(AttributeError):
            s.record_allocation(8, False)
        assert s.peak_allocations.load() == 2


def dropping(stats, name, method):
    """Puts in `stats.<name>` a counter whose `method` first replaces that
    attribute with a fresh counter and lets go of its own reference, so that
    only the caller's reference keeps it alive, and then runs the base method
    on it.  Returns the list of whether it survived, one entry per call."""
    survived = []

    def override(self, *args):
        ref = weakref.ref(self)
        setattr(stats, name, AtomicCounter(0))
        del self
        me = ref()
        survived.append(me is not None)
        if me is None:
            raise AssertionError(f"{name}.{method}() freed during its own call")
        return getattr(AtomicCounter, method)(me, *args)

    setattr(stats, name, type("Dropping", (AtomicCounter,), {method: override})(0))
    return survived


# (method, arguments, counter attribute, counter method): every call that
# LockFreeStatistics makes on a public counter.
COUNTER_CALLS = [
    ("record_allocation", (8, True, 2, 5), "total_allocations", "increment"),
    ("record_allocation", (8, True, 2, 5), "current_allocations", "increment"),
    ("record_allocation", (8, True, 2, 5), "current_allocations", "load"),
    ("record_allocation", (8, True, 2, 5), "bytes_allocated", "increment"),
    ("record_allocation", (8, True, 2, 5), "bytes_allocated", "load"),
    ("record_allocation", (8, True, 2, 5), "bucketed_allocations", "increment"),
    ("record_allocation", (8, False, 2, 5), "fallback_allocations", "increment"),
    ("record_allocation", (8, True, 2, 5), "alignment_padding_bytes", "increment"),
    ("record_allocation", (8, True, 2, 5), "total_allocation_time_ns", "increment"),
    ("record_allocation", (8, True, 2, 5), "peak_allocations", "load"),
    ("record_allocation", (8, True, 2, 5), "peak_allocations", "compare_and_swap"),
    ("record_allocation", (8, True, 2, 5), "peak_bytes_allocated", "load"),
    ("record_allocation", (8, True, 2, 5), "peak_bytes_allocated", "compare_and_swap"),
    ("record_deallocation", (8, 5), "total_deallocations", "increment"),
    ("record_deallocation", (8, 5), "current_allocations", "decrement"),
    ("record_deallocation", (8, 5), "bytes_allocated", "decrement"),
    ("record_deallocation", (8, 5), "total_deallocation_time_ns", "increment"),
    ("py_record_allocation", (8, True), "total_allocations", "increment"),
    ("py_record_allocation", (8, True), "current_allocations", "increment"),
    ("py_record_allocation", (8, True), "bytes_allocated", "increment"),
    ("py_record_deallocation", (8,), "total_deallocations", "increment"),
    ("py_record_deallocation", (8,), "current_allocations", "decrement"),
    ("py_record_deallocation", (8,), "bytes_allocated", "decrement"),
    ("_update_peaks", (3, 30), "peak_allocations", "load"),
    ("_update_peaks", (3, 30), "peak_bytes_allocated", "compare_and_swap"),
    ("reset", (), "total_allocations", "store"),
    ("reset", (), "peak_bytes_allocated", "store"),
] + [("get_snapshot", (), name, "load") for name in STAT_NAMES]


class TestCountersHeldDuringCalls:
    """A public counter stays alive for the whole of a call made on it, even
    when the attribute it was read from is replaced meanwhile."""

    @pytest.mark.parametrize("method, args, name, counter_method", COUNTER_CALLS)
    def test_counter_that_drops_its_attribute_survives_its_call(self, method, args, name, counter_method):
        s = LockFreeStatistics()
        survived = dropping(s, name, counter_method)
        getattr(s, method)(*args)
        assert survived == [True]
        assert type(getattr(s, name)) is AtomicCounter  # the replacement stays

    def test_replacement_does_not_redirect_the_call(self):
        # The call completes on the counter it was made on; the fresh
        # counter put in its place is untouched by it.
        s = LockFreeStatistics()
        dropped = []

        class Keep(AtomicCounter):
            def increment(self, *args):
                dropped.append(self)
                s.bytes_allocated = AtomicCounter(100)
                return super().increment(*args)

        s.bytes_allocated = Keep(0)
        s.record_allocation(8)
        assert dropped[0].load() == 8 and s.bytes_allocated.load() == 100
        assert s.peak_bytes_allocated.load() == 100  # the peak reads the attribute afresh


class TestAtomicPointer:
    def test_basics(self):
        p = AtomicPointer()
        assert p.load() is None and p.get_version() == 0
        x = object()
        assert AtomicPointer(x).load() is x
        assert AtomicPointer(initial_value=None).load() is None
        p.store(x)
        p.store(None)
        assert p.load() is None and p.get_version() == 2
        p.store(1)
        assert p.get_version() == 3

    def test_compare_and_swap_identity(self):
        p = AtomicPointer()
        x = [1]
        assert p.compare_and_swap(None, x) is True and p.load() is x and p.get_version() == 1
        assert p.compare_and_swap([1], "y") is False and p.load() is x and p.get_version() == 1
        assert p.compare_and_swap(x, None) is True and p.load() is None and p.get_version() == 2

    def test_compare_and_swap_none_on_empty_cell(self):
        p = AtomicPointer()
        assert p.compare_and_swap(None, None) is True and p.load() is None and p.get_version() == 1
        x = object()
        p.store(x)
        assert p.compare_and_swap(None, None) is False and p.load() is x and p.get_version() == 2

    def test_reference_counts(self):
        x = object()
        base = sys.getrefcount(x)
        p = AtomicPointer(x)
        assert sys.getrefcount(x) == base + 1
        assert p.compare_and_swap(x, x) is True
        assert sys.getrefcount(x) == base + 1 and p.get_version() == 1
        assert p.compare_and_swap(None, x) is False
        assert sys.getrefcount(x) == base + 1
        y = object()
        p.store(y)
        assert sys.getrefcount(x) == base
        for _ in range(10):
            p.load()
        assert sys.getrefcount(y) == base + 1
        del p
        assert sys.getrefcount(y) == base

    def test_cycle_through_cell_is_collected(self):
        class Holder:
            pass

        h = Holder()
        h.cell = AtomicPointer(h)
        ref = weakref.ref(h)
        del h
        gc.collect()
        assert ref() is None

    def test_threads(self):
        p = AtomicPointer(0)

        def work():
            for _ in range(5000):
                while True:
                    cur = p.load()
                    if p.compare_and_swap(cur, cur + 1):
                        break

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert p.load() == 20000 and p.get_version() == 20000


class TestLockFreeStack:
    def test_lifo(self):
        s = LockFreeStack()
        assert s.is_empty() is True and s.size() == 0 and s.pop() is None
        for i in (1, 2, 3):
            s.push(i)
        sizes, items = [], []
        for _ in range(3):
            sizes.append(s.size())
            items.append(s.pop())
        assert items == [3, 2, 1] and sizes == [3, 2, 1]
        assert s.size() == 0 and s.is_empty() is True and s.pop() is None

    def test_push_none(self):
        s = LockFreeStack()
        s.push(None)
        assert s.is_empty() is False and s.size() == 1
        assert s.pop() is None and s.is_empty() is True

    def test_reference_counts(self):
        x = object()
        base = sys.getrefcount(x)
        s = LockFreeStack()
        s.push(x)
        s.push(x)
        assert sys.getrefcount(x) == base + 2
        assert s.pop() is x
        assert sys.getrefcount(x) == base + 1
        del s
        assert sys.getrefcount(x) == base

    def test_dropping_releases_all_items(self):
        class Item:
            pass

        items = [Item() for _ in range(100)]
        refs = [weakref.ref(i) for i in items]
        s = LockFreeStack()
        for i in items:
            s.push(i)
        del items, i
        assert all(r() is not None for r in refs)
        del s
        assert all(r() is None for r in refs)

    def test_cycle_through_stack_is_collected(self):
        class Owner:
            pass

        o = Owner()
        o.stack = LockFreeStack()
        o.stack.push(o)
        ref = weakref.ref(o)
        del o
        gc.collect()
        assert ref() is None

    def test_threads(self):
        s = LockFreeStack()
        popped = []

        def producer(base):
            for i in range(5000):
                s.push(base + i)

        def consumer():
            got = 0
            while got < 5000:
                v = s.pop()
                if v is not None:
                    popped.append(v)
                    got += 1

        threads = [threading.Thread(target=producer, args=(k * 10000,)) for k in range(2)]
        threads += [threading.Thread(target=consumer) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert sorted(popped) == sorted(list(range(5000)) + list(range(10000, 15000)))
        assert s.size() == 0 and s.is_empty()


class TestPerformanceTimer:
    def test_without_start_reads_raw_clock(self):
        import time

        before = time.perf_counter_ns()
        v = PerformanceTimer().elapsed_ns()
        after = time.perf_counter_ns()
        assert before <= v <= after

    def test_elapsed_monotone(self):
        t = PerformanceTimer()
        t.start()
        a = t.elapsed_ns()
        b = t.elapsed_ns()
        assert 0 <= a <= b
        assert type(t.elapsed_us()) is float and type(t.elapsed_ms()) is float

    def test_units_follow_elapsed_ns(self):
        class Fixed(PerformanceTimer):
            def elapsed_ns(self):
                return 5000

        f = Fixed()
        assert f.elapsed_us() == 5.0 and type(f.elapsed_us()) is float
        assert f.elapsed_ms() == 0.005

        class FloatNs(PerformanceTimer):
            def elapsed_ns(self):
                return 2.5

        assert FloatNs().elapsed_us() == 0.0025

    def test_int_coercion_of_elapsed(self, monkeypatch):
        import talvora.memory.mesqua as m

        class FakeTime:
            def __init__(self, v):
                self.v = v

            def perf_counter_ns(self):
                return self.v

        t = PerformanceTimer()
        monkeypatch.setattr(m, "time", FakeTime(1000))
        t.start()
        monkeypatch.setattr(m, "time", FakeTime(2500.9))
        assert t.elapsed_ns() == 1500 and type(t.elapsed_ns()) is int
        monkeypatch.setattr(m, "time", FakeTime(2**64))
        with pytest.raises(OverflowError):
            t.start()
        monkeypatch.setattr(m, "time", FakeTime("x"))
        with pytest.raises(TypeError):
            t.elapsed_ns()

    def test_start_restarts(self, monkeypatch):
        import talvora.memory.mesqua as m

        class FakeTime:
            v = 0

            def perf_counter_ns(self):
                return self.v

        fake = FakeTime()
        monkeypatch.setattr(m, "time", fake)
        t = PerformanceTimer()
        fake.v = 1000
        t.start()
        fake.v = 2000
        t.start()
        fake.v = 2500
        assert t.elapsed_ns() == 500 and t.elapsed_ns() == 500
        assert t.elapsed_us() == 0.5 and t.elapsed_ms() == 0.0005
        fake.v = 1500
        assert t.elapsed_ns() == -500  # plain integer difference
        monkeypatch.setattr(m, "time", object())  # replaced in place: the namespace order stays
        with pytest.raises(AttributeError, match="perf_counter_ns"):
            t.start()
        with pytest.raises(AttributeError, match="perf_counter_ns"):
            t.elapsed_ns()

    def test_docstrings(self):
        assert PerformanceTimer.__doc__ == "High-resolution timer for performance measurement."
        assert PerformanceTimer.start.__doc__ == "Start timing."
        assert PerformanceTimer.elapsed_ns.__annotations__ == {"return": "int"}
        assert PerformanceTimer.elapsed_ms.__annotations__ == {"return": "float"}

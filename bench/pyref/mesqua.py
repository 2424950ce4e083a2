"""Atomic primitives in pure Python: a lock makes each step atomic."""

import threading
import time


class AtomicCounter:
    __slots__ = ("_value", "_lock")

    def __init__(self, initial_value=0):
        self._value = initial_value
        self._lock = threading.Lock()

    def load(self):
        return self._value

    def store(self, value):
        with self._lock:
            self._value = value

    def increment(self, delta=1):
        with self._lock:
            self._value += delta
            return self._value

    def decrement(self, delta=1):
        with self._lock:
            self._value -= delta
            return self._value

    def compare_and_swap(self, expected, new_value):
        with self._lock:
            if self._value == expected:
                self._value = new_value
                return True
            return False

    def fetch_and_add(self, delta):
        with self._lock:
            old = self._value
            self._value = old + delta
            return old


class AtomicPointer:
    __slots__ = ("_ptr", "_version", "_lock")

    def __init__(self, initial_value=None):
        self._ptr = initial_value
        self._version = 0
        self._lock = threading.Lock()

    def load(self):
        with self._lock:
            return self._ptr

    def store(self, value):
        with self._lock:
            self._ptr = value
            self._version += 1

    def compare_and_swap(self, expected, new_value):
        with self._lock:
            if self._ptr is expected:
                self._ptr = new_value
                self._version += 1
                return True
            return False

    def get_version(self):
        with self._lock:
            return self._version


class LockFreeStack:
    __slots__ = ("_items", "_lock")

    def __init__(self):
        self._items = []
        self._lock = threading.Lock()

    def push(self, item):
        with self._lock:
            self._items.append(item)

    def pop(self):
        with self._lock:
            return self._items.pop() if self._items else None

    def is_empty(self):
        return not self._items

    def size(self):
        return len(self._items)


class PerformanceTimer:
    __slots__ = ("_start_ns",)

    def __init__(self):
        self._start_ns = 0

    def start(self):
        self._start_ns = time.perf_counter_ns()

    def elapsed_ns(self):
        return time.perf_counter_ns() - self._start_ns

    def elapsed_us(self):
        return self.elapsed_ns() / 1000.0


_NAMES = (
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
)


class LockFreeStatistics:
    def __init__(self):
        self._lock = threading.Lock()
        for name in _NAMES:
            setattr(self, name, AtomicCounter(0))

    def record_allocation(self, size, is_bucketed=True, padding=0, time_ns=0):
        self.total_allocations.increment()
        self.current_allocations.increment()
        self.bytes_allocated.increment(size)
        if is_bucketed:
            self.bucketed_allocations.increment()
        else:
            self.fallback_allocations.increment()
        if padding > 0:
            self.alignment_padding_bytes.increment(padding)
        if time_ns > 0:
            self.total_allocation_time_ns.increment(time_ns)
        self._update_peaks(self.current_allocations.load(), self.bytes_allocated.load())

    def _update_peaks(self, current_allocs, current_bytes):
        while True:
            peak = self.peak_allocations.load()
            if current_allocs <= peak or self.peak_allocations.compare_and_swap(peak, current_allocs):
                break
        while True:
            peak = self.peak_bytes_allocated.load()
            if current_bytes <= peak or self.peak_bytes_allocated.compare_and_swap(peak, current_bytes):
                break

    def record_deallocation(self, size, time_ns=0):
        self.total_deallocations.increment()
        self.current_allocations.decrement()
        self.bytes_allocated.decrement(size)
        if time_ns > 0:
            self.total_deallocation_time_ns.increment(time_ns)

    def get_snapshot(self):
        v = [getattr(self, name).load() for name in _NAMES]
        t, d, b, at, dt = v[0], v[1], v[7], v[10], v[11]
        ratio = (b / t) * 100.0 if t > 0 else 0.0
        return {
            "total_allocations": t,
            "total_deallocations": d,
            "current_allocations": v[2],
            "bytes_allocated": v[3],
            "bytes_reserved": v[4],
            "peak_allocations": v[5],
            "peak_bytes_allocated": v[6],
            "bucketed_allocations": b,
            "fallback_allocations": v[8],
            "bucketed_allocation_ratio": format(ratio, ".1f") + "%",
            "alignment_padding_bytes": v[9],
            "average_allocation_time_ns": at / t if t > 0 else 0.0,
            "average_deallocation_time_ns": dt / d if d > 0 else 0.0,
            "allocation_mode": "lock-free C11 atomics",
        }

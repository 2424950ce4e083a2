"""Allocation-failure scenarios for every public callable, and the child
process that runs them.

Each scenario builds realistic state (a tree holding blocks, a stack holding
objects, a policy fed by a telemetry store...), makes one call, and knows how
to look at the state afterwards.  The child runs every scenario once cleanly
for reference, then again and again with `_testcapi.set_nomemory`:

- mode "single": set_nomemory(n, n + 1) fails only the n-th allocation, for
  n = 0, 1, 2, ... until a run completes without meeting the failure (a
  probe allocation right after the call is the one that fails);
- mode "from": set_nomemory(n, 0) fails every allocation from the n-th on,
  for the same range of n.

After each run, with injection off: the call returned the clean result or
raised an ordinary exception, no lock of the object is held, the stored
content equals the content before the call (the call raised) or after the
clean call (it succeeded), reference counts of stored objects match what is
stored, the object's invariants hold, and a follow-up call works.

Run as a script by tests/test_faults.py: `python support/fault_scenarios.py ID...`
prints one JSON line per callable.
"""

import atexit
import collections
import faulthandler
import gc
import json
import logging
import math
import os
import signal
import sys
import sysconfig
import threading
import types

from talvora.gpu import drelling
from talvora.jit import orvistle
from talvora.jit.telemetry_store import TelemetryStore
from talvora.memory import mesqua, pardune, tollet
from talvora.memory.fennick import MemoryBlock
from talvora.plugins.analyzer import kelmarch, vossendra

LOCK_TYPES = (type(threading.Lock()), type(threading.RLock()))
RUN_TIMEOUT = float(os.environ.get("TALVORA_FAULT_RUN_TIMEOUT", "30"))
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

# Scenarios (callable id, variant) whose injected runs crash the free-threaded
# interpreter itself: its PyList_New, when the item array of a non-empty list
# cannot be allocated, releases the new list before setting its item pointer,
# and the list's deallocation frees that garbage pointer (CPython gh-152125).
# On that build only their clean run runs; TALVORA_FAULT_KNOWN=1 runs them
# anyway, to see whether the interpreter still has the fault.
PYLIST_NEW_FAULT = (
    "known interpreter fault of the free-threaded build: PyList_New crashes when the item array "
    "of a new list cannot be allocated (CPython gh-152125)"
)
KNOWN_INTERPRETER_FAULTS = {
    ("tollet.FastRedBlackTree.find_all_exact", "busy"),
    ("tollet.FastRedBlackTree.find_all_exact", "call"),
    ("drelling.compute_chunk_shapes", "call"),
    ("pardune.FastBucketAllocator.find_best_fit_bucket", "larger"),
}


def known_fault(ident, variant):
    if FREE_THREADED and (ident, variant) in KNOWN_INTERPRETER_FAULTS and os.environ.get("TALVORA_FAULT_KNOWN") != "1":
        return PYLIST_NEW_FAULT
    return None


# The watchdog of a run is SIGALRM: faulthandler dumps every thread's stack,
# then the default action ends the process.  No thread is started per run:
# a new thread frees its start-up block through the raw allocator while the
# main thread may be swapping the allocator hooks, a race inside the
# interpreter that can crash it.
def arm_watchdog():
    signal.alarm(max(1, math.ceil(RUN_TIMEOUT)))


def disarm_watchdog():
    signal.alarm(0)


MAX_POINTS = 20000  # allocation points tried per scenario before giving up
MAX_REPORTS = 4  # failures reported per callable and kind


class Item:
    """A stored object with a label, for stacks and cells."""

    __slots__ = ("label",)

    def __init__(self, label):
        self.label = label


class State:
    def __init__(self, obj=None, tracked=(), **kw):
        self.obj = obj
        self.tracked = list(tracked)  # objects whose references are counted
        self.external = []  # locks outside the system (released, not failed)
        self.__dict__.update(kw)


def describe(x):
    """A comparable picture of a value: labels for stored objects."""
    if isinstance(x, MemoryBlock):
        return ("block", x.offset, x.size)
    if isinstance(x, Item):
        return ("item", x.label)
    if isinstance(x, float):
        return ("float", "nan" if math.isnan(x) else x)
    if isinstance(x, (bool, int, str, bytes, type(None))):
        return x
    if isinstance(x, (list, tuple)):
        return (type(x).__name__,) + tuple(describe(v) for v in x)
    if isinstance(x, dict):
        return ("dict",) + tuple((describe(k), describe(v)) for k, v in x.items())
    return ("object", type(x).__name__)


def own_locks(obj):
    return [r for r in gc.get_referents(obj) if type(r) in LOCK_TYPES]


def private_dicts(obj):
    return [r for r in gc.get_referents(obj) if type(r) is dict]


class Scenario:
    """One call with its state.

    setup() -> State; call(state) -> C(callable, *args).  Optional: stored(state) lists
    the stored objects (identity, for reference counts); snapshot(state) a
    comparable picture of the content; check(state) raises AssertionError on
    a broken invariant; followup(state) must succeed after any run.
    `partial` allows a call that raised to leave the state of the clean call
    (or, for dict snapshots, each entry at its value before or after): the
    operation completes rather than rolls back.  `result` is "same" (compare
    with the clean result), or "type".
    """

    def __init__(
        self,
        setup,
        call,
        *,
        stored=None,
        snapshot=None,
        check=None,
        followup=None,
        partial=False,
        result="same",
        locks=None,
    ):
        self.setup = setup
        self.call = call
        self.stored = stored or (lambda st: [])
        self.snapshot = snapshot or (lambda st: None)
        self.check = check or (lambda st: None)
        self.followup = followup or (lambda st: None)
        self.partial = partial
        self.result = result
        self.locks = locks or (lambda st: own_locks(st.obj) if st.obj is not None else [])


SCENARIOS = collections.defaultdict(list)  # callable id -> [(variant, Scenario)]


def C(fn, *args):
    """A call prepared outside the injection: the callable and its arguments.

    The driver calls it directly, with no Python frame of a scenario in
    between: on 3.11 and later the interpreter creates frame objects lazily
    and loses the pending exception when that allocation fails, which would
    blame the interpreter's SystemError on the call.
    """
    return fn, args


def add(ident, setup, call, variant="", **kw):
    SCENARIOS[ident].append((variant or "call", Scenario(setup, call, **kw)))


# ---------------------------------------------------------------------------
# mesqua


def counter_state():
    return State(mesqua.AtomicCounter(1000))


counter_kw = dict(snapshot=lambda st: st.obj.load(), followup=lambda st: st.obj.increment(2), partial=True)
for prefix in ("", "py_"):
    add(f"mesqua.AtomicCounter.{prefix}load", counter_state, lambda st: C(st.obj.load), **counter_kw)
    add(f"mesqua.AtomicCounter.{prefix}store", counter_state, lambda st: C(st.obj.store, 5 * 10**15), **counter_kw)
    add(
        f"mesqua.AtomicCounter.{prefix}increment",
        counter_state,
        lambda st, p=prefix: C(getattr(st.obj, p + "increment"), 2**40),
        **counter_kw,
    )
    add(
        f"mesqua.AtomicCounter.{prefix}decrement",
        counter_state,
        lambda st, p=prefix: C(getattr(st.obj, p + "decrement"), 2**40),
        **counter_kw,
    )
    add(
        f"mesqua.AtomicCounter.{prefix}compare_and_swap",
        counter_state,
        lambda st, p=prefix: C(getattr(st.obj, p + "compare_and_swap"), 1000, 2**50),
        **counter_kw,
    )
    add(
        f"mesqua.AtomicCounter.{prefix}fetch_and_add",
        counter_state,
        lambda st, p=prefix: C(getattr(st.obj, p + "fetch_and_add"), 2**41),
        **counter_kw,
    )
add("mesqua.AtomicCounter()", State, lambda st: C(mesqua.AtomicCounter, 2**45), result="type")


def wrapper_state():
    return State(mesqua.AtomicCounterWrapper(1000))


wrapper_kw = dict(snapshot=lambda st: st.obj.load(), followup=lambda st: st.obj.increment(1), partial=True)
add("mesqua.AtomicCounterWrapper()", State, lambda st: C(mesqua.AtomicCounterWrapper, 2**45), result="type")
add("mesqua.AtomicCounterWrapper.__init__", wrapper_state, lambda st: C(st.obj.__init__, 2**46), **wrapper_kw)
add("mesqua.AtomicCounterWrapper.load", wrapper_state, lambda st: C(st.obj.load), **wrapper_kw)
add("mesqua.AtomicCounterWrapper.store", wrapper_state, lambda st: C(st.obj.store, 2**47), **wrapper_kw)
add("mesqua.AtomicCounterWrapper.increment", wrapper_state, lambda st: C(st.obj.increment, 2**40), **wrapper_kw)
add("mesqua.AtomicCounterWrapper.decrement", wrapper_state, lambda st: C(st.obj.decrement, 2**40), **wrapper_kw)
add(
    "mesqua.AtomicCounterWrapper.compare_and_swap",
    wrapper_state,
    lambda st: C(st.obj.compare_and_swap, 1000, 2**50),
    **wrapper_kw,
)
add("mesqua.AtomicCounterWrapper.fetch_and_add", wrapper_state, lambda st: C(st.obj.fetch_and_add, 2**41), **wrapper_kw)


def pointer_state():
    first, current = Item("first"), Item("current")
    ptr = mesqua.AtomicPointer(first)
    ptr.store(current)
    return State(ptr, [first, current, Item("new")], current=current)


pointer_kw = dict(
    stored=lambda st: [v for v in [st.obj.load()] if v is not None],
    snapshot=lambda st: (describe(st.obj.load()), st.obj.get_version()),
    followup=lambda st: (st.obj.store(Item("after")), st.obj.load(), st.obj.get_version()),
)
add(
    "mesqua.AtomicPointer()",
    lambda: State(None, [Item("init")]),
    lambda st: C(mesqua.AtomicPointer, st.tracked[0]),
    result="type",
)
add("mesqua.AtomicPointer.load", pointer_state, lambda st: C(st.obj.load), **pointer_kw)
add("mesqua.AtomicPointer.store", pointer_state, lambda st: C(st.obj.store, st.tracked[2]), **pointer_kw)
add("mesqua.AtomicPointer.store", pointer_state, lambda st: C(st.obj.store, None), "store None", **pointer_kw)
add(
    "mesqua.AtomicPointer.compare_and_swap",
    pointer_state,
    lambda st: C(st.obj.compare_and_swap, st.current, st.tracked[2]),
    **pointer_kw,
)
add(
    "mesqua.AtomicPointer.compare_and_swap",
    pointer_state,
    lambda st: C(st.obj.compare_and_swap, st.tracked[0], st.tracked[2]),
    "mismatch",
    **pointer_kw,
)
add("mesqua.AtomicPointer.get_version", pointer_state, lambda st: C(st.obj.get_version), **pointer_kw)


def stack_state():
    items = [Item(i) for i in range(6)]
    s = mesqua.LockFreeStack()
    for it in items:
        s.push(it)
    return State(s, items + [Item("new")])


def stack_stored(st):
    out = []
    while st.obj.size():
        out.append(st.obj.pop())
    for it in reversed(out):
        st.obj.push(it)
    return out


def stack_check(st):
    n = st.obj.size()
    assert len(stack_stored(st)) == n, "size() disagrees with the items"
    assert st.obj.is_empty() == (n == 0), "is_empty() disagrees with size()"


stack_kw = dict(
    stored=stack_stored,
    snapshot=lambda st: describe(stack_stored(st)),
    check=stack_check,
    followup=lambda st: (st.obj.push(Item("f")), st.obj.pop(), st.obj.is_empty()),
)
add("mesqua.LockFreeStack()", State, lambda st: C(mesqua.LockFreeStack), result="type")
add("mesqua.LockFreeStack.push", stack_state, lambda st: C(st.obj.push, st.tracked[-1]), **stack_kw)
add("mesqua.LockFreeStack.pop", stack_state, lambda st: C(st.obj.pop), **stack_kw)
add("mesqua.LockFreeStack.pop", lambda: State(mesqua.LockFreeStack()), lambda st: C(st.obj.pop), "empty", **stack_kw)
add("mesqua.LockFreeStack.is_empty", stack_state, lambda st: C(st.obj.is_empty), **stack_kw)
add("mesqua.LockFreeStack.size", stack_state, lambda st: C(st.obj.size), **stack_kw)


def stats_state():
    s = mesqua.LockFreeStatistics()
    s.record_allocation(128, True, 8, 500)
    s.record_allocation(64, False)
    s.record_deallocation(64, 100)
    s.py_record_allocation(256, True, 16, 300)
    return State(s)


def stats_check(st):
    snap = st.obj.get_snapshot()
    assert snap["allocation_mode"] == "lock-free C11 atomics"
    assert snap["bucketed_allocation_ratio"].endswith("%")


# Public counters updated earlier in a call stay updated when a later one
# fails: each entry is at its value before or after the call.
stats_kw = dict(
    snapshot=lambda st: {k: v for k, v in st.obj.get_snapshot().items() if type(v) is int},
    check=stats_check,
    partial=True,
    followup=lambda st: (st.obj.record_allocation(32), st.obj.get_snapshot()),
)
add("mesqua.LockFreeStatistics()", State, lambda st: C(mesqua.LockFreeStatistics), result="type")
add(
    "mesqua.LockFreeStatistics.py_record_allocation",
    stats_state,
    lambda st: C(st.obj.py_record_allocation, 2**33, True, 8, 200),
    **stats_kw,
)
add(
    "mesqua.LockFreeStatistics.py_record_deallocation",
    stats_state,
    lambda st: C(st.obj.py_record_deallocation, 2**33, 50),
    **stats_kw,
)
add(
    "mesqua.LockFreeStatistics._update_peaks", stats_state, lambda st: C(st.obj._update_peaks, 2**40, 2**41), **stats_kw
)
add(
    "mesqua.LockFreeStatistics.record_allocation",
    stats_state,
    lambda st: C(st.obj.record_allocation, 2**33, False, 16, 700),
    **stats_kw,
)
add(
    "mesqua.LockFreeStatistics.record_deallocation",
    stats_state,
    lambda st: C(st.obj.record_deallocation, 2**33, 90),
    **stats_kw,
)
add("mesqua.LockFreeStatistics.get_snapshot", stats_state, lambda st: C(st.obj.get_snapshot), **stats_kw)
add("mesqua.LockFreeStatistics.reset", stats_state, lambda st: C(st.obj.reset), **stats_kw)


def timer_state():
    t = mesqua.PerformanceTimer()
    t.start()
    return State(t)


timer_kw = dict(result="type", followup=lambda st: (st.obj.start(), st.obj.elapsed_ns()))
add("mesqua.PerformanceTimer()", State, lambda st: C(mesqua.PerformanceTimer), result="type")
for name in ("start", "elapsed_ns", "elapsed_us", "elapsed_ms"):
    add(f"mesqua.PerformanceTimer.{name}", timer_state, lambda st, n=name: C(getattr(st.obj, n)), **timer_kw)

# ---------------------------------------------------------------------------
# tollet

TREE_SIZES = [64, 64, 128, 32, 256, 512, 64, 1024, 96, 128, 2048, 40, 4096, 64]


def tree_state():
    tree = tollet.FastRedBlackTree(2)
    blocks = [MemoryBlock(i * 8192, size) for i, size in enumerate(TREE_SIZES)]
    for b in blocks:
        tree.insert(b.size, b)
    new = MemoryBlock(10**9, 64)
    return State(tree, blocks + [new, MemoryBlock(2 * 10**9, 48)], new=new)


def tree_stored(st):
    out = []
    for size in sorted(st.obj.get_size_distribution()):
        out.extend(st.obj.find_all_exact(size))
    return out


def tree_stats(st):
    return private_dicts(st.obj)[0]


def tree_snapshot(st):
    stats = {k: v for k, v in tree_stats(st).items() if k != "total_searches"}
    return describe(tree_stored(st)), st.obj.size(), describe(stats)


def tree_check(st):
    t = st.obj
    dist = t.get_size_distribution()
    stats = t.get_stats()
    n = t.size()
    assert n == sum(dist.values()) == stats["node_count"] == stats["total_blocks"], (n, dist, stats)
    assert stats["total_insertions"] - stats["total_deletions"] == stats["total_blocks"], stats
    assert stats["height"] <= 2 * math.log2(len(dist) + 1), stats
    assert len(t) == n and bool(t) == (n > 0)


def tree_followup(st):
    t, b = st.obj, MemoryBlock(3 * 10**9, 72)
    assert t.insert(72, b) is True
    assert t.find_best_fit(70) is b
    assert t.delete(72, b) is True
    t.remove_ge(1)
    t.get_stats()


tree_kw = dict(stored=tree_stored, snapshot=tree_snapshot, check=tree_check, followup=tree_followup)
BUSY_SIZES = [16, 24, 32, 48, 64, 96, 128, 256, 512, 1024, 2048, 4096]


def busy_tree_state():
    """A tree whose statistics have left the interpreter's small-int cache, so
    that every statistics update allocates."""
    tree = tollet.FastRedBlackTree(3)
    blocks = [MemoryBlock(i * 8192, BUSY_SIZES[i % len(BUSY_SIZES)]) for i in range(300)]
    for b in blocks:
        tree.insert(b.size, b)
    for b in blocks[:10]:
        tree.delete(b.size, b)
    new = MemoryBlock(10**9, 64)
    return State(tree, blocks[10:] + [new], new=new)


for name, variant, make in [
    ("insert", "busy, same size", lambda st: C(st.obj.insert, 64, st.new)),
    ("insert", "busy, new size", lambda st: C(st.obj.insert, 40, st.new)),
    ("delete", "busy, head", lambda st: C(st.obj.delete, 64, MemoryBlock(16 * 8192, 64))),
    ("delete", "busy, member", lambda st: C(st.obj.delete, 64, MemoryBlock(292 * 8192, 64))),
    ("remove_ge", "busy", lambda st: C(st.obj.remove_ge, 3000)),
    ("find_all_exact", "busy", lambda st: C(st.obj.find_all_exact, 128)),
    ("get_stats", "busy", lambda st: C(st.obj.get_stats)),
    ("clear", "busy", lambda st: C(st.obj.clear)),
]:
    add(f"tollet.FastRedBlackTree.{name}", busy_tree_state, make, variant, **tree_kw)
add("tollet.FastRedBlackTree()", State, lambda st: C(tollet.FastRedBlackTree, 7), result="type")
add("tollet.FastRedBlackTree._sanitize_size", State, lambda st: C(tollet.FastRedBlackTree._sanitize_size, 2**40))
add("tollet.FastRedBlackTree.insert", tree_state, lambda st: C(st.obj.insert, 64, st.new), "same size", **tree_kw)
add(
    "tollet.FastRedBlackTree.insert", tree_state, lambda st: C(st.obj.insert, 48, st.tracked[-1]), "new size", **tree_kw
)
add("tollet.FastRedBlackTree.find_best_fit", tree_state, lambda st: C(st.obj.find_best_fit, 100, 16), **tree_kw)
add("tollet.FastRedBlackTree.find_all_exact", tree_state, lambda st: C(st.obj.find_all_exact, 64), **tree_kw)
# delete: the head of a chain (promotion), a chain member, a lone tree node,
# and a miss; the blocks compare by value, so equal copies are passed.
add(
    "tollet.FastRedBlackTree.delete", tree_state, lambda st: C(st.obj.delete, 64, MemoryBlock(0, 64)), "head", **tree_kw
)
add(
    "tollet.FastRedBlackTree.delete",
    tree_state,
    lambda st: C(st.obj.delete, 64, MemoryBlock(6 * 8192, 64)),
    "member",
    **tree_kw,
)
add(
    "tollet.FastRedBlackTree.delete",
    tree_state,
    lambda st: C(st.obj.delete, 512, MemoryBlock(5 * 8192, 512)),
    "node",
    **tree_kw,
)
add(
    "tollet.FastRedBlackTree.delete", tree_state, lambda st: C(st.obj.delete, 64, MemoryBlock(1, 64)), "miss", **tree_kw
)
add("tollet.FastRedBlackTree.remove_ge", tree_state, lambda st: C(st.obj.remove_ge, 60), "chain", **tree_kw)
add("tollet.FastRedBlackTree.remove_ge", tree_state, lambda st: C(st.obj.remove_ge, 1000), "node", **tree_kw)
add("tollet.FastRedBlackTree.remove_ge", tree_state, lambda st: C(st.obj.remove_ge, 10**6), "miss", **tree_kw)
add("tollet.FastRedBlackTree.get_stats", tree_state, lambda st: C(st.obj.get_stats), **tree_kw)
add("tollet.FastRedBlackTree.size", tree_state, lambda st: C(st.obj.size), **tree_kw)
add("tollet.FastRedBlackTree.clear", tree_state, lambda st: C(st.obj.clear), **tree_kw)
add("tollet.FastRedBlackTree.get_size_distribution", tree_state, lambda st: C(st.obj.get_size_distribution), **tree_kw)
add("tollet.FastRedBlackTree.reset_circuit_breaker", tree_state, lambda st: C(st.obj.reset_circuit_breaker), **tree_kw)
add("tollet.FastRedBlackTree.get_statistics", tree_state, lambda st: C(st.obj.get_statistics), **tree_kw)

# ---------------------------------------------------------------------------
# pardune


def header_state():
    h = pardune.FastSlabHeaderOps(3, 64)
    for i in (0, 1, 2, 5, 9):
        h.py_allocate_object_at(i)
    other = pardune.FastSlabHeaderOps(4, 64)
    other.py_allocate_object_at(7)
    good = other.pack_header()
    bad = good[:8] + bytes([good[8] ^ 0xFF]) + good[9:]
    return State(h, good=good, bad=bad)


def header_snapshot(st):
    h = st.obj
    return h.pack_header(), h.py_find_free_object(), tuple(h.py_is_object_free(i) for i in range(64))


header_kw = dict(snapshot=header_snapshot, followup=lambda st: (st.obj.pack_header(), st.obj.py_find_free_object()))
add("pardune.FastSlabHeaderOps()", State, lambda st: C(pardune.FastSlabHeaderOps, 5, 32), result="type")
add("pardune.FastSlabHeaderOps.pack_header", header_state, lambda st: C(st.obj.pack_header), **header_kw)
add("pardune.FastSlabHeaderOps.unpack_header", header_state, lambda st: C(st.obj.unpack_header, st.good), **header_kw)
# A checksum mismatch marks the header corrupt and then logs: the header
# change stands when the log line cannot be written.
add(
    "pardune.FastSlabHeaderOps.unpack_header",
    header_state,
    lambda st: C(st.obj.unpack_header, st.bad),
    "corrupt",
    partial=True,
    **header_kw,
)
add("pardune.FastSlabHeaderOps.py_is_object_free", header_state, lambda st: C(st.obj.py_is_object_free, 5), **header_kw)
add(
    "pardune.FastSlabHeaderOps.py_find_free_object", header_state, lambda st: C(st.obj.py_find_free_object), **header_kw
)
add(
    "pardune.FastSlabHeaderOps.py_allocate_object_at",
    header_state,
    lambda st: C(st.obj.py_allocate_object_at, 33),
    **header_kw,
)
add(
    "pardune.FastSlabHeaderOps.py_deallocate_object_at",
    header_state,
    lambda st: C(st.obj.py_deallocate_object_at, 2),
    **header_kw,
)

BUCKET_BLOCKS = [
    (24, 2**20),
    (24, 2**20 + 64),
    (32, 2**21),
    (64, 2**22),
    (64, 2**22 + 128),
    (128, 2**23),
    (4096, 2**24),
]


def buckets_state():
    a = pardune.FastBucketAllocator()
    for size, offset in BUCKET_BLOCKS:
        a.add_to_bucket(offset, size)
    return State(a)


def buckets_snapshot(st):
    d = private_dicts(st.obj)[0]
    return len(d), tuple((k, tuple(v)) for k, v in sorted(d.items()) if v)


def buckets_check(st):
    d = private_dicts(st.obj)[0]
    assert len(d) == 512 and all(type(v) is list for v in d.values()), "bucket dict damaged"


buckets_kw = dict(
    snapshot=buckets_snapshot,
    check=buckets_check,
    followup=lambda st: (
        st.obj.add_to_bucket(2**25, 256),
        st.obj.remove_from_bucket(256),
        st.obj.find_best_fit_bucket(8, 8),
    ),
)
add("pardune.FastBucketAllocator()", State, lambda st: C(pardune.FastBucketAllocator), result="type")
add("pardune.FastBucketAllocator._init_buckets", buckets_state, lambda st: C(st.obj._init_buckets), **buckets_kw)
add(
    "pardune.FastBucketAllocator.add_to_bucket",
    buckets_state,
    lambda st: C(st.obj.add_to_bucket, 2**26, 24),
    **buckets_kw,
)
add(
    "pardune.FastBucketAllocator.remove_from_bucket",
    buckets_state,
    lambda st: C(st.obj.remove_from_bucket, 17),
    **buckets_kw,
)
add(
    "pardune.FastBucketAllocator.find_best_fit_bucket",
    buckets_state,
    lambda st: C(st.obj.find_best_fit_bucket, 24, 8),
    "exact",
    **buckets_kw,
)
add(
    "pardune.FastBucketAllocator.find_best_fit_bucket",
    buckets_state,
    lambda st: C(st.obj.find_best_fit_bucket, 40, 16),
    "larger",
    **buckets_kw,
)


def collector_state():
    c = pardune.FastStatsCollector()
    c.py_record_allocation(64, 8, True)
    c.py_record_allocation(128, 0, False)
    c.py_record_deallocation()
    return State(c)


def collector_check(st):
    s = st.obj.get_stats()
    assert s["total_allocations"] == s["bucketed_allocations"] + s["fallback_allocations"], s


collector_kw = dict(
    snapshot=lambda st: st.obj.get_stats(),
    check=collector_check,
    followup=lambda st: (st.obj.py_record_allocation(8, 0, True), st.obj.get_stats()),
)
add("pardune.FastStatsCollector()", State, lambda st: C(pardune.FastStatsCollector), result="type")
add(
    "pardune.FastStatsCollector.py_record_allocation",
    collector_state,
    lambda st: C(st.obj.py_record_allocation, 256, 16, False),
    **collector_kw,
)
add(
    "pardune.FastStatsCollector.py_record_deallocation",
    collector_state,
    lambda st: C(st.obj.py_record_deallocation),
    **collector_kw,
)
add("pardune.FastStatsCollector.get_stats", collector_state, lambda st: C(st.obj.get_stats), **collector_kw)
add("pardune.FastStatsCollector.reset_stats", collector_state, lambda st: C(st.obj.reset_stats), **collector_kw)

add("pardune.fast_align_size", State, lambda st: C(pardune.fast_align_size, 2**30 + 3, 4096))
add("pardune.fast_get_bucket_size", State, lambda st: C(pardune.fast_get_bucket_size, 2**30 + 3, 8))
add("pardune.fast_bitmap_operations", State, lambda st: C(pardune.fast_bitmap_operations, 2**63 + 5, 40, "set"))
add(
    "pardune.fast_bitmap_operations",
    State,
    lambda st: C(pardune.fast_bitmap_operations, 2**40, 0, "find_first"),
    "find_first",
)
add("pardune.fast_can_fit_aligned", State, lambda st: C(pardune.fast_can_fit_aligned, 2**20, 4096, 1000, 64))

# ---------------------------------------------------------------------------
# orvistle


def new_store():
    store = TelemetryStore(clock=lambda: 1000.0)
    for _ in range(150):
        store.record_call("f", 0.5)
        store.record_call("g", 0.25)
    store.record_compilation("f", 3.0, 1.0)
    store.record_compilation("g", 1.5, 1.0)
    return store


def policy_state():
    policy = orvistle.AdaptivePolicy(orvistle.PolicyConfig(120, 10, 10000, 0.1, 2.0))
    store = new_store()
    policy.update("g", store)
    store.record_compilation("f", 3.5, 1.0)
    st = State(policy, store=store)
    st.external = [store._lock]
    return st


def policy_snapshot(st):
    return describe(private_dicts(st.obj)[0])


def policy_check(st):
    thresholds = private_dicts(st.obj)[0]
    s = st.obj.get_statistics()
    assert s["tracked_functions"] == len(thresholds), s
    if thresholds:
        assert s["min_threshold"] == min(thresholds.values()) and s["max_threshold"] == max(thresholds.values())


policy_kw = dict(
    snapshot=policy_snapshot,
    check=policy_check,
    followup=lambda st: (
        st.obj.should_compile("f", st.store),
        st.obj.update("h", st.store),
        st.obj.get_threshold("g"),
        st.obj.get_statistics(),
    ),
)
add("orvistle.PolicyConfig()", State, lambda st: C(orvistle.PolicyConfig, 200, 20, 5000, 0.2, 3.0), result="type")
add(
    "orvistle.FunctionMetrics()",
    State,
    lambda st: C(orvistle.FunctionMetrics, 2**40, 3, 2.5, 1e6, 1700000000.0),
    result="type",
)
add("orvistle.AdaptivePolicy()", State, lambda st: C(orvistle.AdaptivePolicy, orvistle.PolicyConfig()), result="type")
add(
    "orvistle.AdaptivePolicy()",
    State,
    lambda st: C(
        orvistle.AdaptivePolicy, types.SimpleNamespace(initial_threshold=50, min_threshold=5, learning_rate=0.2)
    ),
    "foreign config",
    result="type",
)
add("orvistle.AdaptivePolicy.get_threshold", policy_state, lambda st: C(st.obj.get_threshold, "g"), **policy_kw)
add(
    "orvistle.AdaptivePolicy.should_compile",
    policy_state,
    lambda st: C(st.obj.should_compile, "f", st.store),
    **policy_kw,
)
# The new threshold is stored before the debug line is logged: it stands
# when logging fails.
add(
    "orvistle.AdaptivePolicy.update",
    policy_state,
    lambda st: C(st.obj.update, "f", st.store),
    partial=True,
    **policy_kw,
)
add("orvistle.AdaptivePolicy.get_statistics", policy_state, lambda st: C(st.obj.get_statistics), **policy_kw)


def shared_policy_state():
    orvistle.reset_orvistle()
    return State(None)


def shared_check(st):
    a = orvistle.get_orvistle()
    assert a is orvistle.get_orvistle(), "get_orvistle() changed between two calls"


shared_kw = dict(
    locks=lambda st: [orvistle._policy_lock],
    check=shared_check,
    result="type",
    partial=True,
    followup=lambda st: (orvistle.reset_orvistle(), orvistle.get_orvistle().get_statistics()),
)


def with_shared():
    st = shared_policy_state()
    st.old = orvistle.get_orvistle()
    return st


add("orvistle.get_orvistle", shared_policy_state, lambda st: C(orvistle.get_orvistle), **shared_kw)
add("orvistle.reset_orvistle", with_shared, lambda st: C(orvistle.reset_orvistle), **shared_kw)
add(
    "orvistle.create_function_metrics",
    State,
    lambda st: C(orvistle.create_function_metrics, 2**40, 2, 1.75, 12.5, 1700000000.0),
    result="type",
)
add(
    "orvistle.create_policy_config",
    State,
    lambda st: C(orvistle.create_policy_config, 300, 30, 3000, 0.05, 1.5),
    result="type",
)

# ---------------------------------------------------------------------------
# kelmarch, vossendra, drelling

CODE = (
    "import numpy as np\nimport pandas as pd\nfrom sklearn.linear_model import LinearRegression\n"
    "def train(data):\n    for i in range(1000000):\n        x = np.matmul(a, b) + np.dot(c, d)\n"
    "    df = pd.DataFrame(data).groupby('k').agg('sum')\n    return LinearRegression().fit(x, y)\n"
) * 3
CODE_WIDE = CODE + "# \u00e9t\u00e9 \u4e2d\u6587 cuda kernel\n"
HISTORY = [(float(t), 100.0 - t * 0.5) for t in range(40)]
PATTERNS = ["cpu", "memory", "cpu", "io", "cpu", "parallel", "memory", "cpu", "gpu", "cpu"] * 3

add("kelmarch.quick_framework_score", State, lambda st: C(kelmarch.quick_framework_score, CODE, "numpy"))
add("kelmarch.score_indicators", State, lambda st: C(kelmarch.score_indicators, CODE, "train_model"))
add("kelmarch.score_indicators", State, lambda st: C(kelmarch.score_indicators, CODE_WIDE, "gpu_kernel"), "wide")
add("kelmarch.normalize_scores", State, lambda st: C(kelmarch.normalize_scores, 3, 2, 5, 1, 4))
add("kelmarch.score_framework_patterns", State, lambda st: C(kelmarch.score_framework_patterns, CODE))
add(
    "kelmarch.determine_workload_pattern",
    State,
    lambda st: C(
        kelmarch.determine_workload_pattern,
        0.7,
        0.4,
        0.8,
        0.6,
        0.5,
        0.9,
        0.2,
        0.1,
        2,
        5,
        0.6,
        0.6,
        0.5,
        0.5,
        0.5,
        0.5,
        True,
    ),
)
add(
    "kelmarch.calculate_gpu_suitability",
    State,
    lambda st: C(kelmarch.calculate_gpu_suitability, 0.6, 0.5, 0.4, True, "8.6"),
)
add("kelmarch.estimate_gpu_speedup", State, lambda st: C(kelmarch.estimate_gpu_speedup, 0.6, 0.7, True))
add(
    "kelmarch.calculate_parallelization_potential",
    State,
    lambda st: C(kelmarch.calculate_parallelization_potential, 0.5, 0.3, 0.1, 0.4),
)
add(
    "kelmarch.update_adaptive_threshold",
    State,
    lambda st: C(kelmarch.update_adaptive_threshold, 0.5, 0.8, 0.1, 0.1, 0.9),
)

add(
    "vossendra.detect_performance_degradation",
    State,
    lambda st: C(vossendra.detect_performance_degradation, HISTORY, 120.0, 0.1, 5.0),
)
add("vossendra.calculate_performance_trend", State, lambda st: C(vossendra.calculate_performance_trend, HISTORY, 5.0))
add(
    "vossendra.detect_workload_characteristics_change",
    State,
    lambda st: C(
        vossendra.detect_workload_characteristics_change,
        [{"cpu": 0.1 * i, "memory": 0.5, "io": 0.9 - 0.05 * i} for i in range(12)],
        0.3,
    ),
)
add("vossendra.detect_dominant_pattern", State, lambda st: C(vossendra.detect_dominant_pattern, PATTERNS, 12))
add(
    "vossendra.is_adaptation_beneficial",
    State,
    lambda st: C(vossendra.is_adaptation_beneficial, "slab", "buddy", 0.9, 0.8, 0.5, 2, 1.1, 0.6),
)
add(
    "vossendra.should_skip_adaptation",
    State,
    lambda st: C(vossendra.should_skip_adaptation, 1700000000.0, 1700000100.0, 60.0),
)
add("vossendra.detect_memory_pressure", State, lambda st: C(vossendra.detect_memory_pressure, 900.0, 1000.0, 0.8))
add(
    "vossendra.detect_fragmentation_threshold", State, lambda st: C(vossendra.detect_fragmentation_threshold, 0.45, 0.3)
)
add(
    "vossendra.calculate_adaptation_urgency",
    State,
    lambda st: C(vossendra.calculate_adaptation_urgency, 0.3, 0.7, 0.2, True),
)
add("vossendra.score_pool_recommendation", State, lambda st: C(vossendra.score_pool_recommendation, 0.8, 0.7, 0.6, 0.9))
add(
    "vossendra.predict_resource_requirements",
    State,
    lambda st: C(vossendra.predict_resource_requirements, [(float(t), 2**30 + t * 2**20) for t in range(30)], 60.0),
)

add(
    "drelling.estimate_allocation_bytes",
    State,
    lambda st: C(drelling.estimate_allocation_bytes, (4096, 4096, 3), 8, 1.25),
)
add("drelling.calculate_safe_limit", State, lambda st: C(drelling.calculate_safe_limit, 2**34, 0.2))
add(
    "drelling.decide_allocation_strategy",
    State,
    lambda st: C(drelling.decide_allocation_strategy, 3 * 2**32, 2**33, 0.2, True),
)
add("drelling.compute_chunk_shapes", State, lambda st: C(drelling.compute_chunk_shapes, (10000, 512), 8, 2**22))
add(
    "drelling.calculate_optimal_chunks",
    State,
    lambda st: C(drelling.calculate_optimal_chunks, 3 * 2**32, 2**33, 0.2, 1, 1000),
)
add(
    "drelling.is_oom_error",
    State,
    lambda st: C(drelling.is_oom_error, "CUDA out of memory. Tried to allocate 2.00 GiB", "RuntimeError"),
)
add("drelling.is_chunkable_operation", State, lambda st: C(drelling.is_chunkable_operation, "matmul"))
add("drelling.score_gpu_suitability", State, lambda st: C(drelling.score_gpu_suitability, 2**31, "matmul", 2**33, 0.2))
add("drelling.calculate_memory_pressure", State, lambda st: C(drelling.calculate_memory_pressure, 2**33, 2**34))
add("drelling.recommend_headroom", State, lambda st: C(drelling.recommend_headroom, 0.85, 0.5))

# ---------------------------------------------------------------------------
# Pickling refusal of every native class: TypeError is the clean outcome.

INSTANCES = {
    "mesqua.AtomicCounter": counter_state,
    "mesqua.AtomicPointer": pointer_state,
    "mesqua.LockFreeStack": stack_state,
    "mesqua.LockFreeStatistics": stats_state,
    "mesqua.PerformanceTimer": timer_state,
    "tollet.FastRedBlackTree": tree_state,
    "pardune.FastSlabHeaderOps": header_state,
    "pardune.FastBucketAllocator": buckets_state,
    "pardune.FastStatsCollector": collector_state,
    "orvistle.PolicyConfig": lambda: State(orvistle.PolicyConfig()),
    "orvistle.FunctionMetrics": lambda: State(orvistle.FunctionMetrics()),
    "orvistle.AdaptivePolicy": policy_state,
}
for cls, setup in INSTANCES.items():
    add(f"{cls}.__reduce__", setup, lambda st: C(st.obj.__reduce__))
    add(f"{cls}.__setstate__", setup, lambda st: C(st.obj.__setstate__, ("state", 2**40)))


# ---------------------------------------------------------------------------
# The child: running scenarios under injection.

try:
    import _testcapi
except ImportError:  # pragma: no cover - release builds without test modules
    _testcapi = None

ALLOWED = (MemoryError,)


def exception_problem(exc, clean_exc_type):
    """Why an exception after an injected failure is not acceptable, or None."""
    chain, e = [], exc
    while e is not None and len(chain) < 10:
        chain.append(e)
        e = e.__cause__ or e.__context__
    for e in chain:
        if isinstance(e, SystemError):
            return f"SystemError: {e}"
    if clean_exc_type is not None and type(exc) is clean_exc_type:
        return None
    if isinstance(exc, ALLOWED):
        return None
    if isinstance(exc, RuntimeError) and str(exc) == "can't allocate lock":
        return None
    return f"{type(exc).__name__}: {exc}"


def refcounts(objs):
    return [sys.getrefcount(o) for o in objs]


def occurrences(st, sc, objs):
    stored = sc.stored(st)
    ids = collections.Counter(id(o) for o in stored)
    del stored
    return [ids[id(o)] for o in objs]


def snapshots_match(before, after, clean, partial):
    """Whether a call that raised left an acceptable state."""
    if after == before:
        return True
    if not partial:
        return False
    if after == clean:
        return True
    if isinstance(after, dict) and isinstance(before, dict) and isinstance(clean, dict):
        return after.keys() == before.keys() and all(after[k] in (before[k], clean[k]) for k in after)
    return False


class Failure(Exception):
    def __init__(self, kind, detail):
        super().__init__(kind, detail)
        self.kind = kind
        self.detail = detail
        self.missed = False


def clean_run(sc):
    st = sc.setup()
    before = sc.snapshot(st)
    occurrences(st, sc, st.tracked)  # as the injected runs do (searches are counted)
    exc_type = None
    fn, args = sc.call(st)
    try:
        r = fn(*args)
        desc = describe(r) if sc.result == "same" else type(r).__name__
        del r
    except Exception as e:
        exc_type, desc = type(e), ("raised", type(e).__name__)
    return before, sc.snapshot(st), exc_type, desc


def injected_run(sc, clean, mode, n, unraisable):
    """One run; returns True when the injected failure was never reached."""
    missed = []
    try:
        _injected_run(sc, clean, mode, n, unraisable, missed)
    except Failure as f:
        f.missed = bool(missed)
        raise
    return bool(missed)


def _injected_run(sc, clean, mode, n, unraisable, missed_out):
    _, clean_after, clean_exc, clean_desc = clean
    st = sc.setup()
    before = sc.snapshot(st)
    occ_before = occurrences(st, sc, st.tracked)
    rc_before = refcounts(st.tracked)
    set_nomemory, remove = _testcapi.set_nomemory, _testcapi.remove_mem_hooks
    # Passed through unpacking, the argument tuple is not freed into the
    # free list that the collection below empties.
    limits = (n, n + 1) if mode == "single" else (n, 0)
    fn, args = sc.call(st)
    sys._getframe()  # this frame's object exists before the injection (see C)
    result = exc = None
    probe_failed = False
    # A full collection empties the interpreter's free lists, so that the
    # allocations they would serve reach the failing allocator too.
    gc.collect()
    gc.disable()
    try:
        set_nomemory(*limits)
        try:
            result = fn(*args)
        except BaseException as e:  # noqa: B902 - every outcome is judged below
            exc = e
        try:
            probe = bytearray(64)
            del probe
        except MemoryError:
            probe_failed = True
    finally:
        remove()
        gc.enable()
    del fn, args
    missed = probe_failed and mode == "single"
    if missed:
        missed_out.append(True)
    if unraisable:
        text = "; ".join(unraisable)
        del unraisable[:]
        if "SystemError" in text:
            raise Failure("unraisable", text)
    if exc is not None:
        problem = exception_problem(exc, clean_exc)
        exc.__traceback__ = None
        del exc
        if problem:
            raise Failure("exception", problem)
        raised = True
    else:
        raised = False
        if clean_exc is not None:
            raise Failure("result", f"returned {describe(result)!r} where the clean call raised")
        if sc.result == "same" and describe(result) != clean_desc:
            raise Failure("result", f"returned {describe(result)!r}, clean result {clean_desc!r}")
    del result
    for lock in sc.locks(st):
        if not lock.acquire(False):
            lock.release()
            raise Failure("lock", f"{type(lock).__name__} left held")
        lock.release()
    for lock in st.external:
        if not lock.acquire(False):
            lock.release()  # left held by the interpreter's own `with`, outside the system
        else:
            lock.release()
    after = sc.snapshot(st)
    if raised and clean_exc is None:
        ok = snapshots_match(before, after, clean_after, sc.partial)
        # A call that raised leaves the state it found, unless it completes.
        if not ok:
            raise Failure("state", f"raised, state {after!r}; before {before!r}, clean {clean_after!r}")
    elif after != clean_after:
        raise Failure("state", f"state {after!r}, clean {clean_after!r}")
    occ_after = occurrences(st, sc, st.tracked)
    rc_after = refcounts(st.tracked)
    for i, obj in enumerate(st.tracked):
        if rc_after[i] - occ_after[i] != rc_before[i] - occ_before[i]:
            raise Failure(
                "refcount",
                f"{describe(obj)!r}: {rc_before[i]} refs with {occ_before[i]} stored before,"
                f" {rc_after[i]} with {occ_after[i]} stored after",
            )
    try:
        sc.check(st)
    except AssertionError as e:
        raise Failure("invariant", str(e) or repr(e)) from e
    try:
        sc.followup(st)
    except Exception as e:
        raise Failure("followup", f"{type(e).__name__}: {e}") from e
    return missed


def interpreter_once(failure):
    """A SystemError of the interpreter itself that a repeated run will not meet.

    Before 3.11 a code object allocates its opcode cache on its 1024th run
    and, when that allocation fails, leaves the frame without setting an
    exception; the cache is never tried again.  Python code the calls reach
    (a block's __eq__, the telemetry store, logging) can cross that mark
    inside a run.  Such a failure is repeated once and only counted.
    """
    return (
        sys.version_info < (3, 11)
        and failure.kind == "exception"
        and "_PyEval_EvalFrameDefault returned NULL without setting an" in failure.detail
    )


def run_callable(ident, modes):
    report = {
        "id": ident,
        "variants": 0,
        "injected": 0,
        "runs": 0,
        "failures": [],
        "points": {},
        "interpreter": 0,
        "known": [],
    }
    counts = collections.Counter()
    unraisable = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = lambda u: unraisable.append(f"{u.exc_type.__name__}: {u.exc_value}")
    try:
        for variant, sc in SCENARIOS[ident]:
            report["variants"] += 1
            clean = clean_run(sc)
            if clean[2] is not None and not ident.endswith(("__reduce__", "__setstate__")):
                report["failures"].append(
                    {
                        "variant": variant,
                        "mode": "clean",
                        "n": -1,
                        "kind": "scenario",
                        "detail": f"the clean call raised {clean[3]}",
                    }
                )
                counts["scenario"] += 1
                continue
            reason = known_fault(ident, variant)
            if reason:
                report["known"].append({"variant": variant, "reason": reason})
                continue
            points = 0
            for mode in modes:
                n = 0
                limit = MAX_POINTS if mode == "single" else points
                while n <= limit:
                    arm_watchdog()
                    try:
                        try:
                            missed = injected_run(sc, clean, mode, n, unraisable)
                        except Failure as f:
                            if not interpreter_once(f):
                                raise
                            report["interpreter"] += 1
                            missed = injected_run(sc, clean, mode, n, unraisable)
                    except Failure as f:
                        missed = f.missed
                        counts[f.kind] += 1
                        if counts[f.kind] <= MAX_REPORTS:
                            report["failures"].append(
                                {"variant": variant, "mode": mode, "n": n, "kind": f.kind, "detail": f.detail[:600]}
                            )
                    finally:
                        disarm_watchdog()
                    report["runs"] += 1
                    if missed:
                        break
                    report["injected"] += 1
                    n += 1
                if mode == "single":
                    points = n
                    if n > MAX_POINTS:
                        report["failures"].append(
                            {
                                "variant": variant,
                                "mode": mode,
                                "n": n,
                                "kind": "endless",
                                "detail": "still meeting the failure after the last point",
                            }
                        )
            report["points"][variant] = points
    finally:
        sys.unraisablehook = old_hook
    report["counts"] = dict(counts)
    return report


def main(argv):
    modes = ["single", "from"]
    if argv and argv[0].startswith("--modes="):
        modes = argv[0].split("=", 1)[1].split(",")
        argv = argv[1:]
    faulthandler.register(signal.SIGALRM, all_threads=True, chain=True)
    handler = logging.NullHandler()
    logging.getLogger("talvora").addHandler(handler)
    logging.getLogger("talvora").propagate = False
    gc.collect()
    gc.freeze()  # keeps the full collection of every run cheap
    for ident in argv:
        print(json.dumps({"begin": ident}), flush=True)
        if ident.startswith("selftest."):
            selftest(ident)
            print(json.dumps({"id": ident, "runs": 1, "injected": 0, "counts": {}, "failures": []}), flush=True)
            continue
        print(json.dumps(run_callable(ident, modes)), flush=True)
    return 0


def selftest(ident):
    """Failures of the child itself, for the tests of the parent's handling."""
    if ident == "selftest.crash":
        os.abort()
    if ident == "selftest.crash_at_exit":
        atexit.register(os.abort)
    if ident == "selftest.hang":
        arm_watchdog()
        lock = threading.Lock()
        lock.acquire()
        lock.acquire()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

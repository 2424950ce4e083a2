"""Thread stress: several threads hammer one object and the end state is exact.

Every workload is bounded by operation counts, never by wall time, so the
assertions are the same on a fast machine, a loaded one or under the
sanitizers.  Each test reports how many operations it performed as the
``stress_operations`` property of its test report (``--junitxml``).
"""

import collections
import gc
import random
import re
import sys
import threading
import time
import weakref

import pytest
from support.crew import Crew

from talvora.jit.orvistle import AdaptivePolicy, get_orvistle, reset_orvistle
from talvora.jit.telemetry_store import TelemetryStore
from talvora.memory.fennick import MemoryBlock
from talvora.memory.mesqua import AtomicCounter, AtomicCounterWrapper, AtomicPointer, LockFreeStack, LockFreeStatistics
from talvora.memory.pardune import FastBucketAllocator, FastStatsCollector
from talvora.memory.tollet import FastRedBlackTree

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


def wrap64(v):
    return (v - INT64_MIN) % 2**64 + INT64_MIN


@pytest.fixture(autouse=True)
def fast_switching():
    # Hand the interpreter lock around far more often than the default 5 ms,
    # so that the threads interleave inside every method, not only between calls.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    yield
    sys.setswitchinterval(old)


# ---------------------------------------------------------------------------
# talvora.memory.mesqua


class TestAtomicCounterStress:
    def test_increment_and_fetch_and_add_hand_out_each_ticket_once(self, record_property):
        c = AtomicCounter()
        threads_n, per = 8, 12000
        tickets = [[] for _ in range(threads_n)]

        def by_increment(mine):
            inc = c.increment
            for _ in range(per):
                mine.append(inc() - 1)  # new value: the ticket is the value before

        def by_fetch_and_add(mine):
            faa = c.fetch_and_add
            for _ in range(per):
                mine.append(faa(1))

        crew = Crew()
        for k in range(threads_n):
            crew.add(by_increment if k % 2 else by_fetch_and_add, tickets[k])
        crew.run()
        record_property("stress_operations", threads_n * per)
        everything = [t for mine in tickets for t in mine]
        assert len(everything) == threads_n * per
        assert sorted(everything) == list(range(threads_n * per))
        for mine in tickets:  # one thread's tickets grow
            assert all(a < b for a, b in zip(mine, mine[1:]))
        assert c.load() == threads_n * per

    def test_mixed_operations_sum_exactly(self, record_property):
        start = -(2**40) + 17
        c = AtomicCounter(start)
        threads_n, per = 8, 10000
        cas_failures = []

        def work(k):
            # Odd threads go through a wrapper that delegates to the same counter.
            if k % 2:
                target = AtomicCounterWrapper()
                target._counter = c
            else:
                target = c
            failures = 0
            for i in range(per):
                target.increment(3)
                target.decrement(2)
                target.fetch_and_add(-1)
                target.decrement()
                while True:  # +5 by a compare-and-swap retry loop
                    v = target.load()
                    if target.compare_and_swap(v, v + 5):
                        break
                    failures += 1
                target.increment(i % 3 - 1)  # -1, 0, +1
            cas_failures.append(failures)

        crew = Crew()
        for k in range(threads_n):
            crew.add(work, k)
        crew.run()
        per_thread = 4 * per + sum(i % 3 - 1 for i in range(per))
        record_property("stress_operations", threads_n * per * 7 + sum(cas_failures) * 2)
        assert c.load() == start + threads_n * per_thread

    def test_wraparound_under_contention(self, record_property):
        threads_n, per = 8, 5000
        start = INT64_MAX - threads_n * per // 2
        c = AtomicCounter(start)
        seen = [[] for _ in range(threads_n)]

        def work(mine):
            for _ in range(per):
                mine.append(c.increment())

        crew = Crew()
        for k in range(threads_n):
            crew.add(work, seen[k])
        crew.run()
        record_property("stress_operations", threads_n * per)
        total = threads_n * per
        assert c.load() == wrap64(start + total) < 0
        got = collections.Counter(v for mine in seen for v in mine)
        assert got == collections.Counter(wrap64(start + n) for n in range(1, total + 1))


SNAPSHOT_KEYS = [
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
# Never lowered while no reset runs, whatever the interleaving.
MONOTONE_KEYS = [
    "total_allocations",
    "total_deallocations",
    "peak_allocations",
    "peak_bytes_allocated",
    "bucketed_allocations",
    "fallback_allocations",
    "alignment_padding_bytes",
]
RATIO = re.compile(r"^\d+\.\d%$")


def event(i):
    """The i-th allocation of a recording thread: size, bucketed, padding, time, deallocation time."""
    return 16 + (i % 5) * 8, i % 3 != 0, i % 4 - 1, (i % 7) * 10 - 10, (i % 3) * 5


class TestLockFreeStatisticsStress:
    def test_both_families_and_snapshots(self, record_property):
        s = LockFreeStatistics()
        plain_n, py_n, readers_n, per, snaps = 3, 3, 2, 12000, 1500

        def plain(_):
            for i in range(per):
                size, bucketed, padding, t_ns, dt_ns = event(i)
                s.record_allocation(size, bucketed, padding, t_ns)
                if i % 2:
                    s.record_deallocation(size, dt_ns)

        def internal(_):
            for i in range(per):
                size, bucketed, padding, t_ns, dt_ns = event(i)
                s.py_record_allocation(size, bucketed, padding, t_ns)
                if i % 2:
                    s.py_record_deallocation(size, dt_ns)

        def reader(_):
            last = None
            for _ in range(snaps):
                snap = s.get_snapshot()
                assert list(snap) == SNAPSHOT_KEYS
                assert RATIO.match(snap["bucketed_allocation_ratio"])
                assert snap["bytes_reserved"] == 0 and snap["allocation_mode"] == "lock-free C11 atomics"
                assert snap["average_allocation_time_ns"] >= 0.0 and snap["average_deallocation_time_ns"] >= 0.0
                if last is not None:
                    for key in MONOTONE_KEYS:
                        assert snap[key] >= last[key], key
                last = snap

        crew = Crew()
        for k in range(plain_n):
            crew.add(plain, k)
        for k in range(py_n):
            crew.add(internal, k)
        for k in range(readers_n):
            crew.add(reader, k)
        crew.run()
        deallocs_per = per // 2
        record_property("stress_operations", (plain_n + py_n) * (per + deallocs_per) + readers_n * snaps)

        events = [event(i) for i in range(per)]
        writers = plain_n + py_n
        alloc_bytes = sum(e[0] for e in events)
        dealloc_bytes = sum(e[0] for i, e in enumerate(events) if i % 2)
        bucketed = plain_n * sum(e[1] for e in events)
        fallback = plain_n * sum(not e[1] for e in events)
        padding = plain_n * sum(e[2] for e in events if e[2] > 0)
        t_alloc = plain_n * sum(e[3] for e in events if e[3] > 0)
        t_dealloc = plain_n * sum(e[4] for i, e in enumerate(events) if i % 2 and e[4] > 0)
        total, deallocs = writers * per, writers * deallocs_per

        snap = s.get_snapshot()
        assert snap["total_allocations"] == total
        assert snap["total_deallocations"] == deallocs
        assert snap["current_allocations"] == total - deallocs
        assert snap["bytes_allocated"] == writers * (alloc_bytes - dealloc_bytes)
        # Only the plain family touches the bucket, padding and time counters.
        assert snap["bucketed_allocations"] == bucketed
        assert snap["fallback_allocations"] == fallback
        assert snap["alignment_padding_bytes"] == padding
        assert snap["bucketed_allocation_ratio"] == f"{bucketed / total * 100.0:.1f}%"
        assert snap["average_allocation_time_ns"] == t_alloc / total
        assert snap["average_deallocation_time_ns"] == t_dealloc / deallocs
        assert s.total_allocation_time_ns.load() == t_alloc
        assert s.total_deallocation_time_ns.load() == t_dealloc
        assert 1 <= snap["peak_allocations"] <= total
        assert 1 <= snap["peak_bytes_allocated"] <= writers * alloc_bytes

    def test_peaks_exact_under_allocation_only_load(self, record_property):
        # Nothing is freed, so the thread that makes the last allocation reads
        # the final totals and its maximum loop must leave them as the peaks.
        s = LockFreeStatistics()
        threads_n, per = 8, 5000

        def work(k):
            for i in range(per):
                s.record_allocation(8 * (k + 1) + i % 3)

        crew = Crew()
        for k in range(threads_n):
            crew.add(work, k)
        crew.run()
        record_property("stress_operations", threads_n * per)
        total_bytes = sum(8 * (k + 1) + i % 3 for k in range(threads_n) for i in range(per))
        snap = s.get_snapshot()
        assert snap["current_allocations"] == snap["peak_allocations"] == threads_n * per
        assert snap["bytes_allocated"] == snap["peak_bytes_allocated"] == total_bytes

    def test_resets_during_recording(self, record_property):
        # reset() leaves the bucket, padding and time counters alone, so those
        # stay exact however the resets fall between the recordings.
        s = LockFreeStatistics()
        threads_n, per, resets = 4, 5000, 500

        def recorder(_):
            for i in range(per):
                s.record_allocation(32, i % 2 == 0, 4, 10)
                s.record_deallocation(32, 3)

        def resetter():
            for _ in range(resets):
                s.reset()

        crew = Crew()
        for k in range(threads_n):
            crew.add(recorder, k)
        crew.add(resetter)
        crew.run()
        record_property("stress_operations", threads_n * per * 2 + resets)
        total = threads_n * per
        assert s.bucketed_allocations.load() == s.fallback_allocations.load() == total // 2
        assert s.alignment_padding_bytes.load() == 4 * total
        assert s.total_allocation_time_ns.load() == 10 * total
        assert s.total_deallocation_time_ns.load() == 3 * total
        assert 0 <= s.total_allocations.load() <= total and 0 <= s.total_deallocations.load() <= total
        s.reset()  # a quiet reset zeroes the seven counters again
        snap = s.get_snapshot()
        assert [snap[k] for k in SNAPSHOT_KEYS[:7]] == [0] * 7

    def test_counter_replaced_while_recording(self, record_property):
        # Two threads record while a third keeps putting fresh subclass
        # counters in total_allocations, dropping the old ones: the native
        # increment of a subclass counter releases the interpreter lock, so
        # each call must hold the counter it was made on.  Bounded by a count
        # and by about two seconds; the assertions use the counts made.
        class Sub(AtomicCounter):
            pass

        s = LockFreeStatistics()
        per, deadline = 400000, time.monotonic() + 2.0
        made = [0, 0]
        finished = []
        replaced = [0]

        def recorder(k):
            try:
                for _ in range(per):
                    if time.monotonic() >= deadline:
                        break
                    s.record_allocation(8)
                    made[k] += 1
            finally:
                finished.append(k)

        def replacer():
            while len(finished) < 2 and not crew.abort.is_set():
                s.total_allocations = Sub(0)
                # A fresh counter most likely takes the memory of the one just
                # dropped: an update still landing there shows up in it.
                canary = Sub(0)
                time.sleep(0)
                assert canary.load() == 0, "an update reached a dropped counter"
                replaced[0] += 1

        crew = Crew()
        crew.add(recorder, 0)
        crew.add(recorder, 1)
        crew.add(replacer)
        crew.run()
        total = sum(made)
        record_property("stress_operations", total + replaced[0])
        assert total > 0 and replaced[0] > 0
        assert s.current_allocations.load() == s.peak_allocations.load() == total
        assert s.bytes_allocated.load() == s.peak_bytes_allocated.load() == 8 * total
        assert s.bucketed_allocations.load() == total
        assert 0 <= s.total_allocations.load() <= total


class Box:
    __slots__ = ("n", "__weakref__")

    def __init__(self, n):
        self.n = n


class TestAtomicPointerStress:
    def test_cas_increment_loops(self, record_property):
        first = Box(0)
        p = AtomicPointer(first)
        threads_n, per = 8, 10000
        refs = [weakref.ref(first)]
        attempts = []

        def work(_):
            made = []
            tries = 0
            for _ in range(per):
                while True:
                    tries += 1
                    cur = p.load()
                    new = Box(cur.n + 1)
                    made.append(weakref.ref(new))
                    if p.compare_and_swap(cur, new):
                        break
            refs.extend(made)
            attempts.append(tries)

        crew = Crew()
        for k in range(threads_n):
            crew.add(work, k)
        del first
        crew.run()
        record_property("stress_operations", sum(attempts) * 2)
        total = threads_n * per
        final = p.load()
        assert final.n == total
        assert p.get_version() == total  # failed swaps leave the version alone
        # Replaced and refused boxes are all released; the cell holds one reference.
        gc.collect()
        alive = [r() for r in refs if r() is not None]
        assert alive == [final]
        del alive
        ctrl = Box(-1)
        keep = AtomicPointer(ctrl)
        assert sys.getrefcount(final) == sys.getrefcount(ctrl)
        assert keep.load() is ctrl

    def test_stores_and_swaps_count_versions(self, record_property):
        p = AtomicPointer()
        storers, swappers, per = 4, 4, 10000
        refs, wins = [], []

        def storer(k):
            last = -1
            for i in range(per):
                b = Box((k, i))
                refs.append(weakref.ref(b))
                p.store(b)
                if i % 50 == 0:
                    v = p.get_version()
                    assert v > last
                    last = v

        def swapper(k):
            won = 0
            for i in range(per):
                cur = p.load()
                b = Box((k + storers, i))
                refs.append(weakref.ref(b))
                won += p.compare_and_swap(cur, b)
            wins.append(won)

        crew = Crew()
        for k in range(storers):
            crew.add(storer, k)
        for k in range(swappers):
            crew.add(swapper, k)
        crew.run()
        record_property("stress_operations", (storers + swappers) * per * 2)
        assert p.get_version() == storers * per + sum(wins)
        assert 0 < sum(wins) <= swappers * per
        final = p.load()
        gc.collect()
        assert [r() for r in refs if r() is not None] == [final]
        assert p.compare_and_swap(final, None) and p.load() is None

    def test_cell_as_a_spin_lock(self, record_property):
        # compare_and_swap(None, token) takes the cell, (token, None) gives it
        # back: if two threads ever held it at once, the unguarded
        # read-modify-write below would lose increments or see a foreign owner.
        p = AtomicPointer()
        threads_n, per = 6, 3000
        shared = {"count": 0, "owner": None}
        spins = []

        def work(k):
            token = Box(k)
            spun = 0
            for _ in range(per):
                while not p.compare_and_swap(None, token):
                    spun += 1
                    if spun % 4 == 0:
                        time.sleep(0)  # back off so the holder can run
                shared["owner"] = token
                n = shared["count"]
                if n % 10 == 0:
                    time.sleep(0)  # give up the interpreter lock while holding the cell
                assert shared["owner"] is token and p.load() is token
                shared["count"] = n + 1
                assert p.compare_and_swap(token, None) is True
            spins.append(spun)

        crew = Crew()
        for k in range(threads_n):
            crew.add(work, k)
        crew.run()
        record_property("stress_operations", threads_n * per * 3 + sum(spins))
        assert shared["count"] == threads_n * per
        assert p.get_version() == 2 * threads_n * per and p.load() is None


class TestLockFreeStackStress:
    def test_producers_and_consumers_each_item_once(self, record_property):
        s = LockFreeStack()
        producers, consumers, per = 4, 4, 15000
        total = producers * per
        taken = AtomicCounter()
        popped = [[] for _ in range(consumers)]
        sizes = []
        crew = Crew()

        def producer(k):
            for i in range(per):
                s.push((k, i))

        def consumer(mine):
            empty_pops = 0
            while taken.load() < total and not crew.abort.is_set():
                item = s.pop()
                if item is None:
                    empty_pops += 1
                else:
                    mine.append(item)
                    taken.increment()
            sizes.append(empty_pops)

        def watcher():
            for _ in range(2000):
                n = s.size()
                assert 0 <= n <= total

        for k in range(producers):
            crew.add(producer, k)
        for k in range(consumers):
            crew.add(consumer, popped[k])
        crew.add(watcher)
        crew.run()
        record_property("stress_operations", 2 * total + sum(sizes) + 2000)
        everything = [x for mine in popped for x in mine]
        assert len(everything) == total
        assert set(everything) == {(k, i) for k in range(producers) for i in range(per)}
        assert s.size() == 0 and s.is_empty() and s.pop() is None

    def test_push_pop_pairs_never_miss(self, record_property):
        # Each thread pops only after its own push, so a pop always finds an
        # item: an empty answer would mean a lost push.
        s = LockFreeStack()
        base = [Box(("base", i)) for i in range(50)]
        for item in base:
            s.push(item)
        del item
        threads_n, per = 8, 6000
        out = [[] for _ in range(threads_n)]
        refs = [weakref.ref(b) for b in base]

        def work(k, mine):
            made = []
            for i in range(per):
                b = Box((k, i))
                made.append(weakref.ref(b))
                s.push(b)
                del b
                got = s.pop()
                assert got is not None
                mine.append(got)
            refs.extend(made)

        crew = Crew()
        for k in range(threads_n):
            crew.add(work, k, out[k])
        crew.run()
        record_property("stress_operations", threads_n * per * 2)
        assert s.size() == len(base)
        popped = [b for mine in out for b in mine]
        remaining = []
        while not s.is_empty():
            remaining.append(s.pop())
        ids = [id(b) for b in popped + remaining]
        assert len(ids) == len(set(ids)) == threads_n * per + len(base)
        assert {b.n for b in popped + remaining} == {b.n for b in base} | {
            (k, i) for k in range(threads_n) for i in range(per)
        }
        # Popped items went to their callers; the stack kept no reference.
        del base, popped, remaining, out
        gc.collect()
        assert [r for r in refs if r() is not None] == []

    def test_dropping_a_filled_stack_releases_items(self, record_property):
        s = LockFreeStack()
        threads_n, per = 6, 4000
        refs = []

        def work(k, stack):
            made = []
            for i in range(per):
                b = Box((k, i))
                made.append(weakref.ref(b))
                stack.push(b)
            refs.extend(made)

        crew = Crew()
        for k in range(threads_n):
            crew.add(work, k, s)
        crew.run()
        record_property("stress_operations", threads_n * per)
        assert s.size() == threads_n * per
        assert all(r() is not None for r in refs)
        del s
        gc.collect()
        assert [r for r in refs if r() is not None] == []


# ---------------------------------------------------------------------------
# talvora.memory.tollet


def block_plan(w, n):
    """Writer w's blocks: many small sizes (long same-size chains) and some large ones."""
    rng = random.Random(1000 + w)
    out = []
    for i in range(n):
        size = rng.randint(1, 150) if rng.random() < 0.7 else rng.randint(151, 3000)
        out.append(MemoryBlock(offset=w * 10**7 + i * 4096, size=size, pool_id=w))
    return out


class TestFastRedBlackTreeStress:
    def test_lock_free_readers_and_writers(self, record_property):
        tree = FastRedBlackTree(7)
        writers_n, readers_n, ops, searches = 4, 3, 10000, 10000
        plans = [block_plan(w, ops) for w in range(writers_n)]
        known = {id(b): b for plan in plans for b in plan}
        inserted = [[] for _ in range(writers_n)]
        removed = [[] for _ in range(writers_n)]
        reads = []

        def writer(w):
            rng = random.Random(w)
            plan, mine, out = plans[w], inserted[w], removed[w]
            live = []
            for blk in plan:
                r = rng.random()
                if r < 0.6 or not live:
                    assert tree.insert(blk.size, blk) is True
                    mine.append(blk)
                    live.append(blk)
                elif r < 0.8:
                    want = rng.randint(0, 160) if rng.random() < 0.8 else rng.randint(0, 3000)
                    size, got = tree.remove_ge(want)
                    if got is not None:
                        assert known.get(id(got)) is got
                        assert size == got.size >= want
                        out.append(got)
                    else:
                        assert size is None
                else:
                    blk = live.pop(rng.randrange(len(live)))
                    # The block may have gone to another writer's remove_ge.
                    if tree.delete(blk.size, blk):
                        out.append(blk)

        def reader(k):
            rng = random.Random(100 + k)
            calls = 0
            for i in range(searches):
                want = rng.randint(0, 160) if i % 3 else rng.randint(0, 3100)
                got = tree.find_best_fit(want)
                calls += 1
                if got is not None:
                    assert known.get(id(got)) is got and got.size >= want
                same = tree.find_all_exact(want)
                calls += 1
                assert len({id(b) for b in same}) == len(same)
                for b in same:
                    assert known.get(id(b)) is b and b.size == want
                if i % 100 == 0:
                    dist = tree.get_size_distribution()
                    assert all(n > 0 for n in dist.values())
                    st = tree.get_stats()
                    assert list(st)[-4:] == ["node_count", "height", "sampled_operations", "is_valid"]
                    assert st["total_blocks"] >= 0 and st["total_insertions"] >= st["total_deletions"]
            reads.append(calls)

        crew = Crew()
        for w in range(writers_n):
            crew.add(writer, w)
        for k in range(readers_n):
            crew.add(reader, k)
        crew.run()
        record_property("stress_operations", writers_n * ops + sum(reads) + 2 * readers_n * (searches // 100))
        stats = tree.get_stats()
        # Searches that gave up are not counted; the others are, each once.
        assert 0 < stats["total_searches"] <= sum(reads) and stats["is_valid"] is True

        all_in = [b for mine in inserted for b in mine]
        all_out = [b for out in removed for b in out]
        assert len({id(b) for b in all_out}) == len(all_out)  # none removed twice
        in_ids = {id(b) for b in all_in}
        assert all(id(b) in in_ids for b in all_out)
        out_ids = {id(b) for b in all_out}
        remaining = [b for b in all_in if id(b) not in out_ids]

        assert len(tree) == tree.size() == len(remaining)
        assert tree.get_size_distribution() == collections.Counter(b.size for b in remaining)
        stored = [b for size in tree.get_size_distribution() for b in tree.find_all_exact(size)]
        assert sorted(map(id, stored)) == sorted(map(id, remaining))
        assert stats["total_insertions"] == stats["operation_count"] == len(all_in)
        assert stats["total_deletions"] == len(all_out)
        assert stats["total_blocks"] == stats["node_count"] == len(remaining)
        assert stats["sampled_operations"] == len(all_in) // 7

        # Draining hands every remaining block out once, smallest first.
        drained = []
        while True:
            size, blk = tree.remove_ge(0)
            if blk is None:
                break
            assert size == blk.size
            drained.append(blk)
        assert [b.size for b in drained] == sorted(b.size for b in drained)
        assert sorted(map(id, drained)) == sorted(map(id, remaining))
        assert len(tree) == 0 and tree.get_size_distribution() == {}

    def test_concurrent_takers_share_out_a_filled_tree(self, record_property):
        tree = FastRedBlackTree()
        blocks = [MemoryBlock(offset=i * 64, size=1 + (i * 37) % 500) for i in range(30000)]
        for b in blocks:
            tree.insert(b.size, b)
        takers_n, readers_n, per, searches = 4, 2, 7000, 10000
        taken = [[] for _ in range(takers_n)]
        calls = []

        def taker(k):
            rng = random.Random(k)
            for _ in range(per):
                want = rng.randint(0, 520)
                size, blk = tree.remove_ge(want)
                if blk is not None:
                    assert size == blk.size >= want
                    taken[k].append(blk)

        def reader(k):
            rng = random.Random(50 + k)
            for _ in range(searches):
                want = rng.randint(0, 520)
                got = tree.find_best_fit(want)
                assert got is None or got.size >= want
            calls.append(searches)

        crew = Crew()
        for k in range(takers_n):
            crew.add(taker, k)
        for k in range(readers_n):
            crew.add(reader, k)
        crew.run()
        record_property("stress_operations", takers_n * per + sum(calls))
        out = [b for mine in taken for b in mine]
        assert len({id(b) for b in out}) == len(out)
        out_ids = {id(b) for b in out}
        rest = [b for b in blocks if id(b) not in out_ids]
        assert len(tree) == len(rest) == len(blocks) - len(out)
        assert tree.get_size_distribution() == collections.Counter(b.size for b in rest)
        stats = tree.get_stats()
        assert stats["total_deletions"] == len(out) and stats["total_blocks"] == len(rest)
        for b in rest:  # every block left is still there, and only once
            assert sum(x is b for x in tree.find_all_exact(b.size)) == 1

    def test_clears_while_writers_and_readers_run(self, record_property):
        # clear() frees the whole tree at once while searches may be walking it.
        tree = FastRedBlackTree(3)
        writers_n, readers_n, per, clears, searches = 3, 3, 6000, 60, 6000
        plans = [block_plan(10 + w, per) for w in range(writers_n)]
        known = {id(b): b for plan in plans for b in plan}
        calls = []

        def writer(w):
            rng = random.Random(w)
            for blk in plans[w]:
                tree.insert(blk.size, blk)
                if rng.random() < 0.2:
                    size, got = tree.remove_ge(rng.randint(0, 3000))
                    assert got is None or (known.get(id(got)) is got and size == got.size)

        def clearer():
            rng = random.Random(7)
            for _ in range(clears):
                for _ in range(rng.randint(20, 200)):
                    tree.find_best_fit(rng.randint(0, 3000))
                assert tree.clear() is None

        def reader(k):
            rng = random.Random(200 + k)
            for i in range(searches):
                want = rng.randint(0, 3000)
                got = tree.find_best_fit(want)
                assert got is None or (known.get(id(got)) is got and got.size >= want)
                if i % 4 == 0:
                    for b in tree.find_all_exact(rng.randint(1, 150)):
                        assert known.get(id(b)) is b
            calls.append(searches + len(range(0, searches, 4)))

        crew = Crew()
        for w in range(writers_n):
            crew.add(writer, w)
        crew.add(clearer)
        for k in range(readers_n):
            crew.add(reader, k)
        crew.run()
        record_property("stress_operations", writers_n * per * 6 // 5 + clears * 111 + sum(calls))
        # Whatever survived the last clear is consistent with the counts.
        dist = tree.get_size_distribution()
        stored = [b for size in dist for b in tree.find_all_exact(size)]
        assert len(tree) == sum(dist.values()) == len(stored) == len({id(b) for b in stored})
        assert all(known.get(id(b)) is b and dist[b.size] for b in stored)
        stats = tree.get_stats()
        assert stats["total_blocks"] == stats["node_count"] == len(tree)
        assert stats["total_insertions"] - stats["total_deletions"] == len(tree)
        # An insertion counted before the last clear may land after it.
        assert stats["sampled_operations"] <= stats["total_insertions"] // 3 + writers_n
        tree.clear()
        assert len(tree) == 0 and tree.get_size_distribution() == {} and tree.remove_ge(0) == (None, None)


# ---------------------------------------------------------------------------
# talvora.memory.pardune

CLASSES = [8, 16, 24, 64, 256, 264, 1024, 4096]


def bucket(size):
    return (size + 7) // 8 * 8


class TestFastBucketAllocatorStress:
    def test_adds_and_finds_lose_and_duplicate_nothing(self, record_property):
        a = FastBucketAllocator()
        producers, consumers, per, requests = 4, 4, 8000, 8000
        klass = {}  # offset -> the class it was added under
        for k in range(producers):
            for i in range(per):
                # Every fifth block starts 8 bytes past a 64-byte boundary, so
                # that 64-aligned requests must put it back.
                off = (k * per + i) * 128 + (8 if i % 5 == 0 else 0)
                klass[off] = CLASSES[(i + k) % len(CLASSES)]
        got = [[] for _ in range(consumers)]

        def producer(k):
            for i in range(per):
                off = (k * per + i) * 128 + (8 if i % 5 == 0 else 0)
                assert a.add_to_bucket(off, klass[off]) is True
                if i % 10 == 0:  # sizes that are no class at all are refused
                    assert a.add_to_bucket(off + 1, 20) is False
                    assert a.add_to_bucket(off + 2, 4104) is False

        def consumer(k):
            rng = random.Random(k)
            mine = got[k]
            for j in range(requests):
                size = rng.choice([1, 8, 13, 24, 60, 200, 257, 1000, 3000, 4096])
                if j % 2:
                    off = a.remove_from_bucket(size)
                    if off is not None:
                        assert klass[off] == bucket(size)
                        mine.append(off)
                else:
                    align = rng.choice([1, 8, 64])
                    off = a.find_best_fit_bucket(size, align)
                    if off is not None:
                        cls = klass[off]
                        assert cls >= bucket(size)
                        assert ((off + align - 1) & -align) + size <= off + cls
                        mine.append(off)

        crew = Crew()
        for k in range(producers):
            crew.add(producer, k)
        for k in range(consumers):
            crew.add(consumer, k)
        crew.run()
        record_property("stress_operations", producers * (per + 2 * (per // 10)) + consumers * requests)
        taken = [o for mine in got for o in mine]
        assert taken, "the consumers found nothing at all"
        left = []
        for cls in CLASSES:
            while True:
                off = a.remove_from_bucket(cls)
                if off is None:
                    break
                assert klass[off] == cls
                left.append(off)
        assert collections.Counter(taken + left) == collections.Counter(klass.keys())
        assert a.find_best_fit_bucket(1, 1) is None


class TestFastStatsCollectorStress:
    def test_recording_and_snapshots_exact(self, record_property):
        s = FastStatsCollector()
        recorders, readers, per, snaps = 6, 2, 8000, 1000
        flags = [1, 0, [], [0], "", "x", None, True]

        def recorder(k):
            for i in range(per):
                s.py_record_allocation(64 + i, (i % 9) - 6, flags[(i + k) % len(flags)])
                if i % 4 == 0:
                    s.py_record_deallocation()

        def reader(_):
            last = None
            for _ in range(snaps):
                d = s.get_stats()
                t, b, f = d["total_allocations"], d["bucketed_allocations"], d["fallback_allocations"]
                assert t == b + f  # the lock makes every snapshot consistent
                assert d["bucketed_allocation_ratio"] == (f"{b / t * 100:.1f}%" if t else "0.0%")
                assert 0 <= d["alignment_padding_bytes"] < 2**64
                if last is not None:
                    assert t >= last[0] and b >= last[1] and d["total_deallocations"] >= last[2]
                last = (t, b, d["total_deallocations"])

        crew = Crew()
        for k in range(recorders):
            crew.add(recorder, k)
        for k in range(readers):
            crew.add(reader, k)
        crew.run()
        deallocs = len(range(0, per, 4))
        record_property("stress_operations", recorders * (per + deallocs) + readers * snaps)
        total = recorders * per
        bucketed = sum(bool(flags[(i + k) % len(flags)]) for k in range(recorders) for i in range(per))
        padding = recorders * sum((i % 9) - 6 for i in range(per))
        assert padding < 0  # the counter has to wrap modulo 2**64
        assert s.get_stats() == {
            "total_allocations": total,
            "total_deallocations": recorders * deallocs,
            "bucketed_allocations": bucketed,
            "fallback_allocations": total - bucketed,
            "bucketed_allocation_ratio": f"{bucketed / total * 100:.1f}%",
            "alignment_padding_bytes": padding % 2**64,
        }

    def test_resets_keep_every_snapshot_consistent(self, record_property):
        s = FastStatsCollector()
        recorders, per, resets, snaps = 4, 5000, 400, 1000

        def recorder(k):
            for i in range(per):
                s.py_record_allocation(8, 0, (i + k) % 2)

        def resetter():
            for _ in range(resets):
                s.reset_stats()

        def reader():
            for _ in range(snaps):
                d = s.get_stats()
                t = d["total_allocations"]
                assert t == d["bucketed_allocations"] + d["fallback_allocations"] <= recorders * per

        crew = Crew()
        for k in range(recorders):
            crew.add(recorder, k)
        crew.add(resetter)
        crew.add(reader)
        crew.run()
        record_property("stress_operations", recorders * per + resets + snaps)
        s.reset_stats()
        assert s.get_stats()["total_allocations"] == 0
        s.py_record_allocation(8, 3, True)
        assert s.get_stats()["alignment_padding_bytes"] == 3


# ---------------------------------------------------------------------------
# talvora.jit.orvistle with the telemetry store


class TestAdaptivePolicyStress:
    def test_decisions_updates_and_statistics(self, record_property):
        policy = AdaptivePolicy()
        store = TelemetryStore()
        owners, observers, ids_per_owner, rounds, looks = 4, 2, 32, 110, 4000
        hot = [f"hot{k}_{j}" for k in range(owners) for j in range(ids_per_owner)]
        good = {f for n, f in enumerate(hot) if n % 3}  # speed-up 3.0 beats the target of 2.0
        speedup = {f: 3.0 if f in good else 1.5 for f in hot}
        cold = [f"cold{j}" for j in range(15)] + [None]  # asked about and updated, never compiled
        compiled = collections.Counter()
        extra_calls = collections.Counter()
        count_lock = threading.Lock()

        def owner(k):
            mine = hot[k * ids_per_owner : (k + 1) * ids_per_owner]
            for _ in range(rounds):
                for f in mine:
                    store.record_call(f, 0.01)
                    if policy.should_compile(f, store):
                        store.record_compilation(f, speedup[f])
                        policy.update(f, store)
                        with count_lock:
                            compiled[f] += 1

        def observer(k):
            rng = random.Random(k)
            last_tracked = 0
            calls = collections.Counter()
            for i in range(looks):
                f = rng.choice(hot)
                store.record_call(f)
                calls[f] += 1
                assert policy.should_compile(f, store) in (True, False)
                assert policy.get_threshold(f) in ((100, 91) if f in good else (100, 109))
                c = rng.choice(cold)
                assert policy.should_compile(c, store) is False
                assert policy.update(c, store) is None
                assert policy.get_threshold(c) == 100
                if i % 10 == 0:
                    st = policy.get_statistics()
                    assert st["tracked_functions"] >= last_tracked
                    last_tracked = st["tracked_functions"]
                    if last_tracked:
                        assert 91 <= st["min_threshold"] <= st["avg_threshold"] <= st["max_threshold"] <= 109
                    else:
                        assert st == {
                            "tracked_functions": 0,
                            "avg_threshold": 100,
                            "min_threshold": 10,
                            "max_threshold": 10000,
                        }
            with count_lock:
                extra_calls.update(calls)

        crew = Crew()
        for k in range(owners):
            crew.add(owner, k)
        for k in range(observers):
            crew.add(observer, k)
        crew.run()
        record_property(
            "stress_operations",
            owners * ids_per_owner * rounds * 2 + len(hot) * 2 + observers * (looks * 6 + looks // 10),
        )

        # Only the owner compiles a function, so the 600 s interval allows one
        # compilation each, and its single update moves 100 to 91 or 109.
        assert compiled == collections.Counter({f: 1 for f in hot})
        for f in hot:
            m = store.get_metrics(f)
            assert m.compile_count == 1 and m.call_count == rounds + extra_calls[f]
            assert policy.get_threshold(f) == (91 if f in good else 109)
        for c in cold:
            assert policy.get_threshold(c) == 100
        n_good = len(good)
        assert policy.get_statistics() == {
            "tracked_functions": len(hot),
            "avg_threshold": (91 * n_good + 109 * (len(hot) - n_good)) / len(hot),
            "min_threshold": 91,
            "max_threshold": 109,
        }

    def test_shared_instance_with_resets(self, record_property):
        # Each reset lets at most one new instance be created.
        reset_orvistle()
        store = TelemetryStore()
        threads_n, per = 6, 1000
        seen, resets = [], []

        def work(k):
            mine, done = [], 0
            for i in range(per):
                p = get_orvistle()
                assert isinstance(p, AdaptivePolicy)
                mine.append(p)
                store.record_call(f"f{k}")
                p.should_compile(f"f{k}", store)
                if (i + k) % 40 == 0:
                    reset_orvistle()
                    done += 1
            seen.extend(mine)
            resets.append(done)

        crew = Crew()
        try:
            for k in range(threads_n):
                crew.add(work, k)
            crew.run()
            record_property("stress_operations", threads_n * per * 3 + sum(resets))
            distinct = {id(p) for p in seen}
            assert 1 < len(distinct) <= sum(resets) + 1
            assert get_orvistle() is get_orvistle()
        finally:
            reset_orvistle()

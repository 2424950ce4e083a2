"""Shared objects under threads that really run at once.

Written for the free-threaded build with the interpreter lock off (make
test-ft), where every method can overlap every other; with the lock they
still pass, interleaved at every switch.  Workloads are bounded by operation
counts, and every end state is exact.
"""

import gc
import os
import sys
import sysconfig

import pytest
from support.crew import Crew

from talvora.memory import tollet
from talvora.memory.fennick import MemoryBlock
from talvora.memory.tollet import FastRedBlackTree

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.fixture(autouse=True)
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(old)


def test_the_modules_run_without_the_interpreter_lock():
    if not FREE_THREADED:
        pytest.skip("the interpreter lock exists on this build")
    import subprocess

    code = (
        "import sys\n"
        "from talvora.memory import mesqua, tollet, pardune\n"
        "from talvora.jit import orvistle\n"
        "from talvora.plugins.analyzer import kelmarch, vossendra\n"
        "from talvora.gpu import drelling\n"
        "print(sys._is_gil_enabled())\n"
    )
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    r = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True, env=env)
    assert (r.returncode, r.stdout, r.stderr) == (0, "False\n", "")


# ---------------------------------------------------------------------------
# The tree: searches racing writers on the same sizes, blocks owned only by it


class TestTreeSearchesAgainstWriters:
    SIZES = (64, 128, 192, 256)

    def _readers(self, crew, t, n, per, seen):
        def read(k):
            found = 0
            for i in range(per):
                size = self.SIZES[(i + k) % len(self.SIZES)]
                b = t.find_best_fit(size)
                if b is not None:
                    assert type(b) is MemoryBlock and b.size >= size, (b, size)
                    found += 1
                for b in t.find_all_exact(size):
                    assert type(b) is MemoryBlock and b.size == size, (b, size)
                    found += 1
            seen.append(found)

        for k in range(n):
            crew.add(read, k)

    def test_against_insert_and_delete(self, record_property):
        t = FastRedBlackTree()
        crew, seen, per = Crew(), [], 3000

        def write():
            for i in range(per):
                size = self.SIZES[i % len(self.SIZES)]
                t.insert(size, MemoryBlock(offset=i, size=size, pool_id=0))
                if i % 3 == 2:
                    victim = i - 2
                    vsize = self.SIZES[victim % len(self.SIZES)]
                    assert t.delete(vsize, MemoryBlock(offset=victim, size=vsize, pool_id=0)) is True

        crew.add(write)
        self._readers(crew, t, 3, per, seen)
        crew.run()
        record_property("stress_operations", per * 7)
        expected = per - per // 3
        assert t.size() == expected and sum(t.get_size_distribution().values()) == expected
        stats = t.get_stats()
        assert stats["total_insertions"] == per and stats["total_deletions"] == per // 3
        assert stats["total_searches"] == 3 * per * 2  # every search counted, none lost

    def test_against_remove_ge(self):
        t = FastRedBlackTree()
        crew, seen, per = Crew(), [], 3000
        taken = []

        def write():
            for i in range(per):
                size = self.SIZES[i % len(self.SIZES)]
                t.insert(size, MemoryBlock(offset=i, size=size, pool_id=0))
                if i % 2:
                    got_size, block = t.remove_ge(64)
                    assert got_size == block.size
                    taken.append(block.offset)
                    del block  # the caller held the last reference

        crew.add(write)
        self._readers(crew, t, 3, per, seen)
        crew.run()
        assert len(set(taken)) == per // 2
        assert t.size() == per - per // 2

    def test_against_clear(self):
        t = FastRedBlackTree()
        crew, seen, rounds = Crew(), [], 150

        def write():
            for r in range(rounds):
                for i in range(20):
                    size = self.SIZES[i % len(self.SIZES)]
                    t.insert(size, MemoryBlock(offset=r * 100 + i, size=size, pool_id=0))
                t.clear()

        crew.add(write)
        self._readers(crew, t, 3, 2000, seen)
        crew.run()
        gc.collect()
        assert t.size() == 0 and t.find_best_fit(1) is None and t.get_size_distribution() == {}

    def test_searches_counted_exactly_with_four_readers(self):
        t = FastRedBlackTree()
        t.insert(64, MemoryBlock(offset=0, size=64, pool_id=0))
        crew, per = Crew(), 5000

        def read():
            for _ in range(per):
                assert t.find_best_fit(8) is not None

        for _ in range(4):
            crew.add(read)
        crew.run()
        assert t.get_stats()["total_searches"] == 4 * per

    def test_stats_and_height_while_writing(self):
        t = FastRedBlackTree()
        crew, per = Crew(), 2000

        def write():
            for i in range(per):
                t.insert(8 * (i % 97 + 1), MemoryBlock(offset=i, size=8 * (i % 97 + 1), pool_id=0))
                if i % 5 == 4:
                    t.remove_ge(1)
            t.clear()

        def stats():
            for _ in range(per // 4):
                s = t.get_stats()
                assert 0 <= s["height"] <= 64 and s["is_valid"] is True

        crew.add(write)
        crew.add(stats)
        crew.add(stats)
        crew.run()
        assert t.size() == 0


# ---------------------------------------------------------------------------
# Function objects: attributes rebound while other threads read them


class TestFunctionAttributes:
    def test_rebinding_against_readers(self):
        f = tollet.FastRedBlackTree.find_best_fit
        saved = {a: getattr(f, a) for a in ("__doc__", "__qualname__", "__defaults__", "__annotations__")}
        crew, per = Crew(), 4000

        def write(k):
            for i in range(per):
                f.__doc__ = "doc %d %d" % (k, i)
                f.__qualname__ = "q%d_%d" % (k, i)
                f.__defaults__ = (i,)
                f.__annotations__ = {"size": str(i)}

        def read():
            for _ in range(per):
                assert f.__doc__.startswith(("doc ", "Find"))
                assert repr(f).startswith("<function ")
                assert isinstance(f.__defaults__, tuple) and isinstance(f.__annotations__, dict)
                assert isinstance(f.__reduce__(), str)

        try:
            crew.add(write, 0)
            crew.add(write, 1)
            crew.add(read)
            crew.add(read)
            crew.run()
            assert f.__doc__ in ("doc 0 %d" % (per - 1), "doc 1 %d" % (per - 1))
        finally:
            for a, v in saved.items():
                setattr(f, a, v)

    def test_first_code_object_is_one_object(self):
        # In a fresh process, where no code object has been built yet.
        import subprocess

        code = (
            "import threading\n"
            "from talvora.memory.tollet import FastRedBlackTree\n"
            "f = FastRedBlackTree.get_size_distribution\n"
            "got, start = [], threading.Barrier(4)\n"
            "def take():\n"
            "    start.wait()\n"
            "    got.append(f.__code__)\n"
            "ts = [threading.Thread(target=take) for _ in range(4)]\n"
            "[t.start() for t in ts]\n"
            "[t.join() for t in ts]\n"
            "print(len(got), all(c is got[0] for c in got), got[0].co_varnames)\n"
        )
        r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        assert (r.returncode, r.stdout, r.stderr) == (0, "4 True ('self',)\n", "")


# ---------------------------------------------------------------------------
# Slab headers, bucket lists, statistics counters, caller's lists, policy


class TestOtherSharedObjects:
    def test_slab_header_bits_flipped_by_several_threads(self):
        from talvora.memory.pardune import FastSlabHeaderOps

        h = FastSlabHeaderOps(3, 64)
        crew, rounds = Crew(), 400

        def flip(k):  # each thread owns 16 slots; the bitmap word is shared
            mine = range(16 * k, 16 * k + 16)
            for _ in range(rounds):
                for i in mine:
                    h.py_allocate_object_at(i)
                for i in mine:
                    assert not h.py_is_object_free(i)
                for i in mine[::2]:
                    h.py_deallocate_object_at(i)

        for k in range(4):
            crew.add(flip, k)
        crew.run()
        free = [i for i in range(64) if h.py_is_object_free(i)]
        assert free == list(range(0, 64, 2))  # no update lost
        assert h.py_find_free_object() == 0

    def test_init_buckets_against_bucket_operations(self):
        from talvora.memory.pardune import FastBucketAllocator

        a = FastBucketAllocator()
        crew, per = Crew(), 2000

        def reinit():
            for _ in range(per // 10):
                a._init_buckets()

        def use():
            for i in range(per):
                a.add_to_bucket(i * 64, 64)
                got = a.remove_from_bucket(64)
                assert got is None or isinstance(got, int)

        crew.add(reinit)
        crew.add(use)
        crew.add(use)
        crew.run()
        a._init_buckets()
        assert a.remove_from_bucket(64) is None

    def test_statistics_counters_reassigned_during_recording_and_snapshots(self):
        from talvora.memory.mesqua import AtomicCounter, LockFreeStatistics

        class Sub(AtomicCounter):
            pass

        s = LockFreeStatistics()
        crew, per = Crew(), 3000

        def record():
            for _ in range(per):
                s.record_allocation(8)
                s.record_deallocation(8)

        def replace():
            for i in range(per):
                s.total_allocations = Sub(0) if i % 2 else AtomicCounter(0)
                s.current_allocations = AtomicCounter(0)

        def snapshot():
            for _ in range(per // 3):
                snap = s.get_snapshot()
                assert isinstance(snap["total_allocations"], int)

        crew.add(record)
        crew.add(record)
        crew.add(replace)
        crew.add(snapshot)
        crew.run()
        # the native counters are the object's own: exact whatever was assigned
        assert s.get_snapshot()["total_allocations"] >= 0

    def test_vossendra_walkers_while_the_list_changes(self):
        from talvora.plugins.analyzer import vossendra

        history = [(float(i), 1.0 + i % 3) for i in range(50)]
        patterns = ["a", "b", "a", None] * 10
        crew, per = Crew(), 1500

        def mutate():
            for i in range(per):
                history.append((50.0 + i, 2.0))
                del history[0]
                patterns.append("b")
                patterns.pop(0)
                if i % 50 == 0:
                    history[:] = history[:5]
                    history.extend((60.0 + j, 1.5) for j in range(45))

        def walk():
            for _ in range(per):
                vossendra.detect_performance_degradation(history, 2.0, 0.1, 0.0)
                r = vossendra.calculate_performance_trend(history, 0.0)
                assert -1.0 <= r <= 1.0
                assert vossendra.detect_dominant_pattern(patterns, 5) in ("a", "b", None, "mixed")

        crew.add(mutate)
        crew.add(walk)
        crew.add(walk)
        crew.run()
        assert len(history) == 50

    def test_policy_properties_written_during_decisions(self):
        from talvora.jit.orvistle import AdaptivePolicy, FunctionMetrics, PolicyConfig

        config = PolicyConfig()
        policy = AdaptivePolicy(config)
        metrics = FunctionMetrics()

        class Store:  # one metrics object shared by every function
            def get_metrics(self, function_id):
                return metrics

        store = Store()
        crew, per = Crew(), 3000

        def decide(k):
            for i in range(per):
                metrics.call_count = i
                policy.should_compile(f"f{k}", store)
                policy.update(f"f{k}", store)
                assert config.min_threshold <= policy.get_threshold(f"f{k}") <= config.max_threshold

        def write():
            for i in range(per):
                config.learning_rate = 0.05 + (i % 10) / 100
                metrics.avg_speedup = 1.0 + i % 5

        crew.add(decide, 0)
        crew.add(decide, 1)
        crew.add(write)
        crew.run()
        assert config.learning_rate == 0.05 + ((per - 1) % 10) / 100

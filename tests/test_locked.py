"""Locked sections of the frame: the interpreter's own locks are entered and
left without allocating, anything else goes through the full context-manager
protocol, and no path leaves a lock held."""

import gc
import subprocess
import sys
import textwrap
import threading
import traceback

import pytest

import talvora.memory.pardune as pardune
from talvora.memory.pardune import FastBucketAllocator, FastStatsCollector


def held_lock(obj):
    return next(r for r in gc.get_referents(obj) if hasattr(r, "acquire"))


def with_lock_factory(monkeypatch, module, factory):
    class FakeThreading:
        Lock = staticmethod(factory)

    monkeypatch.setattr(module, "threading", FakeThreading)


class Recording:
    """A stand-in lock recording the protocol calls and their arguments."""

    def __init__(self, suppress=False):
        self.events = []
        self.suppress = suppress

    def __enter__(self):
        self.events.append(("enter",))
        return self

    def __exit__(self, et, ev, tb):
        self.events.append(("exit", et, type(ev)))
        return self.suppress


def failing_allocator(lock):
    """An allocator whose best-fit walk raises TypeError inside its lock."""
    a = FastBucketAllocator()
    assert any(r is lock for r in gc.get_referents(a))
    buckets = next(r for r in gc.get_referents(a) if type(r) is dict)
    buckets["x"] = [1]  # sorting int and str keys raises
    return a


class TestStandIns:
    def test_success_path_calls_exit_with_nones(self, monkeypatch):
        lock = Recording()
        with_lock_factory(monkeypatch, pardune, lambda: lock)
        s = FastStatsCollector()
        s.py_record_allocation(8, 0, True)
        assert lock.events == [("enter",), ("exit", None, type(None))]

    def test_error_path_passes_the_error_and_propagates_it(self, monkeypatch):
        lock = Recording()
        with_lock_factory(monkeypatch, pardune, lambda: lock)
        a = failing_allocator(lock)
        with pytest.raises(TypeError):
            a.find_best_fit_bucket(8, 8)
        assert lock.events == [("enter",), ("exit", TypeError, TypeError)]

    def test_suppressing_exit_continues_after_the_block(self, monkeypatch):
        lock = Recording(suppress=True)
        with_lock_factory(monkeypatch, pardune, lambda: lock)
        a = failing_allocator(lock)
        assert a.find_best_fit_bucket(8, 8) is None
        assert [e[0] for e in lock.events] == ["enter", "exit"]

    def test_exit_error_replaces_the_original_as_its_context(self, monkeypatch):
        class Raising(Recording):
            def __exit__(self, *exc):
                super().__exit__(*exc)
                raise KeyError("from exit")

        lock = Raising()
        with_lock_factory(monkeypatch, pardune, lambda: lock)
        a = failing_allocator(lock)
        with pytest.raises(KeyError) as info:
            a.find_best_fit_bucket(8, 8)
        assert isinstance(info.value.__context__, TypeError)

    def test_methods_are_looked_up_on_the_type_before_entering(self, monkeypatch):
        lock = Recording()
        lock.__enter__ = lambda: pytest.fail("instance attribute used")
        with_lock_factory(monkeypatch, pardune, lambda: lock)
        FastStatsCollector().reset_stats()
        assert [e[0] for e in lock.events] == ["enter", "exit"]

        class NoExit:
            def __enter__(self):
                pytest.fail("entered without __exit__")

        with_lock_factory(monkeypatch, pardune, NoExit)
        with pytest.raises(AttributeError):
            FastStatsCollector().reset_stats()

    @pytest.mark.parametrize("base", [type(threading.RLock()), type(threading.Lock())])
    def test_lock_subclasses_and_instances_keep_the_protocol(self, monkeypatch, base):
        if base is type(threading.Lock()):
            # _thread.lock cannot be subclassed; a stand-in wrapping one can.
            inner = threading.Lock()

            class Sub:
                def __enter__(self):
                    events.append("enter")
                    return inner.__enter__()

                def __exit__(self, *exc):
                    events.append("exit")
                    return inner.__exit__(*exc)
        else:

            class Sub(base):
                def __enter__(self):
                    events.append("enter")
                    return super().__enter__()

                def __exit__(self, *exc):
                    events.append("exit")
                    return super().__exit__(*exc)

        events = []
        with_lock_factory(monkeypatch, pardune, Sub)
        s = FastStatsCollector()
        s.py_record_deallocation()
        s.get_stats()
        assert events == ["enter", "exit", "enter", "exit"]


class TestInterpreterLocks:
    @pytest.mark.parametrize("factory", [threading.Lock, threading.RLock])
    def test_error_inside_leaves_the_lock_free(self, monkeypatch, factory):
        with_lock_factory(monkeypatch, pardune, factory)
        lock = factory()
        a = FastBucketAllocator()
        buckets = next(r for r in gc.get_referents(a) if type(r) is dict)
        buckets["x"] = [1]
        held = held_lock(a)
        assert type(held) is type(lock)
        with pytest.raises(TypeError):
            a.find_best_fit_bucket(8, 8)
        assert held.acquire(blocking=False)
        held.release()

    def test_release_of_a_lock_released_inside_raises(self):
        a = FastBucketAllocator()
        lock = held_lock(a)
        buckets = next(r for r in gc.get_referents(a) if type(r) is dict)

        # The lock is released by someone else while held: leaving raises
        # the interpreter's error instead of passing silently.
        class Key(int):
            def __gt__(self, other):
                lock.release()
                return False

        buckets[Key(10)] = []
        with pytest.raises(RuntimeError):
            a.find_best_fit_bucket(8, 8)
        assert not lock.locked()

    def test_a_lock_reads_as_held_inside_and_free_after(self):
        a = FastBucketAllocator()
        lock = held_lock(a)
        buckets = next(r for r in gc.get_referents(a) if type(r) is dict)
        seen = []

        class Key(int):
            def __gt__(self, other):
                seen.append((lock.locked(), lock.acquire(blocking=False)))
                return False

        buckets[Key(10)] = []
        for _ in range(3):
            a.find_best_fit_bucket(8, 8)
            assert not lock.locked()
        assert seen == [(True, False)] * 3

    def test_waiters_on_either_side_of_a_section(self):
        a = FastBucketAllocator()
        lock = held_lock(a)
        buckets = next(r for r in gc.get_referents(a) if type(r) is dict)
        waiter_done = threading.Event()

        def wait_for_lock():
            with lock:
                waiter_done.set()

        # A thread blocks on the lock while the section holds it: leaving
        # the section wakes it.
        class Key(int):
            def __gt__(self, other):
                t = threading.Thread(target=wait_for_lock)
                t.start()
                threads.append(t)
                t.join(0.2)  # long enough for the thread to block
                assert not waiter_done.is_set()
                return False

        threads = []
        buckets[Key(10)] = []
        a.find_best_fit_bucket(8, 8)
        threads[0].join(30)
        assert waiter_done.is_set() and not lock.locked()

        # The section waits for a lock another thread holds.
        buckets.clear()
        lock.acquire()
        released = []
        t = threading.Timer(0.2, lambda: (released.append(True), lock.release()))
        t.start()
        a.find_best_fit_bucket(8, 8)
        assert released == [True] and not lock.locked()
        t.join()

    def test_release_failing_after_the_body_failed_chains_both_errors(self):
        a = FastBucketAllocator()
        lock = held_lock(a)
        buckets = next(r for r in gc.get_referents(a) if type(r) is dict)

        # The body fails with an error raised in C, after the lock was
        # released under it: the release error is raised, the body's
        # error is its context.
        class Key:
            def __gt__(self, other):
                if lock.locked():
                    lock.release()
                return NotImplemented

            __lt__ = __ge__ = __le__ = __gt__

        buckets[Key()] = []
        with pytest.raises(RuntimeError) as info:
            a.find_best_fit_bucket(8, 8)
        assert type(info.value.__context__) is TypeError
        assert "not supported between instances of" in str(info.value.__context__)
        assert not lock.locked()


BEST_FIT = "talvora.memory.pardune.FastBucketAllocator.find_best_fit_bucket"


def tb_names(exc):
    return [f.name for f in traceback.extract_tb(exc.__traceback__)]


class TestTracebackEntries:
    """A method failing inside its locked section carries its traceback entry
    before the lock's __exit__ runs, as in a Python `with` statement, once."""

    def test_exit_receives_the_entry(self, monkeypatch):
        class Seeing(Recording):
            def __exit__(self, et, ev, tb):
                self.names = [f.name for f in traceback.extract_tb(tb)]
                return super().__exit__(et, ev, tb)

        lock = Seeing()
        with_lock_factory(monkeypatch, pardune, lambda: lock)
        a = failing_allocator(lock)
        with pytest.raises(TypeError) as info:
            a.find_best_fit_bucket(8, 8)
        assert lock.names == [BEST_FIT]
        assert tb_names(info.value).count(BEST_FIT) == 1

    def test_an_error_from_exit_keeps_the_entry_on_both_errors(self, monkeypatch):
        class Raising(Recording):
            def __exit__(self, *exc):
                super().__exit__(*exc)
                raise KeyError("from exit")

        lock = Raising()
        with_lock_factory(monkeypatch, pardune, lambda: lock)
        a = failing_allocator(lock)
        with pytest.raises(KeyError) as info:
            a.find_best_fit_bucket(8, 8)
        assert tb_names(info.value).count(BEST_FIT) == 1
        assert tb_names(info.value.__context__) == [BEST_FIT]

    def test_a_failing_release_keeps_the_entry_on_both_errors(self):
        a = FastBucketAllocator()
        lock = held_lock(a)
        buckets = next(r for r in gc.get_referents(a) if type(r) is dict)

        class Key:
            def __gt__(self, other):
                if lock.locked():
                    lock.release()
                return NotImplemented

            __lt__ = __ge__ = __le__ = __gt__

        buckets[Key()] = []
        with pytest.raises(RuntimeError) as info:
            a.find_best_fit_bucket(8, 8)
        assert tb_names(info.value)[-1] == BEST_FIT
        assert tb_names(info.value).count(BEST_FIT) == 1
        assert tb_names(info.value.__context__) == [BEST_FIT]


FAULTS = textwrap.dedent(
    """
    import gc, _testcapi
    from talvora.memory.mesqua import LockFreeStack, AtomicPointer
    from talvora.memory.pardune import FastStatsCollector
    objs = [LockFreeStack(), AtomicPointer(), FastStatsCollector()]
    calls = [
        lambda: objs[0].push(object()), lambda: objs[0].pop(), lambda: objs[0].is_empty(),
        lambda: objs[1].store([]), lambda: objs[1].compare_and_swap(None, 1), lambda: objs[1].get_version(),
        lambda: objs[2].get_stats(), lambda: objs[2].py_record_allocation(8, 0, True),
    ]
    locks = [next(r for r in gc.get_referents(o) if hasattr(r, "acquire")) for o in objs]
    failures = 0
    for call in calls:
        for n in range(40):
            _testcapi.set_nomemory(n, n + 1)
            try:
                call()
            except MemoryError:
                failures += 1
            finally:
                _testcapi.remove_mem_hooks()
            assert not any(l.locked() for l in locks), (call, n)
    print("ok", failures)
    """
)


def test_single_allocation_failures_leave_no_lock_held():
    pytest.importorskip("_testcapi")
    if not hasattr(__import__("_testcapi"), "set_nomemory"):
        pytest.skip("no set_nomemory")
    r = subprocess.run([sys.executable, "-c", FAULTS], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith("ok ") and int(r.stdout.split()[1]) > 0

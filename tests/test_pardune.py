"""Tests of talvora.memory.pardune: slab headers, size-class buckets, size
helpers and allocation statistics."""

import copy
import gc
import logging
import os
import pickle
import struct
import subprocess
import sys
import threading
import time
import types
import weakref

import pytest

import talvora.memory.pardune as pd
from talvora.memory.pardune import (
    FastBucketAllocator,
    FastSlabHeaderOps,
    FastStatsCollector,
    fast_align_size,
    fast_bitmap_operations,
    fast_can_fit_aligned,
    fast_get_bucket_size,
)

MODNAME = "talvora.memory.pardune"
IN_USE = 0x10
CORRUPT = 0x80
INT32_MAX = 2**31 - 1
INT32_MIN = -(2**31)


def crc16_modbus(data):
    """Bit-at-a-time CRC-16/MODBUS, independent of the module's table."""
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def fields(header):
    """(size_class_index, flags, generation, checksum, bitmap) of packed bytes."""
    return struct.unpack("<BBLHQ", header)


def make_header(sci, flags, generation, bitmap, crc=None):
    body = struct.pack("<BBL", sci, flags, generation)
    if crc is None:
        crc = crc16_modbus(body)
    return body + struct.pack("<HQ", crc, bitmap)


def state(h):
    return fields(h.pack_header())


def referents(obj):
    """The dict and lock an allocator or collector holds (visited by the GC)."""
    refs = gc.get_referents(obj)
    buckets = next((r for r in refs if type(r) is dict), None)
    lock = next(r for r in refs if type(r) is type(threading.Lock()))
    return buckets, lock


def run_in_thread(fn, timeout=5.0):
    """Runs fn in a thread; returns (finished, result-or-exception)."""
    out = {}

    def target():
        try:
            out["value"] = fn()
        except BaseException as e:  # noqa: BLE001 - reported to the test
            out["value"] = e

    t = threading.Thread(target=target, daemon=True)
    t.start()
    t.join(timeout)
    return not t.is_alive(), out.get("value"), t


# ---------------------------------------------------------------------------
# Module set-up


class TestModule:
    def test_load_line_logged_once_at_import(self):
        code = (
            "import logging, sys\n"
            "logging.basicConfig(level=logging.INFO, stream=sys.stdout,"
            " format='%(name)s|%(levelname)s|%(message)s')\n"
            "import talvora.memory.pardune\n"
            "import talvora.memory.pardune\n"
        )
        env = dict(os.environ, PYTHONIOENCODING="utf-8")
        r = subprocess.run([sys.executable, "-c", code], capture_output=True, env=env, check=True)
        lines = r.stdout.decode("utf-8").splitlines()
        assert lines == [
            "talvora.memory.pardune|INFO|Talvora Fast Allocator Cython module loaded - "
            "targeting 1.8-3\u00d7 performance improvement"
        ]

    def test_module_globals(self):
        assert isinstance(pd.threading, types.ModuleType) and pd.threading.__name__ == "threading"
        assert isinstance(pd.logging, types.ModuleType) and pd.logging.__name__ == "logging"
        assert isinstance(pd.logger, logging.Logger) and pd.logger.name == MODNAME
        assert "struct" not in vars(pd)
        assert pd.__test__ == {}
        assert pd.__doc__

    def test_struct_is_imported_on_each_call(self, monkeypatch):
        calls = []
        fake = types.ModuleType("struct")
        fake.pack = lambda fmt, *values: calls.append(("pack", fmt, values)) or b"fake"
        fake.unpack = lambda fmt, data: calls.append(("unpack", fmt, data)) or (1, 2, 3, 0, 5)
        h = FastSlabHeaderOps(3, 8)
        monkeypatch.setitem(sys.modules, "struct", fake)
        assert h.pack_header() == b"fake"
        assert calls[0] == ("pack", "<BBLHQ", (3, 0, 0, 0x2800, 0xFF))
        h.unpack_header(b"\x00" * 16)
        assert calls[1] == ("unpack", "<BBLHQ", b"\x00" * 16)
        monkeypatch.undo()
        # The real module again on the next call.
        assert len(h.pack_header()) == 16

    def test_no_annotations_and_only_one_default(self):
        funcs = [fast_align_size, fast_get_bucket_size, fast_bitmap_operations, fast_can_fit_aligned]
        for cls in (FastSlabHeaderOps, FastBucketAllocator, FastStatsCollector):
            funcs += [v for k, v in vars(cls).items() if callable(v) and not k.startswith("__")]
        assert len(funcs) == 4 + 6 + 4 + 4
        for f in funcs:
            assert f.__annotations__ == {}, f.__qualname__
            if f is fast_get_bucket_size:
                assert f.__defaults__ == (8,)
            else:
                assert f.__defaults__ is None, f.__qualname__

    @pytest.mark.parametrize(
        "obj, doc",
        [
            (FastSlabHeaderOps, "Fast operations on compressed slab headers using Cython."),
            (FastBucketAllocator, "Fast bucketed allocator using Cython for O(1) allocation performance."),
            (FastStatsCollector, "Fast statistics collection using Cython."),
            (FastSlabHeaderOps.pack_header, "Pack header into bytes for storage."),
            (FastSlabHeaderOps.unpack_header, "Unpack header from bytes."),
            (FastSlabHeaderOps.py_is_object_free, "Check if object at index is free (Python interface)."),
            (FastSlabHeaderOps.py_find_free_object, "Find first free object index (Python interface)."),
            (FastSlabHeaderOps.py_allocate_object_at, "Mark object as allocated (Python interface)."),
            (FastSlabHeaderOps.py_deallocate_object_at, "Mark object as free (Python interface)."),
            (FastBucketAllocator._init_buckets, "Initialize size-class buckets."),
            (FastBucketAllocator.add_to_bucket, "Add block to appropriate bucket."),
            (FastBucketAllocator.remove_from_bucket, "Remove block from appropriate bucket."),
            (FastBucketAllocator.find_best_fit_bucket, "Find best fit bucket for allocation."),
            (fast_align_size, "Fast alignment calculation (Python interface)."),
            (fast_get_bucket_size, "Fast bucket size calculation (Python interface)."),
            (fast_bitmap_operations, "Fast bitmap operations (Python interface)."),
            (fast_can_fit_aligned, "Fast alignment check with exclusive boundary (Python interface)."),
            (FastStatsCollector.py_record_allocation, "Record allocation statistics (Python interface)."),
            (FastStatsCollector.py_record_deallocation, "Record deallocation statistics (Python interface)."),
            (FastStatsCollector.get_stats, "Get statistics dictionary."),
            (FastStatsCollector.reset_stats, "Reset all statistics."),
        ],
    )
    def test_docstrings(self, obj, doc):
        assert obj.__doc__ == doc

    def test_method_order_and_names(self):
        def public(cls):
            return [k for k in vars(cls) if not k.startswith("__")]

        assert public(FastSlabHeaderOps) == [
            "pack_header",
            "unpack_header",
            "py_is_object_free",
            "py_find_free_object",
            "py_allocate_object_at",
            "py_deallocate_object_at",
        ]
        assert public(FastBucketAllocator) == [
            "_init_buckets",
            "add_to_bucket",
            "remove_from_bucket",
            "find_best_fit_bucket",
        ]
        assert public(FastStatsCollector) == [
            "py_record_allocation",
            "py_record_deallocation",
            "get_stats",
            "reset_stats",
        ]
        assert FastBucketAllocator.add_to_bucket.__qualname__ == "FastBucketAllocator.add_to_bucket"
        assert fast_align_size.__module__ == MODNAME

    @pytest.mark.parametrize("factory", [lambda: FastSlabHeaderOps(1, 8), FastBucketAllocator, FastStatsCollector])
    def test_native_class_conventions(self, factory):
        obj = factory()
        cls = type(obj)
        assert cls.__module__ == MODNAME
        for attempt in (pickle.dumps, copy.copy, copy.deepcopy):
            with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
                attempt(obj)
        with pytest.raises(AttributeError):
            obj.anything = 1
        with pytest.raises(TypeError):
            weakref.ref(obj)

        class Sub(cls):
            pass

        assert isinstance(Sub(*((1, 8) if cls is FastSlabHeaderOps else ())), cls)

    def test_gc_participation(self):
        assert not gc.is_tracked(FastSlabHeaderOps(1, 8))
        assert gc.is_tracked(FastBucketAllocator())
        assert gc.is_tracked(FastStatsCollector())

    def test_cycles_through_subclass_instances_are_collected(self):
        class Sub(FastBucketAllocator):
            pass

        a = Sub()
        ref = weakref.ref(a)  # subclass instances have __weakref__ and __dict__
        a.me = a
        del a
        gc.collect()
        assert ref() is None


# ---------------------------------------------------------------------------
# FastSlabHeaderOps


class TestSlabHeader:
    def test_worked_example(self):
        assert FastSlabHeaderOps(3, 8).pack_header() == bytes.fromhex("03 00 00 00 00 00 00 28 FF 00 00 00 00 00 00 00")

    def test_crc_check_value(self):
        assert crc16_modbus(b"123456789") == 0x4B37

    def test_packed_crc_matches_independent_crc(self):
        h = FastSlabHeaderOps(200, 40)
        for i in range(0, 40, 3):
            h.py_allocate_object_at(i)
        h.py_deallocate_object_at(3)
        for _ in range(300):
            h.py_allocate_object_at(70)  # generation crosses a byte boundary
        data = h.pack_header()
        assert len(data) == 16 and type(data) is bytes
        sci, flags, gen, crc, bitmap = fields(data)
        assert (sci, flags, gen) == (200, IN_USE, 14 + 1 + 300)
        assert crc == crc16_modbus(data[:6])
        assert bitmap == ((1 << 40) - 1) & ~sum(1 << i for i in range(0, 40, 3) if i != 3)

    def test_constructor_fields(self):
        assert state(FastSlabHeaderOps(300, 8))[0] == 44
        assert state(FastSlabHeaderOps(-1, 8))[0] == 255
        assert state(FastSlabHeaderOps(1, 64))[4] == 2**64 - 1
        assert state(FastSlabHeaderOps(1, 1000))[4] == 2**64 - 1
        assert state(FastSlabHeaderOps(1, 63))[4] == 2**63 - 1
        assert state(FastSlabHeaderOps(1, 1))[4] == 1
        assert state(FastSlabHeaderOps(size_class_index=7, objects_per_slab=2))[:2] == (7, 0)
        assert state(FastSlabHeaderOps(2.9, 8.7))[0] == 2

    @pytest.mark.parametrize("count", [0, -1, -64, INT32_MIN])
    def test_empty_or_negative_slot_count_has_no_free_slot(self, count):
        h = FastSlabHeaderOps(1, count)
        assert state(h)[4] == 0
        assert h.py_find_free_object() == -1
        assert not h.py_is_object_free(0)

    def test_allocate_and_deallocate_cycle(self):
        h = FastSlabHeaderOps(3, 8)
        assert h.py_find_free_object() == 0
        assert h.py_allocate_object_at(0) is None
        assert h.py_find_free_object() == 1
        assert h.py_is_object_free(0) is False
        assert h.py_is_object_free(1) is True
        assert state(h)[1] & IN_USE
        assert h.py_deallocate_object_at(0) is None
        sci, flags, gen, _, bitmap = state(h)
        assert bitmap == 0xFF and not flags & IN_USE and gen == 2

    def test_in_use_bit_stays_until_all_slots_are_free(self):
        h = FastSlabHeaderOps(3, 8)
        h.py_allocate_object_at(2)
        h.py_allocate_object_at(5)
        h.py_deallocate_object_at(2)
        assert state(h)[1] & IN_USE
        h.py_deallocate_object_at(5)
        assert not state(h)[1] & IN_USE
        # Freeing a slot above the slab's count spoils the all-free pattern for good.
        h.py_allocate_object_at(0)
        h.py_deallocate_object_at(9)
        h.py_deallocate_object_at(0)
        assert state(h)[4] == 0x2FF and state(h)[1] & IN_USE

    def test_full_64_slot_slab(self):
        h = FastSlabHeaderOps(0, 64)
        for i in range(64):
            assert h.py_find_free_object() == i
            h.py_allocate_object_at(i)
        assert h.py_find_free_object() == -1
        assert state(h)[4] == 0
        h.py_deallocate_object_at(63)
        assert h.py_find_free_object() == 63
        assert h.py_is_object_free(63)

    def test_lowest_free_slot_wins(self):
        h = FastSlabHeaderOps(0, 16)
        for i in range(10):
            h.py_allocate_object_at(i)
        h.py_deallocate_object_at(7)
        h.py_deallocate_object_at(4)
        assert h.py_find_free_object() == 4

    def test_no_free_check_on_double_operations(self):
        h = FastSlabHeaderOps(0, 8)
        h.py_allocate_object_at(1)
        h.py_allocate_object_at(1)
        assert state(h)[2] == 2 and state(h)[4] == 0xFD
        h.py_deallocate_object_at(4)  # already free
        assert state(h)[2] == 3 and state(h)[1] & IN_USE

    @pytest.mark.parametrize("index", [64, 65, INT32_MAX, -1, -63, INT32_MIN])
    def test_unaddressable_index_touches_only_counters(self, index):
        h = FastSlabHeaderOps(3, 8)
        assert h.py_is_object_free(index) is False
        h.py_allocate_object_at(index)
        _, flags, gen, _, bitmap = state(h)
        assert (flags, gen, bitmap) == (IN_USE, 1, 0xFF)
        h.py_deallocate_object_at(index)
        _, flags, gen, _, bitmap = state(h)
        assert (flags, gen, bitmap) == (0, 2, 0xFF)

    def test_generation_wraps_modulo_2_32(self):
        h = FastSlabHeaderOps(0, 8)
        h.unpack_header(make_header(0, 0, 2**32 - 1, 0xFF))
        h.py_allocate_object_at(0)
        assert state(h)[2] == 0

    def test_other_flag_bits_are_carried(self):
        h = FastSlabHeaderOps(0, 8)
        h.unpack_header(make_header(9, 0x05, 7, 0xFF))
        h.py_allocate_object_at(1)
        assert state(h)[1] == 0x15
        h.py_deallocate_object_at(1)
        assert state(h)[1] == 0x05

    def test_argument_errors(self):
        with pytest.raises(TypeError, match=r"^__cinit__\(\) takes exactly 2 positional arguments \(1 given\)$"):
            FastSlabHeaderOps(1)
        with pytest.raises(TypeError, match=r"^__cinit__\(\) takes exactly 2 positional arguments \(3 given\)$"):
            FastSlabHeaderOps(1, 2, 3)
        with pytest.raises(TypeError, match=r"^__cinit__\(\) got an unexpected keyword argument 'size'$"):
            FastSlabHeaderOps(1, 2, size=3)
        with pytest.raises(OverflowError, match=r"^value too large to convert to int32_t$"):
            FastSlabHeaderOps(2**31, 8)
        with pytest.raises(OverflowError, match=r"^value too large to convert to int32_t$"):
            FastSlabHeaderOps(1, -(2**31) - 1)
        with pytest.raises(TypeError, match=r"^an integer is required$"):
            FastSlabHeaderOps("1", 8)
        h = FastSlabHeaderOps(1, 8)
        for method in (h.py_is_object_free, h.py_allocate_object_at, h.py_deallocate_object_at):
            with pytest.raises(OverflowError, match=r"^value too large to convert to int$"):
                method(2**31)
            with pytest.raises(TypeError, match=r"^an integer is required$"):
                method("0")
        with pytest.raises(
            TypeError, match=r"^py_find_free_object\(\) takes exactly 0 positional arguments \(1 given\)$"
        ):
            h.py_find_free_object(0)
        with pytest.raises(TypeError, match=r"^pack_header\(\) got an unexpected keyword argument 'x'$"):
            h.pack_header(x=1)
        assert state(h) == state(FastSlabHeaderOps(1, 8))  # nothing changed
        h.py_allocate_object_at(object_index=2.9)
        assert not h.py_is_object_free(2)

    def test_roundtrip_is_silent_and_keeps_flags(self, caplog):
        h = FastSlabHeaderOps(17, 20)
        for i in (0, 3, 19):
            h.py_allocate_object_at(i)
        data = h.pack_header()
        other = FastSlabHeaderOps(0, 20)
        with caplog.at_level(logging.DEBUG, logger=MODNAME):
            assert other.unpack_header(data) is None
            h.unpack_header(data)
        assert caplog.records == []
        assert other.pack_header() == data
        assert h.pack_header() == data

    @pytest.mark.parametrize("pos", range(8))
    def test_change_in_covered_or_checksum_bytes_is_detected(self, pos, caplog):
        src = FastSlabHeaderOps(5, 12)
        src.py_allocate_object_at(3)
        data = bytearray(src.pack_header())
        data[pos] ^= 0x01
        data = bytes(data)
        sci, flags, gen, stored, bitmap = fields(data)
        computed = crc16_modbus(data[:6])
        assert stored != computed
        h = FastSlabHeaderOps(0, 12)
        with caplog.at_level(logging.WARNING, logger=MODNAME):
            h.unpack_header(data)
        assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
            (MODNAME, logging.WARNING, "Header corruption detected: stored=%04x, computed=%04x" % (stored, computed))
        ]
        # Decoded values stay, with the corruption bit added.
        sci2, flags2, gen2, crc2, bitmap2 = state(h)
        assert (sci2, flags2, gen2, bitmap2) == (sci, flags | CORRUPT, gen, bitmap)
        assert crc2 == crc16_modbus(h.pack_header()[:6])

    @pytest.mark.parametrize("pos", range(8, 16))
    def test_change_in_bitmap_bytes_is_not_detected(self, pos, caplog):
        src = FastSlabHeaderOps(5, 64)
        data = bytearray(src.pack_header())
        data[pos] ^= 0xA5
        h = FastSlabHeaderOps(0, 64)
        with caplog.at_level(logging.WARNING, logger=MODNAME):
            h.unpack_header(bytes(data))
        assert caplog.records == []
        assert not state(h)[1] & CORRUPT
        assert state(h)[4] == fields(bytes(data))[4]

    def test_warning_pads_hex_to_four_digits(self, caplog):
        data = make_header(3, 0, 0, 0xFF, crc=0x000A)  # true CRC is 0x2800
        h = FastSlabHeaderOps(3, 8)
        with caplog.at_level(logging.WARNING, logger=MODNAME):
            h.unpack_header(data)
        assert caplog.records[0].getMessage() == "Header corruption detected: stored=000a, computed=2800"

    def test_corruption_bit_is_sticky_and_checksummed(self, caplog):
        h = FastSlabHeaderOps(3, 8)
        h.unpack_header(make_header(3, 0, 0, 0xFF, crc=0))
        repacked = h.pack_header()
        assert fields(repacked)[1] == CORRUPT
        assert fields(repacked)[3] == crc16_modbus(repacked[:6])
        caplog.clear()
        with caplog.at_level(logging.WARNING, logger=MODNAME):
            h.unpack_header(repacked)
        assert caplog.records == []
        h.py_allocate_object_at(0)
        h.py_deallocate_object_at(0)
        assert state(h)[1] == CORRUPT  # never cleared

    def test_warning_goes_through_module_logger(self, monkeypatch):
        seen = []

        class Recorder:
            def warning(self, msg):
                seen.append(msg)

        monkeypatch.setattr(pd, "logger", Recorder())
        FastSlabHeaderOps(0, 8).unpack_header(make_header(1, 2, 3, 4, crc=0x1234))
        assert seen == [
            "Header corruption detected: stored=1234, computed=%04x" % crc16_modbus(struct.pack("<BBL", 1, 2, 3))
        ]

    def test_logger_error_propagates(self, monkeypatch):
        class Broken:
            def warning(self, msg):
                raise RuntimeError("log down")

        monkeypatch.setattr(pd, "logger", Broken())
        h = FastSlabHeaderOps(0, 8)
        with pytest.raises(RuntimeError, match="log down"):
            h.unpack_header(make_header(1, 0, 0, 0, crc=1))

    def test_unpack_keeps_slot_count(self):
        # The slot count is not part of the bytes: the all-free pattern is the object's own.
        h = FastSlabHeaderOps(0, 4)
        h.unpack_header(make_header(0, IN_USE, 0, 0x0E))
        h.py_deallocate_object_at(0)
        assert state(h)[4] == 0x0F and not state(h)[1] & IN_USE

    def test_struct_is_imported_before_anything_else(self, monkeypatch):
        h = FastSlabHeaderOps(9, 8)
        monkeypatch.setitem(sys.modules, "struct", None)
        # The import comes before the length and size checks of unpack_header.
        for data in (None, b"\x00" * 15, make_header(9, 0, 0, 0xFF)):
            with pytest.raises(ImportError):
                h.unpack_header(data)
        with pytest.raises(ImportError):
            h.pack_header()
        monkeypatch.undo()
        assert state(h) == state(FastSlabHeaderOps(9, 8))  # nothing was stored

    def test_unpack_errors_leave_object_unchanged(self):
        h = FastSlabHeaderOps(9, 8)
        h.py_allocate_object_at(1)
        before = h.pack_header()
        with pytest.raises(TypeError, match=r"^object of type 'NoneType' has no len\(\)$"):
            h.unpack_header(None)
        for n in (0, 15, 17, 32):
            with pytest.raises(ValueError):
                h.unpack_header(b"\x00" * n)
        with pytest.raises(TypeError, match=r"^Argument 'data' has incorrect type \(expected bytes, got bytearray\)$"):
            h.unpack_header(bytearray(16))

        class B(bytes):
            pass

        with pytest.raises(TypeError, match=r"^Argument 'data' has incorrect type \(expected bytes, got B\)$"):
            h.unpack_header(B(16))
        with pytest.raises(TypeError, match=r"^unpack_header\(\) takes exactly 1 positional argument \(0 given\)$"):
            h.unpack_header()
        assert h.pack_header() == before

    def test_concurrent_slot_operations_keep_header_consistent(self):
        h = FastSlabHeaderOps(0, 64)

        def work(base):
            for _ in range(500):
                for i in range(base, base + 8):
                    h.py_allocate_object_at(i)
                for i in range(base, base + 8):
                    h.py_deallocate_object_at(i)

        threads = [threading.Thread(target=work, args=(8 * k,)) for k in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        _, flags, gen, _, bitmap = state(h)
        assert bitmap == 2**64 - 1 and flags == 0 and gen == 8 * 500 * 16


# ---------------------------------------------------------------------------
# FastBucketAllocator


class TestBucketAllocator:
    def test_default_bucket_keys(self):
        buckets, lock = referents(FastBucketAllocator())
        keys = list(buckets)
        assert keys == list(range(8, 257, 8)) + list(range(264, 4097, 8))
        assert len(keys) == 512
        assert all(v == [] and type(v) is list for v in buckets.values())
        assert len({id(v) for v in buckets.values()}) == 512
        assert not lock.locked()

    def test_off_grid_small_limit(self):
        a = FastBucketAllocator(8, 20, 40)
        assert list(referents(a)[0]) == [8, 16, 28, 36]
        # 24 rounds to itself but is no key; 28 is a key but rounds to 32.
        assert a.add_to_bucket(0, 24) is False
        assert a.add_to_bucket(0, 28) is False
        assert a.add_to_bucket(0, 16) is True
        assert a.add_to_bucket(0, 48) is False

    def test_add_accepts_only_exact_bucket_sizes(self):
        a = FastBucketAllocator()
        assert a.add_to_bucket(0, 24) is True
        assert a.add_to_bucket(0, 20) is False
        assert a.add_to_bucket(0, 5000) is False
        assert a.add_to_bucket(0, 4096) is True
        assert a.add_to_bucket(0, 0) is False
        assert a.add_to_bucket(0, -8) is False
        assert a.add_to_bucket(offset=7.9, size=8) is True
        assert referents(a)[0][8] == [7]

    def test_remove_rounds_up_and_is_lifo(self):
        a = FastBucketAllocator()
        a.add_to_bucket(100, 24)
        a.add_to_bucket(200, 24)
        assert a.remove_from_bucket(17) == 200
        assert a.remove_from_bucket(24) == 100
        assert a.remove_from_bucket(24) is None
        a.add_to_bucket(300, 32)
        assert a.remove_from_bucket(24) is None  # larger classes are not searched
        assert a.remove_from_bucket(5000) is None
        assert a.remove_from_bucket(0) is None
        assert a.remove_from_bucket(-5) is None
        assert a.remove_from_bucket(25) == 300

    def test_best_fit_alignment_and_put_back(self):
        a = FastBucketAllocator()
        a.add_to_bucket(4, 32)
        assert a.find_best_fit_bucket(24, 16) is None  # 16 + 24 > 4 + 32
        assert a.remove_from_bucket(32) == 4  # put back
        a.add_to_bucket(0, 32)
        assert a.find_best_fit_bucket(24, 16) == 0
        assert a.remove_from_bucket(32) is None

    def test_best_fit_exact_class_first_with_inclusive_end(self):
        a = FastBucketAllocator()
        a.add_to_bucket(64, 64)
        a.add_to_bucket(8, 24)
        assert a.find_best_fit_bucket(24, 8) == 8  # 8 + 24 == 8 + 24 fits
        assert a.find_best_fit_bucket(24, 8) == 64

    def test_best_fit_smallest_larger_class_and_only_last_block(self):
        a = FastBucketAllocator()
        a.add_to_bucket(1024, 48)
        a.add_to_bucket(0, 40)  # would fit, but is not the last block of its class
        a.add_to_bucket(36, 40)  # aligned 64: 64 + 20 > 36 + 40
        a.add_to_bucket(32, 32)  # aligned 32: 52 <= 64
        assert a.find_best_fit_bucket(20, 32) == 32
        # Class 32 is empty now; class 40's last block does not fit, class 48's does.
        assert a.find_best_fit_bucket(20, 32) == 1024
        assert referents(a)[0][40] == [0, 36]  # order preserved after put-back
        assert a.find_best_fit_bucket(20, 32) is None

    def test_best_fit_degenerate_sizes(self):
        a = FastBucketAllocator()
        a.add_to_bucket(0, 4096)
        assert a.find_best_fit_bucket(5000, 8) is None
        assert a.find_best_fit_bucket(0, 8) is None
        assert a.find_best_fit_bucket(-3, 8) is None
        assert a.find_best_fit_bucket(4096, 1) == 0

    def test_best_fit_near_32_bit_limit_does_not_wrap(self):
        a = FastBucketAllocator()
        offset = INT32_MAX - 47
        assert a.add_to_bucket(offset, 24)
        # The aligned offset 2**31 is past the block; wrapped to 32 bits it would "fit".
        assert a.find_best_fit_bucket(24, 2**30) is None
        assert a.find_best_fit_bucket(24, 8) == offset

    def test_best_fit_exact_class_put_back_then_larger_class(self):
        a = FastBucketAllocator()
        a.add_to_bucket(4, 32)
        a.add_to_bucket(0, 40)
        assert a.find_best_fit_bucket(24, 16) == 0
        buckets = referents(a)[0]
        assert buckets[32] == [4] and buckets[40] == []

    def test_best_fit_never_takes_a_smaller_class(self):
        a = FastBucketAllocator()
        a.add_to_bucket(100, 8)
        a.add_to_bucket(200, 16)
        # Alignment 0 aligns every offset to 0, so these blocks would pass the
        # fit test; only classes from the rounded size up are searched.
        assert a.find_best_fit_bucket(24, 0) is None
        buckets = referents(a)[0]
        assert buckets[8] == [100] and buckets[16] == [200]
        a.add_to_bucket(300, 24)
        assert a.find_best_fit_bucket(17, 0) == 300

    def test_best_fit_walks_larger_classes_in_ascending_key_order(self):
        a = FastBucketAllocator(8, 16, 32)
        buckets = referents(a)[0]
        assert a.add_to_bucket(0, 32)
        buckets[20] = [100]  # a key inserted after 24 and 32
        assert a.find_best_fit_bucket(12, 4) == 100
        assert buckets[20] == [] and buckets[32] == [0]
        assert a.find_best_fit_bucket(12, 4) == 0

    def test_entry_whose_conversion_changes_the_list(self):
        a = FastBucketAllocator()
        buckets, lock = referents(a)

        class Shrinking:
            def __int__(self):
                buckets[32].clear()
                return 0

        class Replacing:
            def __int__(self):
                buckets[32][-1] = 777
                return 0

        buckets[32].append(Shrinking())
        assert a.find_best_fit_bucket(32, 8) is None
        assert buckets[32] == [] and not lock.locked()
        buckets[32].append(Replacing())
        # The tested entry is gone; nothing untested is handed out.
        assert a.find_best_fit_bucket(32, 8) is None
        assert buckets[32] == [777] and not lock.locked()
        assert a.remove_from_bucket(32) == 777

    def test_zero_step_without_buckets_rounds_to_no_bucket(self):
        class NoBuckets(FastBucketAllocator):
            def _init_buckets(self):
                pass

        a = NoBuckets(0)
        for size in (0, 8, 4096, -8):
            assert a.add_to_bucket(0, size) is False
            assert a.remove_from_bucket(size) is None
            assert a.find_best_fit_bucket(size, 8) is None

    def test_lock_comes_from_module_threading_before_init_buckets(self, monkeypatch):
        made = []
        real = threading

        class FakeThreading:
            @staticmethod
            def Lock():
                lock = real.Lock()
                made.append(lock)
                return lock

        seen = []

        class Sub(FastBucketAllocator):
            def _init_buckets(self):
                seen.append([dict(r) if type(r) is dict else r for r in gc.get_referents(self)])
                FastBucketAllocator._init_buckets(self)

        monkeypatch.setattr(pd, "threading", FakeThreading)
        a = Sub()
        s = FastStatsCollector()
        monkeypatch.undo()
        assert len(made) == 2
        assert referents(a)[1] is made[0] and referents(s)[1] is made[1]
        refs = seen[0]
        assert any(r is made[0] for r in refs)
        assert {} in refs  # the dict exists, still empty, when _init_buckets runs
        assert len(referents(a)[0]) == 512

    def test_init_buckets_again_empties_and_subclass_override_runs(self):
        a = FastBucketAllocator()
        a.add_to_bucket(0, 8)
        buckets = referents(a)[0]
        buckets["extra"] = [1]
        a._init_buckets()
        assert a.remove_from_bucket(8) is None
        assert "extra" in buckets  # no key is removed

        calls = []

        class Sub(FastBucketAllocator):
            def _init_buckets(self):
                calls.append(self)

        s = Sub(16)
        assert calls == [s]
        assert referents(s)[0] == {}
        assert s.add_to_bucket(0, 16) is False

    def test_constructor_errors(self):
        with pytest.raises(ValueError, match=r"^range\(\) arg 3 must not be zero$"):
            FastBucketAllocator(0)
        with pytest.raises(OverflowError, match=r"^value too large to convert to int32_t$"):
            FastBucketAllocator(8, 2**31)
        with pytest.raises(TypeError, match=r"^__cinit__\(\) takes at most 3 positional arguments \(4 given\)$"):
            FastBucketAllocator(8, 256, 4096, 1)
        with pytest.raises(
            TypeError, match=r"^__cinit__\(\) got multiple values for keyword argument 'bucket_size_step'$"
        ):
            FastBucketAllocator(8, bucket_size_step=8)

        class Failing(FastBucketAllocator):
            def _init_buckets(self):
                raise KeyError("nope")

        with pytest.raises(KeyError):
            Failing()

    def test_keyword_configuration(self):
        a = FastBucketAllocator(medium_block_max=64, bucket_size_step=16, small_block_max=32)
        assert list(referents(a)[0]) == [16, 32, 48, 64]

    def test_negative_step_gives_no_buckets(self):
        a = FastBucketAllocator(-8)
        assert referents(a)[0] == {}
        assert a.add_to_bucket(0, 8) is False
        assert a.find_best_fit_bucket(8, 8) is None

    def test_method_argument_errors(self):
        a = FastBucketAllocator()
        with pytest.raises(OverflowError, match=r"^value too large to convert to int32_t$"):
            a.add_to_bucket(2**31, 8)
        with pytest.raises(OverflowError, match=r"^value too large to convert to int32_t$"):
            a.remove_from_bucket(-(2**31) - 1)
        with pytest.raises(OverflowError, match=r"^value too large to convert to int32_t$"):
            a.find_best_fit_bucket(8, 2**31)
        with pytest.raises(
            TypeError, match=r"^find_best_fit_bucket\(\) takes exactly 2 positional arguments \(1 given\)$"
        ):
            a.find_best_fit_bucket(8)
        with pytest.raises(TypeError, match=r"^an integer is required$"):
            a.add_to_bucket(None, 8)

    @pytest.mark.parametrize(
        "bad, exc, msg",
        [("x", TypeError, "an integer is required"), (2**40, OverflowError, "value too large to convert to int32_t")],
    )
    def test_error_under_lock_releases_lock_and_keeps_block(self, bad, exc, msg):
        a = FastBucketAllocator()
        buckets, lock = referents(a)
        buckets[32].append(bad)
        with pytest.raises(exc, match="^%s$" % msg):
            a.find_best_fit_bucket(32, 8)  # exact-class path
        assert not lock.locked()
        assert buckets[32] == [bad]  # the entry is not lost
        buckets[32].clear()
        buckets[64].append(bad)
        with pytest.raises(exc):
            a.find_best_fit_bucket(24, 8)  # larger-class path
        assert not lock.locked() and buckets[64] == [bad]
        assert a.add_to_bucket(0, 8) is True

    def test_operations_take_the_lock(self):
        a = FastBucketAllocator()
        _, lock = referents(a)
        for call in (
            lambda: a.add_to_bucket(0, 8),
            lambda: a.remove_from_bucket(8),
            lambda: a.find_best_fit_bucket(8, 8),
        ):
            lock.acquire()
            try:
                done, _, t = run_in_thread(call, timeout=0.2)
                assert not done  # blocked on the allocator's lock
            finally:
                lock.release()
            t.join(5)
            assert not t.is_alive()

    def test_no_bucket_returns_without_the_lock(self):
        a = FastBucketAllocator()
        _, lock = referents(a)
        with lock:
            for call in (
                lambda: a.add_to_bucket(0, 5000),
                lambda: a.add_to_bucket(0, 20),
                lambda: a.remove_from_bucket(5000),
                lambda: a.find_best_fit_bucket(5000, 8),
            ):
                done, value, _ = run_in_thread(call)
                assert done and value in (None, False)

    def test_init_buckets_does_not_take_the_lock(self):
        a = FastBucketAllocator()
        _, lock = referents(a)
        with lock:
            done, value, _ = run_in_thread(a._init_buckets)
        assert done and value is None

    def test_concurrent_add_and_remove_lose_nothing(self):
        a = FastBucketAllocator()
        taken = []
        per_thread = 2000

        def producer(base):
            for i in range(per_thread):
                assert a.add_to_bucket(base + i, 64)

        def consumer():
            got = []
            deadline = time.monotonic() + 60  # guards against a hang, not a timing goal
            while len(got) < per_thread and time.monotonic() < deadline:
                o = a.find_best_fit_bucket(64, 1) if len(got) % 2 else a.remove_from_bucket(64)
                if o is not None:
                    got.append(o)
            taken.extend(got)

        threads = [threading.Thread(target=producer, args=(k * 100000,)) for k in range(4)]
        threads += [threading.Thread(target=consumer) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        expected = {k * 100000 + i for k in range(4) for i in range(per_thread)}
        assert len(taken) == len(expected) and set(taken) == expected
        assert a.remove_from_bucket(64) is None


# ---------------------------------------------------------------------------
# Module functions


class TestSizeHelpers:
    def test_align_size(self):
        assert fast_align_size(13, 8) == 16
        assert fast_align_size(16, 8) == 16
        assert fast_align_size(0, 4096) == 0
        assert fast_align_size(1, 1) == 1
        assert fast_align_size(-13, 8) == -8
        assert fast_align_size(size=5, alignment=2**30) == 2**30
        # Exact near the limit: no 32-bit wrap-around to a negative size.
        assert fast_align_size(INT32_MAX, 8) == 2**31

    @pytest.mark.parametrize("alignment", [0, 12, -8, 3, INT32_MIN, INT32_MAX])
    def test_align_size_rejects_non_powers_of_two(self, alignment):
        with pytest.raises(ValueError, match=r"^Alignment must be a power of 2$"):
            fast_align_size(13, alignment)

    def test_get_bucket_size(self):
        assert fast_get_bucket_size(13) == 16
        assert fast_get_bucket_size(13, 10) == 20
        assert fast_get_bucket_size(-20) == -8  # truncating division
        assert fast_get_bucket_size(16) == 16
        assert fast_get_bucket_size(0) == 0
        assert fast_get_bucket_size(100000) == 100000  # no upper limit
        assert fast_get_bucket_size(size=9, step=4) == 12
        assert fast_get_bucket_size(5, -8) == 0
        assert fast_get_bucket_size(INT32_MAX) == 2**31
        assert fast_get_bucket_size(INT32_MIN, INT32_MIN) == -(2**32)

    def test_get_bucket_size_zero_step(self):
        with pytest.raises(ZeroDivisionError, match=r"^integer division or modulo by zero$"):
            fast_get_bucket_size(13, 0)

    def test_bitmap_operations(self):
        assert fast_bitmap_operations(0b1010, 0, "find_first") == 1
        assert fast_bitmap_operations(0, 7, "find_first") == -1
        assert fast_bitmap_operations(2**63, 0, "find_first") == 63
        assert fast_bitmap_operations(5, 64, "set") == 5
        assert fast_bitmap_operations(5, 1, "set") == 7
        assert fast_bitmap_operations(0, 63, "set") == 2**63
        assert fast_bitmap_operations(2**64 - 1, 63, "clear") == 2**63 - 1
        assert fast_bitmap_operations(5, 0, "clear") == 4
        assert fast_bitmap_operations(5, 64, "clear") == 5
        assert fast_bitmap_operations(5, 2, "is_set") is True
        assert fast_bitmap_operations(5, 1, "is_set") is False
        assert fast_bitmap_operations(2**64 - 1, 64, "is_set") is False
        assert fast_bitmap_operations(bitmap=1, index=0, operation="is_set") is True

    @pytest.mark.parametrize("index", [-1, -64, INT32_MIN])
    def test_bitmap_negative_index_addresses_no_bit(self, index):
        assert fast_bitmap_operations(2**64 - 1, index, "is_set") is False
        assert fast_bitmap_operations(5, index, "set") == 5
        assert fast_bitmap_operations(5, index, "clear") == 5

    def test_bitmap_operation_errors(self):
        with pytest.raises(ValueError, match=r"^Unknown operation: toggle$"):
            fast_bitmap_operations(5, 0, "toggle")
        with pytest.raises(ValueError, match=r"^Unknown operation: None$"):
            fast_bitmap_operations(5, 0, None)
        with pytest.raises(ValueError, match=r"^Unknown operation: IS_SET$"):
            fast_bitmap_operations(5, 0, "IS_SET")
        with pytest.raises(TypeError, match=r"^Argument 'operation' has incorrect type \(expected str, got bytes\)$"):
            fast_bitmap_operations(5, 0, b"set")

        class S(str):
            pass

        with pytest.raises(TypeError, match=r"^Argument 'operation' has incorrect type \(expected str, got S\)$"):
            fast_bitmap_operations(5, 0, S("set"))
        with pytest.raises(OverflowError, match=r"^can't convert negative value to uint64_t$"):
            fast_bitmap_operations(-1, 0, "set")
        with pytest.raises(OverflowError):
            fast_bitmap_operations(2**64, 0, "set")
        with pytest.raises(OverflowError, match=r"^value too large to convert to int$"):
            fast_bitmap_operations(1, 2**31, "set")
        with pytest.raises(
            TypeError, match=r"^fast_bitmap_operations\(\) takes exactly 3 positional arguments \(2 given\)$"
        ):
            fast_bitmap_operations(1, 0)

    def test_can_fit_aligned_exclusive_end(self):
        assert fast_can_fit_aligned(0, 32, 32, 8) is False
        assert fast_can_fit_aligned(0, 32, 31, 8) is True
        assert fast_can_fit_aligned(4, 32, 20, 16) is False  # 16 + 20 == 36
        assert fast_can_fit_aligned(4, 32, 19, 16) is True
        assert fast_can_fit_aligned(block_offset=3, block_size=10, alloc_size=5, alignment=1) is True
        # Alignment is not checked; degenerate values give defined answers.
        assert fast_can_fit_aligned(5, 10, 3, 0) is True  # aligned offset 0
        assert fast_can_fit_aligned(5, 10, 3, 3) is True

    def test_can_fit_aligned_near_limits_does_not_wrap(self):
        assert fast_can_fit_aligned(INT32_MAX - 8, 8, INT32_MAX, 8) is False
        assert fast_can_fit_aligned(INT32_MAX, INT32_MAX, INT32_MAX, 8) is False
        assert fast_can_fit_aligned(INT32_MAX - 100, 100, 50, 1) is True
        assert fast_can_fit_aligned(INT32_MIN, 16, INT32_MIN, 8) is True

    def test_helper_argument_errors(self):
        with pytest.raises(TypeError, match=r"^fast_align_size\(\) takes exactly 2 positional arguments \(1 given\)$"):
            fast_align_size(1)
        with pytest.raises(
            TypeError, match=r"^fast_get_bucket_size\(\) takes at most 2 positional arguments \(3 given\)$"
        ):
            fast_get_bucket_size(1, 2, 3)
        with pytest.raises(
            TypeError, match=r"^fast_get_bucket_size\(\) takes at least 1 positional argument \(0 given\)$"
        ):
            fast_get_bucket_size()
        with pytest.raises(TypeError, match=r"^fast_can_fit_aligned\(\) got an unexpected keyword argument 'size'$"):
            fast_can_fit_aligned(0, 1, 2, 3, size=4)
        with pytest.raises(OverflowError, match=r"^value too large to convert to int$"):
            fast_align_size(2**31, 8)
        with pytest.raises(OverflowError, match=r"^value too large to convert to int$"):
            fast_can_fit_aligned(0, 0, 0, -(2**31) - 1)
        assert fast_align_size(12.9, 8.5) == 16


# ---------------------------------------------------------------------------
# FastStatsCollector

STAT_KEYS = [
    "total_allocations",
    "total_deallocations",
    "bucketed_allocations",
    "fallback_allocations",
    "bucketed_allocation_ratio",
    "alignment_padding_bytes",
]


class TestStatsCollector:
    def test_new_collector(self):
        s = FastStatsCollector()
        d = s.get_stats()
        assert list(d) == STAT_KEYS
        expected = dict.fromkeys(STAT_KEYS, 0)
        expected["bucketed_allocation_ratio"] = "0.0%"
        assert d == expected
        assert all(type(d[k]) is int for k in STAT_KEYS if k != "bucketed_allocation_ratio")

    def test_constructor_ignores_arguments(self):
        s = FastStatsCollector(1, 2, x=3)
        assert s.get_stats()["total_allocations"] == 0

    def test_recording(self):
        s = FastStatsCollector()
        for _ in range(3):
            assert s.py_record_allocation(64, 8, True) is None
        s.py_record_allocation(size=100, padding=4, is_bucketed=False)
        s.py_record_deallocation()
        assert s.get_stats() == {
            "total_allocations": 4,
            "total_deallocations": 1,
            "bucketed_allocations": 3,
            "fallback_allocations": 1,
            "bucketed_allocation_ratio": "75.0%",
            "alignment_padding_bytes": 28,
        }

    @pytest.mark.parametrize(
        "bucketed, total, text", [(1, 3, "33.3%"), (2, 3, "66.7%"), (0, 5, "0.0%"), (1, 1, "100.0%"), (1, 8, "12.5%")]
    )
    def test_ratio_text(self, bucketed, total, text):
        s = FastStatsCollector()
        for i in range(total):
            s.py_record_allocation(8, 0, i < bucketed)
        assert s.get_stats()["bucketed_allocation_ratio"] == text

    @pytest.mark.parametrize(
        "value, bucketed",
        [(1, True), ([0], True), (True, True), ("x", True), (0, False), (None, False), ("", False), ([], False)],
    )
    def test_truth_value_of_is_bucketed(self, value, bucketed):
        s = FastStatsCollector()
        s.py_record_allocation(8, 0, value)
        d = s.get_stats()
        assert (d["bucketed_allocations"], d["fallback_allocations"]) == ((1, 0) if bucketed else (0, 1))

    def test_negative_padding_wraps_modulo_2_64(self):
        s = FastStatsCollector()
        s.py_record_allocation(8, -1, True)
        assert s.get_stats()["alignment_padding_bytes"] == 2**64 - 1
        s.py_record_allocation(8, 3, True)
        assert s.get_stats()["alignment_padding_bytes"] == 2
        s.py_record_allocation(8, INT32_MIN, False)
        assert s.get_stats()["alignment_padding_bytes"] == 2**64 + 2 - 2**31

    def test_failed_conversion_counts_nothing(self):
        s = FastStatsCollector()

        class Bad:
            def __bool__(self):
                raise RuntimeError("no truth")

        with pytest.raises(OverflowError, match=r"^value too large to convert to int$"):
            s.py_record_allocation(2**31, 0, True)
        with pytest.raises(OverflowError, match=r"^value too large to convert to int$"):
            s.py_record_allocation(0, -(2**31) - 1, True)
        with pytest.raises(TypeError, match=r"^an integer is required$"):
            s.py_record_allocation("8", 0, True)
        with pytest.raises(RuntimeError, match="no truth"):
            s.py_record_allocation(8, 0, Bad())
        assert s.get_stats()["total_allocations"] == 0
        assert not referents(s)[1].locked()

    def test_argument_count_errors(self):
        s = FastStatsCollector()
        with pytest.raises(
            TypeError, match=r"^py_record_deallocation\(\) takes exactly 0 positional arguments \(1 given\)$"
        ):
            s.py_record_deallocation(64)
        with pytest.raises(
            TypeError, match=r"^py_record_allocation\(\) takes exactly 3 positional arguments \(2 given\)$"
        ):
            s.py_record_allocation(64, 0)
        with pytest.raises(TypeError, match=r"^get_stats\(\) got an unexpected keyword argument 'full'$"):
            s.get_stats(full=True)

    def test_reset(self):
        s = FastStatsCollector()
        s.py_record_allocation(8, 5, True)
        s.py_record_deallocation()
        assert s.reset_stats() is None
        assert s.get_stats() == FastStatsCollector().get_stats()

    def test_snapshot_is_the_callers(self):
        s = FastStatsCollector()
        d = s.get_stats()
        d["total_allocations"] = 99
        s.py_record_allocation(8, 0, True)
        assert d["total_allocations"] == 99
        assert s.get_stats()["total_allocations"] == 1
        assert s.get_stats() is not s.get_stats()

    def test_methods_take_the_lock(self):
        s = FastStatsCollector()
        _, lock = referents(s)
        for call in (lambda: s.py_record_allocation(8, 0, True), s.py_record_deallocation, s.get_stats, s.reset_stats):
            lock.acquire()
            try:
                done, _, t = run_in_thread(call, timeout=0.2)
                assert not done
            finally:
                lock.release()
            t.join(5)
            assert not t.is_alive()

    def test_concurrent_recording_is_exact(self):
        s = FastStatsCollector()
        n = 3000
        snapshots = []

        def work(k):
            for i in range(n):
                s.py_record_allocation(64, 1, (i + k) % 2 == 0)
                if i % 3 == 0:
                    s.py_record_deallocation()
                if i % 500 == 0:
                    snapshots.append(s.get_stats())

        threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        d = s.get_stats()
        assert d["total_allocations"] == 4 * n
        assert d["bucketed_allocations"] + d["fallback_allocations"] == 4 * n
        assert d["bucketed_allocations"] == 2 * n
        assert d["total_deallocations"] == 4 * len(range(0, n, 3))
        assert d["alignment_padding_bytes"] == 4 * n
        for snap in snapshots:  # each snapshot is internally consistent
            assert snap["bucketed_allocations"] + snap["fallback_allocations"] == snap["total_allocations"]
            assert snap["alignment_padding_bytes"] == snap["total_allocations"]

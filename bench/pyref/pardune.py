"""Allocator fast paths in pure Python."""

import logging
import struct
import threading

logger = logging.getLogger(__name__)


def _make_crc_table():
    table = []
    for i in range(256):
        c = i
        for _ in range(8):
            c = (c >> 1) ^ 0xA001 if c & 1 else c >> 1
        table.append(c)
    return table


_CRC_TABLE = _make_crc_table()


def _all_free(n):
    return (1 << 64) - 1 if n >= 64 else (1 << n) - 1 if n > 0 else 0


class FastSlabHeaderOps:
    """Slab header with a 64-slot bitmap and a CRC-16/MODBUS."""

    __slots__ = ("size_class_index", "flags", "generation", "checksum", "bitmap", "objects_per_slab")

    def __init__(self, size_class_index, objects_per_slab):
        self.size_class_index = size_class_index & 0xFF
        self.flags = 0
        self.generation = 0
        self.checksum = 0
        self.bitmap = _all_free(objects_per_slab)
        self.objects_per_slab = objects_per_slab

    def compute_checksum(self):
        crc = 0xFFFF
        g = self.generation
        for b in (self.size_class_index, self.flags, g & 0xFF, (g >> 8) & 0xFF, (g >> 16) & 0xFF, g >> 24):
            crc = (crc >> 8) ^ _CRC_TABLE[(crc ^ b) & 0xFF]
        return crc

    def pack_header(self):
        self.checksum = self.compute_checksum()
        return struct.pack("<BBLHQ", self.size_class_index, self.flags, self.generation, self.checksum, self.bitmap)

    def unpack_header(self, data):
        if len(data) != 16:
            raise ValueError("Invalid header size")
        self.size_class_index, self.flags, self.generation, stored, self.bitmap = struct.unpack("<BBLHQ", data)
        computed = self.compute_checksum()
        if stored != computed:
            self.flags |= 0x80
            logger.warning(
                "Header corruption detected: stored=" + format(stored, "04x") + ", computed=" + format(computed, "04x")
            )

    def py_is_object_free(self, object_index):
        return object_index < 64 and bool(self.bitmap >> object_index & 1)

    def py_find_free_object(self):
        b = self.bitmap
        return (b & -b).bit_length() - 1

    def py_allocate_object_at(self, object_index):
        if object_index < 64:
            self.bitmap &= ~(1 << object_index)
        self.flags |= 0x10
        self.generation = (self.generation + 1) & 0xFFFFFFFF

    def py_deallocate_object_at(self, object_index):
        if object_index < 64:
            self.bitmap |= 1 << object_index
        self.generation = (self.generation + 1) & 0xFFFFFFFF
        if self.bitmap == _all_free(self.objects_per_slab):
            self.flags &= ~0x10


def _tdiv(a, b):
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b > 0) else -q


class FastBucketAllocator:
    """Size-class buckets of block offsets with best-fit fallback."""

    def __init__(self, bucket_size_step=8, small_block_max=256, medium_block_max=4096):
        self.bucket_size_step = bucket_size_step
        self.small_block_max = small_block_max
        self.medium_block_max = medium_block_max
        self.buckets = {}
        self.lock = threading.Lock()
        self._init_buckets()

    def _init_buckets(self):
        step = self.bucket_size_step
        for k in range(step, self.small_block_max + 1, step):
            self.buckets[k] = []
        for k in range(self.small_block_max + step, self.medium_block_max + 1, step):
            self.buckets[k] = []

    def _bucket(self, size):
        if size > self.medium_block_max:
            return -1
        step = self.bucket_size_step
        return _tdiv(size + step - 1, step) * step

    def add_to_bucket(self, offset, size):
        bucket = self._bucket(size)
        if bucket <= 0 or bucket != size:
            return False
        with self.lock:
            lst = self.buckets.get(size)
            if lst is None:
                return False
            lst.append(offset)
            return True

    def remove_from_bucket(self, size):
        bucket = self._bucket(size)
        if bucket <= 0:
            return None
        with self.lock:
            lst = self.buckets.get(bucket)
            if lst:
                return lst.pop()
            return None

    def find_best_fit_bucket(self, size, alignment):
        bucket = self._bucket(size)
        if bucket <= 0:
            return None
        with self.lock:
            lst = self.buckets.get(bucket)
            if lst:
                o = lst.pop()
                if ((o + alignment - 1) & -alignment) + size <= o + bucket:
                    return o
                lst.append(o)
            for k in sorted(self.buckets):
                if k > bucket:
                    lst = self.buckets[k]
                    if lst:
                        o = lst.pop()
                        if ((o + alignment - 1) & -alignment) + size <= o + k:
                            return o
                        lst.append(o)
            return None


def fast_align_size(size, alignment):
    if alignment <= 0 or alignment & (alignment - 1):
        raise ValueError("Alignment must be a power of 2")
    return (size + alignment - 1) & -alignment


def fast_get_bucket_size(size, step=8):
    return _tdiv(size + step - 1, step) * step


def fast_bitmap_operations(bitmap, index, operation):
    if operation == "is_set":
        return index < 64 and bool(bitmap >> index & 1)
    if operation == "set":
        return bitmap | (1 << index) if index < 64 else bitmap
    if operation == "clear":
        return bitmap & ~(1 << index) if index < 64 else bitmap
    if operation == "find_first":
        return (bitmap & -bitmap).bit_length() - 1
    raise ValueError("Unknown operation: " + str(operation))


def fast_can_fit_aligned(block_offset, block_size, alloc_size, alignment):
    return ((block_offset + alignment - 1) & -alignment) + alloc_size < block_offset + block_size


class FastStatsCollector:
    """Allocation counters behind a lock."""

    def __init__(self, *args, **kwargs):
        self.lock = threading.Lock()
        self.total_allocations = 0
        self.total_deallocations = 0
        self.bucketed_allocations = 0
        self.fallback_allocations = 0
        self.alignment_padding_bytes = 0

    def py_record_allocation(self, size, padding, is_bucketed):
        with self.lock:
            self.total_allocations += 1
            self.alignment_padding_bytes += padding
            if is_bucketed:
                self.bucketed_allocations += 1
            else:
                self.fallback_allocations += 1

    def py_record_deallocation(self):
        with self.lock:
            self.total_deallocations += 1

    def get_stats(self):
        with self.lock:
            total = self.total_allocations
            ratio = self.bucketed_allocations / total * 100 if total > 0 else 0
            return {
                "total_allocations": total,
                "total_deallocations": self.total_deallocations,
                "bucketed_allocations": self.bucketed_allocations,
                "fallback_allocations": self.fallback_allocations,
                "bucketed_allocation_ratio": format(ratio, ".1f") + "%",
                "alignment_padding_bytes": self.alignment_padding_bytes,
            }

    def reset_stats(self):
        with self.lock:
            self.total_allocations = self.total_deallocations = 0
            self.bucketed_allocations = self.fallback_allocations = 0
            self.alignment_padding_bytes = 0

# cython: language_level=3, binding=True
"""The call shapes of the benchmarks written the way a Cython 3 author would,
compiled with -O2: the peer that `bench/callgrind.py` measures talvora against."""
from libc.stdint cimport int32_t, int64_t, uint64_t

cdef extern from *:
    """
    static inline int64_t peer_add_fetch(int64_t *p, int64_t d) { return __atomic_add_fetch(p, d, __ATOMIC_SEQ_CST); }
    static inline int peer_ctz(uint64_t x) { return __builtin_ctzll(x); }
    """
    int64_t peer_add_fetch(int64_t* p, int64_t d) nogil
    int peer_ctz(uint64_t x) nogil


def round_to(int32_t size, int32_t alignment):
    if alignment <= 0 or (alignment & (alignment - 1)) != 0:
        raise ValueError("alignment must be a power of 2")
    return (size + alignment - 1) & ~(alignment - 1)


def round_by(int32_t size, int32_t step=8):
    if step == 0:
        raise ZeroDivisionError("integer division or modulo by zero")
    return <int64_t>((size + step - 1) / step) * step


def keep_back(uint64_t available, double ratio):
    if ratio < 0.0:
        ratio = 0.0
    elif not ratio <= 0.99:
        ratio = 0.99
    return <uint64_t>(available - ratio * available)


cdef inline double unit(int32_t v, double size):
    cdef double x = v / size
    return 1.0 if x > 1.0 else (0.0 if x < 0.0 else x)


def scale_five(int32_t a, int32_t b, int32_t c, int32_t d, int32_t e):
    return (unit(a, 15.0), unit(b, 10.0), unit(c, 11.0), unit(d, 36.0), unit(e, 13.0))


def looks_exhausted(str message, str kind):
    cdef str m = message.lower()
    cdef str t = kind.lower()
    if "out of memory" in m:
        return True
    if "outofmemoryerror" in t:
        return True
    if "cuda" in m and "memory" in m:
        return True
    if "allocat" in m and "failed" in m:
        return True
    if "memory" in m and "insufficient" in m:
        return True
    if "gpu" in m and "memory" in m:
        return True
    return False


cdef frozenset SPLITTABLE = frozenset({"zeros", "ones", "empty", "full", "arange", "linspace"})


def splittable(str name):
    return name in SPLITTABLE


cdef class Index:
    cdef uint64_t count

    def size(self):
        return self.count


cdef class Slots:
    cdef int32_t kind
    cdef int32_t per_slab
    cdef uint64_t used

    def __cinit__(self, int32_t kind, int32_t per_slab):
        if per_slab < 1 or per_slab > 64:
            raise ValueError("per_slab out of range")
        self.kind = kind
        self.per_slab = per_slab
        self.used = 0

    def first_free(self):
        cdef uint64_t free = ~self.used
        if self.per_slab < 64:
            free &= (<uint64_t>1 << self.per_slab) - 1
        if free == 0:
            return -1
        return peer_ctz(free)


cdef class Tally:
    cdef int64_t value

    def __cinit__(self, int64_t start=0):
        self.value = start

    def bump(self, int64_t delta=1):
        cdef int64_t r
        with nogil:
            r = peer_add_fetch(&self.value, delta)
        return r


cdef class Settings:
    cdef public double rate

    def __cinit__(self):
        self.rate = 0.1

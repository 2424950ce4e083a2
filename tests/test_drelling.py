"""Tests of talvora.gpu.drelling, the GPU memory planning functions."""

import math
import subprocess
import sys
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import talvora.gpu.drelling as d

U64_MAX = 2**64 - 1
I63_MAX = 2**63 - 1
I32_MAX = 2**31 - 1
NAN = float("nan")
INF = float("inf")

FIXED_NO_GPU = (2, 0, 1, "No GPU memory available")
FIXED_FITS = (0, 0, 1, "Allocation fits in GPU memory")
FIXED_NOT_CHUNKABLE = (2, 0, 1, "Operation not chunkable, falling back to CPU")


def ref_safe_limit(available, ratio):
    """available - r * available rounded once (exact rational arithmetic)."""
    if ratio < 0.0:
        r = 0.0
    elif ratio > 0.99 or math.isnan(ratio):
        r = 0.99
    else:
        r = ratio
    a = float(available)
    exact = float(Fraction(a) - Fraction(r) * Fraction(a))
    return min(int(exact), U64_MAX)


def ref_rows_per_chunk(shape, element_size, limit):
    row = element_size
    for dim in shape[1:]:
        row *= int(dim)
    if row == 0:
        return None  # every row in one chunk
    if row > limit:
        return 1
    return limit // row


class StrSub(str):
    pass


class TupleSub(tuple):
    pass


class Truthy:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


# ---------------------------------------------------------------------------
# Module set-up


class TestModule:
    FUNCTIONS = [
        "estimate_allocation_bytes",
        "calculate_safe_limit",
        "decide_allocation_strategy",
        "compute_chunk_shapes",
        "calculate_optimal_chunks",
        "is_oom_error",
        "is_chunkable_operation",
        "score_gpu_suitability",
        "calculate_memory_pressure",
        "recommend_headroom",
    ]

    def test_functions_have_their_defaults_and_no_annotations(self):
        defaults = {
            "estimate_allocation_bytes": (1.0,),
            "calculate_optimal_chunks": (1, 1000),
            "recommend_headroom": (0.5,),
        }
        for name in self.FUNCTIONS:
            f = getattr(d, name)
            assert f.__name__ == name
            assert f.__qualname__ == name
            assert f.__module__ == "talvora.gpu.drelling"
            assert f.__annotations__ == {}
            assert f.__defaults__ == defaults.get(name)

    def test_operation_sets_are_hidden_and_logger_is_named(self):
        import logging

        assert not hasattr(d, "CHUNKABLE_OPS")
        assert not hasattr(d, "NON_CHUNKABLE_OPS")
        assert d.logger is logging.getLogger("talvora.gpu.drelling")
        assert d.logging is logging
        assert d.__test__ == {}

    def test_load_line_logged_once(self):
        code = (
            "import logging, importlib\n"
            "records = []\n"
            "class H(logging.Handler):\n"
            "    def emit(self, r): records.append((r.name, r.levelname, r.getMessage()))\n"
            "logging.getLogger().addHandler(H()); logging.getLogger().setLevel(logging.DEBUG)\n"
            "import talvora.gpu.drelling as a\n"
            "import talvora.gpu.drelling as b\n"
            "assert a is b and importlib.import_module('talvora.gpu.drelling') is a\n"
            "print(records)\n"
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
        assert eval(out) == [
            ("talvora.gpu.drelling", "INFO", "Talvora GPU Algorithms Cython module loaded - IP protected")
        ]

    def test_binding_errors(self):
        with pytest.raises(
            TypeError, match=r"^calculate_safe_limit\(\) takes exactly 2 positional arguments \(3 given\)$"
        ):
            d.calculate_safe_limit(1, 0.5, 3)
        with pytest.raises(
            TypeError, match=r"^estimate_allocation_bytes\(\) takes at least 2 positional arguments \(1 given\)$"
        ):
            d.estimate_allocation_bytes((1,))
        with pytest.raises(
            TypeError, match=r"^estimate_allocation_bytes\(\) takes at most 3 positional arguments \(4 given\)$"
        ):
            d.estimate_allocation_bytes((1,), 1, 1.0, 1)
        with pytest.raises(TypeError, match=r"^is_chunkable_operation\(\) got an unexpected keyword argument 'op'$"):
            d.is_chunkable_operation(op="zeros")
        with pytest.raises(
            TypeError, match=r"^recommend_headroom\(\) got multiple values for keyword argument 'current_pressure'$"
        ):
            d.recommend_headroom(0.5, current_pressure=0.5)
        with pytest.raises(TypeError, match=r"^is_oom_error\(\) takes exactly 2 positional arguments \(1 given\)$"):
            d.is_oom_error("x")

    def test_keyword_calls(self):
        assert (
            d.calculate_optimal_chunks(
                total_bytes=0, available_bytes=10, headroom_ratio=0.0, max_chunks=5, min_chunks=3
            )
            == 3
        )
        assert d.estimate_allocation_bytes(element_size=2, shape=(3,), overhead_factor=2.0) == 12
        assert d.recommend_headroom(base_headroom=0.4, current_pressure=0.5) == 0.4

    def test_traceback_names_the_function(self):
        with pytest.raises(ValueError) as info:
            d.compute_chunk_shapes((1,), 0, 1)
        names = [entry.name for entry in info.traceback]
        assert "talvora.gpu.drelling.compute_chunk_shapes" in names[-1]


# ---------------------------------------------------------------------------
# Safe limit


class TestSafeLimit:
    @pytest.mark.parametrize(
        "available, ratio, expected",
        [
            (1000, 0.2, 800),
            (1000, 1.5, 10),
            (1000, -0.5, 1000),
            (1000, NAN, 10),
            (1000, INF, 10),
            (1000, -INF, 1000),
            (1000, 0.99, 10),
            (1000, 0.0, 1000),
            (1000, -0.0, 1000),
            (0, 0.2, 0),
            (0, NAN, 0),
            (1, 0.5, 0),
            (3, 0.5, 1),
            (2**53, 0.5, 2**52),
        ],
    )
    def test_values(self, available, ratio, expected):
        assert d.calculate_safe_limit(available, ratio) == expected

    def test_multiply_subtract_rounds_once(self):
        # 0.9 is slightly above 9/10: 10 - 0.9 * 10 is just below 1 exactly,
        # while the separately rounded product would give exactly 1.
        assert 10 - 0.9 * 10 == 1.0
        assert d.calculate_safe_limit(10, 0.9) == 0
        assert d.decide_allocation_strategy(0, 10, 0.9, True) is d.decide_allocation_strategy(0, 0, 0.5, True)
        assert d.calculate_optimal_chunks(5, 10, 0.9) == 1000

    @settings(max_examples=300, deadline=None)
    @given(st.integers(0, U64_MAX), st.floats(allow_nan=True, allow_infinity=True))
    def test_matches_exact_reference(self, available, ratio):
        assert d.calculate_safe_limit(available, ratio) == ref_safe_limit(available, ratio)

    def test_saturates_near_two_to_the_64(self):
        assert d.calculate_safe_limit(U64_MAX, 0.0) == U64_MAX
        assert d.calculate_safe_limit(U64_MAX, 1e-20) == U64_MAX
        assert d.calculate_safe_limit(U64_MAX, -1.0) == U64_MAX
        # One step below 2^64 in doubles is representable.
        assert d.calculate_safe_limit(U64_MAX, 2.0**-53) == 2**64 - 2**11
        assert d.decide_allocation_strategy(U64_MAX, U64_MAX, 0.0, False) is d.decide_allocation_strategy(
            0, 1, 0.0, False
        )
        assert d.score_gpu_suitability(U64_MAX, "zeros", U64_MAX, 0.0) == pytest.approx(0.9)

    def test_argument_conversion(self):
        assert d.calculate_safe_limit(1000.9, 0.5) == 500
        assert d.calculate_safe_limit(True, 0) == 1
        with pytest.raises(OverflowError, match="^can't convert negative value to uint64_t$"):
            d.calculate_safe_limit(-1, 0.5)
        with pytest.raises(OverflowError):
            d.calculate_safe_limit(2**64, 0.5)
        with pytest.raises(TypeError, match="^an integer is required$"):
            d.calculate_safe_limit("10", 0.5)
        with pytest.raises(TypeError):
            d.calculate_safe_limit(10, "0.5")


# ---------------------------------------------------------------------------
# Allocation estimate


class TestEstimate:
    def test_documented_values(self):
        assert d.estimate_allocation_bytes((1000, 1000), 8) == 8000000
        assert d.estimate_allocation_bytes((1000, 1000), 8, 1.5) == 12000000
        assert d.estimate_allocation_bytes((1000, 1000), 8, 0.5) == 8000000
        assert d.estimate_allocation_bytes((), 4) == 4
        assert d.estimate_allocation_bytes((), 4, 2.0) == 8
        assert d.estimate_allocation_bytes((10, 0, 3), 4) == 0
        assert d.estimate_allocation_bytes((10, -2, 3), 4, 3.0) == 0

    def test_overhead_factor(self):
        assert d.estimate_allocation_bytes((3,), 1, 1.9) == 5  # 5.7 truncated
        assert d.estimate_allocation_bytes((3,), 1, 1.0) == 3
        assert d.estimate_allocation_bytes((3,), 1, NAN) == 3
        assert d.estimate_allocation_bytes((3,), 1, -INF) == 3
        assert d.estimate_allocation_bytes((3,), 1, INF) == U64_MAX
        assert d.estimate_allocation_bytes((3,), 0, INF) == 0
        assert d.estimate_allocation_bytes((0,), 8, INF) == 0
        assert d.estimate_allocation_bytes((2**30, 2**30), 4, 1e10) == U64_MAX
        # 2^62 bytes times 3.99 lies just below 2^64 and is representable.
        assert d.estimate_allocation_bytes((2**30, 2**30), 4, 3.99) == int(3.99 * 2.0**62)

    def test_saturation_boundaries(self):
        # 2^63 - 1 = 7 * 7 * 73 * 127 * 337 * 92737 * 649657.
        exact = (49, 73, 127, 337, 92737, 649657)
        over = (49, 73, 127, 337, 92737, 649658)
        assert d.estimate_allocation_bytes(exact, 1) == I63_MAX
        # Not saturated: the overhead applies.
        assert d.estimate_allocation_bytes(exact, 1, 1.5) == int(1.5 * float(I63_MAX))
        assert d.estimate_allocation_bytes(exact, 1, 2.0) == U64_MAX
        # Saturated: exactly 2^63 - 1 whatever the overhead.
        assert d.estimate_allocation_bytes(over, 1) == I63_MAX
        assert d.estimate_allocation_bytes(over, 1, 100.0) == I63_MAX
        assert d.estimate_allocation_bytes((I32_MAX,) * 3, 1, 4.0) == I63_MAX
        assert d.estimate_allocation_bytes(exact, 2, 4.0) == I63_MAX

    def test_element_size_boundary(self):
        # 2^62 - 1 = 3 * 715827883 * 2147483647
        assert d.estimate_allocation_bytes((3, 715827883, I32_MAX), 2) == 2**63 - 2
        assert d.estimate_allocation_bytes((3, 715827883, I32_MAX), 2, 1.5) == int(1.5 * float(2**63 - 2))
        assert d.estimate_allocation_bytes((2**30, 2**30, 4), 2) == I63_MAX
        assert d.estimate_allocation_bytes((2**30, 2**30, 4), 2, 9.0) == I63_MAX
        assert d.estimate_allocation_bytes((2**30, 2**30, 4), 1) == 2**62

    def test_zero_and_negative_element_size(self):
        assert d.estimate_allocation_bytes((5, 7), 0) == 0
        assert d.estimate_allocation_bytes((5, 7), 0, 3.0) == 0
        # Negative sizes come back as the two's-complement product.
        assert d.estimate_allocation_bytes((3,), -1) == 2**64 - 3
        assert d.estimate_allocation_bytes((), -8) == 2**64 - 8
        assert d.estimate_allocation_bytes((3,), -1, 1.5) == U64_MAX
        exact = (49, 73, 127, 337, 92737, 649657)  # product 2^63 - 1
        assert d.estimate_allocation_bytes(exact, -(2**31)) == (I63_MAX * -(2**31)) % 2**64

    def test_dimension_conversion(self):
        assert d.estimate_allocation_bytes((2.9, 3), 1) == 6
        assert d.estimate_allocation_bytes((True, 5), 2) == 10
        # Dimensions after a non-positive one are never read.
        assert d.estimate_allocation_bytes((0, "x", 2**40), 1) == 0
        assert d.estimate_allocation_bytes((2, -1, None), 1) == 0
        # Nor are those after the product saturates.
        assert d.estimate_allocation_bytes((I32_MAX, I32_MAX, I32_MAX, "x", 2**40), 1) == I63_MAX
        with pytest.raises(TypeError, match="^an integer is required$"):
            d.estimate_allocation_bytes((2, "3"), 1)
        with pytest.raises(OverflowError, match="^value too large to convert to int$"):
            d.estimate_allocation_bytes((2, 2**31), 1)
        with pytest.raises(OverflowError, match="^value too large to convert to int$"):
            d.estimate_allocation_bytes((2, -(2**31) - 1), 1)
        assert d.estimate_allocation_bytes((-(2**31),), 1) == 0

    def test_argument_errors(self):
        with pytest.raises(TypeError, match=r"^object of type 'NoneType' has no len\(\)$"):
            d.estimate_allocation_bytes(None, 4)
        with pytest.raises(TypeError, match=r"^Argument 'shape' has incorrect type \(expected tuple, got list\)$"):
            d.estimate_allocation_bytes([1, 2], 4)
        with pytest.raises(
            TypeError,
            match=r"^Argument 'shape' has incorrect type \(expected tuple, got TupleSub\)\. "
            r"Note that Cython is deliberately stricter",
        ):
            d.estimate_allocation_bytes(TupleSub((1, 2)), 4)
        with pytest.raises(OverflowError, match="^value too large to convert to int$"):
            d.estimate_allocation_bytes((1,), 2**31)
        with pytest.raises(TypeError, match="^an integer is required$"):
            d.estimate_allocation_bytes((1,), "4")
        with pytest.raises(TypeError):
            d.estimate_allocation_bytes((1,), 4, "1.5")
        # Arguments convert before the None check.
        with pytest.raises(OverflowError):
            d.estimate_allocation_bytes(None, 2**31)

    @settings(max_examples=200, deadline=None)
    @given(st.lists(st.integers(-3, I32_MAX), max_size=5), st.integers(1, 64))
    def test_matches_exact_product(self, shape, element_size):
        # Dimensions are taken in order: a non-positive one ends with 0, an
        # overflowing product with 2^63 - 1, whichever comes first.
        expected = None
        count = 1
        for dim in shape:
            if dim < 1:
                expected = 0
                break
            if count * dim > I63_MAX:
                expected = I63_MAX
                break
            count *= dim
        if expected is None:
            expected = min(count * element_size, I63_MAX)
        assert d.estimate_allocation_bytes(tuple(shape), element_size) == expected


# ---------------------------------------------------------------------------
# Strategy decision


class TestDecision:
    def test_documented_values(self):
        assert d.decide_allocation_strategy(3000, 2000, 0.5, True) == (1, 1000, 3, "Chunking into 3 GPU passes")
        assert d.decide_allocation_strategy(3000, 2000, 0.5, False) == FIXED_NOT_CHUNKABLE
        assert d.decide_allocation_strategy(1000, 2000, 0.5, True) == FIXED_FITS
        assert d.decide_allocation_strategy(1001, 2000, 0.5, True) == (1, 1000, 2, "Chunking into 2 GPU passes")
        assert d.decide_allocation_strategy(0, 0, 0.5, True) == FIXED_NO_GPU
        assert d.decide_allocation_strategy(0, 1, 0.5, False) == FIXED_NO_GPU
        assert d.decide_allocation_strategy(0, 2, 0.5, False) == FIXED_FITS

    def test_fixed_tuples_are_shared(self):
        a = d.decide_allocation_strategy(5, 0, 0.1, True)
        b = d.decide_allocation_strategy(7, 0, NAN, False)
        assert a is b and a == FIXED_NO_GPU
        assert d.decide_allocation_strategy(1, 10, 0, True) is d.decide_allocation_strategy(10, 10, 0, False)
        assert d.decide_allocation_strategy(11, 10, 0, 0) is d.decide_allocation_strategy(99, 10, 0, None)
        for t in (FIXED_NO_GPU, FIXED_FITS, FIXED_NOT_CHUNKABLE):
            assert all(type(x) is int for x in t[:3]) and type(t[3]) is str

    def test_chunked_result_types(self):
        r = d.decide_allocation_strategy(10**6, 1000, 0.0, True)
        assert r == (1, 1000, 1000, "Chunking into 1000 GPU passes")
        assert [type(x) for x in r] == [int, int, int, str]

    def test_truth_value_of_is_chunkable(self):
        assert d.decide_allocation_strategy(11, 10, 0, [0])[0] == 1
        assert d.decide_allocation_strategy(11, 10, 0, "")[0] == 2
        assert d.decide_allocation_strategy(11, 10, 0, Truthy(True))[0] == 1
        with pytest.raises(ZeroDivisionError):
            d.decide_allocation_strategy(11, 10, 0, Truthy(ZeroDivisionError()))

    def test_chunk_count_in_doubles(self):
        # float(2^53 + 1) is 2^53, so the count is 2^52 rather than 2^52 + 1.
        assert d.decide_allocation_strategy(2**53 + 1, 2, 0.0, True)[2] == 2**52
        assert d.decide_allocation_strategy(2**53 + 2, 2, 0.0, True)[2] == 2**52 + 1

    def test_quotient_rounded_to_one_still_chunks(self):
        # float(2^60 + 1) / float(2^60) is exactly 1.0: one pass, as the
        # double quotient says, not the integer ceiling 2.
        r = d.decide_allocation_strategy(2**60 + 1, 2**60, 0.0, True)
        assert r == (1, 2**60, 1, "Chunking into 1 GPU passes")
        assert d.calculate_optimal_chunks(2**60 + 1, 2**60, 0.0, 1, 10) == 1

    def test_chunk_count_saturates(self):
        # safe limit 1, request near 2^64: the quotient's ceiling is 2^64.
        assert d.calculate_safe_limit(100, 0.99) == 1
        r = d.decide_allocation_strategy(U64_MAX, 100, 0.99, True)
        assert r == (1, 1, U64_MAX, "Chunking into 18446744073709551615 GPU passes")

    @settings(max_examples=200, deadline=None)
    @given(st.integers(0, 2**60), st.integers(0, 2**60), st.floats(-1, 2), st.booleans())
    def test_strategy_consistent_with_safe_limit(self, requested, available, ratio, chunkable):
        safe = d.calculate_safe_limit(available, ratio)
        code, size, count, message = d.decide_allocation_strategy(requested, available, ratio, chunkable)
        if safe == 0:
            assert (code, size, count, message) == FIXED_NO_GPU
        elif requested <= safe:
            assert (code, size, count, message) == FIXED_FITS
        elif not chunkable:
            assert (code, size, count, message) == FIXED_NOT_CHUNKABLE
        else:
            assert code == 1 and size == safe
            assert count == math.ceil(float(requested) / float(safe))
            assert message == "Chunking into %d GPU passes" % count

    def test_argument_errors(self):
        with pytest.raises(OverflowError, match="^can't convert negative value to uint64_t$"):
            d.decide_allocation_strategy(-1, 10, 0.5, True)
        with pytest.raises(OverflowError, match="^can't convert negative value to uint64_t$"):
            d.decide_allocation_strategy(1, -10, 0.5, True)
        with pytest.raises(TypeError, match="^an integer is required$"):
            d.decide_allocation_strategy(None, 10, 0.5, True)


# ---------------------------------------------------------------------------
# Chunk shapes


class TestChunkShapes:
    def test_documented_values(self):
        assert d.compute_chunk_shapes((10, 4), 8, 100) == [(3, 4), (3, 4), (3, 4), (1, 4)]
        assert d.compute_chunk_shapes((5,), 4, 8) == [(2,), (2,), (1,)]
        assert d.compute_chunk_shapes((), 4, 8) == [()]
        assert d.compute_chunk_shapes((0, 4), 4, 8) == []
        assert d.compute_chunk_shapes((-3, 4), 4, 8) == []

    def test_empty_shape_is_returned_itself(self):
        shape = ()
        assert d.compute_chunk_shapes(shape, 1, 1)[0] is shape

    def test_tail_objects_are_reused(self):
        big = 10**3 + int("7")  # a fresh int object
        other = float(2.5)
        shape = (7, big, other)
        chunks = d.compute_chunk_shapes(shape, 1, 3000)
        assert chunks == [(1, big, other)] * 7  # 2.5 converts to 2: row 2014 bytes
        for chunk in chunks:
            assert chunk[1] is big and chunk[2] is other
            assert type(chunk[0]) is int

    def test_row_limits(self):
        # A row larger than the limit is a chunk of one row.
        assert d.compute_chunk_shapes((3, 10), 8, 79) == [(1, 10)] * 3
        # Exactly one row per chunk at the limit, two just above twice it.
        assert d.compute_chunk_shapes((3, 10), 8, 80) == [(1, 10)] * 3
        assert d.compute_chunk_shapes((3, 10), 8, 160) == [(2, 10), (1, 10)]
        assert d.compute_chunk_shapes((3, 10), 8, U64_MAX) == [(3, 10)]
        assert d.compute_chunk_shapes((4,), 1, 1) == [(1,)] * 4

    def test_zero_row_size_gives_one_chunk(self):
        assert d.compute_chunk_shapes((6, 0), 4, 8) == [(6, 0)]
        assert d.compute_chunk_shapes((6, 3, 0, 5), 4, 1) == [(6, 3, 0, 5)]
        assert d.compute_chunk_shapes((I32_MAX, 0), 4, 1) == [(I32_MAX, 0)]
        # A zero wins over an overflowing product.
        assert d.compute_chunk_shapes((4, 2**40, 2**40, 0), 1, 10) == [(4, 2**40, 2**40, 0)]

    def test_row_size_beyond_64_bits(self):
        # 8 * 2^32 * 2^29 = 2^64 would wrap to 0 in 64-bit arithmetic.
        assert d.compute_chunk_shapes((3, 2**32, 2**29), 8, U64_MAX) == [(1, 2**32, 2**29)] * 3
        assert d.compute_chunk_shapes((2, U64_MAX, U64_MAX), 3, 100) == [(1, U64_MAX, U64_MAX)] * 2

    def test_check_order(self):
        with pytest.raises(TypeError, match=r"^Argument 'shape' has incorrect type \(expected tuple, got list\)$"):
            d.compute_chunk_shapes([1], 0, 0)
        with pytest.raises(OverflowError, match="^can't convert negative value to uint64_t$"):
            d.compute_chunk_shapes(None, 0, -1)
        with pytest.raises(ValueError, match="^element_size must be positive$"):
            d.compute_chunk_shapes(None, 0, 0)
        with pytest.raises(ValueError, match="^element_size must be positive$"):
            d.compute_chunk_shapes((4,), -5, 10)
        with pytest.raises(ValueError, match="^max_chunk_bytes must be positive$"):
            d.compute_chunk_shapes(None, 1, 0)
        with pytest.raises(TypeError, match=r"^object of type 'NoneType' has no len\(\)$"):
            d.compute_chunk_shapes(None, 1, 1)
        with pytest.raises(OverflowError, match="^value too large to convert to int$"):
            d.compute_chunk_shapes((1,), 2**31, 1)

    def test_dimension_errors(self):
        # Later dimensions convert (unsigned 64-bit) before the first one.
        with pytest.raises(OverflowError, match="^can't convert negative value to uint64_t$"):
            d.compute_chunk_shapes(("x", 3, -1), 1, 10)
        with pytest.raises(OverflowError):
            d.compute_chunk_shapes((1, 2**64), 1, 10)
        with pytest.raises(TypeError, match="^an integer is required$"):
            d.compute_chunk_shapes((1, "2"), 1, 10)
        with pytest.raises(TypeError, match="^an integer is required$"):
            d.compute_chunk_shapes(("1", 2), 1, 10)
        with pytest.raises(OverflowError, match="^value too large to convert to int$"):
            d.compute_chunk_shapes((2**31, 2), 1, 10)
        assert d.compute_chunk_shapes((3.7, 2), 1, 4) == [(2, 2), (1, 2)]

    @settings(max_examples=300, deadline=None)
    @given(
        st.integers(-2, 400),
        st.lists(st.one_of(st.integers(0, 50), st.integers(0, 2**40), st.just(0)), max_size=4),
        st.integers(1, I32_MAX),
        st.one_of(st.integers(1, 10**4), st.integers(1, U64_MAX)),
    )
    def test_rows_add_up(self, first, later, element_size, limit):
        shape = (first, *later)
        chunks = d.compute_chunk_shapes(shape, element_size, limit)
        if first < 1:
            assert chunks == []
            return
        assert sum(c[0] for c in chunks) == first
        assert all(c[1:] == shape[1:] and c[0] >= 1 for c in chunks)
        per_chunk = ref_rows_per_chunk(shape, element_size, limit)
        if per_chunk is None:
            assert chunks == [shape]
        else:
            assert [c[0] for c in chunks[:-1]] == [per_chunk] * (len(chunks) - 1)
            assert chunks[-1][0] == (first % per_chunk or min(per_chunk, first))


# ---------------------------------------------------------------------------
# Optimal chunk count


class TestOptimalChunks:
    def test_documented_values(self):
        assert d.calculate_optimal_chunks(3000, 2000, 0.5) == 3
        assert d.calculate_optimal_chunks(0, 2000, 0.5) == 1
        assert d.calculate_optimal_chunks(3000, 0, 0.5) == 1000
        assert d.calculate_optimal_chunks(3000, 0, 0.5, 5, 7) == 7

    def test_bounds(self):
        assert d.calculate_optimal_chunks(10**9, 1000, 0.0) == 1000
        assert d.calculate_optimal_chunks(10**9, 1000, 0.0, 1, 10**7) == 10**6
        assert d.calculate_optimal_chunks(3000, 2000, 0.5, 4) == 4
        # Lower bound first: with min above max, small counts give min.
        assert d.calculate_optimal_chunks(3000, 2000, 0.5, 10, 5) == 10
        assert d.calculate_optimal_chunks(30000, 2000, 0.5, 10, 5) == 5
        assert d.calculate_optimal_chunks(0, 2000, 0.5, -5, 1000) == 0
        assert d.calculate_optimal_chunks(3000, 2000, 0.5, 1, -2) == -2
        assert d.calculate_optimal_chunks(1, 2000, NAN) == 1
        assert d.calculate_optimal_chunks(21, 2000, NAN) == 2  # safe limit 20

    def test_saturates_at_int32(self):
        assert d.calculate_optimal_chunks(U64_MAX, 1024, 0.0, 1, I32_MAX) == I32_MAX
        assert d.calculate_optimal_chunks(2**31, 1, 0.0, 1, I32_MAX) == I32_MAX
        assert d.calculate_optimal_chunks(2**31 - 2, 1, 0.0, 1, I32_MAX) == I32_MAX - 1
        assert d.calculate_optimal_chunks(U64_MAX, 1, 0.0, I32_MAX, 0) == 0

    def test_argument_errors(self):
        with pytest.raises(OverflowError, match="^value too large to convert to int$"):
            d.calculate_optimal_chunks(1, 1, 0.0, 2**31)
        with pytest.raises(OverflowError, match="^value too large to convert to int$"):
            d.calculate_optimal_chunks(1, 1, 0.0, 1, -(2**31) - 1)
        with pytest.raises(OverflowError, match="^can't convert negative value to uint64_t$"):
            d.calculate_optimal_chunks(-1, 1, 0.0)


# ---------------------------------------------------------------------------
# Out-of-memory recognition


def py_is_oom_error(message, type_name):
    """The out-of-memory rules in plain Python."""
    m, t = message.lower(), type_name.lower()
    return (
        "out of memory" in m
        or "outofmemoryerror" in t
        or ("cuda" in m and "memory" in m)
        or ("allocat" in m and "failed" in m)
        or ("memory" in m and "insufficient" in m)
        or ("gpu" in m and "memory" in m)
    )


OOM_PIECES = [
    "out of ",
    "OUT OF",
    "out",
    " of ",
    "memory",
    "MEMORY",
    "Mem",
    "ory",
    "cuda",
    "CUDA",
    "gpu",
    "GPU",
    "allocat",
    "ALLOCAT",
    "failed",
    "FAILED",
    "insufficient",
    "INSUFFICIENT",
    "OutOfMemoryError",
    "İ",
    "I",
    "i",
    "ẞ",
    "ß",
    "Σ",
    "σ",
    "ς",
    "\u0301",
    "\u0307",
    "é",
    "É",
    "😀",
    "显",
    "\u212a",
    " ",
]


class TestOomError:
    @pytest.mark.parametrize(
        "message, type_name",
        [
            ("CUDA Out Of Memory while allocating", "RuntimeError"),
            ("out of memory", ""),
            ("", "CudaOutOfMemoryError"),
            ("", "OUTOFMEMORYERROR"),
            ("CUDA error: memory", "RuntimeError"),
            ("Allocation failed", "RuntimeError"),
            ("failed to allocate 2 GB", ""),
            ("Insufficient memory on device", ""),
            ("GPU memory exhausted", ""),
            ("Ошибка: OUT OF MEMORY", ""),
        ],
    )
    def test_recognised(self, message, type_name):
        assert d.is_oom_error(message, type_name) is True

    @pytest.mark.parametrize(
        "message, type_name",
        [
            ("CUDA driver error", "RuntimeError"),
            ("memory exhausted", "MemoryError"),
            ("out-of-memory", "RuntimeError"),
            ("allocation succeeded", ""),
            ("insufficient permissions", ""),
            ("kernel launch failed", "RuntimeError"),
            ("GPU driver crashed", "RuntimeError"),
            ("memory failed", "OutOfMemory"),
            ("", ""),
            ("", "MemoryError"),
            # Only the out-of-memory type marker looks at the type name.
            ("error", "cuda memory"),
            ("error", "out of memory"),
        ],
    )
    def test_not_recognised(self, message, type_name):
        assert d.is_oom_error(message, type_name) is False

    @pytest.mark.parametrize(
        "message, type_name",
        [
            # 'İ' lowers to 'i' and a combining dot, which splits the marker.
            ("ALLOCATİON FAİLED", ""),
            ("İNSUFFICIENT MEMORY", ""),
            ("INSUFFİCIENT MEMORY", ""),
            ("", "OUTOFMEMORYERRİR"),
            ("", "OutOfMemoryErrorİ"),
            # Length changes before a marker must not shift the search.
            ("İİİ out of memory", ""),
            ("ẞ CUDA ẞ MEMORY", ""),
            ("ΣΟΣ GPU memory", ""),
            ("memorΣ gpu", ""),
            # Combining marks inside or after a marker.
            ("cuda me\u0301mory", ""),
            ("cuda memory\u0301", ""),
            ("Insufficient\u0300 MEMORY", ""),
            # Latin-1, two-byte and four-byte texts.
            ("MÉMOIRE épuisée: OUT OF MEMORY", ""),
            ("MÉMOIRE épuisée", "OUTOFMEMORYERROR"),
            ("显存 GPU Memory 不足", ""),
            ("显存不足", ""),
            ("😀 ALLOCATION 😀 FAILED", ""),
            ("😀", "😀OutOfMemoryError"),
            ("K\u212a CUDA", "memory"),  # the Kelvin sign lowers to ASCII 'k'
            ("ＯＵＴ ＯＦ ＭＥＭＯＲＹ", ""),  # full-width letters stay full-width
            # "out of memory" behind an earlier "memory", or nearly there.
            ("memory pool: OUT OF MEMORY", ""),
            ("Memory: out of  memory", ""),
            ("out ofmemory MEMORY", ""),
            ("OUT OF MEMOR memory", ""),
            ("out of\u00a0memory", ""),
            ("é memory, out of memory", ""),
            ("显 memory memory out of memory", ""),
            ("memoryout of memory", "RuntimeError"),
        ],
    )
    def test_non_ascii_texts_match_the_python_definition(self, message, type_name):
        assert d.is_oom_error(message, type_name) is py_is_oom_error(message, type_name)

    def test_every_ascii_character_folds_like_str_lower(self):
        # Letters next to the characters just outside A-Z ('@', '[', '`', '{')
        # at every offset of an eight-byte word.
        every = "".join(map(chr, range(128)))
        for shift in range(8):
            for near in "@[`{AZaz":
                for marker in ("OUT OF MEMORY", "GPU MEMORY", "ALLOCAT FAILED", "INSUFFICIENT MEMORY"):
                    for k in range(len(marker)):
                        tail = every[64 * (k % 2) : 64 * (k % 2) + 64]
                        # Short texts are folded word by word, long ones during the search.
                        for text in (
                            "x" * shift + marker[:k] + near + marker[k + 1 :] + tail,
                            tail + "x" * shift + marker[:k] + near + marker[k + 1 :] + every,
                        ):
                            assert d.is_oom_error(text, tail) is py_is_oom_error(text, tail), text

    @settings(max_examples=300, deadline=None)
    @given(
        st.lists(st.sampled_from(OOM_PIECES), max_size=8).map("".join),
        st.lists(st.sampled_from(OOM_PIECES), max_size=4).map("".join),
    )
    def test_pieced_texts_match_the_python_definition(self, message, type_name):
        assert d.is_oom_error(message, type_name) is py_is_oom_error(message, type_name)

    @settings(max_examples=300, deadline=None)
    @given(st.text(max_size=40), st.text(max_size=20))
    def test_any_text_matches_the_python_definition(self, message, type_name):
        assert d.is_oom_error(message, type_name) is py_is_oom_error(message, type_name)

    def test_none_arguments_fail_in_lower(self):
        try:
            str.lower(None)
        except TypeError as e:
            expected = str(e)
        with pytest.raises(TypeError) as info:
            d.is_oom_error(None, "OutOfMemoryError")
        assert str(info.value) == expected
        # Both texts are lowered before any rule is tried.
        with pytest.raises(TypeError) as info:
            d.is_oom_error("out of memory", None)
        assert str(info.value) == expected

    def test_type_checks(self):
        with pytest.raises(
            TypeError, match=r"^Argument 'error_message' has incorrect type \(expected str, got bytes\)$"
        ):
            d.is_oom_error(b"out of memory", "")
        with pytest.raises(TypeError, match=r"^Argument 'error_type' has incorrect type \(expected str, got int\)$"):
            d.is_oom_error("out of memory", 3)
        with pytest.raises(
            TypeError, match=r"^Argument 'error_type' has incorrect type \(expected str, got StrSub\)\. Note"
        ):
            d.is_oom_error("out of memory", StrSub("x"))


# ---------------------------------------------------------------------------
# Operations and scores


CHUNKABLE = [
    "zeros",
    "ones",
    "empty",
    "full",
    "random.randn",
    "random.rand",
    "random.random",
    "random.standard_normal",
    "random.uniform",
    "arange",
    "linspace",
]
NON_CHUNKABLE = [
    "matmul",
    "dot",
    "fft",
    "ifft",
    "fft2",
    "ifft2",
    "svd",
    "eig",
    "eigvals",
    "solve",
    "inv",
    "sort",
    "argsort",
]


class TestOperations:
    def test_membership(self):
        assert all(d.is_chunkable_operation(op) is True for op in CHUNKABLE)
        assert all(d.is_chunkable_operation(op) is False for op in NON_CHUNKABLE)
        for op in ["Zeros", "", " zeros", "zeros ", "random", "numpy.zeros", None]:
            assert d.is_chunkable_operation(op) is False

    def test_type_checks(self):
        with pytest.raises(
            TypeError, match=r"^Argument 'operation' has incorrect type \(expected str, got StrSub\)\. Note"
        ):
            d.is_chunkable_operation(StrSub("zeros"))
        with pytest.raises(
            TypeError, match=r"^Argument 'operation_type' has incorrect type \(expected str, got int\)$"
        ):
            d.score_gpu_suitability(1, 5, 1, 0.5)


class TestSuitability:
    def test_documented_values(self):
        assert d.score_gpu_suitability(800, "zeros", 2000, 0.5) == 0.9
        assert d.score_gpu_suitability(400, "matmul", 2000, 0.5) == pytest.approx(0.35)
        assert d.score_gpu_suitability(2000, "reshape", 2000, 0.5) == 0.25
        for op in ["zeros", "matmul", "reshape", None]:
            assert d.score_gpu_suitability(100, op, 0, 0.5) == 0.0

    def test_memory_score(self):
        # Saturates at 80 % of the safe limit, fraction that fits above it.
        assert d.score_gpu_suitability(1000, "zeros", 2000, 0.5) == 0.9
        assert d.score_gpu_suitability(4000, "zeros", 2000, 0.5) == 0.9 * 0.25
        assert d.score_gpu_suitability(0, "zeros", 2000, 0.5) == 0.0
        assert d.score_gpu_suitability(200, None, 2000, 0.5) == 0.5 * (200 / (1000 * 0.8))
        assert d.score_gpu_suitability(1, "fft", 10, 0.9) == 0.0  # safe limit 0
        assert d.score_gpu_suitability(5, "fft", 1000, NAN) == 0.7 * (5 / (10 * 0.8))

    @settings(max_examples=200, deadline=None)
    @given(
        st.integers(0, U64_MAX),
        st.sampled_from(CHUNKABLE + NON_CHUNKABLE + ["x", None]),
        st.integers(0, U64_MAX),
        st.floats(allow_nan=True),
    )
    def test_range(self, data, op, available, ratio):
        score = d.score_gpu_suitability(data, op, available, ratio)
        assert 0.0 <= score <= 0.9
        if d.calculate_safe_limit(available, ratio) == 0:
            assert score == 0.0

    def test_argument_errors(self):
        with pytest.raises(OverflowError, match="^can't convert negative value to uint64_t$"):
            d.score_gpu_suitability(-1, "zeros", 10, 0.5)
        with pytest.raises(OverflowError):
            d.score_gpu_suitability(1, "zeros", 2**64, 0.5)


class TestPressureAndHeadroom:
    def test_pressure(self):
        assert d.calculate_memory_pressure(0, 0) == 1.0
        assert d.calculate_memory_pressure(10, 0) == 1.0
        assert d.calculate_memory_pressure(50, 100) == 0.5
        assert d.calculate_memory_pressure(150, 100) == 1.0
        assert d.calculate_memory_pressure(0, 100) == 0.0
        assert d.calculate_memory_pressure(U64_MAX, U64_MAX) == 1.0
        assert d.calculate_memory_pressure(1, U64_MAX) == 1 / 2.0**64
        with pytest.raises(OverflowError, match="^can't convert negative value to uint64_t$"):
            d.calculate_memory_pressure(-1, 100)

    @pytest.mark.parametrize(
        "pressure, base, expected",
        [
            (0.9, 0.5, 0.8),
            (0.8, 0.5, 0.65),
            (0.7, 0.5, 0.6),
            (0.6, 0.5, 0.5),
            (0.3, 0.5, 0.4),
            (0.2, 0.35, 0.3),
            (0.5, 0.9, 0.8),
            (0.5, 0.0, 0.3),
            (0.7, 0.9, 0.8),
            (NAN, 0.6, 0.5),
            (INF, 0.1, 0.8),
            (-INF, 0.5, 0.4),
            (0.31, 0.45, 0.45),
            (0.0, 0.2, 0.3),
        ],
    )
    def test_headroom(self, pressure, base, expected):
        assert d.recommend_headroom(pressure, base) == pytest.approx(expected, abs=1e-15)

    def test_headroom_default_base_and_linear_band(self):
        assert d.recommend_headroom(0.9) == 0.8
        assert d.recommend_headroom(0.8000000001) == 0.8
        for p in [0.61, 0.65, 0.7, 0.75, 0.8]:
            expected = 0.5 + float(Fraction(0.5) * Fraction(p) - Fraction(0.25))
            assert d.recommend_headroom(p) == expected

    @settings(max_examples=200, deadline=None)
    @given(st.floats(allow_nan=True), st.floats(allow_nan=False))
    def test_headroom_range(self, pressure, base):
        assert 0.3 <= d.recommend_headroom(pressure, base) <= 0.8

    def test_argument_errors(self):
        with pytest.raises(TypeError):
            d.recommend_headroom("0.5")
        with pytest.raises(TypeError):
            d.recommend_headroom(0.5, None)
        assert d.recommend_headroom(1, 0) == 0.8

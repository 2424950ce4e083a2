"""GPU memory planning in pure Python."""

_I64_MAX = (1 << 63) - 1
_U64_MAX = (1 << 64) - 1

CHUNKABLE_OPS = frozenset(
    {
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
    }
)
NON_CHUNKABLE_OPS = frozenset(
    {
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
    }
)

_NO_GPU = (2, 0, 1, "No GPU memory available")
_FITS = (0, 0, 1, "Allocation fits in GPU memory")
_NOT_CHUNKABLE = (2, 0, 1, "Operation not chunkable, falling back to CPU")


def _clamp_ratio(r):
    if r < 0.0:
        return 0.0
    if not r <= 0.99:  # above the clamp, or NaN
        return 0.99
    return r


def calculate_safe_limit(available_bytes, headroom_ratio):
    a = float(available_bytes)
    return int(a - _clamp_ratio(headroom_ratio) * a)


def estimate_allocation_bytes(shape, element_size, overhead_factor=1.0):
    count = 1
    for dim in shape:
        if dim < 1:
            return 0
        if count > _I64_MAX // dim:
            return _I64_MAX
        count *= dim
    if element_size >= 1 and count > _I64_MAX // element_size:
        return _I64_MAX
    nbytes = count * element_size
    if overhead_factor > 1.0:
        return min(int(overhead_factor * nbytes), _U64_MAX)
    return nbytes


def decide_allocation_strategy(requested_bytes, available_bytes, headroom_ratio, is_chunkable):
    safe = calculate_safe_limit(available_bytes, headroom_ratio)
    if safe == 0:
        return _NO_GPU
    if requested_bytes <= safe:
        return _FITS
    if not is_chunkable:
        return _NOT_CHUNKABLE
    q = float(requested_bytes) / float(safe)
    count = int(q) if q == int(q) else int(q) + 1
    return (1, safe, count, "Chunking into " + str(count) + " GPU passes")


def compute_chunk_shapes(shape, element_size, max_chunk_bytes):
    if element_size < 1:
        raise ValueError("element_size must be positive")
    if max_chunk_bytes == 0:
        raise ValueError("max_chunk_bytes must be positive")
    if not shape:
        return [shape]
    row = element_size
    for dim in shape[1:]:
        row *= dim
    rows_per_chunk = max_chunk_bytes // row if 0 < row <= max_chunk_bytes else 1
    if row == 0:
        rows_per_chunk = shape[0]
    tail = shape[1:]
    out = []
    remaining = shape[0]
    while remaining > 0:
        rows = min(remaining, rows_per_chunk)
        out.append((rows,) + tail)
        remaining -= rows
    return out


def calculate_optimal_chunks(total_bytes, available_bytes, headroom_ratio, min_chunks=1, max_chunks=1000):
    safe = calculate_safe_limit(available_bytes, headroom_ratio)
    if safe == 0:
        return max_chunks
    q = float(total_bytes) / float(safe)
    n = int(q) if q == int(q) else int(q) + 1
    if n < min_chunks:
        return min_chunks
    return min(max_chunks, n)


def is_oom_error(error_message, error_type):
    m = error_message.lower()
    t = error_type.lower()
    return (
        "out of memory" in m
        or "outofmemoryerror" in t
        or ("cuda" in m and "memory" in m)
        or ("allocat" in m and "failed" in m)
        or ("memory" in m and "insufficient" in m)
        or ("gpu" in m and "memory" in m)
    )


def is_chunkable_operation(operation):
    return operation in CHUNKABLE_OPS


def score_gpu_suitability(data_size_bytes, operation_type, available_gpu_memory, headroom_ratio):
    safe = calculate_safe_limit(available_gpu_memory, headroom_ratio)
    if safe == 0:
        e = 0.0
    elif data_size_bytes > safe:
        e = safe / data_size_bytes
    else:
        e = min(1.0, data_size_bytes / (safe * 0.8))
    if operation_type in CHUNKABLE_OPS:
        return 0.9 * e
    if operation_type in NON_CHUNKABLE_OPS:
        return 0.7 * e
    return 0.5 * e


def calculate_memory_pressure(used_bytes, total_bytes):
    if total_bytes == 0:
        return 1.0
    return min(used_bytes / total_bytes, 1.0)


def recommend_headroom(current_pressure, base_headroom=0.5):
    p, b = current_pressure, base_headroom
    if p > 0.8:
        h = 0.8
    elif p > 0.6:
        h = b + (0.5 * p - 0.25)
    elif p > 0.3:
        h = b
    else:
        h = max(b - 0.1, 0.3)
    return max(min(h, 0.8), 0.3)

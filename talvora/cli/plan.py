"""The plan command: sizes, shapes and ratios read from the command line, the allocation plan made with the GPU
planning module (chunk shapes grouped, so that any shape is planned in constant memory), and its text."""

import argparse
import difflib
import json
import math
import re
from decimal import Decimal, InvalidOperation
from typing import Any, Dict, List, Sequence, TextIO, Tuple

from talvora.cli.common import PROG, plural, to_number
from talvora.gpu import (
    CHUNKABLE_OPERATIONS,
    MAX_BYTES,
    MAX_DIMENSION,
    MAX_HEADROOM_RATIO,
    NON_CHUNKABLE_OPERATIONS,
    SATURATED_ESTIMATE,
    AllocationStrategy,
    strategy_name,
)

# The version of the JSON that plan writes. 2: the GPU passes and the chunk shapes renamed apart
# (gpu_passes, chunk_shape_count, chunk_shape_groups, chunk_shapes_fit); the values as given beside those
# applied; operation_known, array_bytes, allocation_saturated and notes.
PLAN_SCHEMA_VERSION = 2

# Bounds of the GPU planning module's 32-bit dimensions and element sizes and 64-bit byte counts.
INT32_MAX = MAX_DIMENSION
UINT64_MAX = MAX_BYTES

# Option values that start like a negative number ("-5,3", "-1") are values, so that they reach the options'
# own messages rather than being taken for unknown options.
NEGATIVE_VALUE = re.compile(r"^-\d")

_SIZE_UNITS = {
    "": 1,
    "b": 1,
    "k": 2**10,
    "kib": 2**10,
    "kb": 10**3,
    "m": 2**20,
    "mib": 2**20,
    "mb": 10**6,
    "g": 2**30,
    "gib": 2**30,
    "gb": 10**9,
    "t": 2**40,
    "tib": 2**40,
    "tb": 10**12,
    "p": 2**50,
    "pib": 2**50,
    "pb": 10**15,
    "byte": 1,
    "bytes": 1,
}
_SIZE_RE = re.compile(r"^\s*((?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?)\s*([A-Za-z]*)\s*$")


def parse_size(text: str) -> int:
    """A byte count such as ``8GiB``, ``512 MiB``, ``2GB``, ``1.5G`` or ``1000000``.

    Binary units: K, M, G, T, P and KiB, MiB, GiB, TiB, PiB (powers of 1024);
    decimal units: kB, MB, GB, TB, PB (powers of 1000); B, bytes or no unit for
    bytes, so every size the plan prints reads back.  Units are
    case-insensitive.  The result must be a whole number of bytes that fits in
    64 bits.
    """
    m = _SIZE_RE.match(text)
    unit = m and _SIZE_UNITS.get(m.group(2).lower())
    if not m or unit is None:
        raise ValueError("invalid size %r (expected a byte count such as 1048576, 512MiB, 8GiB, 1PiB or 2GB)" % text)
    try:
        value = Decimal(m.group(1)) * unit
    except InvalidOperation:
        raise ValueError("invalid size %r" % text) from None
    if value != value.to_integral_value():
        raise ValueError("size %r is not a whole number of bytes" % text)
    n = int(value)
    if n > UINT64_MAX:
        raise ValueError("size %r is too large (at most %d bytes)" % (text, UINT64_MAX))
    return n


def parse_shape(text: str) -> Tuple[int, ...]:
    """An array shape such as ``100000,1000`` or ``64x64x3``; empty for a scalar."""
    cleaned = text.strip().strip("()[]").strip()
    if not cleaned:
        return ()
    parts = [p.strip() for p in re.split(r"[,xX]", cleaned)]
    if parts and parts[-1] == "" and "," in cleaned:
        parts.pop()  # trailing comma, as in "(5,)"
    dims = []
    for p in parts:
        if not re.fullmatch(r"\d+", p):
            raise ValueError(
                "invalid shape %r (expected non-negative integers separated by commas, such as 100000,1000)" % text
            )
        d = int(p)
        if d > INT32_MAX:
            raise ValueError(
                "dimension %d of shape %r is too large: the GPU planning module takes dimensions of at most %d, "
                "so it cannot size or chunk an array of this shape" % (d, text, INT32_MAX)
            )
        dims.append(d)
    return tuple(dims)


def parse_element_size(text: str) -> int:
    """A positive element size in bytes."""
    n = to_number(lambda t: int(t.strip()), text, "invalid element size %r (expected a positive number of bytes)")
    if n < 1:
        raise ValueError("element size must be positive, got %d" % n)
    if n > INT32_MAX:
        raise ValueError(
            "element size %d is too large: the GPU planning module takes element sizes of at most %d" % (n, INT32_MAX)
        )
    return n


def parse_headroom(text: str) -> float:
    """A headroom ratio: the fraction of available memory kept back, in [0, 1)."""
    h = to_number(float, text, "invalid headroom %r (expected a ratio such as 0.2)")
    if not 0.0 <= h < 1.0:
        raise ValueError("headroom must be at least 0 and below 1, got %r" % text)
    return h


def parse_overhead(text: str) -> float:
    f = to_number(float, text, "invalid overhead factor %r (expected a number such as 1.2)")
    if not f > 0.0 or f == float("inf"):
        raise ValueError("overhead factor must be a positive number, got %r" % text)
    return f


def human_bytes(n: int) -> str:
    """A byte count in binary units, e.g. 1.50 GiB."""
    value = float(n)
    for unit in ("B", "KiB", "MiB", "GiB", "TiB", "PiB"):
        if value < 1024 or unit == "PiB":
            return "%d B" % n if unit == "B" else "%.2f %s" % (value, unit)
        value /= 1024
    raise AssertionError("unreachable")


def _row_bytes(shape: Sequence[int], element_size: int) -> int:
    """Bytes of one row along the first axis (of the whole array for a scalar shape)."""
    row = element_size
    for dim in shape[1:]:
        row *= dim
    return row


def chunk_groups(shape: Sequence[int], element_size: int, max_chunk_bytes: int) -> List[Tuple[Tuple[int, ...], int]]:
    """The chunk shapes of ``compute_chunk_shapes`` as (shape, count) groups, computed without listing them.

    For non-negative dimensions the groups expand to exactly the library's
    list: chunks of whole rows along the first axis, all full but the last.
    """
    if not shape:
        return [(tuple(shape), 1)]
    first, tail = shape[0], tuple(shape[1:])
    if first < 1:
        return []
    row = _row_bytes(shape, element_size)
    if row == 0:
        per_chunk = first  # rows without bytes: all in one chunk
    elif row > max_chunk_bytes:
        per_chunk = 1  # a row beyond the limit is a chunk of its own
    else:
        per_chunk = max_chunk_bytes // row
    full, rest = divmod(first, per_chunk)
    groups = [((per_chunk,) + tail, full)] if full else []
    if rest:
        groups.append(((rest,) + tail, 1))
    return groups


def applied_headroom(headroom: float) -> float:
    """The headroom ratio the GPU planning module applies: clamped to [0, 0.99], NaN taken as 0.99."""
    if headroom < 0.0:
        return 0.0
    if not headroom <= MAX_HEADROOM_RATIO:
        return MAX_HEADROOM_RATIO
    return headroom


def is_known_operation(op: str) -> bool:
    """Whether the GPU planning module names ``op`` among its chunkable or its never-chunked operations."""
    return op in CHUNKABLE_OPERATIONS or op in NON_CHUNKABLE_OPERATIONS


def unknown_operation_warning(op: str) -> str:
    """What an operation name the GPU planning module does not know means for the plan."""
    known = CHUNKABLE_OPERATIONS + NON_CHUNKABLE_OPERATIONS
    close = difflib.get_close_matches(op, known, n=1)
    hint = "did you mean %r?" % close[0] if close else "known operations: %s" % ", ".join(known)
    return "unknown operation %r, planned as not chunkable (%s)" % (op, hint)


def _array_bytes(shape: Sequence[int], element_size: int) -> int:
    """The exact bytes of the array, without the overhead factor (0 when a dimension is below 1)."""
    if any(dim < 1 for dim in shape):
        return 0
    return element_size * math.prod(shape) if shape else element_size


def _saturated(requested: int, array_bytes: int, overhead_factor: float) -> bool:
    """Whether the estimate stopped at one of the module's caps rather than being the array's size."""
    if requested == SATURATED_ESTIMATE and array_bytes > SATURATED_ESTIMATE:
        return True  # the size overflowed 63 bits
    return requested == MAX_BYTES and overhead_factor > 1.0  # the overhead product reached 2^64


def _notes(plan: Dict[str, Any], headroom: float, overhead_factor: float) -> List[str]:
    """Why a value shown differs from the one given, and where the module's arithmetic stopped."""
    notes = []
    if plan["headroom_ratio"] != headroom:
        notes.append(
            "headroom %g is applied as %g: the planner keeps back between 0 and %g of the available memory"
            % (headroom, plan["headroom_ratio"], MAX_HEADROOM_RATIO)
        )
    if overhead_factor != plan["overhead_factor"]:
        notes.append(
            "overhead factor %g has no effect: a factor of 1 or less never shrinks the estimate" % overhead_factor
        )
    chunked = plan["strategy_code"] == AllocationStrategy.GPU_CHUNKED
    consequence = (
        "so the GPU passes of this plan are counted for the capped size and are too few for the whole array"
        if chunked
        else "so the strategy of this plan is decided for the capped size, which the array exceeds"
    )
    if plan["allocation_saturated"] and plan["allocation_bytes"] == SATURATED_ESTIMATE:
        notes.append(
            "the array takes %d bytes (%s), more than the planner counts: its estimate stops at %d bytes "
            "(2^63 - 1)%s, %s"
            % (
                plan["array_bytes"],
                human_bytes(plan["array_bytes"]),
                SATURATED_ESTIMATE,
                ", without the overhead factor" if plan["overhead_factor"] > 1.0 else "",
                consequence,
            )
        )
    elif plan["allocation_saturated"]:
        notes.append(
            "with the overhead factor the estimate reaches the largest byte count the planner counts, %d (2^64 - 1), "
            "and is capped there, %s" % (MAX_BYTES, consequence)
        )
    return notes


def plan_allocation(
    shape: Tuple[int, ...],
    element_size: int,
    available: int,
    headroom: float = 0.2,
    op: str = "zeros",
    overhead_factor: float = 1.0,
) -> Dict[str, Any]:
    """Sizes an array allocation and decides how to place it on the GPU.

    The values reported are those the GPU planning module applies; ``notes``
    says where they differ from those given and where its arithmetic saturated.
    """
    from talvora.gpu import drelling as d

    requested = d.estimate_allocation_bytes(shape, element_size, overhead_factor)
    safe = d.calculate_safe_limit(available, headroom)
    chunkable = d.is_chunkable_operation(op)
    strategy, chunk_size, passes, message = d.decide_allocation_strategy(requested, available, headroom, chunkable)
    array_bytes = _array_bytes(shape, element_size)
    groups = None
    row_bytes = _row_bytes(shape, element_size)
    if strategy == AllocationStrategy.GPU_CHUNKED:
        groups = chunk_groups(shape, element_size, chunk_size)
    plan = {
        "schema_version": PLAN_SCHEMA_VERSION,
        "shape": list(shape),
        "element_size": element_size,
        "overhead_factor": overhead_factor if overhead_factor > 1.0 else 1.0,
        "overhead_factor_given": overhead_factor,
        "array_bytes": array_bytes,
        "allocation_bytes": requested,
        "allocation_saturated": _saturated(requested, array_bytes, overhead_factor),
        "available_bytes": available,
        "headroom_ratio": applied_headroom(headroom),
        "headroom_ratio_given": headroom,
        "safe_limit_bytes": safe,
        "operation": op,
        "operation_known": is_known_operation(op),
        "chunkable": chunkable,
        "strategy_code": strategy,
        "strategy": strategy_name(strategy),
        "message": message,
        "chunk_size_bytes": chunk_size,
        "gpu_passes": passes,
        # Equal chunk shapes grouped, in order: a huge shape makes billions of chunks.
        "chunk_shape_groups": None if groups is None else [{"shape": list(s), "count": n} for s, n in groups],
        "chunk_shape_count": None if groups is None else sum(n for _, n in groups),
        # Chunks hold whole rows (the first axis is split), so a row larger
        # than the chunk size makes every chunk exceed the safe limit.
        "row_bytes": row_bytes,
        "chunk_shapes_fit": None if groups is None else row_bytes <= chunk_size,
    }
    plan["notes"] = _notes(plan, headroom, overhead_factor)
    return plan


def _shape_text(shape: Sequence[int]) -> str:
    return "(%s)" % (", ".join(str(x) for x in shape) + ("," if len(shape) == 1 else ""))


def format_plan(plan: Dict[str, Any]) -> str:
    def size(n: int) -> str:
        return "%d bytes (%s)" % (n, human_bytes(n))

    def given(key: str, fmt: str = "%g") -> str:
        shown = fmt % plan[key]
        return shown if plan[key] == plan[key + "_given"] else "%s (%s given)" % (shown, fmt % plan[key + "_given"])

    if not plan["operation_known"]:
        operation = "unknown, planned as not chunkable"
    else:
        operation = "chunkable" if plan["chunkable"] else "not chunkable"
    rows = [
        ("Shape", "%s x %d bytes per element" % (_shape_text(plan["shape"]), plan["element_size"])),
        ("Allocation estimate", size(plan["allocation_bytes"]) + (", capped" if plan["allocation_saturated"] else "")),
        ("Available", size(plan["available_bytes"])),
        ("Headroom", given("headroom_ratio")),
        ("Safe limit", size(plan["safe_limit_bytes"])),
        ("Operation", "%s (%s)" % (plan["operation"], operation)),
        ("Strategy", "%s - %s" % (plan["strategy"], plan["message"])),
    ]
    if plan["overhead_factor_given"] != 1.0:
        rows.insert(1, ("Overhead factor", given("overhead_factor")))
    groups = plan["chunk_shape_groups"]
    if groups is not None:
        rows.append(("Chunk size", size(plan["chunk_size_bytes"])))
        rows.append(("GPU passes", str(plan["gpu_passes"])))
        rows.append(("Chunk shapes", "%d chunks of whole rows along the first axis" % plan["chunk_shape_count"]))
    width = max(len(label) for label, _ in rows) + 1
    lines = ["%-*s %s" % (width, label + ":", value) for label, value in rows]
    if groups is not None:
        lines.extend("  %s x %d" % (_shape_text(g["shape"]), g["count"]) for g in groups)
        if plan["chunk_shape_count"] != plan["gpu_passes"] and groups:
            rows_per_chunk = groups[0]["shape"][0]
            lines.append(
                "Chunks hold whole rows of %d bytes: %d chunks of up to %s, against %d passes "
                "counted in bytes"
                % (plan["row_bytes"], plan["chunk_shape_count"], plural(rows_per_chunk, "row"), plan["gpu_passes"])
            )
        if not plan["chunk_shapes_fit"]:
            lines.append(
                "Warning: one row takes %d bytes, more than the chunk size; every chunk exceeds the "
                "safe limit" % plan["row_bytes"]
            )
    lines.extend("Note: %s." % note for note in plan["notes"])
    return "\n".join(lines) + "\n"


def run_plan(args: argparse.Namespace, stdout: TextIO, stderr: TextIO) -> int:
    plan = plan_allocation(args.shape, args.element_size, args.available, args.headroom, args.op, args.overhead_factor)
    if not plan["operation_known"]:
        stderr.write("%s plan: warning: %s\n" % (PROG, unknown_operation_warning(args.op)))
    if args.json:
        json.dump(plan, stdout, indent=2)
        stdout.write("\n")
    else:
        stdout.write(format_plan(plan))
    return 0

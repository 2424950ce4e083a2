"""GPU memory planning: ``drelling`` sizes allocations and decides where they go.

``AllocationStrategy`` names the strategy codes of
``drelling.decide_allocation_strategy`` (the native result stays a plain int,
which the members compare equal to); ``STRATEGY_NAMES`` and ``strategy_name``
name them as text.  The operation tuples and the limits below describe what
``drelling`` accepts and where its arithmetic stops.
"""

import enum
from typing import Tuple


class AllocationStrategy(enum.IntEnum):
    """The strategy code of ``decide_allocation_strategy``: where an allocation goes."""

    GPU_DIRECT = 0  # fits under the safe limit: allocated on the GPU in one piece
    GPU_CHUNKED = 1  # larger than the safe limit but chunkable: several GPU passes
    CPU_FALLBACK = 2  # no usable GPU memory, or too large and not chunkable: run on the CPU


#: The allocation strategy names of ``decide_allocation_strategy``, indexed by code.
STRATEGY_NAMES: Tuple[str, ...] = tuple(s.name for s in AllocationStrategy)

#: Operations ``drelling`` chunks, and those it knows but never chunks; any other name is planned as not chunkable.
CHUNKABLE_OPERATIONS: Tuple[str, ...] = (
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
)
NON_CHUNKABLE_OPERATIONS: Tuple[str, ...] = (
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
)

#: The largest headroom ratio ``drelling`` applies; larger ratios are clamped to it.
MAX_HEADROOM_RATIO = 0.99
#: The largest dimension and element size ``drelling`` accepts (signed 32-bit).
MAX_DIMENSION = 2**31 - 1
#: ``estimate_allocation_bytes`` returns this when the byte count overflows (without the overhead factor).
SATURATED_ESTIMATE = 2**63 - 1
#: The largest byte count ``drelling`` takes or returns (unsigned 64-bit); products beyond it are capped to it.
MAX_BYTES = 2**64 - 1


def strategy_name(code: int) -> str:
    """The name of an allocation strategy code (the code in decimal outside the table)."""
    if 0 <= code < len(STRATEGY_NAMES):
        return STRATEGY_NAMES[code]
    return str(code)

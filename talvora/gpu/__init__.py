"""GPU memory planning: ``drelling`` sizes allocations and decides where they go.

``STRATEGY_NAMES`` and ``strategy_name`` name the strategy codes of
``drelling.decide_allocation_strategy``.
"""

#: The allocation strategy names of ``decide_allocation_strategy``, indexed by code.
STRATEGY_NAMES = ("GPU_DIRECT", "GPU_CHUNKED", "CPU_FALLBACK")


def strategy_name(code: int) -> str:
    """The name of an allocation strategy code (the code in decimal outside the table)."""
    if 0 <= code < len(STRATEGY_NAMES):
        return STRATEGY_NAMES[code]
    return str(code)

"""Free blocks of the talvora memory pools."""

__all__ = ["MemoryBlock"]


class MemoryBlock:
    """A contiguous free block of a pool: ``size`` bytes starting at ``offset``.

    Blocks are compared by value, so a block rebuilt from the same pool,
    offset and size equals the one handed out earlier.
    """

    __slots__ = ("pool_id", "offset", "size", "__weakref__")

    def __init__(self, offset: int, size: int, pool_id: int = 0):
        for name, value in (("offset", offset), ("size", size), ("pool_id", pool_id)):
            if not isinstance(value, int) or isinstance(value, bool):
                raise TypeError(f"{name} must be an int, got {type(value).__name__}")
            if value < 0:
                raise ValueError(f"{name} must be non-negative, got {value}")
        self.pool_id = pool_id
        self.offset = offset
        self.size = size

    @property
    def end(self) -> int:
        """Offset one past the last byte of the block."""
        return self.offset + self.size

    def is_adjacent(self, other: "MemoryBlock") -> bool:
        """True when ``other`` starts where this block ends in the same pool, or the reverse."""
        return self.pool_id == other.pool_id and (self.end == other.offset or other.end == self.offset)

    def merge(self, other: "MemoryBlock") -> "MemoryBlock":
        """The block covering this block and an adjacent one."""
        if not self.is_adjacent(other):
            raise ValueError(f"{self!r} and {other!r} are not adjacent")
        start = min(self.offset, other.offset)
        return MemoryBlock(start, self.size + other.size, self.pool_id)

    def split(self, size: int) -> "tuple[MemoryBlock, MemoryBlock | None]":
        """Cuts the first ``size`` bytes off; returns (head, rest) where rest may be None."""
        if not 0 < size <= self.size:
            raise ValueError(f"cannot split {size} bytes off {self!r}")
        head = MemoryBlock(self.offset, size, self.pool_id)
        if size == self.size:
            return head, None
        return head, MemoryBlock(self.offset + size, self.size - size, self.pool_id)

    def _key(self):
        return (self.pool_id, self.offset, self.size)

    def __eq__(self, other):
        if not isinstance(other, MemoryBlock):
            return NotImplemented
        return self._key() == other._key()

    def __hash__(self):
        return hash(self._key())

    def __repr__(self):
        return f"MemoryBlock(offset={self.offset}, size={self.size}, pool_id={self.pool_id})"

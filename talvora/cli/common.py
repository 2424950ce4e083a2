"""Names the command line's modules share: the program name, the JSON schema version, terminal detection,
the plural of a count and the reading of a number from an option."""

from typing import Callable, TextIO, TypeVar

PROG = "talvora"

# The version of the JSON written by analyze and plan.
SCHEMA_VERSION = 1


def is_terminal(stream: TextIO) -> bool:
    isatty = getattr(stream, "isatty", None)
    return bool(isatty and isatty())


def plural(n: int, word: str) -> str:
    return "%d %s%s" % (n, word, "" if n == 1 else "s")


_N = TypeVar("_N", int, float)


def to_number(convert: Callable[[str], _N], text: str, invalid: str) -> _N:
    """``convert(text)``; a ValueError with the message ``invalid % text`` when that fails."""
    try:
        return convert(text)
    except ValueError:
        raise ValueError(invalid % text) from None

"""Names the command line's modules share: the program name, the JSON schema version, terminal detection
and the plural of a count."""

from typing import TextIO

PROG = "talvora"

# The version of the JSON written by analyze and plan.
SCHEMA_VERSION = 1


def is_terminal(stream: TextIO) -> bool:
    isatty = getattr(stream, "isatty", None)
    return bool(isatty and isatty())


def plural(n: int, word: str) -> str:
    return "%d %s%s" % (n, word, "" if n == 1 else "s")

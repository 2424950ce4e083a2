"""A signature's text ("(a, b: 'int') -> 'int'", as str(inspect.signature()) gives it) as pydoc prints it on the
running interpreter."""

import inspect
import re
import sys

# Newer pydoc puts each parameter of a long signature on a line of its own
# (Signature.format came with it).
PYDOC_WRAPS = hasattr(inspect.Signature, "format")
# From 3.14 on, pydoc prints string annotations without their quotes.
PYDOC_QUOTES = sys.version_info < (3, 14)

_QUOTED_PARAM = re.compile(r"^(\*{0,2}\w+): '([^'\\]*)'(.*)$", re.S)
_QUOTED_RETURN = re.compile(r"^ -> '([^'\\]*)'$", re.S)


def _split_top_level(text):
    """`text` split at the commas outside brackets and quotes."""
    parts, depth, quote, start = [], 0, None, 0
    for i, c in enumerate(text):
        if quote:
            quote = None if c == quote else quote
        elif c in "'\"":
            quote = c
        elif c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
        elif c == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    parts.append(text[start:].strip())
    return [p for p in parts if p]


def as_pydoc_prints(name, sig):
    """The signature text `sig` laid out as pydoc lays it out after `name`."""
    depth = close = 0
    for close, c in enumerate(sig):  # noqa: B007  (the index is read after the loop)
        depth += c in "([{"
        depth -= c in ")]}"
        if depth == 0:
            break
    params, rest = _split_top_level(sig[1:close]), sig[close + 1 :]
    if not PYDOC_QUOTES:
        params = [_QUOTED_PARAM.sub(r"\1: \2\3", p) for p in params]
        rest = _QUOTED_RETURN.sub(r" -> \1", rest)
    flat = "(%s)" % ", ".join(params)
    if not PYDOC_WRAPS or len(flat) <= 80 - len(name):
        return flat + rest
    return "(\n    %s\n)%s" % (",\n    ".join(params), rest)

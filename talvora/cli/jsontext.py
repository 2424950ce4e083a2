"""JSON text laid out exactly as ``json.dumps(obj, indent=N)`` lays it out, several times faster.

With an indent, CPython encodes in pure Python; without one, in C.  Here the
containers are laid out in Python and their scalars encoded by the C encoder,
a run of scalars at a time: a container's items are separated by a comma, a
line break and the indentation of their level, which the C encoder takes as
its item separator.  Records of the same shape (a dict of scalars and dicts
of scalars, such as a function's scores) are filled into a template made once
per shape, their scalars encoded in a single call.
"""

import json
from typing import Any, Callable, Dict, Hashable, List, Optional, Tuple

try:
    from json.encoder import c_make_encoder
except ImportError:  # pragma: no cover - an interpreter without the C accelerator
    c_make_encoder = None
from json.encoder import encode_basestring_ascii

_CONTAINERS = (dict, list, tuple)
SCALARS = frozenset({str, int, float, bool, type(None)})
# A scalar that stands for a value in a template, and its encoded form.
_MARK = "\x00"
_MARK_TEXT = encode_basestring_ascii(_MARK)


class Laid(list):  # type: ignore[type-arg]
    """A list whose items are JSON text already laid out at the depth of their place in the list."""


def encoder(item_separator: str) -> Callable[[Any], str]:
    """Compact encoding (key separator ": ") of any JSON value with `item_separator` between items."""
    default = json.JSONEncoder().default
    if c_make_encoder is not None:
        encode = c_make_encoder(None, default, encode_basestring_ascii, None, ": ", item_separator, False, False, True)
        return lambda value: "".join(encode(value, 0))
    return json.JSONEncoder(separators=(item_separator, ": "), check_circular=False).encode  # pragma: no cover


class Layout:
    """``dumps(obj)`` gives ``json.dumps(obj, indent=indent)``; ``record(d, depth)`` the text of a record."""

    def __init__(self, indent: int = 2):
        self.indent = indent
        self._flat: Dict[int, Callable[[Any], str]] = {}
        self._templates: Dict[Hashable, Optional[str]] = {}
        self._split = encoder("\n")  # no encoded scalar holds a raw line break

    def _items(self, depth: int) -> Callable[[Any], str]:
        """The encoder of a container of scalars at `depth` whose items sit at depth + 1."""
        try:
            return self._flat[depth]
        except KeyError:
            encode = self._flat[depth] = encoder(",\n" + " " * (self.indent * (depth + 1)))
            return encode

    def _key(self, key: Any) -> str:
        if type(key) is str:
            return encode_basestring_ascii(key)
        return self._items(0)({key: 0})[1:-4]  # keys that are not str: as json turns them into strings

    def dumps(self, obj: Any, depth: int = 0) -> str:
        """`obj` as JSON text, its first line at `depth` (the indentation of the rest)."""
        if isinstance(obj, Laid):
            if not obj:
                return "[]"
            pad = "\n" + " " * (self.indent * (depth + 1))
            return "[" + pad + ("," + pad).join(obj) + "\n" + " " * (self.indent * depth) + "]"
        if not isinstance(obj, _CONTAINERS) or not obj:
            return self._items(depth)(obj)
        is_dict = isinstance(obj, dict)
        values = obj.values() if is_dict else obj
        if not any(isinstance(v, _CONTAINERS) and v for v in values):
            text = self._items(depth)(obj)  # scalars only: laid out by the encoder, less the brackets' breaks
        else:
            parts: List[str] = []
            run: List[Any] = []
            encode = self._items(depth)
            for item in obj.items() if is_dict else obj:
                value = item[1] if is_dict else item
                if isinstance(value, _CONTAINERS) and value:
                    if run:
                        parts.append(encode(dict(run) if is_dict else run)[1:-1])
                        run = []
                    text = self.dumps(value, depth + 1)
                    parts.append(self._key(item[0]) + ": " + text if is_dict else text)
                else:
                    run.append(item)
            if run:
                parts.append(encode(dict(run) if is_dict else run)[1:-1])
            text = "{" + (",\n" + " " * (self.indent * (depth + 1))).join(parts) + "}"
            if not is_dict:
                text = "[" + text[1:-1] + "]"
        pad = " " * (self.indent * (depth + 1))
        return text[0] + "\n" + pad + text[1:-1] + "\n" + " " * (self.indent * depth) + text[-1]

    def record(self, d: Dict[Any, Any], depth: int) -> str:
        """``dumps(d, depth)`` for a dict of scalars and of dicts of scalars, through a template of its shape."""
        values: List[Any] = []
        shape: List[Tuple[Any, Optional[Tuple[Any, ...]]]] = []
        for key, value in d.items():
            if type(value) is dict and value:
                shape.append((key, tuple(value)))
                values.extend(value.values())
            else:
                shape.append((key, None))
                values.append(value)
        if not values or not all(map(SCALARS.__contains__, map(type, values))):
            return self.dumps(d, depth)
        ident = (depth, tuple(shape))
        try:
            template = self._templates[ident]
        except KeyError:
            template = self._templates[ident] = self._template(shape, len(values), depth)
        if template is None:
            return self.dumps(d, depth)
        return template % tuple(self._split(values)[1:-1].split("\n"))

    def template(self, d: Dict[Any, Any], depth: int) -> Optional[str]:
        """The text of `d` at `depth` with %s in place of each scalar, as ``record`` fills it; None for a dict
        that is not of scalars and dicts of scalars."""
        shape = [(key, tuple(value) if type(value) is dict and value else None) for key, value in d.items()]
        count = sum(1 if sub is None else len(sub) for _, sub in shape)
        return self._template(shape, count, depth) if count else None

    def _template(self, shape: List[Tuple[Any, Optional[Tuple[Any, ...]]]], count: int, depth: int) -> Optional[str]:
        sample = {key: _MARK if sub is None else dict.fromkeys(sub, _MARK) for key, sub in shape}
        if len(sample) != len(shape):
            return None
        text = self.dumps(sample, depth).replace("%", "%%")
        if text.count(_MARK_TEXT) != count:  # a key holds the mark
            return None
        return text.replace(_MARK_TEXT, "%s")

"""Showing recorded values: one-line renderings and JSON-safe copies.

Recorded arguments, locals and return values are what the host serializer
made of them: None, booleans, numbers, text, bytes, lists and maps, where
any other object became a text, usually its repr. Texts of the form
"<...>" are such reprs or the serializer's own summaries ("<list len=3>",
"... <5 more items>") and are shown as they are; other texts are quoted
so that the string "5" and the number 5 look different.
"""

import base64
import math

import msgpack

# Containers nested deeper than this are shown as "..." on one line.
_MAX_DEPTH = 32
_ELLIPSIS = "..."


def render(value, limit=None):
    """``value`` on one line, cut to ``limit`` characters when given."""
    budget = math.inf if limit is None else limit + 1
    parts = []
    _Renderer(parts, budget).value(value, 0)
    return shorten("".join(parts), limit)


def render_arguments(locals_value, limit=None, value_limit=None):
    """The call's locals (its arguments, at a call) as ``a=1, b='x'``."""
    if not isinstance(locals_value, dict):
        return render(locals_value, limit)
    text = ", ".join(
        f"{_key_text(key)}={render(item, value_limit)}" for key, item in locals_value.items()
    )
    return shorten(text, limit)


def shorten(text, limit):
    if limit is None or len(text) <= limit:
        return text
    return text[: max(limit - len(_ELLIPSIS), 0)] + _ELLIPSIS


def json_safe(value):
    """A copy of a decoded MessagePack value that ``json`` can write.

    Map keys become strings, bytes become {"$base64": ...}, extension values
    {"$ext": code, "$base64": ...}, timestamps {"$timestamp": seconds}, and
    non-finite floats the strings "NaN", "Infinity" and "-Infinity".
    """
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else _non_finite(value)
    if isinstance(value, dict):
        return {_json_key(key): json_safe(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [json_safe(item) for item in value]
    if isinstance(value, (bytes, bytearray)):
        return {"$base64": base64.b64encode(value).decode("ascii")}
    if isinstance(value, msgpack.ExtType):
        return {"$ext": value.code, "$base64": base64.b64encode(value.data).decode("ascii")}
    if isinstance(value, msgpack.Timestamp):
        return {"$timestamp": value.to_unix()}
    return str(value)


class _Renderer:
    """Writes a value into ``parts`` until ``budget`` characters are used."""

    def __init__(self, parts, budget):
        self.parts = parts
        self.budget = budget

    def write(self, text):
        self.parts.append(text)
        self.budget -= len(text)

    def value(self, value, depth):
        if self.budget <= 0:
            return
        if isinstance(value, dict):
            self.container("{", "}", value.items(), depth, self.pair)
        elif isinstance(value, (list, tuple)):
            self.container("[", "]", value, depth, self.value)
        else:
            self.write(_scalar_text(value))

    def pair(self, item, depth):
        key, value = item
        self.value(key, depth)
        self.write(": ")
        self.value(value, depth)

    def container(self, opening, closing, items, depth, write_item):
        if depth >= _MAX_DEPTH:
            self.write(opening + _ELLIPSIS + closing)
            return
        self.write(opening)
        for index, item in enumerate(items):
            if self.budget <= 0:
                return
            if index:
                self.write(", ")
            write_item(item, depth + 1)
        self.write(closing)


def _scalar_text(value):
    if isinstance(value, str):
        return _text(value)
    if isinstance(value, msgpack.ExtType):
        return f"<ext {value.code}, {len(value.data)} bytes>"
    if isinstance(value, msgpack.Timestamp):
        return f"<timestamp {value.to_unix()}>"
    return repr(value)


def _text(value):
    if (len(value) >= 2 and value.startswith("<") and value.endswith(">")) or value.startswith("... <"):
        return _escape_controls(value)
    return repr(value)


def _key_text(key):
    return key if isinstance(key, str) and key.isidentifier() else render(key)


def _escape_controls(text):
    # repr() escapes newlines and the like; drop its quotes to keep the text bare.
    if text.isprintable():
        return text
    return repr(text)[1:-1]


def _json_key(key):
    if isinstance(key, str):
        return key
    if isinstance(key, (bytes, bytearray)):
        return "$base64:" + base64.b64encode(key).decode("ascii")
    if key is None or isinstance(key, bool):
        return "null" if key is None else str(key).lower()
    return str(key)


def _non_finite(value):
    if math.isnan(value):
        return "NaN"
    return "Infinity" if value > 0 else "-Infinity"

"""Writing decoded values for people: one line the way Python writes values,
and a JSON-safe form that keeps each value's kind.

One line: strings and bytes quoted, tuples in parentheses (``(1,)``), sets
in braces, ``frozenset({1})``, standard values by their stored repr
(``Decimal('1.10')``), subclasses of builtins as ``collections.OrderedDict({'a': 1})``,
objects as ``<shop.Order object at 0x7f..: {sku: 'A1', qty: 3}>``,
exceptions as ``KeyError('x')``, functions as ``<function shop.total>``.
Whatever was left out is said with ``… (+N more)``. The "builtins." prefix
of a type name is dropped.
"""

import base64
import math

import msgpack

from vopo.values.decode import (
    CutBytes,
    CutStr,
    Cycle,
    Elided,
    EnumMember,
    ExceptionValue,
    FrozenSet,
    More,
    ObjectValue,
    Redacted,
    Reference,
    Set,
    StandardValue,
    Subclass,
    Tuple,
    UserRepr,
)

ELLIPSIS = "…"
# Containers nested deeper than this are shown as "…" (decoded documents of
# model 1 may nest without bound).
_MAX_DEPTH = 32
_REFERENCE_LABELS = {"builtin": "built-in function"}
# Python refuses to write ints of more than 4300 digits as text.
_MAX_INT_BITS = 14_000


def display(value, limit=None):
    """``value`` on one line, cut to ``limit`` characters when given."""
    writer = _Writer(math.inf if limit is None else limit + 1)
    writer.value(value, 0)
    return shorten("".join(writer.parts), limit)


def display_arguments(mapping, limit=None, value_limit=None):
    """A map of names to values (a call's locals) as ``a=1, b='x'``."""
    if not isinstance(mapping, dict):
        return display(mapping, limit)
    parts = []
    size = 0
    for key, item in mapping.items():
        if isinstance(key, More):
            text = _more_text(key.count)
        else:
            text = f"{name_text(key)}={display(item, value_limit)}"
        parts.append(text)
        size += len(text) + 2
        if limit is not None and size > limit:
            break
    return shorten(", ".join(parts), limit)


def name_text(key):
    """A map key used as a name: bare when it is an identifier."""
    return key if isinstance(key, str) and key.isidentifier() else display(key)


def shorten(text, limit):
    if limit is None or len(text) <= limit:
        return text
    return text[: max(limit - len(ELLIPSIS), 0)] + ELLIPSIS


def short_type_name(name):
    return name[len("builtins.") :] if name.startswith("builtins.") else name


def _more_text(count):
    return f"{ELLIPSIS} (+{count} more)"


class _Writer:
    """Writes a value into ``parts`` until ``budget`` characters are used."""

    def __init__(self, budget):
        self.parts = []
        self.budget = budget

    def write(self, text):
        self.parts.append(text)
        self.budget -= len(text)

    def value(self, value, depth):
        if self.budget <= 0:
            return
        write = _WRITERS.get(type(value))
        if write is not None:
            write(self, value, depth)
        elif isinstance(value, str):
            self.write(repr(value))
        elif isinstance(value, msgpack.ExtType):
            self.write(f"<ext {value.code}>")
        elif isinstance(value, dict):
            self.mapping(value, depth, "{", "}")
        elif isinstance(value, (list, tuple)):
            self.sequence(value, depth, "[", "]")
        elif isinstance(value, msgpack.Timestamp):
            self.write(f"<timestamp {value.to_unix()}>")
        else:
            self.write(repr(value))

    def int(self, value, depth):
        if value.bit_length() > _MAX_INT_BITS:
            self.write(f"<int of {value.bit_length()} bits>")
        else:
            self.write(repr(value))

    def sequence(self, items, depth, opening, closing, single=""):
        if depth >= _MAX_DEPTH:
            self.write(opening + ELLIPSIS + closing)
            return
        self.write(opening)
        for index, item in enumerate(items):
            if self.budget <= 0:
                return
            if index:
                self.write(", ")
            self.item(item, depth)
        if len(items) == 1 and not isinstance(items[0], More):
            self.write(single)
        self.write(closing)

    def item(self, item, depth):
        if isinstance(item, More):
            self.write(_more_text(item.count))
        else:
            self.value(item, depth + 1)

    def mapping(self, mapping, depth, opening, closing, bare_names=False):
        if depth >= _MAX_DEPTH:
            self.write(opening + ELLIPSIS + closing)
            return
        self.write(opening)
        for index, (key, item) in enumerate(mapping.items()):
            if self.budget <= 0:
                return
            if index:
                self.write(", ")
            if isinstance(key, More):
                self.write(_more_text(key.count))
                continue
            if bare_names and isinstance(key, str):
                self.write(key)
            else:
                self.value(key, depth + 1)
            self.write(": ")
            self.value(item, depth + 1)
        self.write(closing)

    def tuple(self, value, depth):
        self.sequence(value.items, depth, "(", ")", single=",")

    def set(self, value, depth):
        if value.items:
            self.sequence(value.items, depth, "{", "}")
        else:
            self.write("set()")

    def frozenset(self, value, depth):
        self.write("frozenset(")
        if value.items:
            self.sequence(value.items, depth, "{", "}")
        self.write(")")

    def subclass(self, value, depth):
        self.write(short_type_name(value.type_name))
        if isinstance(value.value, Tuple):
            self.tuple(value.value, depth)
            return
        self.write("(")
        self.value(value.value, depth)
        self.write(")")

    def standard(self, value, depth):
        self.text(value.text)

    def text(self, text):
        if isinstance(text, CutStr):
            self.write(text.head + _more_text(text.omitted))
        else:
            self.write(text)

    def enum_member(self, value, depth):
        self.write(f"{short_type_name(value.type_name)}.{value.name}")

    def exception(self, value, depth):
        self.write(short_type_name(value.type_name))
        self.sequence(value.args, depth, "(", ")")

    def reference(self, value, depth):
        self.write(f"<{_REFERENCE_LABELS.get(value.what, value.what)} {short_type_name(value.name)}>")

    def object(self, value, depth):
        address = f" at {value.id:#x}" if isinstance(value.id, int) else ""
        self.write(f"<{short_type_name(value.type_name)} object{address}")
        if value.attributes:
            self.write(": ")
            self.mapping(value.attributes, depth, "{", "}", bare_names=True)
        self.write(">")

    def cycle(self, value, depth):
        self.write(f"<cycle {short_type_name(value.type_name)}>")

    def more(self, value, depth):
        self.write(_more_text(value.count))

    def elided(self, value, depth):
        name = short_type_name(value.type_name)
        brackets = _BRACKETS.get(name)
        if brackets is not None and value.size is not None:
            self.write(f"{brackets[0]}{_more_text(value.size)}{brackets[1]}")
        elif value.size is not None:
            self.write(f"<{name} {ELLIPSIS} (+{value.size} more)>")
        else:
            self.write(f"<{name} {ELLIPSIS}>")

    def user_repr(self, value, depth):
        self.text(value.text)

    def redacted(self, value, depth):
        self.write("<redacted>")

    def cut_str(self, value, depth):
        self.write(repr(value.head) + _more_text(value.omitted))

    def cut_bytes(self, value, depth):
        self.write(repr(value.head) + _more_text(value.omitted))


_BRACKETS = {"list": "[]", "tuple": "()", "dict": "{}", "set": "{}", "frozenset": "{}"}
_WRITERS = {
    int: _Writer.int,
    Tuple: _Writer.tuple,
    Set: _Writer.set,
    FrozenSet: _Writer.frozenset,
    Subclass: _Writer.subclass,
    StandardValue: _Writer.standard,
    EnumMember: _Writer.enum_member,
    ExceptionValue: _Writer.exception,
    Reference: _Writer.reference,
    ObjectValue: _Writer.object,
    Cycle: _Writer.cycle,
    More: _Writer.more,
    Elided: _Writer.elided,
    UserRepr: _Writer.user_repr,
    Redacted: _Writer.redacted,
    CutStr: _Writer.cut_str,
    CutBytes: _Writer.cut_bytes,
}


# JSON


def json_safe(value):
    """A copy of a decoded value that ``json`` can write without losing its kind.

    JSON's own types stand for themselves: null, booleans, numbers, strings,
    arrays for lists, and objects for maps whose keys are all strings not
    starting with "$". Everything else is an object with a "$kind" key;
    docs/values.md lists them.
    """
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else {"$kind": "float", "value": _non_finite(value)}
    if isinstance(value, msgpack.ExtType):
        return {"$kind": "ext", "code": value.code, "base64": _base64(value.data)}
    if isinstance(value, dict):
        return _json_map(value)
    if isinstance(value, (list, tuple)):
        return [json_safe(item) for item in value]
    if isinstance(value, (bytes, bytearray)):
        return {"$kind": "bytes", "base64": _base64(value)}
    convert = _JSON.get(type(value))
    if convert is not None:
        return convert(value)
    if isinstance(value, msgpack.Timestamp):
        return {"$kind": "timestamp", "seconds": value.to_unix()}
    return {"$kind": "unknown", "text": repr(value)}


def _json_map(mapping):
    plain = {}
    more = None
    for key, item in mapping.items():
        if isinstance(key, More):
            more = key.count
        elif isinstance(key, str) and not key.startswith("$"):
            plain[key] = json_safe(item)
        else:
            return {"$kind": "dict", "items": [[json_safe(k), json_safe(v)] for k, v in mapping.items()]}
    if more is not None:
        plain["$more"] = more
    return plain


def _items(kind):
    return lambda value: {"$kind": kind, "items": [json_safe(item) for item in value.items]}


def _fields(kind, **names):
    return lambda value: {"$kind": kind, **{key: json_safe(getattr(value, field)) for key, field in names.items()}}


_JSON = {
    Tuple: _items("tuple"),
    Set: _items("set"),
    FrozenSet: _items("frozenset"),
    Subclass: _fields("subclass", type="type_name", value="value"),
    StandardValue: _fields("standard", type="type_name", repr="text"),
    EnumMember: _fields("enum", type="type_name", name="name"),
    ExceptionValue: _fields("exception", type="type_name", args="args"),
    Reference: _fields("reference", what="what", name="name"),
    ObjectValue: _fields("object", type="type_name", id="id", attributes="attributes"),
    Cycle: _fields("cycle", type="type_name"),
    More: _fields("more", count="count"),
    Elided: _fields("elided", type="type_name", size="size"),
    UserRepr: _fields("repr", type="type_name", text="text"),
    Redacted: _fields("redacted"),
    CutStr: _fields("str", head="head", omitted="omitted"),
    CutBytes: lambda value: {"$kind": "bytes", "base64": _base64(value.head), "omitted": value.omitted},
}


def _base64(data):
    return base64.b64encode(bytes(data)).decode("ascii")


def _non_finite(value):
    if math.isnan(value):
        return "nan"
    return "inf" if value > 0 else "-inf"

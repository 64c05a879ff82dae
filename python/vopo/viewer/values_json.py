"""Recorded values as JSON that keeps their kinds, for the page to write
the way Python writes them.

Plain JSON carries what it can say exactly: None, booleans, integers a
browser holds exactly, strings and lists. Every other value is an object
with "k" naming its kind ("float", "dict", "tuple", "object", ...).
"""

import math

import msgpack

_EXACT_INT = 2**53
# Python refuses to write ints of more than 4300 digits as text.
_MAX_INT_BITS = 14_000
_STANDARD_KINDS = {2: "tuple", 3: "set", 4: "frozenset"}


def to_json(value, legacy=False):
    """The JSON form of a decoded MessagePack value of a trace.

    ``legacy`` marks values of traces saved before values kept their kinds,
    in which every object became a text such as "<shop.Cart object>".
    """
    return _Converter(legacy).convert(value)


def decode(data, legacy=False):
    """The JSON form of one MessagePack-encoded value."""
    return to_json(unpack(data), legacy)


def unpack(data):
    """Decode MessagePack whose extension values stay ``msgpack.ExtType``."""
    return msgpack.unpackb(data, raw=False, strict_map_key=False, ext_hook=msgpack.ExtType)


class _Converter:
    def __init__(self, legacy):
        self.legacy = legacy

    def convert(self, value):
        if value is None or isinstance(value, (bool, str)):
            return self._text(value) if isinstance(value, str) else value
        if isinstance(value, int):
            return value if -_EXACT_INT < value < _EXACT_INT else _big_int(value)
        if isinstance(value, float):
            return {"k": "float", "r": _float_text(value)}
        if isinstance(value, (bytes, bytearray)):
            return {"k": "bytes", "r": repr(bytes(value))}
        if isinstance(value, msgpack.ExtType):
            return self._extension(value.code, value.data)
        if isinstance(value, (list, tuple)):
            return [self.convert(item) for item in value]
        if isinstance(value, dict):
            return {"k": "dict", "items": [[self.convert(key), self.convert(item)] for key, item in value.items()]}
        return {"k": "text", "r": str(value)}

    def _text(self, text):
        if self.legacy and len(text) >= 2 and text.startswith("<") and text.endswith(">"):
            return {"k": "text", "r": text}
        return text

    def _extension(self, code, data):
        if code == 1:
            return _big_int(int.from_bytes(data, "big", signed=True))
        try:
            inner = unpack(data)
        except Exception:
            return {"k": "ext", "code": code, "size": len(data)}
        try:
            return _EXTENSIONS[code](self, inner)
        except (KeyError, TypeError, ValueError, IndexError):
            return {"k": "ext", "code": code, "size": len(data)}

    def _items(self, inner):
        if not isinstance(inner, list):
            raise TypeError("items are an array")
        return [self.convert(item) for item in inner]

    def _pair(self, inner):
        if not isinstance(inner, list) or len(inner) != 2:
            raise TypeError("a pair is an array of two")
        return inner


def _big_int(value):
    if value.bit_length() > _MAX_INT_BITS:
        return {"k": "int", "r": f"<int of {value.bit_length()} bits>"}
    return {"k": "int", "r": str(value)}


def _float_text(value):
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return repr(value)


def _name(value):
    if not isinstance(value, str):
        raise TypeError("a name is a str")
    return value


def _count(value):
    if value is not None and (not isinstance(value, int) or isinstance(value, bool)):
        raise TypeError("a count is an int")
    return value


def _container(kind):
    return lambda converter, inner: {"k": kind, "items": converter._items(inner)}


def _subclass(converter, inner):
    name, value = converter._pair(inner)
    return {"k": "subclass", "type": _name(name), "value": converter.convert(value)}


def _standard(converter, inner):
    name, text = converter._pair(inner)
    return {"k": "standard", "type": _name(name), "r": _name(text)}


def _enum(converter, inner):
    name, member = converter._pair(inner)
    return {"k": "enum", "type": _name(name), "name": _name(member)}


def _exception(converter, inner):
    name, args = converter._pair(inner)
    return {"k": "exception", "type": _name(name), "args": converter._items(args)}


def _reference(converter, inner):
    what, name = converter._pair(inner)
    return {"k": "ref", "what": _name(what), "name": _name(name)}


def _object(converter, inner):
    if not isinstance(inner, list) or len(inner) != 3 or not isinstance(inner[2], dict):
        raise TypeError("an object is [type, id, attributes]")
    name, identity, attributes = inner
    pairs = [[converter.convert(key), converter.convert(value)] for key, value in attributes.items()]
    return {"k": "object", "type": _name(name), "id": _count(identity), "attrs": pairs}


def _cycle(converter, inner):
    if not isinstance(inner, list) or len(inner) != 1:
        raise TypeError("a cycle is [type]")
    return {"k": "cycle", "type": _name(inner[0])}


def _more(converter, inner):
    return {"k": "more", "n": _count(inner)}


def _elided(converter, inner):
    name, size = converter._pair(inner)
    return {"k": "elided", "type": _name(name), "size": _count(size)}


def _user_repr(converter, inner):
    name, text = converter._pair(inner)
    return {"k": "repr", "type": _name(name), "r": _name(text)}


def _redacted(converter, inner):
    return {"k": "redacted"}


def _cut_str(converter, inner):
    head, omitted = converter._pair(inner)
    return {"k": "cutstr", "head": _name(head), "omitted": _count(omitted)}


def _cut_bytes(converter, inner):
    head, omitted = converter._pair(inner)
    if not isinstance(head, bytes):
        raise TypeError("a cut bytes value holds bytes")
    return {"k": "cutbytes", "r": repr(head), "omitted": _count(omitted)}


_EXTENSIONS = {
    **{code: _container(kind) for code, kind in _STANDARD_KINDS.items()},
    5: _subclass,
    6: _standard,
    7: _enum,
    8: _exception,
    9: _reference,
    10: _object,
    11: _cycle,
    12: _more,
    13: _elided,
    14: _user_repr,
    15: _redacted,
    16: _cut_str,
    17: _cut_bytes,
}

"""Decoding recorded values into Python objects that keep their kind.

Plain MessagePack decodes to None, bool, int, float, str, bytes, list and
dict; every extension kind of the value model decodes to a small frozen
class below (a big int to an int). The classes compare and hash by content,
so they can be keys of a decoded map. Values of model 1 hold no extension
kinds and decode as they are. An extension value this decoder does not know,
or whose data is malformed, stays a ``msgpack.ExtType``.
"""

import msgpack

from vopo.values import encode as codes


class Kind:
    """Base of the decoded kinds: immutable, equal and hashable by content."""

    __slots__ = ()
    _fields = ()

    def __init__(self, *values):
        for name, value in zip(self._fields, values):
            object.__setattr__(self, name, value)

    def __setattr__(self, name, value):
        raise AttributeError(f"{type(self).__name__} is immutable")

    def _values(self):
        return tuple(getattr(self, name) for name in self._fields)

    def __eq__(self, other):
        return type(other) is type(self) and self._values() == other._values()

    def __hash__(self):
        return hash((type(self).__name__, _frozen(self._values())))

    def __repr__(self):
        values = ", ".join(repr(value) for value in self._values())
        return f"{type(self).__name__}({values})"


def _frozen(value):
    """A hashable stand-in for a decoded value (lists and dicts included)."""
    if isinstance(value, list):
        return ("list", tuple(_frozen(item) for item in value))
    if isinstance(value, dict):
        return ("dict", tuple((_frozen(key), _frozen(item)) for key, item in value.items()))
    if isinstance(value, tuple):
        return tuple(_frozen(item) for item in value)
    return value


def _kind(name, fields, doc):
    return type(name, (Kind,), {"__slots__": fields, "_fields": fields, "__doc__": doc})


Tuple = _kind("Tuple", ("items",), "A tuple; ``items`` is a list.")
Set = _kind("Set", ("items",), "A set; ``items`` is a list in recorded order.")
FrozenSet = _kind("FrozenSet", ("items",), "A frozenset; ``items`` is a list in recorded order.")
Subclass = _kind("Subclass", ("type_name", "value"), "An instance of a builtin's subclass and its builtin value.")
StandardValue = _kind("StandardValue", ("type_name", "text"), "A standard library value and its repr.")
EnumMember = _kind("EnumMember", ("type_name", "name"), "A member of an enum.")
ExceptionValue = _kind("ExceptionValue", ("type_name", "args"), "An exception; ``args`` is a list.")
Reference = _kind("Reference", ("what", "name"), "A function, class, module, builtin or method, by name.")
ObjectValue = _kind(
    "ObjectValue", ("type_name", "id", "attributes"), "Any other object: its type, id and attributes (a dict)."
)
Cycle = _kind("Cycle", ("type_name",), "A container met again inside itself.")
More = _kind("More", ("count",), "How many items of the enclosing container were left out.")
Elided = _kind("Elided", ("type_name", "size"), "A container nested too deep; size is None when unknown.")
UserRepr = _kind("UserRepr", ("type_name", "text"), "The text of the object's own __repr__.")
Redacted = _kind("Redacted", (), "The value of a secret-looking name, not recorded.")
CutStr = _kind("CutStr", ("head", "omitted"), "The first characters of a longer str.")
CutBytes = _kind("CutBytes", ("head", "omitted"), "The first bytes of a longer bytes.")


def decode(data):
    """The Python form of one encoded value (``bytes``)."""
    return msgpack.unpackb(data, raw=False, strict_map_key=False, ext_hook=ext_hook)


def ext_hook(code, data):
    """The decoded kind of one extension value; usable as the ``ext_hook``
    of ``msgpack.unpackb`` for whole trace documents."""
    try:
        if code == codes.BIG_INT:
            return int.from_bytes(data, "big", signed=True)
        build = _BUILDERS.get(code)
        if build is not None:
            return build(decode(data))
    except Exception:
        pass
    return msgpack.ExtType(code, data)


def _pair(kind, first_type, second_type):
    def build(value):
        first, second = value
        if not isinstance(first, first_type) or not isinstance(second, second_type):
            raise ValueError("malformed")
        return kind(first, second)

    return build


def _items(kind):
    def build(value):
        if not isinstance(value, list):
            raise ValueError("malformed")
        return kind(value)

    return build


def _object(value):
    name, number, attributes = value
    if not isinstance(name, str) or not isinstance(attributes, dict):
        raise ValueError("malformed")
    return ObjectValue(name, number, attributes)


def _cycle(value):
    (name,) = value
    return Cycle(name)


def _more(value):
    if not isinstance(value, int):
        raise ValueError("malformed")
    return More(value)


def _redacted(value):
    return Redacted()


_BUILDERS = {
    codes.TUPLE: _items(Tuple),
    codes.SET: _items(Set),
    codes.FROZENSET: _items(FrozenSet),
    codes.SUBCLASS: _pair(Subclass, str, object),
    codes.STANDARD: _pair(StandardValue, str, (str, CutStr)),
    codes.ENUM_MEMBER: _pair(EnumMember, str, str),
    codes.EXCEPTION: _pair(ExceptionValue, str, list),
    codes.REFERENCE: _pair(Reference, str, str),
    codes.OBJECT: _object,
    codes.CYCLE: _cycle,
    codes.MORE: _more,
    codes.ELIDED: _pair(Elided, str, (int, type(None))),
    codes.USER_REPR: _pair(UserRepr, str, (str, CutStr)),
    codes.REDACTED: _redacted,
    codes.CUT_STR: _pair(CutStr, str, int),
    codes.CUT_BYTES: _pair(CutBytes, bytes, int),
}

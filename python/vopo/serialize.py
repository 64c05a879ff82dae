"""MessagePack encoding of arbitrary Python values for frame records.

The profiler calls these functions with the argument and the locals of every
recorded call and return, so they are cheap on ordinary values and never
raise, whatever an object does in its __repr__, __len__, __eq__ or __hash__.
Each call returns the bytes of exactly one MessagePack value.

A value is first converted into a tree of plain values (None, bool, int in
the 64-bit range, float, str, bytes, list, dict), bounded in depth and size,
and the tree is packed in one go. Anything that is not plain or a container
becomes a readable text, usually its repr.
"""

import collections
import datetime
import itertools
import threading
import types

import msgpack

_INT_MIN = -(1 << 63)
_INT_MAX = (1 << 64) - 1
# str() of an int is quadratic and refused past the interpreter's digit limit.
_MAX_INT_TEXT_BITS = 8192
_SEQUENCE_BASES = (list, tuple, set, frozenset, collections.deque)
# Types whose repr is computed in C without calling back into user code;
# identities, so that no metaclass __hash__ or __eq__ runs on lookup.
_CHEAP_REPR_TYPES = frozenset(
    id(kind)
    for kind in (
        type,
        types.FunctionType,
        types.BuiltinFunctionType,
        types.ModuleType,
        types.CodeType,
        range,
        slice,
        complex,
        type(Ellipsis),
        type(NotImplemented),
        datetime.date,
        datetime.datetime,
        datetime.time,
        datetime.timedelta,
        datetime.timezone,
    )
)
_SCALAR_BASES = (int, float, str, bytes)
_PLAIN_TYPES = frozenset(id(kind) for kind in (str, int, float, bool, type(None), bytes))


class _Limits:
    """How much of a value one call may encode."""

    __slots__ = ("depth", "items", "nodes", "chars", "bytes", "repr_chars", "user_reprs")

    def __init__(self, *, depth, items, nodes, chars, bytes, repr_chars, user_reprs):
        self.depth = depth  # containers nested deeper become a summary text
        self.items = items  # items kept per container
        self.nodes = nodes  # container items kept per call, all containers together
        self.chars = chars  # characters kept per string
        self.bytes = bytes  # bytes kept per bytes value
        self.repr_chars = repr_chars  # characters kept per repr
        self.user_reprs = user_reprs  # whether __repr__ written in Python may run


_FULL = _Limits(depth=8, items=256, nodes=4096, chars=4096, bytes=4096, repr_chars=1024, user_reprs=True)
_LIGHTWEIGHT = _Limits(depth=2, items=32, nodes=256, chars=256, bytes=64, repr_chars=128, user_reprs=False)


def dump_msgpack(value):
    """Encode ``value`` with reprs for non-plain objects and generous limits."""
    return _encode(value, _FULL)


def dump_msgpack_lightweight_repr(value):
    """Encode ``value`` cheaply: shallow, small limits, and no user __repr__.

    Objects without a known cheap repr are shown as their type and address,
    as ``object.__repr__`` writes them.
    """
    return _encode(value, _LIGHTWEIGHT)


def _encode(value, limits):
    try:
        tree = _Walk(limits).value(value, 0)
        try:
            return _pack(tree)
        except UnicodeEncodeError:
            return _pack(_without_surrogates(tree))
    except KeyboardInterrupt:
        raise
    except BaseException:
        # Near the recursion limit even the fallback's own calls can fail.
        try:
            return _unserializable(value)
        except BaseException:
            return _UNSERIALIZABLE


_packers = threading.local()


def _pack(tree):
    # One packer per thread: packing a tree of plain values runs no Python
    # code, but a shared packer would still be unsafe without the GIL.
    packer = getattr(_packers, "packer", None)
    if packer is None:
        packer = _packers.packer = msgpack.Packer(use_bin_type=True)
    return packer.pack(tree)


_UNSERIALIZABLE = msgpack.packb("<unserializable value>")


def _unserializable(value):
    try:
        return _pack(f"<unserializable {_type_name(type(value))}>")
    except Exception:
        return _UNSERIALIZABLE


class _Walk:
    """Converts one value into a plain tree within the limits of one call."""

    __slots__ = ("limits", "budget", "path")

    def __init__(self, limits):
        self.limits = limits
        self.budget = limits.nodes
        self.path = set()  # ids of the containers being converted, to stop cycles

    def value(self, obj, depth):
        kind = type(obj)
        if kind is str:
            return obj if len(obj) <= self.limits.chars else _long_text(obj, self.limits.chars)
        if kind is int:
            return obj if _INT_MIN <= obj <= _INT_MAX else _big_int(obj, self.limits)
        if kind is float or kind is bool or obj is None:
            return obj
        if kind is dict:
            return self.mapping(obj, depth)
        if kind is list or kind is tuple:
            return self.sequence(obj, kind, depth)
        if kind is bytes:
            return obj if len(obj) <= self.limits.bytes else _long_bytes(obj, self.limits.bytes)
        return self.other(obj, kind, depth)

    def other(self, obj, kind, depth):
        if issubclass(kind, dict):
            return self.mapping(obj, depth)
        for base in _SEQUENCE_BASES:
            if issubclass(kind, base):
                return self.sequence(obj, base, depth)
        if kind is bytearray:
            size = len(obj)
            if size <= self.limits.bytes:
                return bytes(obj)
            return _long_bytes(bytes(obj[: self.limits.bytes]), self.limits.bytes, size)
        return _repr(obj, kind, self.limits)

    def key(self, obj):
        """A map key: plain hashable keys stay, anything else becomes its text."""
        kind = type(obj)
        if kind is str:
            return obj if len(obj) <= self.limits.chars else _long_text(obj, self.limits.chars)
        if kind is int:
            return obj if _INT_MIN <= obj <= _INT_MAX else _big_int(obj, self.limits)
        if kind is float or kind is bool or obj is None:
            return obj
        if kind is bytes:
            return obj if len(obj) <= self.limits.bytes else _long_bytes(obj, self.limits.bytes)
        return _repr(obj, kind, self.limits)

    def enter(self, obj, size, depth):
        """How many items of a container to keep, or None to summarise it."""
        if depth >= self.limits.depth or id(obj) in self.path or (size and self.budget <= 0):
            return None
        take = min(size, self.limits.items, self.budget)
        self.budget -= take
        self.path.add(id(obj))
        return take

    def mapping(self, obj, depth):
        # dict's own methods, so that overrides in a subclass never run.
        size = dict.__len__(obj)
        take = self.enter(obj, size, depth)
        if take is None:
            return _summary(obj, size, self.path)
        pairs = list(itertools.islice(dict.items(obj), take))
        out = {}
        for key, item in pairs:
            key = self.key(key)
            if key in out:
                key = _unique_key(out, key)
            out[key] = self.value(item, depth + 1)
        if take < size:
            out[_unique_key(out, "...")] = f"<{size - take} more items>"
        self.path.discard(id(obj))
        return out

    def sequence(self, obj, base, depth):
        size = base.__len__(obj)
        take = self.enter(obj, size, depth)
        if take is None:
            return _summary(obj, size, self.path)
        items = list(itertools.islice(base.__iter__(obj), take))
        value = self.value
        depth += 1
        out = [value(item, depth) for item in items]
        if take < size:
            out.append(f"... <{size - take} more items>")
        self.path.discard(id(obj))
        return out


def _summary(obj, size, path):
    name = _type_name(type(obj))
    if id(obj) in path:
        return f"<recursive {name}>"
    return f"<{name} len={size}>"


def _long_text(text, limit):
    return f"{text[:limit]}... <{len(text) - limit} more characters>"


def _long_bytes(data, limit, size=None):
    size = len(data) if size is None else size
    return f"{data[:limit]!r}... <{size - limit} more bytes>"


def _big_int(number, limits):
    bits = number.bit_length()
    if bits > _MAX_INT_TEXT_BITS:
        return f"<int of {bits} bits>"
    text = str(number)
    return text if len(text) <= limits.chars else _long_text(text, limits.chars)


def _repr(obj, kind, limits):
    try:
        if limits.user_reprs or id(kind) in _CHEAP_REPR_TYPES:
            text = repr(obj)
        else:
            text = _lightweight_repr(obj, kind)
        if type(text) is not str:
            text = str.__str__(text)
        if len(text) > limits.repr_chars:
            text = _long_text(text, limits.repr_chars)
        return text
    except KeyboardInterrupt:
        raise
    except BaseException as error:
        return f"<{_type_name(kind)} object (repr raised {type(error).__name__})>"


def _lightweight_repr(obj, kind):
    # A tuple of plain values (a common dict key) has a repr that runs no user code.
    if kind is tuple and all(id(type(item)) in _PLAIN_TYPES for item in obj):
        return repr(obj)
    # Subclasses of int, float, str and bytes (enums, numpy floats, markup
    # strings) show their value through the base type's own repr.
    for base in _SCALAR_BASES:
        if issubclass(kind, base):
            return f"{_type_name(kind)}({base.__repr__(obj)})"
    return object.__repr__(obj)


def _type_name(kind):
    try:
        module = kind.__module__
        qualname = kind.__qualname__
    except Exception:
        return "object"
    if type(qualname) is not str:
        return "object"
    if type(module) is str and module != "builtins":
        return f"{module}.{qualname}"
    return qualname


def _unique_key(out, key):
    if key not in out:
        return key
    number = 2
    while f"{key} #{number}" in out:
        number += 1
    return f"{key} #{number}"


def _without_surrogates(node):
    """The tree with lone surrogates written as backslash escapes, so that
    every string is valid UTF-8."""
    kind = type(node)
    if kind is str:
        return node.encode("utf-8", "backslashreplace").decode("utf-8")
    if kind is list:
        return [_without_surrogates(item) for item in node]
    if kind is dict:
        out = {}
        for key, item in node.items():
            key = _without_surrogates(key)
            if key in out:
                key = _unique_key(out, key)
            out[key] = _without_surrogates(item)
        return out
    return node

"""The reference encoder of the value model (docs/values.md), in pure Python.

It produces the same bytes as the native encoder of ``vopo._values`` and is
the executable statement of the model they are tested against. It runs none
of the encoded program's code: every read goes through the builtin types'
own unbound methods and descriptors, so no ``__repr__``, ``__eq__``,
``__hash__``, ``__len__``, ``__iter__``, ``__getattr__``, property or
metaclass method is ever looked up on the value. Only the standard value
types' own reprs run, and a program's ``__repr__`` when the user opted in.
"""

import itertools
import re
import sys
import threading
import types

import msgpack

VALUE_MODEL_VERSION = 2
DEFAULT_REDACT = (
    "password",
    "passwd",
    "secret",
    "token",
    "api_key",
    "apikey",
    "authorization",
    "cookie",
    "private_key",
    "credentials",
)

BIG_INT = 1
TUPLE = 2
SET = 3
FROZENSET = 4
SUBCLASS = 5
STANDARD = 6
ENUM_MEMBER = 7
EXCEPTION = 8
REFERENCE = 9
OBJECT = 10
CYCLE = 11
MORE = 12
ELIDED = 13
USER_REPR = 14
REDACTED = 15
CUT_STR = 16
CUT_BYTES = 17

_INT_MIN = -(1 << 63)
_INT_MAX = (1 << 64) - 1
_SURROGATE = re.compile("[\ud800-\udfff]")
_ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")

# Unbound readers of builtin fields; none of them dispatches on the value.
_type_mro = type.__dict__["__mro__"].__get__
_type_dict = type.__dict__["__dict__"].__get__
_type_module = type.__dict__["__module__"].__get__
_type_qualname = type.__dict__["__qualname__"].__get__
_type_dict_offset = type.__dict__["__dictoffset__"].__get__
_exception_args = BaseException.__dict__["args"].__get__
_module_dict = types.ModuleType.__dict__["__dict__"].__get__
_function_module = types.FunctionType.__dict__["__module__"].__get__
_function_qualname = types.FunctionType.__dict__["__qualname__"].__get__
_builtin_module = types.BuiltinFunctionType.__dict__["__module__"].__get__
_builtin_name = types.BuiltinFunctionType.__dict__["__name__"].__get__
_builtin_self = types.BuiltinFunctionType.__dict__["__self__"].__get__
_method_function = types.MethodType.__dict__["__func__"].__get__
_slice_parts = tuple(slice.__dict__[name].__get__ for name in ("start", "stop", "step"))
_MEMBER = types.MemberDescriptorType
_GETSET = types.GetSetDescriptorType

_NONE_TYPE = type(None)
# Keyed by id: hashing or comparing a type could run its metaclass's code.
_REFERENCE_KINDS = {
    id(types.FunctionType): "function",
    id(types.BuiltinFunctionType): "builtin",
    id(types.MethodType): "method",
}
# Builtins whose subclasses are encoded by their builtin value, in the order
# they are looked for along the subclass's __mro__.
_SUBCLASS_BASES = (int, float, str, bytes, list, tuple, dict, set, frozenset)
_CONTAINER_BASES = (list, tuple, dict, set, frozenset)
_STANDARD_TYPES = (
    ("decimal", "Decimal"),
    ("fractions", "Fraction"),
    ("datetime", "datetime"),
    ("datetime", "date"),
    ("datetime", "time"),
    ("datetime", "timedelta"),
    ("datetime", "timezone"),
    ("uuid", "UUID"),
    ("pathlib", "PurePosixPath"),
    ("pathlib", "PureWindowsPath"),
    ("pathlib", "PosixPath"),
    ("pathlib", "WindowsPath"),
    ("re", "Pattern"),
)


class Limits:
    """How much of one value an encoding keeps."""

    __slots__ = ("depth", "items", "total", "chars", "bytes", "repr_chars", "user_repr")

    def __init__(self, *, depth, items, total, chars, bytes, repr_chars, user_repr):
        self.depth = depth
        self.items = items
        self.total = total
        self.chars = chars
        self.bytes = bytes
        self.repr_chars = repr_chars
        self.user_repr = user_repr


FULL = Limits(depth=6, items=64, total=1000, chars=512, bytes=256, repr_chars=512, user_repr=True)
LIGHTWEIGHT = Limits(depth=2, items=16, total=64, chars=128, bytes=32, repr_chars=0, user_repr=False)


class _Options:
    """Process-wide options, replaced as a whole so readers see one state."""

    __slots__ = ("redact", "user_repr")

    def __init__(self, redact, user_repr):
        self.redact = redact
        self.user_repr = user_repr


_options = _Options(frozenset(DEFAULT_REDACT), False)
_configure_lock = threading.Lock()


def configure(*, redact=None, user_repr=False):
    """Set the redaction list (None: the default one; empty: off) and
    whether a program's own ``__repr__`` may be called."""
    global _options
    names = _redaction_names(DEFAULT_REDACT if redact is None else redact)
    if type(user_repr) is not bool:
        raise TypeError(f"user_repr must be a bool, not {type(user_repr).__name__}")
    with _configure_lock:
        _options = _Options(names, user_repr)


def _redaction_names(redact):
    if type(redact) not in (list, tuple):
        raise TypeError(f"redact must be None or a list of str, not {type(redact).__name__}")
    names = []
    for name in redact:
        if type(name) is not str:
            raise TypeError(f"redact entries must be str, not {type(name).__name__}")
        if not name:
            raise ValueError("redact entries must not be empty")
        names.append(name.translate(_ASCII_LOWER))
    return frozenset(names)


def dump_msgpack(value):
    """One MessagePack value for ``value`` with the full limits."""
    return _encode(value, FULL)


def dump_msgpack_lightweight_repr(value):
    """One MessagePack value for ``value``: shallow, small limits, no user repr."""
    return _encode(value, LIGHTWEIGHT)


def _encode(value, limits):
    options = _options
    try:
        return _Encoder(limits, options).value(value, 0)
    except Exception:
        return _failed(value)


def _failed(value):
    try:
        return _ext(ELIDED, _pack_array(2) + _pack_str(type_name(type(value))) + b"\xc0")
    except Exception:
        return _UNKNOWN_FAILURE


class _Encoder:
    """Encodes one value; holds what is left of its item budget and the
    containers on the path to the current value."""

    __slots__ = ("limits", "redact", "user_repr", "left", "path", "imported_types")

    def __init__(self, limits, options):
        self.limits = limits
        self.redact = options.redact
        self.user_repr = limits.user_repr and options.user_repr
        self.left = limits.total
        self.path = set()
        self.imported_types = None

    def value(self, obj, depth):
        kind = type(obj)
        if kind is str:
            return self.text(obj)
        if kind is int:
            return _pack_int(obj)
        if kind is float or kind is bool or kind is _NONE_TYPE:
            return _pack(obj)
        if kind is dict:
            return self.container(obj, dict, depth, self.mapping)
        if kind is list:
            return self.container(obj, list, depth, self.array)
        if kind is tuple:
            return self.container(obj, tuple, depth, self.tagged_array(TUPLE))
        if kind is bytes:
            return self.data(obj)
        if kind is set:
            return self.container(obj, set, depth, self.tagged_array(SET))
        if kind is frozenset:
            return self.container(obj, frozenset, depth, self.tagged_array(FROZENSET))
        return self.other(obj, kind, depth)

    def other(self, obj, kind, depth):
        mro = _type_mro(kind)
        what = self.reference_kind(kind, mro)
        if what is not None:
            return _ext(REFERENCE, _pack_array(2) + _pack_str(what) + _pack_str(reference_name(obj, what)))
        name = type_name(kind)
        if _has(mro, BaseException):
            return self.exception(obj, name, depth)
        member = self.enum_member_name(obj, kind, mro)
        if member is not None:
            return _ext(ENUM_MEMBER, _pack_array(2) + _pack_str(name) + _pack_str(member))
        standard = self.standard_form(obj, kind)
        if standard is _WRITTEN_AS_TEXT:
            return _ext(STANDARD, _pack_array(2) + _pack_str(name) + self.text(repr(obj)))
        if standard is _WRITTEN_AS_OBJECT:
            return self.object(obj, kind, mro, name, depth)
        for base in mro:
            if _has(_SUBCLASS_BASES, base):
                return self.subclass(obj, base, name, depth)
        if self.user_repr:
            text = _user_repr(obj)
            if text is not None:
                return _ext(USER_REPR, _pack_array(2) + _pack_str(name) + self.text(text, self.limits.repr_chars))
        return self.object(obj, kind, mro, name, depth)

    @staticmethod
    def reference_kind(kind, mro):
        what = _REFERENCE_KINDS.get(id(kind))
        if what is not None:
            return what
        if _has(mro, type):
            return "class"
        if _has(mro, types.ModuleType):
            return "module"
        return None

    # Scalars

    def text(self, text, limit=None):
        limit = self.limits.chars if limit is None else limit
        size = len(text)
        if size <= limit:
            return _pack_str(text)
        return _ext(CUT_STR, _pack_array(2) + _pack_str(text[:limit]) + _pack_int(size - limit))

    def data(self, data):
        size = len(data)
        limit = self.limits.bytes
        if size <= limit:
            return _pack(data)
        return _ext(CUT_BYTES, _pack_array(2) + _pack(data[:limit]) + _pack_int(size - limit))

    # Containers

    def container(self, obj, base, depth, write, name=None):
        """``obj`` through ``write(obj, base, take, depth)``, or its cycle or
        elided form; ``name`` is its type name when it is not ``base``."""
        if id(obj) in self.path:
            return _ext(CYCLE, _pack_array(1) + _pack_str(name or type_name(base)))
        size = base.__len__(obj)
        if depth >= self.limits.depth:
            return _elided(name or type_name(base), size)
        take = self.take(size)
        self.path.add(id(obj))
        try:
            return write(obj, base, take, depth)
        finally:
            self.path.discard(id(obj))

    def take(self, size):
        take = min(size, self.limits.items, self.left)
        self.left -= take
        return take

    def array(self, obj, base, take, depth):
        return self.items(itertools.islice(base.__iter__(obj), take), take, base.__len__(obj), depth)

    def tagged_array(self, code):
        def write(obj, base, take, depth):
            return _ext(code, self.array(obj, base, take, depth))

        return write

    def items(self, items, take, size, depth):
        more = take < size
        parts = [_pack_array(take + more)]
        for item in items:
            parts.append(self.value(item, depth + 1))
        if more:
            parts.append(_more(size - take))
        return b"".join(parts)

    def mapping(self, obj, base, take, depth):
        size = dict.__len__(obj)
        return self.entries(itertools.islice(dict.items(obj), take), take, size, depth, self.value)

    def entries(self, pairs, take, size, depth, write_key):
        more = take < size
        parts = [_pack_map(take + more)]
        for key, item in pairs:
            parts.append(write_key(key, depth + 1))
            if type(key) is str and self.is_secret(key):
                parts.append(_REDACTED)
            else:
                parts.append(self.value(item, depth + 1))
        if more:
            parts.append(_more(size - take) + b"\xc0")
        return b"".join(parts)

    def is_secret(self, name):
        redact = self.redact
        if not redact:
            return False
        name = name.translate(_ASCII_LOWER)
        if name in redact:
            return True
        cut = name.find("_")
        while cut != -1:
            if name[cut + 1 :] in redact:
                return True
            cut = name.find("_", cut + 1)
        return False

    def subclass(self, obj, base, name, depth):
        if _has(_CONTAINER_BASES, base):
            write = self.builtin_writer(base)

            def wrapped(obj, base, take, depth):
                return _ext(SUBCLASS, _pack_array(2) + _pack_str(name) + write(obj, base, take, depth))

            return self.container(obj, base, depth, wrapped, name)
        if base is int:
            inner = _pack_int(int.__index__(obj))
        elif base is float:
            inner = _pack(float.__float__(obj))
        elif base is str:
            inner = self.text(str.__str__(obj))
        else:
            inner = self.data(bytes.__getitem__(obj, slice(None)))
        return _ext(SUBCLASS, _pack_array(2) + _pack_str(name) + inner)

    def builtin_writer(self, base):
        if base is dict:
            return self.mapping
        if base is list:
            return self.array
        return self.tagged_array(TUPLE if base is tuple else SET if base is set else FROZENSET)

    def exception(self, obj, name, depth):
        args = _exception_args(obj)
        if id(obj) in self.path:
            return _ext(CYCLE, _pack_array(1) + _pack_str(name))
        size = tuple.__len__(args)
        if depth >= self.limits.depth:
            return _elided(name, size)
        take = self.take(size)
        self.path.add(id(obj))
        try:
            body = self.items(itertools.islice(tuple.__iter__(args), take), take, size, depth)
        finally:
            self.path.discard(id(obj))
        return _ext(EXCEPTION, _pack_array(2) + _pack_str(name) + body)

    def object(self, obj, kind, mro, name, depth):
        if id(obj) in self.path:
            return _ext(CYCLE, _pack_array(1) + _pack_str(name))
        if depth >= self.limits.depth:
            return _elided(name, None)
        attributes = object_attributes(obj, mro)
        take = self.take(len(attributes))
        self.path.add(id(obj))
        try:
            body = self.entries(attributes[:take], take, len(attributes), depth, self.attribute_name)
        finally:
            self.path.discard(id(obj))
        return _ext(OBJECT, _pack_array(3) + _pack_str(name) + _pack_int(id(obj)) + body)

    def attribute_name(self, name, depth):
        return self.text(name)

    # Kinds found by type

    def enum_member_name(self, obj, kind, mro):
        if not _has(_type_mro(type(kind)), self.imported().enum_meta):
            return None
        instance_dict = _instance_dict(obj, mro)
        if instance_dict is None:
            return None
        name = _str_key_value(dict.items(instance_dict), "_name_")
        return name if type(name) is str else None

    def standard_form(self, obj, kind):
        """How a value of a standard type is written: by its text, or, when
        its repr could run program code, as an object (never a user repr);
        None for other types."""
        if kind is complex or kind is range:
            return _WRITTEN_AS_TEXT
        if kind is slice:
            return _text_if(all(_is_none_or_int(part(obj)) for part in _slice_parts))
        imported = self.imported()
        if not _has(imported.standard, kind):
            return None
        if kind is imported.datetime or kind is imported.time:
            tzinfo = _type_dict(kind)["tzinfo"].__get__(obj)
            return _text_if(tzinfo is None or type(tzinfo) is imported.timezone)
        return _WRITTEN_AS_TEXT

    def imported(self):
        if self.imported_types is None:
            self.imported_types = _Imported()
        return self.imported_types


_WRITTEN_AS_TEXT = "text"
_WRITTEN_AS_OBJECT = "object"


def _text_if(condition):
    return _WRITTEN_AS_TEXT if condition else _WRITTEN_AS_OBJECT


def _is_none_or_int(value):
    return value is None or type(value) is int


def _has(items, wanted):
    # Identity only: `in` would call a metaclass's __eq__.
    for item in items:
        if item is wanted:
            return True
    return False


class _Imported:
    """The standard value types of the modules the program imported; the
    encoder imports nothing itself."""

    __slots__ = ("standard", "datetime", "time", "timezone", "enum_meta")

    def __init__(self):
        self.standard = tuple(
            kind for kind in (_module_attribute(module, name) for module, name in _STANDARD_TYPES) if kind is not None
        )
        self.datetime = _module_attribute("datetime", "datetime")
        self.time = _module_attribute("datetime", "time")
        self.timezone = _module_attribute("datetime", "timezone")
        self.enum_meta = _module_attribute("enum", "EnumMeta")


def _module_attribute(module_name, name):
    """``module_name.name`` when that module is imported, read from its dict."""
    module = dict.get(sys.modules, module_name) if type(sys.modules) is dict else None
    if type(module) is not types.ModuleType:
        return None
    found = _str_key_value(dict.items(_module_dict(module)), name)
    # Fraction's metaclass is ABCMeta: any class will do.
    return found if _has(_type_mro(type(found)), type) else None


def _str_key_value(items, name):
    """The value under the str key ``name`` among (key, value) ``items``."""
    # Compared only with exact str keys, so that no key's __eq__ runs.
    for key, value in items:
        if type(key) is str and str.__eq__(key, name):
            return value
    return None


def _instance_dict(obj, mro):
    """The object's own dict, when its type gives its instances one."""
    if not _type_dict_offset(mro[0]):
        return None
    for cls in mro:
        descriptor = _str_key_value(_own_items(cls), "__dict__")
        if type(descriptor) is _GETSET:
            try:
                found = descriptor.__get__(obj)
            except (AttributeError, TypeError):
                return None
            return found if type(found) is dict else None
    return _shadowed_instance_dict(obj)


def _shadowed_instance_dict(obj):
    # A class that redefines __dict__ (say as a property) hides the standard
    # descriptor; the interpreter's generic getter still reads the real dict.
    import ctypes

    generic_get_dict = ctypes.pythonapi.PyObject_GenericGetDict
    generic_get_dict.argtypes = (ctypes.py_object, ctypes.c_void_p)
    generic_get_dict.restype = ctypes.py_object
    try:
        found = generic_get_dict(obj, None)
    except AttributeError:
        return None
    return found if type(found) is dict else None


def _own_items(cls):
    """The (key, value) pairs of a class's own dict."""
    # A class's mappingproxy wraps its real dict, whose items() is dict's own.
    return types.MappingProxyType.items(_type_dict(cls))


def object_attributes(obj, mro):
    """(name, value) of an object's instance dict entries, then of its
    filled slots."""
    attributes = []
    instance_dict = _instance_dict(obj, mro)
    if instance_dict is not None:
        attributes.extend((key, value) for key, value in dict.items(instance_dict) if type(key) is str)
    for cls in mro:
        for key, descriptor in _own_items(cls):
            if type(descriptor) is not _MEMBER or type(key) is not str:
                continue
            try:
                attributes.append((key, descriptor.__get__(obj)))
            except (AttributeError, TypeError):
                continue
    return attributes


def _user_repr(obj):
    try:
        return str.__str__(repr(obj))
    except Exception:
        return None


def type_name(kind):
    """``module.qualname`` of a type, read from the type object itself."""
    qualname = _type_qualname(kind)
    module = _type_module(kind)
    if type(module) is str:
        return f"{module}.{qualname}"
    return qualname


def reference_name(obj, what):
    if what == "class":
        return type_name(obj)
    if what == "function":
        return _joined(_function_module(obj), _function_qualname(obj))
    if what == "module":
        name = _str_key_value(dict.items(_module_dict(obj)), "__name__")
        return name if type(name) is str else "?"
    if what == "builtin":
        return _joined(_builtin_module(obj), _builtin_qualname(obj))
    function = _method_function(obj)
    if type(function) is types.FunctionType:
        return reference_name(function, "function")
    return type_name(type(function))


def _builtin_qualname(obj):
    name = _builtin_name(obj)
    owner = _builtin_self(obj)
    if owner is None or _has(_type_mro(type(owner)), types.ModuleType):
        return name
    owner_type = owner if _has(_type_mro(type(owner)), type) else type(owner)
    return f"{_type_qualname(owner_type)}.{name}"


def _joined(module, qualname):
    if type(qualname) is not str:
        qualname = "?"
    return f"{module}.{qualname}" if type(module) is str else qualname


# Writing


def _pack(value):
    return msgpack.packb(value, use_bin_type=True)


def _pack_int(number):
    if _INT_MIN <= number <= _INT_MAX:
        return msgpack.packb(number)
    width = (number.bit_length() if number >= 0 else (~number).bit_length()) // 8 + 1
    return _ext(BIG_INT, number.to_bytes(width, "big", signed=True))


def _pack_str(text):
    try:
        return msgpack.packb(text)
    except UnicodeEncodeError:
        return msgpack.packb(_SURROGATE.sub("\ufffd", text))


def _pack_array(size):
    return msgpack.Packer().pack_array_header(size)


def _pack_map(size):
    return msgpack.Packer().pack_map_header(size)


def _ext(code, data):
    return msgpack.packb(msgpack.ExtType(code, data))


def _more(count):
    return _ext(MORE, _pack_int(count))


def _elided(name, size):
    return _ext(ELIDED, _pack_array(2) + _pack_str(name) + (b"\xc0" if size is None else _pack_int(size)))


_REDACTED = msgpack.packb(msgpack.ExtType(REDACTED, b"\xc0"))
# What a failure to encode even the type name is written as: elided ["?", nil].
_UNKNOWN_FAILURE = _elided("?", None)

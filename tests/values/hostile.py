"""Objects that count every attempt to run their code, shared by the value
tests. ``CALLS`` must stay empty whatever the encoder does with them."""

import collections

CALLS = collections.Counter()


def counted(name, result=None):
    def method(*args, **kwargs):
        CALLS[name] += 1
        return result

    return method


class CountingMeta(type):
    __eq__ = counted("meta.__eq__", False)
    __hash__ = counted("meta.__hash__", 0)
    __repr__ = counted("meta.__repr__", "meta")
    __instancecheck__ = counted("meta.__instancecheck__", False)
    __subclasscheck__ = counted("meta.__subclasscheck__", False)

    def __getattribute__(cls, name):
        CALLS[f"meta.getattr {name}"] += 1
        return type.__getattribute__(cls, name)


class Hostile(metaclass=CountingMeta):
    """Every dunder and attribute read counts; its data is in its __dict__."""

    def __init__(self):
        object.__setattr__(self, "items", [1, 2, 3])
        object.__setattr__(self, "name", "hostile")

    for _name in ("__repr__", "__str__", "__format__", "__len__", "__iter__", "__bool__", "__index__",
                  "__float__", "__int__", "__sizeof__", "__reduce__", "__reduce_ex__", "__dir__",
                  "__getattr__", "__getstate__", "__copy__"):
        locals()[_name] = counted(_name, None)
    __eq__ = counted("__eq__", False)
    __hash__ = counted("__hash__", 0)
    __lt__ = counted("__lt__", False)

    def __getattribute__(self, name):
        CALLS[f"getattr {name}"] += 1
        return object.__getattribute__(self, name)

    @property
    def side_effect(self):
        CALLS["property"] += 1
        return 1


class HostileSlots(metaclass=CountingMeta):
    __slots__ = ("filled", "empty", "__private")
    __repr__ = counted("slots.__repr__", "x")

    def __init__(self):
        object.__setattr__(self, "filled", 1)
        object.__setattr__(self, "_HostileSlots__private", 2)


class FakeDict(metaclass=CountingMeta):
    """Its ``__dict__`` is a property: its real instance dict is read anyway."""

    def __init__(self):
        self.real = 1

    @property
    def __dict__(self):
        CALLS["__dict__ property"] += 1
        return {"fake": 1}


class HostileDict(dict):
    for _name in ("__repr__", "__len__", "__iter__", "items", "keys", "values", "__getitem__", "get"):
        locals()[_name] = counted(f"dict.{_name}", None)


class HostileList(list):
    for _name in ("__repr__", "__len__", "__iter__", "__getitem__"):
        locals()[_name] = counted(f"list.{_name}", None)


class HostileStr(str):
    for _name in ("__repr__", "__str__", "__len__", "__getitem__", "__iter__", "__eq__", "__hash__"):
        locals()[_name] = counted(f"str.{_name}", None)


class HostileError(Exception):
    for _name in ("__repr__", "__str__"):
        locals()[_name] = counted(f"error.{_name}", None)

    def __getattribute__(self, name):
        CALLS[f"error.getattr {name}"] += 1
        return object.__getattribute__(self, name)


def everything():
    """One of each hostile thing, in containers, as keys and as values."""
    hostile = Hostile()
    return {
        "hostile": hostile,
        "slots": HostileSlots(),
        "fake_dict": FakeDict(),
        "dict": HostileDict(a=hostile),
        "list": HostileList([hostile]),
        "str": HostileStr("text"),
        "error": HostileError(hostile),
        "class": Hostile,
        "nested": [(hostile,), {hostile}, frozenset([hostile])],
        hostile: "as a key",
    }

"""A seeded generator of values for the encoder tests: plain values, every
container and kind of the value model, nested, cyclic, huge and hostile
objects."""

import collections
import datetime
import decimal
import enum
import fractions
import pathlib
import random
import re
import sys
import uuid

import hostile


class Color(enum.Enum):
    RED = 1
    GREEN = "g"


class Level(enum.IntEnum):
    LOW = 1


Pair = collections.namedtuple("Pair", "left right")


class Text(str):
    pass


class Count(int):
    pass


class Ratio(float):
    pass


class Blob(bytes):
    pass


class Items(list):
    pass


class Frozen(frozenset):
    pass


class Plain:
    def method(self):
        pass


class Slots:
    __slots__ = ("a", "b", "__c")


class SlotsAndDict(Slots):
    pass


class ReprRaises:
    def __repr__(self):
        raise RuntimeError("no repr")


class ReprLoops:
    """Its repr would never return; it must never be called."""

    def __repr__(self):
        while True:
            pass


class GetattrRaises:
    def __getattr__(self, name):
        raise RuntimeError(name)

    def __getattribute__(self, name):
        raise RuntimeError(name)


class EqualMeta(type):
    def __eq__(cls, other):
        raise RuntimeError("meta eq")

    def __hash__(cls):
        raise RuntimeError("meta hash")


class WithEqualMeta(metaclass=EqualMeta):
    def __init__(self):
        self.x = 1


class Failure(Exception):
    pass


def a_function():
    pass


WORDS = ["", "a", "password", "db_password", "github_token", "tokenizer", "session", "é", "\ud800", "x" * 40,
         "$kind", "名前", "\x00", "API_KEY", "_", "__dict__"]
ALPHABET = [chr(code) for code in (*range(32, 127), 0xE9, 0x3B1, 0x4E2D, 0xD800, 0xDFFF, 0x1F600, 0x10FFFF, 0)]
STANDARD = [
    lambda r: decimal.Decimal(r.choice(["1.10", "-0", "NaN", "1E+3", "3.14159"])),
    lambda r: fractions.Fraction(r.randint(-50, 50), r.randint(1, 9)),
    lambda r: complex(r.random(), -r.random()),
    lambda r: datetime.datetime(2020, 1, r.randint(1, 28), r.randint(0, 23)),
    lambda r: datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone(datetime.timedelta(hours=r.randint(-5, 5)))),
    lambda r: datetime.date(2000 + r.randint(0, 50), 1, 1),
    lambda r: datetime.time(r.randint(0, 23), 30),
    lambda r: datetime.timedelta(seconds=r.randint(-1000, 1000)),
    lambda r: datetime.timezone.utc,
    lambda r: uuid.UUID(int=r.getrandbits(128)),
    lambda r: pathlib.PurePosixPath("/tmp", r.choice(WORDS[:8]) or "x"),
    lambda r: pathlib.Path("rel", "p"),
    lambda r: range(r.randint(0, 5), r.randint(5, 50), r.randint(1, 3)),
    lambda r: re.compile(r.choice(["a+", "(x|y)*", "\\d"])),
    lambda r: slice(r.randint(0, 3), None, r.choice([None, 2])),
    lambda r: slice(Plain(), "x"),
]
REFERENCES = [a_function, Plain, WithEqualMeta, sys, len, [].append, dict.fromkeys, Plain().method, Failure.__init__,
              random.Random().random, int, type, re.compile, Plain().__repr__]


class Generator:
    def __init__(self, seed, looping_reprs):
        self.random = random.Random(seed)
        self.left = 0
        self.objects = [Plain, Slots, SlotsAndDict, WithEqualMeta, ReprRaises, GetattrRaises]
        if looping_reprs:
            self.objects.append(ReprLoops)

    def value(self, depth=0):
        r = self.random
        self.left -= 1
        if depth > 7 or self.left <= 0 or r.random() < 0.45:
            return self.scalar()
        return r.choice(self.builders)(self, depth + 1)

    def top_value(self):
        # Bounds the items generated for one value, however it nests.
        self.left = 60
        return self.value()

    def scalar(self):
        r = self.random
        choice = r.randrange(12)
        if choice == 0:
            return r.choice([None, True, False])
        if choice == 1:
            return r.randint(-300, 300)
        if choice == 2:
            bits = r.choice([7, 8, 15, 16, 31, 32, 63, 64, 65, 100, 2000])
            return r.choice([1, -1]) * r.getrandbits(bits)
        if choice == 3:
            return r.choice([0.0, -0.0, 1.5, float("nan"), float("inf"), float("-inf"), 1e308, r.random()])
        if choice in (4, 5):
            return r.choice(WORDS)
        if choice == 6:
            return "".join(r.choices(ALPHABET, k=r.randint(0, 20)))
        if choice == 7:
            return bytes(r.getrandbits(8) for _ in range(r.randint(0, 40)))
        if choice == 8:
            return r.choice(STANDARD)(r)
        if choice == 9:
            return r.choice([Color.RED, Color.GREEN, Level.LOW])
        if choice == 10:
            return r.choice(REFERENCES)
        return r.choice([Text("<b>"), Count(7), Ratio(0.5), Blob(b"\x00\x01")])

    def hashable(self, depth):
        r = self.random
        choice = r.randrange(5)
        if choice == 0:
            return tuple(self.hashable(depth + 1) for _ in range(r.randint(0, 3))) if depth < 4 else 1
        if choice == 1:
            return frozenset(self.hashable(depth + 1) for _ in range(r.randint(0, 3))) if depth < 4 else 2
        if choice == 2:
            return r.choice([Plain(), Color.RED, a_function, ReprRaises(), None, 1.5])
        value = self.scalar()
        try:
            hash(value)
        except Exception:
            return "unhashable"
        return value

    def sized(self):
        r = self.random
        return r.choice([0, 1, 2, 3, 5, 15, 16, 17, 63, 64, 65, 70])

    def list_(self, depth):
        return [self.value(depth) for _ in range(self.sized())]

    def tuple_(self, depth):
        return tuple(self.value(depth) for _ in range(self.sized()))

    def set_(self, depth):
        return {self.hashable(depth) for _ in range(self.sized())}

    def frozenset_(self, depth):
        return frozenset(self.hashable(depth) for _ in range(self.sized()))

    def dict_(self, depth):
        r = self.random
        keys = [r.choice(WORDS) if r.random() < 0.6 else self.hashable(depth) for _ in range(self.sized())]
        return {key: self.value(depth) for key in keys}

    def subclass(self, depth):
        r = self.random
        items = self.list_(depth)
        return r.choice([
            lambda: collections.OrderedDict((str(i), v) for i, v in enumerate(items)),
            lambda: collections.defaultdict(list, {"k": items}),
            lambda: collections.Counter(r.choice(WORDS) for _ in items),
            lambda: Pair(items, self.value(depth)),
            lambda: Items(items),
            lambda: Frozen(self.hashable(depth) for _ in items),
        ])()

    def an_object(self, depth):
        r = self.random
        kind = r.choice(self.objects)
        value = kind()
        setter = object.__setattr__
        if kind is Slots or kind is SlotsAndDict:
            for name in ("a", "b", "_Slots__c"):
                if r.random() < 0.5:
                    setter(value, name, self.value(depth))
        if kind is not Slots:
            for _ in range(self.sized() // 4):
                setter(value, r.choice(WORDS[:10]) or "empty", self.value(depth))
        return value

    def exception(self, depth):
        r = self.random
        kind = r.choice([ValueError, KeyError, Failure, OSError, StopIteration])
        error = kind(*[self.value(depth) for _ in range(r.randint(0, 3))])
        if r.random() < 0.3:
            error.note = self.value(depth)
        return error

    def cyclic(self, depth):
        r = self.random
        choice = r.randrange(4)
        if choice == 0:
            items = self.list_(depth)
            items.append(items)
            return items
        if choice == 1:
            mapping = self.dict_(depth)
            mapping["self"] = [mapping]
            return mapping
        if choice == 2:
            value = Plain()
            value.me = (value, self.value(depth))
            return value
        error = Failure()
        error.args = (error,)
        return error

    def huge(self, depth):
        r = self.random
        choice = r.randrange(4)
        if choice == 0:
            return list(range(r.randint(1000, 10_000)))
        if choice == 1:
            return "y" * r.randint(500, 100_000)
        if choice == 2:
            return {i: str(i) for i in range(r.randint(100, 2000))}
        return [[list(range(70))] * 20] * 5

    def hostile_(self, depth):
        return hostile.everything()

    builders = [list_, list_, tuple_, set_, frozenset_, dict_, dict_, subclass, an_object, an_object, exception,
                cyclic, huge, hostile_]


def values(count, seed, looping_reprs=True):
    """``count`` values; without ``looping_reprs`` none holds an object whose
    repr never returns, so that they can be encoded with user reprs on."""
    generator = Generator(seed, looping_reprs)
    return [generator.top_value() for _ in range(count)]

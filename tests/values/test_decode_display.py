"""Every kind of the value model decodes to its own class, and is displayed
the way Python writes values, on one bounded line, and as kind-keeping JSON."""

import collections
import decimal
import enum
import json
import sys

import msgpack
import pytest

from vopo.serialize import render_locals, render_value
from vopo.values import decode as kinds
from vopo.values.decode import decode
from vopo.values.display import display, display_arguments, json_safe
from vopo.values.encode import configure, dump_msgpack, dump_msgpack_lightweight_repr

HERE = __name__


class Order:
    def __init__(self, sku, qty):
        self.sku = sku
        self.qty = qty


class Color(enum.Enum):
    RED = 1


class Shown:
    def __repr__(self):
        return "Shown!"


def total():
    pass


def cyclic():
    items = [1]
    items.append(items)
    return items


ORDER = Order("A1", 3)
ROUND_TRIP = [
    ((1, "a"), kinds.Tuple([1, "a"]), "(1, 'a')"),
    ((1,), kinds.Tuple([1]), "(1,)"),
    ({2}, kinds.Set([2]), "{2}"),
    (set(), kinds.Set([]), "set()"),
    (frozenset({3}), kinds.FrozenSet([3]), "frozenset({3})"),
    (10**30, 10**30, "1000000000000000000000000000000"),
    (collections.OrderedDict(a=1), kinds.Subclass("collections.OrderedDict", {"a": 1}),
     "collections.OrderedDict({'a': 1})"),
    (decimal.Decimal("1.10"), kinds.StandardValue("decimal.Decimal", "Decimal('1.10')"), "Decimal('1.10')"),
    (Color.RED, kinds.EnumMember(f"{HERE}.Color", "RED"), f"{HERE}.Color.RED"),
    (KeyError("x"), kinds.ExceptionValue("builtins.KeyError", ["x"]), "KeyError('x')"),
    (total, kinds.Reference("function", f"{HERE}.total"), f"<function {HERE}.total>"),
    (len, kinds.Reference("builtin", "builtins.len"), "<built-in function len>"),
    (sys, kinds.Reference("module", "sys"), "<module sys>"),
    (ORDER, kinds.ObjectValue(f"{HERE}.Order", id(ORDER), {"sku": "A1", "qty": 3}),
     f"<{HERE}.Order object at {id(ORDER):#x}: {{sku: 'A1', qty: 3}}>"),
    (cyclic(), [1, kinds.Cycle("builtins.list")], "[1, <cycle list>]"),
    (list(range(70)), [*range(64), kinds.More(6)], "[0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18"),
    ([[[[[[[1]]]]]]], [[[[[[kinds.Elided("builtins.list", 1)]]]]]], "[[[[[[[… (+1 more)]]]]]]]"),
    ({"password": 1}, {"password": kinds.Redacted()}, "{'password': <redacted>}"),
    ("é" * 600, kinds.CutStr("é" * 512, 88), "'" + "é" * 30),
    (b"\x00" * 300, kinds.CutBytes(b"\x00" * 256, 44), "b'\\x00"),
    ({(1, 2): "pair", frozenset(): 0}, {kinds.Tuple([1, 2]): "pair", kinds.FrozenSet([]): 0},
     "{(1, 2): 'pair', frozenset(): 0}"),
    ("<b>", "<b>", "'<b>'"),
]


@pytest.mark.parametrize("value, decoded, shown", ROUND_TRIP, ids=[type(v).__name__ for v, _, _ in ROUND_TRIP])
def test_every_kind_decodes_and_displays_by_kind(value, decoded, shown):
    found = decode(dump_msgpack(value))
    assert found == decoded
    assert hash(found) == hash(decoded) if not isinstance(found, (list, dict)) else True
    assert display(found).startswith(shown)


def test_the_user_repr_and_its_display():
    configure(user_repr=True)
    try:
        found = decode(dump_msgpack(Shown()))
    finally:
        configure()
    assert found == kinds.UserRepr(f"{HERE}.Shown", "Shown!")
    assert display(found) == "Shown!"


@pytest.mark.parametrize("value, shown", [
    (kinds.CutStr("ab", 5), "'ab'… (+5 more)"),
    ([1, kinds.More(3)], "[1, … (+3 more)]"),
    ({"a": 1, kinds.More(2): None}, "{'a': 1, … (+2 more)}"),
    (kinds.Elided(f"{HERE}.Order", None), f"<{HERE}.Order …>"),
    (kinds.ExceptionValue("shop.OutOfStock", ["A1", 2]), "shop.OutOfStock('A1', 2)"),
    (kinds.Subclass("shop.Point", kinds.Tuple([1, 2])), "shop.Point(1, 2)"),
    (kinds.ObjectValue("shop.Cart", 16, {}), "<shop.Cart object at 0x10>"),
    (msgpack.ExtType(99, b"x"), "<ext 99>"),
    (float("nan"), "nan"),
])
def test_display_of_cut_and_unusual_values(value, shown):
    assert display(value) == shown


def test_display_is_bounded_and_arguments_name_their_values():
    long = decode(dump_msgpack(list(range(1000))))
    assert len(display(long, 40)) == 40 and display(long, 40).endswith("…")
    assert display_arguments({"a": 1, "b": "x", 3: None}) == "a=1, b='x', 3=None"
    assert display_arguments({"a": 1, kinds.More(4): None}) == "a=1, … (+4 more)"


def test_model_1_values_decode_as_they_are():
    old = msgpack.packb({"items": [1, 2], "obj": "<Order object at 0x1>"})
    assert decode(old) == {"items": [1, 2], "obj": "<Order object at 0x1>"}


@pytest.mark.parametrize("data", [
    msgpack.packb(msgpack.ExtType(2, b"\xc1")),
    msgpack.packb(msgpack.ExtType(10, msgpack.packb(["a", 1]))),
    msgpack.packb(msgpack.ExtType(12, msgpack.packb("x"))),
])
def test_malformed_extensions_stay_raw(data):
    assert isinstance(decode(data), msgpack.ExtType)


def test_json_keeps_kinds():
    value = decode(dump_msgpack({
        "t": (1,), "s": {1}, "f": frozenset(), "o": ORDER, "n": float("inf"), "b": b"\x01",
        "cut": list(range(65)), "odd": {1: 2, "$x": 3}, "m": {**{str(i): i for i in range(64)}, "z": 0},
    }))
    safe = json_safe(value)
    json.dumps(safe, allow_nan=False)
    assert safe["t"] == {"$kind": "tuple", "items": [1]}
    assert safe["s"] == {"$kind": "set", "items": [1]}
    assert safe["f"] == {"$kind": "frozenset", "items": []}
    assert safe["o"] == {"$kind": "object", "type": f"{HERE}.Order", "id": id(ORDER),
                         "attributes": {"sku": "A1", "qty": 3}}
    assert safe["n"] == {"$kind": "float", "value": "inf"}
    assert safe["b"] == {"$kind": "bytes", "base64": "AQ=="}
    assert safe["cut"][-1] == {"$kind": "more", "count": 1}
    assert safe["odd"] == {"$kind": "dict", "items": [[1, 2], ["$x", 3]]}
    assert safe["m"]["$more"] == 1


class Exploding:
    def __repr__(self):
        raise AssertionError("ran")

    def __str__(self):
        raise AssertionError("ran")


def test_rendered_locals_are_short_safe_and_redacted():
    text = render_locals({"order": ORDER, "bad": Exploding(), "api_token": "t0k", "big": "x" * 10_000,
                          "items": list(range(1000))})
    assert text.startswith(f"order=<{HERE}.Order object at {id(ORDER):#x}: {{sku: 'A1', qty: 3}}>, bad=<{HERE}")
    assert "api_token=<redacted>" in text and "t0k" not in text
    assert len(text) <= 500


@pytest.mark.parametrize("value", [Exploding(), {"x": Exploding()}, None, "\ud800", 10**5000],
                         ids=["exploding", "in-dict", "none", "surrogate", "huge-int"])
def test_rendering_never_raises(value):
    assert isinstance(render_value(value), str)
    assert isinstance(render_locals(value), str)
    assert len(render_value(value)) <= 500


def test_lightweight_values_display_shallow():
    assert display(decode(dump_msgpack_lightweight_repr({"a": [[1]]}))) == "{'a': [[… (+1 more)]]}"

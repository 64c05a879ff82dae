"""Recorded values on their way to the page: MessagePack of the value model
to kind-keeping JSON on the server, then Python's own notation in the
browser."""

import msgpack
import pytest

from viewer_traces import exception, ext, obj, set_of, tuple_of
from vopo.viewer.values_json import decode, to_json

SAMPLES = [
    # (decoded MessagePack value, its JSON form, how the page writes it)
    (None, None, "None"),
    (True, True, "True"),
    (12, 12, "12"),
    (2**60, {"k": "int", "r": str(2**60)}, str(2**60)),
    (1.0, {"k": "float", "r": "1.0"}, "1.0"),
    (float("nan"), {"k": "float", "r": "nan"}, "nan"),
    ("it's", "it's", '"it\'s"'),
    ("a\nb", "a\nb", "'a\\nb'"),
    (b"\x00A", {"k": "bytes", "r": "b'\\x00A'"}, "b'\\x00A'"),
    ([1, "x"], [1, "x"], "[1, 'x']"),
    ({"a": 1, 2: None}, {"k": "dict", "items": [["a", 1], [2, None]]}, "{'a': 1, 2: None}"),
    (msgpack.ExtType(1, (-(2**70)).to_bytes(10, "big", signed=True)),
     {"k": "int", "r": str(-(2**70))}, str(-(2**70))),
    (tuple_of("A1"), {"k": "tuple", "items": ["A1"]}, "('A1',)"),
    (tuple_of(1, 2), {"k": "tuple", "items": [1, 2]}, "(1, 2)"),
    (set_of(), {"k": "set", "items": []}, "set()"),
    (ext(4, [1]), {"k": "frozenset", "items": [1]}, "frozenset({1})"),
    (ext(5, ["collections.OrderedDict", {"a": 1}]),
     {"k": "subclass", "type": "collections.OrderedDict", "value": {"k": "dict", "items": [["a", 1]]}},
     "collections.OrderedDict({'a': 1})"),
    (ext(6, ["decimal.Decimal", "Decimal('1.10')"]),
     {"k": "standard", "type": "decimal.Decimal", "r": "Decimal('1.10')"}, "Decimal('1.10')"),
    (ext(7, ["shop.Color", "RED"]), {"k": "enum", "type": "shop.Color", "name": "RED"}, "shop.Color.RED"),
    (exception("builtins.KeyError", "x"), {"k": "exception", "type": "builtins.KeyError", "args": ["x"]},
     "KeyError('x')"),
    (ext(9, ["function", "shop.total"]), {"k": "ref", "what": "function", "name": "shop.total"},
     "<function shop.total>"),
    (obj("shop.Order", 255, sku="A1", qty=3),
     {"k": "object", "type": "shop.Order", "id": 255, "attrs": [["sku", "A1"], ["qty", 3]]},
     "<shop.Order object at 0xff: {sku: 'A1', qty: 3}>"),
    (ext(11, ["builtins.list"]), {"k": "cycle", "type": "builtins.list"}, "<cycle list>"),
    ([1, ext(12, 5)], [1, {"k": "more", "n": 5}], "[1, … (+5 more)]"),
    (ext(13, ["builtins.dict", 9]), {"k": "elided", "type": "builtins.dict", "size": 9}, "{… (+9 more)}"),
    (ext(13, ["shop.Tree", None]), {"k": "elided", "type": "shop.Tree", "size": None}, "<shop.Tree …>"),
    (ext(14, ["shop.Cart", "Cart(2 items)"]), {"k": "repr", "type": "shop.Cart", "r": "Cart(2 items)"},
     "Cart(2 items)"),
    (ext(15, None), {"k": "redacted"}, "<redacted>"),
    (ext(16, ["abc", 97]), {"k": "cutstr", "head": "abc", "omitted": 97}, "'abc'… (+97 more)"),
    (ext(17, [b"ab", 3]), {"k": "cutbytes", "r": "b'ab'", "omitted": 3}, "b'ab'… (+3 more)"),
    ({"a": 1, ext(12, 4): None}, {"k": "dict", "items": [["a", 1], [{"k": "more", "n": 4}, None]]},
     "{'a': 1, … (+4 more)}"),
    (ext(5, ["shop.Point", tuple_of(1, 2)]),
     {"k": "subclass", "type": "shop.Point", "value": {"k": "tuple", "items": [1, 2]}}, "shop.Point(1, 2)"),
    (ext(9, ["builtin", "builtins.len"]), {"k": "ref", "what": "builtin", "name": "builtins.len"},
     "<built-in function len>"),
    (msgpack.ExtType(1, (1 << 20000).to_bytes(2502, "big", signed=True)), {"k": "int", "r": "<int of 20001 bits>"},
     "<int of 20001 bits>"),
]


@pytest.mark.parametrize("value, expected, _", SAMPLES)
def test_kinds_reach_json(value, expected, _):
    assert to_json(value) == expected


@pytest.mark.parametrize("value", [
    msgpack.ExtType(2, b"\xc1"),  # not MessagePack inside
    ext(10, ["shop.Order", 1]),  # an object without attributes
    ext(8, [3, []]),  # a type name that is not a str
    msgpack.ExtType(99, b"\x01\x02"),  # a kind this viewer does not know
])
def test_malformed_extensions_read_as_unknown(value):
    assert to_json(value) == {"k": "ext", "code": value.code, "size": len(value.data)}


@pytest.mark.parametrize("text, legacy, expected", [
    ("<shop.Cart object at 0x7f>", True, {"k": "text", "r": "<shop.Cart object at 0x7f>"}),
    ("<shop.Cart object at 0x7f>", False, "<shop.Cart object at 0x7f>"),
    ("plain", True, "plain"),
])
def test_first_model_texts_of_objects_stay_bare(text, legacy, expected):
    assert decode(msgpack.packb(text), legacy=legacy) == expected


def test_page_writes_values_as_python_does(browser, serve, shop_db):
    browser.get(serve(shop_db).url)
    written = browser.execute_script(
        "return arguments[0].map(py);", [expected for _, expected, _ in SAMPLES])
    assert written == [shown for _, _, shown in SAMPLES]

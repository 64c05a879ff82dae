import collections
import sys
import threading

import msgpack
import pytest

from vopo.serialize import configure, dump_msgpack, dump_msgpack_lightweight_repr
from vopo.values.decode import CutStr, Cycle, Elided, More, ObjectValue, Subclass, Tuple, UserRepr, decode

BOTH = pytest.mark.parametrize("dump", [dump_msgpack, dump_msgpack_lightweight_repr], ids=["full", "light"])


def only_value(data):
    """Decode data, which must hold exactly one MessagePack value."""
    assert isinstance(data, bytes)
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False)
    unpacker.feed(data)
    values = list(unpacker)
    assert len(values) == 1
    return values[0]


class Hostile:
    """Everything it is asked raises."""

    def __repr__(self):
        raise ValueError("no repr")

    def __eq__(self, other):
        raise ValueError("no eq")

    def __hash__(self):
        return 7

    def __len__(self):
        raise ValueError("no len")


class Named:
    def __init__(self, text):
        self.text = text
        self.reprs = 0

    def __repr__(self):
        self.reprs += 1
        return self.text


class SneakyDict(dict):
    def items(self):
        raise ValueError("no items")

    def __iter__(self):
        raise ValueError("no iter")

    def __len__(self):
        raise ValueError("no len")


def only_value_bytes(data):
    only_value(data)
    return data


def recursive(container, add):
    add(container, container)
    return container


@BOTH
@pytest.mark.parametrize("value, expected", [
    (None, None), (True, True), (0, 0), (-(2**63), -(2**63)), (2**64 - 1, 2**64 - 1),
    (1.5, 1.5), ("", ""), ("héllo", "héllo"), (b"\x00\xff", b"\x00\xff"),
    ([1, [2, "x"]], [1, [2, "x"]]), ((1, 2), Tuple([1, 2])), ({"a": {"b": None}}, {"a": {"b": None}}),
    ({1: "one", 2.5: b"x", None: True}, {1: "one", 2.5: b"x", None: True}),
    (2**64, 2**64), (-(2**63) - 1, -(2**63) - 1),
    ({2**70: 1}, {2**70: 1}), ("a\ud800b", "a\ufffdb"), ({"k\udfff": "v"}, {"k\ufffd": "v"}),
    (SneakyDict(a=1), Subclass(f"{__name__}.SneakyDict", {"a": 1})), ({(1, "a"): 2}, {Tuple([1, "a"]): 2}),
    (recursive([1], list.append), [1, Cycle("builtins.list")]),
    (recursive({}, lambda d, v: d.setdefault("self", v)), {"self": Cycle("builtins.dict")}),
])
def test_plain_values_and_containers_round_trip(dump, value, expected):
    assert decode(only_value_bytes(dump(value))) == expected


@BOTH
@pytest.mark.parametrize("value", [
    Hostile(), [Hostile()], {Hostile(): Hostile()}, {1, 2, Hostile()}, frozenset(),
    collections.deque(range(5)), 2**100_000, float("nan"), object(), type, print, sys, Named("\ud800"),
    range(3), 1j, Ellipsis, threading.Lock(), SneakyDict(), memoryview(b"x"),
], ids=lambda value: type(value).__name__)
def test_any_object_gives_exactly_one_value(dump, value):
    only_value(dump(value))


@BOTH
def test_deep_nesting_is_cut_at_a_depth_limit(dump):
    value = []
    for _ in range(100_000):
        value = [value]
    decoded = decode(dump(value))
    depth = 0
    while isinstance(decoded, list):
        decoded, depth = decoded[0], depth + 1
    assert 1 <= depth <= 10
    assert decoded == Elided("builtins.list", 1)


@BOTH
def test_long_values_are_cut_and_say_how_much_was_left_out(dump):
    text, items = decode(dump(["x" * 100_000, list(range(100_000))]))
    assert isinstance(text, CutStr) and len(text.head) + text.omitted == 100_000
    assert len(items) < 1000 and items[-1] == More(100_000 - (len(items) - 1))
    mapping = decode(dump({i: i for i in range(100_000)}))
    (marker,) = [key for key in mapping if isinstance(key, More)]
    assert len(mapping) < 1000 and marker.count == 100_000 - (len(mapping) - 1)


@BOTH
def test_shared_containers_cannot_blow_up_the_output(dump):
    row = list(range(300))
    grid = [[row] * 300] * 300
    assert len(dump(grid)) < 200_000


@BOTH
def test_keys_that_read_alike_are_all_kept(dump):
    decoded = decode(dump({"x": 1, Named("x"): 2, Named("x"): 3}))
    assert sorted(decoded.values()) == [1, 2, 3]


def test_reprs_run_only_when_the_user_opted_in():
    full, light = Named("<a custom repr>"), Named("<a custom repr>")
    assert isinstance(decode(dump_msgpack({"obj": full}))["obj"], ObjectValue)
    bad = Hostile()
    configure(user_repr=True)
    try:
        assert decode(dump_msgpack({"obj": full, "bad": bad})) == {
            "obj": UserRepr(f"{__name__}.Named", "<a custom repr>"),
            "bad": ObjectValue(f"{__name__}.Hostile", id(bad), {}),
        }
        assert isinstance(decode(dump_msgpack_lightweight_repr({"obj": light}))["obj"], ObjectValue)
    finally:
        configure()
    assert (full.reprs, light.reprs) == (1, 0)


@BOTH
@pytest.mark.parametrize("height", range(1, 12))
def test_serializing_near_the_recursion_limit_does_not_raise(dump, height):
    """Called ``height`` frames above the deepest frame the interpreter allows."""
    def descend():
        try:
            below = descend()
        except RecursionError:
            return 0
        if below == height:
            return dump({"value": [Named("x"), {"y": (1, 2)}], "text": "\ud800"})
        return below + 1 if isinstance(below, int) else below

    only_value(descend())

"""The reference encoder writes each kind of the value model as documented,
keeps to its limits, redacts secret-looking names and runs no program code."""

import collections
import datetime
import decimal
import enum
import fractions
import pathlib
import re
import sys
import uuid

import msgpack
import pytest

import hostile
from vopo.values import encode
from vopo.values.decode import decode
from vopo.values.encode import configure, dump_msgpack, dump_msgpack_lightweight_repr

HERE = __name__


def structure(data, use_list=True):
    """The encoded value with each extension written as ("ext", code, data),
    its data decoded (the raw bytes of a big int); arrays inside an
    extension are tuples, so that extensions can be map keys."""

    def hook(code, inner):
        return ("ext", code, inner if code == encode.BIG_INT else structure(inner, use_list=False))

    return msgpack.unpackb(data, raw=False, strict_map_key=False, ext_hook=hook, use_list=use_list)


def ext(code, *data):
    return ("ext", code, tupled(data) if len(data) != 1 else tupled(data[0]))


def tupled(value):
    if isinstance(value, (list, tuple)) and not (value and value[0] == "ext"):
        return tuple(tupled(item) for item in value)
    if isinstance(value, dict):
        return {tupled(key): tupled(item) for key, item in value.items()}
    return value


class Color(enum.Enum):
    RED = 1


class Flag(enum.IntFlag):
    A = 1
    B = 2


class Order:
    def __init__(self):
        self.sku = "A1"
        self.qty = 3


class Slotted:
    __slots__ = ("x", "__hidden", "unset")

    def __init__(self):
        self.x = 1
        self.__hidden = 2


class Both(Slotted):
    def __init__(self):
        super().__init__()
        self.extra = "e"


class Text(str):
    pass


Point = collections.namedtuple("Point", "x y")


def function():
    pass


KINDS = [
    (None, None),
    (2**63 - 1, 2**63 - 1),
    (-(2**63), -(2**63)),
    (2**64, ext(1, b"\x01" + bytes(8))),
    (-(2**63) - 1, ext(1, b"\xff\x7f" + b"\xff" * 7)),
    (2**71 - 1, ext(1, b"\x7f" + b"\xff" * 8)),
    (float("-inf"), float("-inf")),
    ("a\ud800", "a\ufffd"),
    ((), ext(2, [])),
    ((1, "a"), ext(2, [1, "a"])),
    ({3}, ext(3, [3])),
    (frozenset(), ext(4, [])),
    ({(1, 2): {4}}, {ext(2, [1, 2]): ext(3, [4])}),
    (collections.OrderedDict(a=1), ext(5, "collections.OrderedDict", {"a": 1})),
    (collections.defaultdict(list, b=[]), ext(5, "collections.defaultdict", {"b": []})),
    (Point(1, 2), ext(5, f"{HERE}.Point", ext(2, [1, 2]))),
    (Text("<b>"), ext(5, f"{HERE}.Text", "<b>")),
    (True.__class__(1), True),
    (decimal.Decimal("1.10"), ext(6, "decimal.Decimal", "Decimal('1.10')")),
    (fractions.Fraction(1, 3), ext(6, "fractions.Fraction", "Fraction(1, 3)")),
    (1 + 2j, ext(6, "builtins.complex", "(1+2j)")),
    (datetime.date(2024, 2, 29), ext(6, "datetime.date", "datetime.date(2024, 2, 29)")),
    (datetime.timedelta(seconds=5), ext(6, "datetime.timedelta", "datetime.timedelta(seconds=5)")),
    (uuid.UUID(int=1), ext(6, "uuid.UUID", "UUID('00000000-0000-0000-0000-000000000001')")),
    (pathlib.PurePosixPath("/a"), ext(6, pathlib.PurePosixPath.__module__ + ".PurePosixPath", "PurePosixPath('/a')")),
    (range(2), ext(6, "builtins.range", "range(0, 2)")),
    (re.compile("a+"), ext(6, "re.Pattern", "re.compile('a+')")),
    (slice(1, None), ext(6, "builtins.slice", "slice(1, None, None)")),
    (Color.RED, ext(7, f"{HERE}.Color", "RED")),
    (Flag.B, ext(7, f"{HERE}.Flag", "B")),
    (KeyError("x"), ext(8, "builtins.KeyError", ["x"])),
    (function, ext(9, "function", f"{HERE}.function")),
    (Order, ext(9, "class", f"{HERE}.Order")),
    (sys, ext(9, "module", "sys")),
    (len, ext(9, "builtin", "builtins.len")),
    ([].append, ext(9, "builtin", "list.append")),
    (dict.fromkeys, ext(9, "builtin", "dict.fromkeys")),
    (Order().__init__, ext(9, "method", f"{HERE}.Order.__init__")),
    (Slotted(), ext(10, f"{HERE}.Slotted", ..., {"_Slotted__hidden": 2, "x": 1})),
    (Both(), ext(10, f"{HERE}.Both", ..., {"extra": "e", "_Slotted__hidden": 2, "x": 1})),
    (Order(), ext(10, f"{HERE}.Order", ..., {"sku": "A1", "qty": 3})),
    (slice(Order, None), ext(10, "builtins.slice", ..., {"start": ext(9, "class", f"{HERE}.Order"),
                                                        "stop": None, "step": None})),
    ("x" * 513, ext(16, "x" * 512, 1)),
    (b"y" * 300, ext(17, b"y" * 256, 44)),
]


@pytest.mark.parametrize("value, expected", KINDS, ids=[type(value).__name__ for value, _ in KINDS])
def test_each_kind_is_written_as_documented(value, expected):
    found = structure(dump_msgpack(value))
    if isinstance(expected, tuple) and expected[1] == encode.OBJECT:
        name, number, attributes = found[2]
        assert (name, attributes) == (expected[2][0], expected[2][2])
        assert number == id(value)
    else:
        assert found == expected


def test_a_cut_container_ends_with_how_many_items_were_left_out():
    assert structure(dump_msgpack(list(range(100)))) == [*range(64), ext(12, 36)]
    assert structure(dump_msgpack({i: i for i in range(65)})) == {**{i: i for i in range(64)}, ext(12, 1): None}
    assert structure(dump_msgpack_lightweight_repr(tuple(range(20)))) == ext(2, [*range(16), ext(12, 4)])


def test_the_items_of_one_value_are_shared_by_all_its_containers():
    rows = [list(range(64)) for _ in range(20)]
    found = structure(dump_msgpack(rows))
    # 20 for the outer list, then 980 for the rows, 64 at a time.
    kept = [len([item for item in row if not isinstance(item, tuple)]) for row in found]
    assert kept == [64] * 15 + [20, 0, 0, 0, 0]
    assert found[16] == [ext(12, 64)]


def test_containers_too_deep_are_elided_with_their_size():
    value = {"a": [[(1, 2)]], "o": [[Order()]], "e": [[KeyError(1, 2)]]}
    assert structure(dump_msgpack_lightweight_repr(value)) == {
        "a": [ext(13, "builtins.list", 1)],
        "o": [ext(13, "builtins.list", 1)],
        "e": [ext(13, "builtins.list", 1)],
    }
    assert structure(dump_msgpack_lightweight_repr([[Order(), KeyError(1, 2), Point(1, 2)]])) == [
        [ext(13, f"{HERE}.Order", None), ext(13, "builtins.KeyError", 2), ext(13, f"{HERE}.Point", 2)]
    ]


def test_cycles_are_marked_and_shared_values_written_twice():
    order = Order()
    order.me = order
    error = ValueError()
    error.args = (error,)
    shared = [1]
    found = structure(dump_msgpack([order, error, shared, shared]))
    assert found[0][2][2]["me"] == ext(11, [f"{HERE}.Order"])
    assert found[1] == ext(8, "builtins.ValueError", [ext(11, ["builtins.ValueError"])])
    assert found[2] == found[3] == [1]


@pytest.mark.parametrize("name, redacted", [
    ("password", True), ("DB_PASSWORD", True), ("github_token", True), ("api_key", True), ("my_apikey", True),
    ("Authorization", True), ("tokenizer", False), ("session", False), ("passwords", False),
    ("token_count", False), ("secretary", False), ("x_y_secret", True),
])
def test_secret_looking_names_are_redacted_in_maps_and_attributes(name, redacted):
    order = Order()
    setattr(order, name, "s3cr3t")
    found = structure(dump_msgpack({name: "s3cr3t", "nested": {name: 1}, "obj": order}))
    values = [found[name], found["nested"][name], found["obj"][2][2][name]]
    assert values == ([ext(15, None)] * 3 if redacted else ["s3cr3t", 1, "s3cr3t"])


def test_redaction_can_be_replaced_and_turned_off():
    try:
        configure(redact=["sku"])
        assert structure(dump_msgpack({"password": 1, "order_sku": 2})) == {"password": 1, "order_sku": ext(15, None)}
        configure(redact=())
        assert structure(dump_msgpack({"password": 1})) == {"password": 1}
    finally:
        configure()
    assert structure(dump_msgpack({"password": 1})) == {"password": ext(15, None)}


@pytest.mark.parametrize("options, error", [
    ({"redact": "password"}, TypeError), ({"redact": [1]}, TypeError), ({"redact": [""]}, ValueError),
    ({"user_repr": 1}, TypeError), ({"redact": False}, TypeError),
])
def test_invalid_options_are_refused_and_change_nothing(options, error):
    with pytest.raises(error):
        configure(**options)
    assert structure(dump_msgpack({"password": 1, "o": Color})) == {"password": ext(15, None), "o": ext(9, "class", f"{HERE}.Color")}


class Shown:
    def __init__(self, text):
        self.text = text

    def __repr__(self):
        if isinstance(self.text, BaseException):
            raise self.text
        return self.text


def test_user_repr_is_used_only_when_opted_in_and_only_in_full_mode():
    value = Shown("S" * 600)
    configure(user_repr=True)
    try:
        assert structure(dump_msgpack(value)) == ext(14, f"{HERE}.Shown", ext(16, "S" * 512, 88))
        assert structure(dump_msgpack_lightweight_repr(value))[1] == encode.OBJECT
        assert structure(dump_msgpack(Shown(ValueError())))[1] == encode.OBJECT
        assert structure(dump_msgpack(Text("t")))[1] == encode.SUBCLASS
        with pytest.raises(KeyboardInterrupt):
            dump_msgpack(Shown(KeyboardInterrupt()))
    finally:
        configure()
    assert structure(dump_msgpack(value))[1] == encode.OBJECT


@pytest.mark.parametrize("dump", [dump_msgpack, dump_msgpack_lightweight_repr])
def test_no_program_code_runs_while_encoding(dump):
    values = hostile.everything()
    hostile.CALLS.clear()
    data = dump(values)
    assert dict(hostile.CALLS) == {}
    found = decode(data)
    assert found["fake_dict"].attributes == {"real": 1}
    assert found["slots"].attributes == {"filled": 1, "_HostileSlots__private": 2}


def test_an_aware_datetime_with_a_program_tzinfo_is_an_object():
    class Zone(datetime.tzinfo):
        def utcoffset(self, dt):
            raise AssertionError("ran")

    aware = datetime.datetime(2020, 1, 1, tzinfo=Zone())
    utc = datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc)
    assert structure(dump_msgpack(aware))[1] == encode.OBJECT
    assert structure(dump_msgpack(utc))[1] == encode.STANDARD

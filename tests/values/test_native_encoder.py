"""The native encoder of vopo._values on its own: its surface and options,
values it must read without running program code, cuts of huge values,
types that change after they were first seen, and the profiler's fast path
into it, which must write the bytes a call of the function returns."""

import gc
import importlib

import msgpack
import pytest

import hostile
import vopo.serialize
from vopo_testing import recorded

try:
    native = importlib.import_module("vopo._values")
except ImportError:
    native = None

pytestmark = pytest.mark.skipif(native is None, reason="the native encoder vopo._values is not built in this tree")


def unpack(data):
    return msgpack.unpackb(data, raw=False, strict_map_key=False)


def ext(data):
    """The (code, inner value) of one extension value."""
    value = unpack(data)
    assert isinstance(value, msgpack.ExtType)
    return value.code, unpack(value.data) if value.code != 1 else value.data


@pytest.fixture
def options():
    yield native.configure
    native.configure()


def test_surface():
    public = {name for name in dir(native) if not name.startswith("__")}
    assert public == {"dump_msgpack", "dump_msgpack_lightweight_repr", "configure", "VALUE_MODEL_VERSION",
                      "DEFAULT_REDACT"}
    assert native.VALUE_MODEL_VERSION == 2
    assert native.DEFAULT_REDACT == ("password", "passwd", "secret", "token", "api_key", "apikey",
                                     "authorization", "cookie", "private_key", "credentials")


@pytest.mark.parametrize("arguments, error", [
    ({"redact": "password"}, TypeError),
    ({"redact": {"password"}}, TypeError),
    ({"redact": ["password", 1]}, TypeError),
    ({"redact": ["password", ""]}, ValueError),
    ({"user_repr": 1}, TypeError),
    ({"colour": True}, TypeError),
])
def test_invalid_options_are_refused_and_change_nothing(options, arguments, error):
    options(redact=["sku"])
    with pytest.raises(error):
        options(**arguments)
    assert unpack(native.dump_msgpack({"sku": 1})) == {"sku": msgpack.ExtType(15, b"\xc0")}


def test_options_are_keyword_only():
    with pytest.raises(TypeError):
        native.configure(None)


@pytest.mark.parametrize("redact, name, hidden", [
    (None, "db_password", True),
    (None, "GitHub_Token", True),
    (None, "tokenizer", False),
    (None, "session", False),
    (("sku",), "order_SKU", True),
    (("sku",), "password", False),
    ((), "password", False),
])
def test_redaction_by_name(options, redact, name, hidden):
    options(redact=redact)
    entry = unpack(native.dump_msgpack({name: 1}))[name]
    assert (entry == msgpack.ExtType(15, b"\xc0")) is hidden


def test_hostile_objects_run_no_code():
    values = [hostile.everything(), [hostile.Hostile(), hostile.HostileSlots(), hostile.FakeDict()]]
    hostile.CALLS.clear()
    for dump in (native.dump_msgpack, native.dump_msgpack_lightweight_repr):
        for value in values:
            unpack(dump(value))
    assert dict(hostile.CALLS) == {}


class Shouting:
    def __init__(self, error):
        self.error = error

    def __repr__(self):
        raise self.error


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3)])
def test_an_interrupting_user_repr_reaches_the_caller(options, error):
    options(user_repr=True)
    with pytest.raises(type(error)):
        native.dump_msgpack([Shouting(error)])


def test_a_failing_user_repr_falls_back_to_the_object(options):
    options(user_repr=True)
    code, (name, _, attributes) = ext(native.dump_msgpack(Shouting(ValueError("no"))))
    assert (code, name) == (10, "test_native_encoder.Shouting")
    assert ext(msgpack.packb(attributes["error"]))[0] == 8


class Shrinking:
    """A user repr that empties the containers being encoded around it."""

    def __init__(self, *containers):
        self.containers = containers

    def __repr__(self):
        for container in self.containers:
            container.clear()
        gc.collect()
        return "shrunk"


def test_containers_emptied_while_they_are_encoded_stay_well_formed(options):
    options(user_repr=True)
    items, mapping = [], {}
    items.extend([Shrinking(items, mapping), object(), object()])
    mapping.update({"first": items, "second": [1] * 20, "third": object()})
    decoded = unpack(native.dump_msgpack(mapping))
    assert list(decoded) == ["first"]
    assert len(decoded["first"]) == 1


def test_huge_list_and_string_are_cut_early():
    value = {"items": list(range(10_000)), "text": "é" * 1_000_000, "data": b"\0" * 1_000_000}
    encoded = native.dump_msgpack(value)
    assert len(encoded) < 2_000
    decoded = unpack(encoded)
    assert decoded["items"][:64] == list(range(64))
    assert decoded["items"][64] == msgpack.ExtType(12, msgpack.packb(10_000 - 64))
    assert ext(msgpack.packb(decoded["text"])) == (16, ["é" * 512, 1_000_000 - 512])
    assert ext(msgpack.packb(decoded["data"])) == (17, [b"\0" * 256, 1_000_000 - 256])


@pytest.mark.parametrize("number", [2**64, -(2**63) - 1, -(2**71), 2**71 - 1, -(2**72) - 1, 7**300, -(7**300)])
def test_big_ints_in_the_fewest_bytes(number):
    code, data = ext(native.dump_msgpack(number))
    assert code == 1
    assert int.from_bytes(data, "big", signed=True) == number
    assert len(data) == (number.bit_length() if number >= 0 else (~number).bit_length()) // 8 + 1


@pytest.mark.parametrize("text, written", [
    ("plain", "plain"),
    ("caf\u00e9 \u20ac \U0001f600", "caf\u00e9 \u20ac \U0001f600"),
    ("lone \ud800 surrogate", "lone \ufffd surrogate"),
])
def test_text_is_written_as_utf8(text, written):
    assert unpack(native.dump_msgpack(text)) == written


def test_strings_are_cut_by_characters():
    head, omitted = ext(native.dump_msgpack("\U0001f600" * 600))[1]
    assert (head, omitted) == ("\U0001f600" * 512, 88)


def test_a_renamed_class_is_read_again():
    class Renamed:
        pass

    value = Renamed()
    assert ext(native.dump_msgpack(value))[1][0].endswith("<locals>.Renamed")
    Renamed.__qualname__ = "Other"
    assert ext(native.dump_msgpack(value))[1][0] == "test_native_encoder.Other"
    Renamed.__module__ = 5
    assert ext(native.dump_msgpack(value))[1][0] == "Other"


class Slotted:
    __slots__ = ("x",)


class Borrower:
    """Holds another class's member descriptor, which must not read its
    instances at that class's offset."""

    x = Slotted.__dict__["x"]


def test_a_member_of_another_class_is_not_read():
    assert ext(native.dump_msgpack(Borrower()))[1][2] == {}


def record_values(monkeypatch, serializer, function, *args, **config):
    """(arg, locals) of every frame record of function(*args), still encoded."""
    monkeypatch.setattr(vopo.serialize, "dump_msgpack", serializer)
    monkeypatch.setattr(vopo.serialize, "dump_msgpack_lightweight_repr", serializer)
    records = recorded(function, *args, **config)["frames_of_interest"]
    return [(msgpack.packb(r["arg"]), msgpack.packb(r["locals"])) for r in records if r["type"] == "frame"]


SHARED = {
    "order": hostile.Hostile(),
    "nested": [(1, 2), {3}, frozenset({4}), {"password": "x"}, 2**70, "s" * 600],
    "error": KeyError("missing"),
}


def works_with(shared, count):
    local = [shared["order"], shared["nested"]]
    total = count * 2
    return shared, total


@pytest.mark.parametrize("lightweight", [False, True])
@pytest.mark.parametrize("dump_name", ["dump_msgpack", "dump_msgpack_lightweight_repr"])
def test_fast_path_writes_what_the_function_returns(monkeypatch, lightweight, dump_name):
    dump = getattr(native, dump_name)
    fast = record_values(monkeypatch, dump, works_with, SHARED, 3, lightweight_repr=lightweight)
    slow = record_values(monkeypatch, lambda value: dump(value), works_with, SHARED, 3,
                         lightweight_repr=lightweight)
    assert len(fast) == 2
    assert fast == slow



class CountingZone(__import__("datetime").tzinfo):
    """A tzinfo whose every method counts: the datetime's repr would call them."""

    utcoffset = hostile.counted("tz.utcoffset", None)
    tzname = hostile.counted("tz.tzname", None)
    dst = hostile.counted("tz.dst", None)
    __repr__ = hostile.counted("tz.__repr__", "zone")


def values_whose_standard_repr_would_run_code():
    import datetime

    zone = CountingZone()
    return [
        datetime.datetime(2020, 1, 1, tzinfo=zone),
        datetime.time(12, 0, tzinfo=zone),
        slice(hostile.Hostile(), None),
        KeyError(hostile.Hostile()),
    ]


@pytest.mark.parametrize("index", range(4))
def test_standard_values_with_program_parts_are_objects(index):
    value = values_whose_standard_repr_would_run_code()[index]
    hostile.CALLS.clear()
    code, _ = ext(native.dump_msgpack(value))
    assert hostile.CALLS == {}
    assert code == (8 if isinstance(value, BaseException) else 10)


class Growing:
    """A user repr that adds to the set being encoded around it."""

    def __init__(self, target):
        self.target = target

    def __repr__(self):
        self.target.update(range(100))
        return "grown"


def test_a_set_changed_while_it_is_encoded_stays_well_formed(options):
    options(user_repr=True)
    target = set()
    target.add(Growing(target))
    target.update({"a", "b"})
    code, items = ext(native.dump_msgpack(target))
    assert code == 3
    assert 1 <= len(items) <= 3


# Extension payloads at each size where the header's form changes: the
# fixed sizes 1, 2, 4, 8 and 16, and one- to two-byte lengths.
@pytest.mark.parametrize("value", [
    (), (1,), (1, 2, 3), tuple(range(7)), tuple(range(15)), tuple(range(16)),
    tuple(["x" * 10] * 23), tuple(["x" * 10] * 24), tuple(["x" * 30] * 64),
    2**63, 2**64, 2**119, 2**127, -(2**127), 2**2000, -(2**2100),
    "y" * 513, "é" * 600, b"z" * 257, frozenset(), frozenset({1}),
], ids=lambda value: f"{type(value).__name__}-{len(repr(value))}")
def test_extension_headers_agree_with_the_reference(value):
    from vopo.values import encode

    for mode in ("dump_msgpack", "dump_msgpack_lightweight_repr"):
        assert getattr(native, mode)(value) == getattr(encode, mode)(value)


class Reconfiguring:
    """A user repr that encodes a value and changes the options meanwhile."""

    def __repr__(self):
        native.dump_msgpack({"secret": [Reconfiguring.__name__]})
        native.configure(redact=["secret"], user_repr=True)
        native.configure(redact=["other"], user_repr=True)
        gc.collect()
        return "reconfigured"


def test_options_changed_by_a_user_repr_apply_from_the_next_encoding(options):
    options(redact=["nothing"], user_repr=True)
    decoded = unpack(native.dump_msgpack({"first": Reconfiguring(), "secret": 1, "other": 2}))
    assert decoded["secret"] == 1 and decoded["other"] == 2
    assert ext(msgpack.packb(decoded["first"])) == (14, ["test_native_encoder.Reconfiguring", "reconfigured"])
    assert unpack(native.dump_msgpack({"other": 2})) == {"other": msgpack.ExtType(15, b"\xc0")}


class Finalized:
    """Counts its instances' finalizers."""
    count = 0

    def __del__(self):
        Finalized.count += 1


class FinalizedText(str):
    def __del__(self):
        Finalized.count += 1


@pytest.mark.parametrize("make_name", [Finalized, lambda: FinalizedText("pkg")], ids=["object", "str subclass"])
def test_a_class_named_by_program_objects_is_not_held_by_the_encoder(make_name):
    """Letting go of a class's odd `__module__` later, in the middle of
    another encoding, would run the program's finalizer there."""

    class Shop:
        pass

    Shop.__module__ = make_name()
    native.dump_msgpack(Shop())
    native.dump_msgpack(Shop())
    before = Finalized.count
    Shop.__module__ = "shop"
    gc.collect()
    assert Finalized.count == before + 1

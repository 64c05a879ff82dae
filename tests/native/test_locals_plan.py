"""Function locals encoded straight from the frame against the reference
path's snapshot dict: the same bytes for every kind of frame, mode and
redaction list."""

import re
import sys
import textwrap

import msgpack
import pytest

from vopo import _values
from vopo_testing import profile

RECORD_ALL = {"filters": {"include_frames": ["/srv/app"]}}

PROGRAM = '''
import types

SHARED = [list(range(20)) for _ in range(20)]
OBJECT = type("Box", (), {})()
OBJECT.password = "hidden"
OBJECT.size = 3


def plain(a, b=2, *rest, c=3, **options):
    total = a + b + c
    return total


def unbound(flag):
    if flag:
        late = 1
    return flag


def deleted(x):
    gone = x * 2
    del gone
    return x


def outer(arg):
    captured = arg + 1

    def inner(z):
        return z + captured + arg

    inner(1)
    return inner


def cell_before_use(n):
    def later():
        return cell
    result = n
    cell = 5
    return later


def generator(n):
    for i in range(n):
        yield i
    done = True


@types.coroutine
def pause():
    yield


async def coroutine(n):
    await pause()
    return n


def comprehension(items):
    squares = [item * item for item in items]
    pairs = {key: value for key, value in zip(items, squares)}
    return squares, pairs


def secrets(password, api_key, qty):
    user_token = "t"
    private_key = b"k"
    return qty


def many(n):
    LOCALS
    return n


def nested():
    deep = [[[[[[[[1]]]]]]]]
    big = SHARED
    obj = OBJECT
    text = "x" * 600
    raw = b"y" * 300
    number = 2 ** 80
    return len(big)


class Body:
    inside = 1

    def method(self, qty):
        return qty


def run():
    plain(1)
    plain(1, 2, 3, 4, c=5, d=6)
    unbound(False)
    unbound(True)
    deleted(2)
    outer(1)(2)
    cell_before_use(1)()
    list(generator(3))
    runner = coroutine(7)
    try:
        runner.send(None)
        runner.send(None)
    except StopIteration:
        pass
    (lambda value, other=2: value + other)(1)
    comprehension([1, 2, 3])
    secrets("p", "k", 2)
    many(1)
    nested()
    Body().method(2)
    exec("module_local = 1\\n", {"__name__": "scripted"})
'''

MANY_LOCALS = "\n    ".join(f"v{i} = {i}" for i in range(70))


def program():
    source = textwrap.dedent(PROGRAM).replace("LOCALS", MANY_LOCALS)
    namespace = {"__name__": "app"}
    exec(compile(source, "/srv/app/program.py", "exec"), namespace)
    return namespace["run"]


BIG_INT, OBJECT, USER_REPR = 1, 10, 14


def without_addresses(code, data):
    """An ext value with the addresses of the objects in it blanked, which
    differ between two runs of the program."""
    if code == BIG_INT:
        return msgpack.ExtType(code, data)
    value = msgpack.unpackb(data, raw=False, strict_map_key=False, ext_hook=without_addresses)
    if code == OBJECT:
        value[1] = 0
    if code == USER_REPR and isinstance(value[1], str):
        value[1] = re.sub(" at 0x[0-9a-f]+", "", value[1])
    return msgpack.ExtType(code, msgpack.packb(value))


def comparable(value):
    return msgpack.packb(value)


def recorded_values(run, monkeypatch, reference, **config):
    if reference:
        monkeypatch.setenv("VOPO_REFERENCE_PATH", "1")
    else:
        monkeypatch.delenv("VOPO_REFERENCE_PATH", raising=False)
    _, host = profile(run, **RECORD_ALL, **config)
    document = msgpack.unpackb(host.rust_profiler.build_trace(), raw=False, strict_map_key=False,
                               ext_hook=without_addresses)
    return [(r["co_name"], r["event"], comparable(r["arg"]), comparable(r["locals"]))
            for r in document["frames_of_interest"]]


@pytest.fixture
def redaction():
    yield _values.configure
    _values.configure()


@pytest.mark.parametrize("lightweight", [False, True], ids=["full", "lightweight"])
@pytest.mark.parametrize("redact", [None, ["qty", "captured"], []], ids=["default", "own", "none"])
def test_frame_locals_encode_as_the_snapshot_dict(monkeypatch, redaction, lightweight, redact):
    run = program()
    config = {"lightweight_repr": lightweight}
    # The fast path first keeps verdicts under the default options, which
    # the new options must replace.
    recorded_values(run, monkeypatch, reference=False, **config)
    redaction(redact=redact)
    fast = recorded_values(run, monkeypatch, reference=False, **config)
    reference = recorded_values(run, monkeypatch, reference=True, **config)
    assert len(fast) > 40
    assert fast == reference


def test_locals_with_user_repr_on_match_the_snapshot(monkeypatch, redaction):
    run = program()
    redaction(user_repr=True)
    fast = recorded_values(run, monkeypatch, reference=False)
    reference = recorded_values(run, monkeypatch, reference=True)
    assert fast == reference


def locals_of(records, co_name, event):
    return [msgpack.unpackb(packed, raw=False, strict_map_key=False)
            for name, kind, _, packed in records if name == co_name and kind == event]


@pytest.mark.parametrize("lightweight, kept", [(False, 64), (True, 16)], ids=["full", "lightweight"])
def test_more_locals_than_a_map_keeps_are_cut_as_a_dict(monkeypatch, lightweight, kept):
    records = recorded_values(program(), monkeypatch, reference=False, lightweight_repr=lightweight)
    (returned,) = locals_of(records, "many", "return")
    assert list(returned)[:kept] == ["n"] + [f"v{i}" for i in range(kept - 1)]
    assert len(returned) == kept + 1


def test_secret_locals_are_redacted_and_follow_configure(monkeypatch, redaction):
    run = program()
    (first,) = locals_of(recorded_values(run, monkeypatch, reference=False), "secrets", "return")
    redaction(redact=["qty"])
    (second,) = locals_of(recorded_values(run, monkeypatch, reference=False), "secrets", "return")
    redacted = msgpack.ExtType(15, b"\xc0")
    assert [name for name, value in first.items() if value == redacted] == [
        "password", "api_key", "user_token", "private_key"]
    assert [name for name, value in second.items() if value == redacted] == ["qty"]


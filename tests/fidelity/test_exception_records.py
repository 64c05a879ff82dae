"""A frame left by an exception is followed by a "frame_exception" record;
a frame that returns, or catches what it raised, is not."""

import asyncio
import sys

import pytest

from fidelity_support import all_records, started

DETAILS = sys.version_info >= (3, 12)


def raises():
    raise KeyError("x")


def catches():
    try:
        raises()
    except KeyError:
        return "caught"


def profiled(fn, *args):
    host = started()
    try:
        fn(*args)
    finally:
        sys.setprofile(None)
    return all_records(host.rust_profiler)


def exception_records(records):
    return [r for r in records if r["type"] == "frame_exception"]


def test_an_exit_by_exception_is_followed_by_its_record():
    records = profiled(catches)
    [position] = [i for i, r in enumerate(records)
                  if r["type"] == "frame" and r["co_name"] == "raises" and r["event"] == "return"]
    frame, record = records[position], records[position + 1]
    assert frame["arg"] is None
    assert list(record) == ["type", "frame_id", "exception_type", "exception", "timestamp"]
    assert record["type"] == "frame_exception" and record["frame_id"] == frame["frame_id"]
    assert record["timestamp"] >= frame["timestamp"]
    if DETAILS:
        assert (record["exception_type"], record["exception"]) == ("builtins.KeyError", "KeyError('x')")
    else:
        assert (record["exception_type"], record["exception"]) == (None, None)
    assert len(exception_records(records)) == 1


class ShopError(Exception):
    pass


def raises_own():
    raise ShopError("out of stock")


@pytest.mark.skipif(not DETAILS, reason="the exception is visible to the profiler from CPython 3.12")
def test_a_class_of_the_program_is_named_by_module_and_qualified_name():
    def run():
        try:
            raises_own()
        except ShopError:
            pass

    [record] = exception_records(profiled(run))
    assert record["exception_type"] == f"{__name__}.ShopError"


def returns_none():
    return None


def handles_its_own():
    try:
        raise ValueError("inside")
    except ValueError:
        return None


def yields_none():
    yield
    yield None


async def awaits():
    await asyncio.sleep(0)


@pytest.mark.parametrize("run", [
    returns_none,
    handles_its_own,
    lambda: list(yields_none()),
    lambda: asyncio.run(awaits()),
], ids=["return None", "caught inside", "yield None", "await"])
def test_frames_that_do_not_exit_by_an_exception_get_no_record(run):
    assert exception_records(profiled(run)) == []


def generator():
    try:
        yield 1
    except ValueError:
        yield 2


def test_a_generator_resumed_by_throw_or_close_is_called_with_none():
    def run():
        gen = generator()
        next(gen)
        gen.throw(ValueError("thrown"))
        gen.close()

    records = profiled(run)
    calls = [r for r in records if r["type"] == "frame" and r["co_name"] == "generator" and r["event"] == "call"]
    assert [r["arg"] for r in calls] == [None, None, None]
    [closed] = exception_records(records)
    if DETAILS:
        assert closed["exception_type"] == "builtins.GeneratorExit"


@pytest.mark.parametrize("threading_on", [False, True])
def test_the_program_sees_its_exception_unchanged(threading_on):
    host = started(threading=threading_on)
    try:
        with pytest.raises(KeyError) as raised:
            raises()
    finally:
        sys.setprofile(None)
    assert raised.value.args == ("x",)
    assert raised.traceback[-1].name == "raises"
    host.rust_profiler.mark_stopped()

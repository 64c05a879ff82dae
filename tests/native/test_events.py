"""Event processing: frame ids, call sites, the user-code stack, generators,
module frames, and the failures an event may meet without disturbing the
profiled program."""

import logging
import sys
import threading

import msgpack
import pytest

import vopo.serialize
from vopo import _vopo
from vopo_testing import Host, decode, frames_named, profile, recorded


def compute():
    return 10


def main():
    value = compute()  # the call site line
    return value + 1


CALL_LINE = main.__code__.co_firstlineno + 1


def test_worked_example_frame_ids_and_call_sites():
    records = recorded(main)["frames_of_interest"]
    summary = [(r["co_name"], r["event"]) for r in records]
    assert summary == [("main", "call"), ("compute", "call"), ("compute", "return"), ("main", "return")]
    main_call, compute_call, compute_return, main_return = records
    m, c = main_call["frame_id"], compute_call["frame_id"]
    assert m != c and m.startswith("frm_") and len(m) == 30
    assert main_call["user_code_call_site"] is None
    assert compute_call["user_code_call_site"] == {"call_frame_id": m, "line_number": CALL_LINE}
    assert compute_return["frame_id"] == c
    assert compute_return["user_code_call_site"] == {"call_frame_id": m, "line_number": CALL_LINE}
    assert main_return["frame_id"] == m and main_return["user_code_call_site"] is None
    assert compute_return["arg"] == 10 and main_return["arg"] == 11
    assert main_call["arg"] is None


def test_record_keys_and_order():
    record = recorded(compute)["frames_of_interest"][0]
    assert list(record) == ["path", "co_name", "qualname", "event", "frame_id", "arg", "locals", "thread",
                            "thread_native_id", "timestamp", "type", "user_code_call_site"]
    assert record["type"] == "frame"
    assert record["thread"] == threading.current_thread().name
    assert record["thread_native_id"] == threading.get_native_id()


def raises():
    raise ValueError("boom")


def catches():
    try:
        raises()
    except ValueError:
        return "caught"


def test_exception_exit_records_a_none_return_and_program_is_unchanged():
    result, host = profile(catches)
    assert result == "caught"
    records = decode(host.rust_profiler.build_trace())["frames_of_interest"]
    raised_return = [r for r in records if r.get("co_name") == "raises" and r["event"] == "return"]
    assert raised_return[0]["arg"] is None


def counter(n):
    for i in range(n):
        yield i


def test_generator_resumptions_each_get_a_new_frame_id():
    records = frames_named(recorded(lambda: list(counter(2))), "counter")
    assert [r["event"] for r in records] == ["call", "return"] * 3
    ids = [r["frame_id"] for r in records]
    assert ids[0] == ids[1] and ids[2] == ids[3] and ids[4] == ids[5]
    assert len({ids[0], ids[2], ids[4]}) == 3
    assert [r["arg"] for r in records if r["event"] == "return"] == [0, 1, None]


def test_generator_resumed_from_another_thread():
    gen = counter(3)

    def resume():
        return next(gen)

    def run():
        first = next(gen)
        thread = threading.Thread(target=resume)
        thread.start()
        thread.join()
        return first, next(gen)

    result, host = profile(run, threading=True)
    assert result == (0, 2)
    document = decode(host.rust_profiler.build_trace())
    other = [r for records in document["frames"].values() for r in records if r["co_name"] == "counter"]
    assert [r["event"] for r in other] == ["call", "return"]
    assert other[0]["frame_id"] == other[1]["frame_id"]


def test_c_calls_reach_nothing():
    records = recorded(lambda: sorted([3, 1, 2]))["frames_of_interest"]
    assert [r["co_name"] for r in records] == ["<lambda>", "<lambda>"]


MODULE_SOURCE = "value = 42\n"


def test_module_frames_are_recorded_without_builtins():
    namespace = {"__name__": "shop.models"}
    code = compile(MODULE_SOURCE, "/srv/app/shop/models.py", "exec")
    recorded_doc = recorded(exec, code, namespace)
    records = [r for r in recorded_doc["frames_of_interest"] if r["co_name"] == "<module>"]
    assert [r["event"] for r in records] == ["call", "return"]
    assert "__builtins__" not in records[1]["locals"]
    assert records[1]["locals"]["value"] == 42
    assert "__builtins__" in namespace


def test_return_whose_call_was_not_seen_has_no_id_and_pops():
    def outer():
        _vopo.register_profiler(host)
        return inner()

    def inner():
        return 5

    host = Host()
    try:
        outer()
        compute()
    finally:
        _vopo.register_noop_profiler()
    records = decode(host.rust_profiler.build_trace())["frames_of_interest"]
    outer_return = [r for r in records if r["co_name"] == "outer"][0]
    assert outer_return["event"] == "return"
    assert outer_return["frame_id"] is None and outer_return["user_code_call_site"] is None
    assert [r["co_name"] for r in records].count("inner") == 2


def test_locals_are_serialized_after_the_call():
    def with_locals(a, b=2):
        c = a + b
        return c

    records = frames_named(recorded(with_locals, 1), "with_locals")
    assert records[0]["locals"] == {"a": 1, "b": 2}
    assert records[1]["locals"] == {"a": 1, "b": 2, "c": 3}


@pytest.fixture
def warnings_seen():
    seen = []

    class Collect(logging.Handler):
        def emit(self, record):
            seen.append(record)

    logger = logging.getLogger("vopo")
    handler = Collect()
    logger.addHandler(handler)
    yield seen
    logger.removeHandler(handler)


@pytest.mark.parametrize("result, error, message", [
    ("text", TypeError, "Can't extract `str` to `Vec`"),
    ([1, 2, 300], OverflowError, "out of range integral type conversion attempted"),
    (3.5, TypeError, "'float' object cannot be converted to 'Sequence'"),
    (["x"], TypeError, None),
])
def test_bad_serializer_results_are_reported_and_program_goes_on(monkeypatch, warnings_seen, result, error,
                                                                 message):
    monkeypatch.setattr(vopo.serialize, "dump_msgpack", lambda value: result)
    value, host = profile(main)
    assert value == 11
    assert decode(host.rust_profiler.build_trace())["frames_of_interest"] == []
    assert len(warnings_seen) == 4
    exc = warnings_seen[0].exc_info[1]
    assert isinstance(exc, error)
    if message is not None:
        assert str(exc) == message


def test_raising_serializer_reports_with_traceback(monkeypatch, warnings_seen):
    def broken(value):
        raise ValueError("cannot serialize")

    monkeypatch.setattr(vopo.serialize, "dump_msgpack", broken)
    assert profile(compute)[0] == 10
    (first, second) = warnings_seen
    assert first.msg == ("Unexpected exception in the profiler.\n    co_filename: %s\n    co_name: %s\n"
                         "    event: %s\n    frame locals: %s\n")
    assert len(first.msg) == 109
    assert first.args[1:3] == ("compute", "call") and second.args[2] == "return"
    assert first.args[0] == compute.__code__.co_filename
    assert isinstance(first.args[3], str)
    assert first.exc_info[1].__traceback__ is not None
    assert "cannot serialize" in first.getMessage() or first.exc_info[1].args == ("cannot serialize",)


def test_byte_sequences_from_the_serializer_are_accepted(monkeypatch):
    monkeypatch.setattr(vopo.serialize, "dump_msgpack", lambda value: [0xC0])
    record = recorded(compute)["frames_of_interest"][0]
    assert record["arg"] is None and record["locals"] is None


def test_replaced_serializer_takes_effect_at_once(monkeypatch):
    seen = []

    def first(value):
        seen.append("first")
        monkeypatch.setattr(vopo.serialize, "dump_msgpack", second)
        return msgpack.packb(1)

    def second(value):
        seen.append("second")
        return msgpack.packb(2)

    monkeypatch.setattr(vopo.serialize, "dump_msgpack", first)
    record = recorded(compute)["frames_of_interest"][0]
    assert seen[:2] == ["first", "second"]
    assert (record["arg"], record["locals"]) == (1, 2)


def test_lightweight_setting_selects_the_other_serializer(monkeypatch):
    used = []
    monkeypatch.setattr(vopo.serialize, "dump_msgpack", lambda v: used.append("full") or b"\xc0")
    monkeypatch.setattr(vopo.serialize, "dump_msgpack_lightweight_repr",
                        lambda v: used.append("light") or b"\xc0")
    recorded(compute, lightweight_repr=True)
    assert set(used) == {"light"}


def test_class_body_in_a_custom_mapping_is_recorded(warnings_seen):
    class Namespace(dict):
        pass

    class Meta(type):
        @classmethod
        def __prepare__(mcs, name, bases):
            return Namespace()

    class OrderedMapping:
        def __init__(self):
            self.data = {}

        def __getitem__(self, key):
            return self.data[key]

        def __setitem__(self, key, value):
            self.data[key] = value

    class MappingMeta(type):
        @classmethod
        def __prepare__(mcs, name, bases):
            return OrderedMapping()

        def __new__(mcs, name, bases, ns):
            return super().__new__(mcs, name, bases, dict(ns.data))

    def define():
        class Plain(metaclass=MappingMeta):
            x = 1
        return Plain

    assert profile(define)[0].x == 1


def test_exception_pending_in_the_program_is_untouched():
    def reraiser():
        try:
            raise KeyError("k")
        except KeyError:
            compute()
            raise

    with pytest.raises(KeyError):
        profile(reraiser)


def test_thread_keeps_its_first_name():
    def renamed():
        compute()
        threading.current_thread().name = "renamed"
        compute()

    def run():
        thread = threading.Thread(target=renamed, name="original")
        thread.start()
        thread.join()

    _, host = profile(run, threading=True)
    records = [r for rs in decode(host.rust_profiler.build_trace())["frames"].values() for r in rs]
    assert {r["thread"] for r in records} == {"original"}


def test_many_threads_profiled_at_once_keep_their_records_apart():
    def leaf(n):
        return n

    def busy(rounds):
        total = 0
        for i in range(rounds):
            total += leaf(i)
        return total

    def run():
        threads = [threading.Thread(target=busy, args=(3000,), name=f"t{i}") for i in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return threads

    threads, host = profile(run, threading=True)
    frames = decode(host.rust_profiler.build_trace())["frames"]
    assert len(frames) == 8
    for native_id, records in frames.items():
        assert {r["thread_native_id"] for r in records} == {native_id}
        leaves = [r for r in records if r["co_name"] == "leaf"]
        assert len(leaves) == 6000
        calls = {r["frame_id"] for r in leaves if r["event"] == "call"}
        returns = {r["frame_id"] for r in leaves if r["event"] == "return"}
        assert calls == returns and len(calls) == 3000
        busy_call = next(r for r in records if r["co_name"] == "busy" and r["event"] == "call")
        assert all(r["user_code_call_site"]["call_frame_id"] == busy_call["frame_id"] for r in leaves)


def test_file_name_without_utf8_form_is_reported(warnings_seen):
    namespace = {}
    exec(compile("def odd():\n    return 7\n", "/srv/app/\udcff.py", "exec"), namespace)
    assert profile(namespace["odd"])[0] == 7
    assert [str(w.exc_info[1]) for w in warnings_seen] == ["`co_filename` is always a string"] * 2
    assert type(warnings_seen[0].exc_info[1]).__name__ == "PanicException"


class Payload:
    pass


def lets_go_between_resumptions(box):
    import gc
    import weakref
    payload = box.pop()
    ref = weakref.ref(payload)
    yield
    del payload
    gc.collect()
    yield ref() is None


def test_recording_locals_keeps_no_object_alive():
    """The locals are read without leaving a snapshot on the frame, so an
    object the program lets go of dies as it would unprofiled."""
    def run():
        steps = lets_go_between_resumptions([Payload()])
        next(steps)
        return next(steps)

    result, host = profile(run)
    assert result is True
    records = frames_named(decode(host.rust_profiler.build_trace()), "lets_go_between_resumptions")
    assert "payload" in records[1]["locals"] and "payload" not in records[-1]["locals"]

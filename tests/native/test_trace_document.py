"""The trace document's layout, byte for byte where it is fixed, and the
MessagePack writer's size classes checked against the msgpack package."""

import pathlib
import struct
import sys
import threading

import msgpack
import pytest

import vopo.git
import vopo.serialize
import vopo.version
from vopo import _vopo
from vopo_testing import Host, decode, profile


def empty_profiler(**host_args):
    host = Host(**host_args)
    _vopo.register_profiler(host)
    _vopo.register_noop_profiler()
    return host.rust_profiler


def fixstr(text):
    data = text.encode()
    return bytes([0xA0 | len(data)]) + data


def test_empty_document_bytes(monkeypatch):
    monkeypatch.setattr(sys, "argv", ["prog", "-x"])
    monkeypatch.setattr(vopo.git, "COMMIT_SHA", None)
    document = empty_profiler(source="unit").build_trace()
    timestamp = decode(document)["timestamp"]
    expected = (
        b"\x88" + fixstr("command_line_args") + b"\x92" + fixstr("prog") + fixstr("-x")
        + fixstr("current_commit_sha") + b"\xc0"
        + fixstr("frames") + b"\x80"
        + fixstr("frames_of_interest") + b"\x90"
        + fixstr("main_thread_id") + msgpack.packb(threading.main_thread().native_id)
        + fixstr("meta") + b"\x83" + fixstr("version") + msgpack.packb(vopo.version.__version__)
        + fixstr("source") + fixstr("unit") + fixstr("use_frame_boundaries") + b"\xc3"
        + fixstr("timestamp") + b"\xcb" + struct.pack(">d", timestamp)
        + fixstr("trace_id") + fixstr("trc_test")
    )
    assert document == expected


def test_document_is_encoded_in_smallest_forms():
    """Re-encoding the decoded document with msgpack gives the same bytes."""
    def work(n):
        return [n] * n

    _, host = profile(lambda: [work(i) for i in range(20)])
    document = host.rust_profiler.build_trace()
    assert msgpack.packb(decode(document)) == document


@pytest.mark.parametrize("length, header", [
    (0, b"\xa0"), (31, b"\xbf"), (32, b"\xd9\x20"), (255, b"\xd9\xff"),
    (256, b"\xda\x01\x00"), (65535, b"\xda\xff\xff"), (65536, b"\xdb\x00\x01\x00\x00"),
])
def test_string_size_classes(length, header):
    source = "s" * length
    document = empty_profiler(source=source).build_trace()
    assert fixstr("source") + header + source.encode() in document
    assert decode(document)["meta"]["source"] == source


def test_non_ascii_strings_count_bytes():
    source = "é" * 20  # 40 bytes of UTF-8
    document = empty_profiler(source=source).build_trace()
    assert b"\xd9\x28" + source.encode() in document


@pytest.mark.parametrize("count, header", [(15, b"\x9f"), (16, b"\xdc\x00\x10")])
def test_record_array_headers(count, header):
    def leaf():
        return None

    def calls():
        for _ in range(count // 2):
            leaf()

    _, host = profile(calls)
    document = host.rust_profiler.build_trace()
    records = decode(document)["frames_of_interest"]
    leaf_records = [r for r in records if r["co_name"] == "leaf"]
    assert len(leaf_records) == count // 2 * 2
    assert len(records) == count // 2 * 2 + 2
    total = len(records)
    expected = bytes([0x90 | total]) if total <= 15 else b"\xdc" + total.to_bytes(2, "big")
    assert fixstr("frames_of_interest") + expected in document


def test_array_32_for_more_than_65535_records():
    def leaf():
        return None

    def calls():
        for _ in range(32768):
            leaf()

    _, host = profile(calls)
    document = host.rust_profiler.build_trace()
    assert fixstr("frames_of_interest") + b"\xdd" + (65538).to_bytes(4, "big") in document
    assert len(decode(document)["frames_of_interest"]) == 65538


def test_threads_map_header_and_keys():
    def work():
        return 1

    def spawn(count):
        threads = [threading.Thread(target=work) for _ in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return [t.native_id for t in threads]

    ids, host = profile(spawn, 16, threading=True)
    document = host.rust_profiler.build_trace()
    frames = decode(document)["frames"]
    # Native ids of ended threads may be reused by later ones.
    assert set(frames) == set(ids)
    header = b"\xde" + len(frames).to_bytes(2, "big") if len(frames) > 15 else bytes([0x80 | len(frames)])
    assert fixstr("frames") + header in document
    assert msgpack.packb(decode(document)) == document


def test_second_build_is_empty_but_keeps_identity():
    def work():
        return 1

    _, host = profile(work)
    first = decode(host.rust_profiler.build_trace())
    second = decode(host.rust_profiler.build_trace())
    assert first["frames_of_interest"] and second["frames_of_interest"] == []
    assert second["frames"] == {}
    for key in ("trace_id", "meta", "main_thread_id", "timestamp"):
        assert first[key] == second[key]


def test_commit_sha_string(monkeypatch):
    monkeypatch.setattr(vopo.git, "COMMIT_SHA", "a" * 40)
    assert decode(empty_profiler().build_trace())["current_commit_sha"] == "a" * 40


@pytest.mark.parametrize("module, attribute, value, error", [
    ("vopo.git", "COMMIT_SHA", 5, TypeError),
    ("vopo.version", "__version__", None, TypeError),
])
def test_host_fact_failures_leave_records_in_place(monkeypatch, module, attribute, value, error):
    def work():
        return 1

    _, host = profile(work)
    monkeypatch.setattr(sys.modules[module], attribute, value)
    with pytest.raises(error):
        host.rust_profiler.build_trace()
    monkeypatch.undo()
    assert [r["co_name"] for r in decode(host.rust_profiler.build_trace())["frames_of_interest"]] == [
        "work", "work"]


class Unrenderable:
    pass


@pytest.mark.parametrize("argv, expected", [
    (["prog", pathlib.PurePosixPath("/tmp/data"), 3], ["prog", "<rendered PurePosixPath>", "<rendered int>"]),
    (("prog", "-v"), ["prog", "-v"]),
    (["prog", "caf\udce9"], ["prog", "caf\\udce9"]),
    ("not a list", []),
    (None, []),
])
def test_any_argv_gives_a_trace(monkeypatch, argv, expected):
    monkeypatch.setattr(vopo.serialize, "render_value", lambda value: f"<rendered {type(value).__name__}>",
                        raising=False)
    monkeypatch.setattr(sys, "argv", argv)
    assert decode(empty_profiler().build_trace())["command_line_args"] == expected


def test_deleted_argv_gives_no_arguments(monkeypatch):
    monkeypatch.delattr(sys, "argv")
    assert decode(empty_profiler().build_trace())["command_line_args"] == []


@pytest.mark.parametrize("render", [
    lambda value: 1 / 0,
    lambda value: b"bytes, not text",
    None,
])
def test_argv_item_that_cannot_be_rendered_is_named_by_type(monkeypatch, render):
    if render is None:
        monkeypatch.delattr(vopo.serialize, "render_value", raising=False)
    else:
        monkeypatch.setattr(vopo.serialize, "render_value", render, raising=False)
    monkeypatch.setattr(sys, "argv", ["prog", Unrenderable()])
    assert decode(empty_profiler().build_trace())["command_line_args"] == ["prog", "<Unrenderable>"]


def test_interrupt_while_rendering_argv_propagates(monkeypatch):
    def interrupted(value):
        raise KeyboardInterrupt

    monkeypatch.setattr(vopo.serialize, "render_value", interrupted, raising=False)
    monkeypatch.setattr(sys, "argv", ["prog", 1])
    with pytest.raises(KeyboardInterrupt):
        empty_profiler().build_trace()


def test_timestamp_is_creation_time():
    import time
    before = time.time()
    profiler = empty_profiler()
    after = time.time()
    time.sleep(0.01)
    assert before <= decode(profiler.build_trace())["timestamp"] <= after

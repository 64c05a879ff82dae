"""The frame record's exact bytes: key order, smallest forms for paths and
line numbers, nil for what is missing, and serializer bytes spliced in."""

import msgpack
import pytest

import vopo.serialize
from vopo_testing import decode, profile


def define(source, filename, name):
    namespace = {"__name__": "records"}
    exec(compile(source, filename, "exec"), namespace)
    return namespace[name]


def test_records_are_smallest_form_maps_in_key_order():
    def add(a, b):
        return a + b

    _, host = profile(add, 1, 2)
    document = host.rust_profiler.build_trace()
    for record in decode(document)["frames_of_interest"]:
        encoded = msgpack.packb(record)
        assert encoded[:6] == b"\x8c\xa4path"
        assert encoded in document
        assert b"\xa4type\xa5frame" in encoded


@pytest.mark.parametrize("length, header", [(40, b"\xd9\x28"), (300, b"\xda\x01\x2c")])
def test_long_paths_use_str8_and_str16(length, header):
    directory = "/srv/" + "d" * (length - len("/srv/") - len("/m.py:2"))
    filename = directory + "/m.py"
    fn = define("def f():\n    return 1\n", filename, "f")
    _, host = profile(fn)
    document = host.rust_profiler.build_trace()
    path = filename + ":2"
    assert len(path.encode()) == length
    assert b"\xa4path" + header + path.encode() in document


@pytest.mark.parametrize("line, encoded", [
    (42, b"\x2a"), (128, b"\xcc\x80"), (300, b"\xcd\x01\x2c"), (70000, b"\xce\x00\x01\x11\x70"),
])
def test_call_site_line_numbers(line, encoded):
    source = "def callee():\n    return 1\n" + "\n" * (line - 4) + "def caller():\n    return callee()\n"
    caller = define(source, "/srv/app/lines.py", "caller")
    _, host = profile(caller)
    document = host.rust_profiler.build_trace()
    callee_call = next(r for r in decode(document)["frames_of_interest"] if r["co_name"] == "callee")
    caller_id = callee_call["user_code_call_site"]["call_frame_id"]
    expected = (b"\xb3user_code_call_site\x82\xadcall_frame_id\xbe" + caller_id.encode()
                + b"\xabline_number" + encoded)
    assert expected in document


def test_missing_values_are_nil_in_place(monkeypatch):
    import threading

    def plain():
        return None

    monkeypatch.setattr(threading.Thread, "native_id", property(lambda self: None))
    _, host = profile(plain)
    document = host.rust_profiler.build_trace()
    call, ret = decode(document)["frames_of_interest"]
    assert call["thread_native_id"] is None
    assert b"\xb0thread_native_id\xc0" in document
    assert call["user_code_call_site"] is None and list(call)[-1] == "user_code_call_site"


def test_serializer_bytes_are_embedded_verbatim(monkeypatch):
    marker = msgpack.packb({"exact": [1, 2.5, "three"]}, use_bin_type=True)
    monkeypatch.setattr(vopo.serialize, "dump_msgpack", lambda value: marker)

    def plain():
        return None

    _, host = profile(plain)
    document = host.rust_profiler.build_trace()
    assert b"\xa3arg" + marker + b"\xa6locals" + marker in document


@pytest.mark.parametrize("length, header", [(5, b"\xa5"), (40, b"\xd9\x28"), (300, b"\xda\x01\x2c")])
def test_thread_names_of_every_size_class(length, header):
    """The fields after the values are written in one bounded run: a long
    thread name must still fit it and keep its smallest form."""
    import threading

    name = "t" * length
    seen = []

    def work():
        return 1

    def run():
        _, host = profile(work, threading=True)
        seen.append(host.rust_profiler.build_trace())

    worker = threading.Thread(target=run, name=name)
    worker.start()
    worker.join()
    document = seen[0]
    decoded = decode(document)
    records = decoded["frames_of_interest"] + [r for rs in decoded["frames"].values() for r in rs]
    assert [r["thread"] for r in records] == [name, name]
    assert b"\xa6thread" + header + name.encode() in document

"""Frame ids as they appear in records: ULID text, time order, and fresh
randomness in a forked child."""

import os
import re
import time

import pytest

from vopo import _vopo
from vopo_testing import frames_named, recorded

ALPHABET = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"
ULID_TEXT = re.compile(f"^[0-7][{ALPHABET}]{{25}}$")


def ulid_millis(text):
    value = 0
    for char in text[:10]:
        value = value * 32 + ALPHABET.index(char)
    return value


def tick():
    return None


def many_ticks(count):
    for _ in range(count):
        tick()


def test_frame_ids_are_prefixed_ulids_of_the_current_time():
    before = int(time.time() * 1000)
    ids = [r["frame_id"] for r in frames_named(recorded(many_ticks, 200), "tick") if r["event"] == "call"]
    after = int(time.time() * 1000)
    assert len(set(ids)) == 200
    for frame_id in ids:
        assert frame_id.startswith("frm_") and len(frame_id) == 30
        assert ULID_TEXT.match(frame_id[4:])
        assert before <= ulid_millis(frame_id[4:]) <= after


def test_ids_sort_by_creation_millisecond():
    def spaced():
        tick()
        time.sleep(0.005)
        tick()

    first, second = [r["frame_id"] for r in frames_named(recorded(spaced), "tick") if r["event"] == "call"]
    assert first < second


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_never_repeats_its_parents_ids():
    from vopo_testing import Host, decode
    host = Host()
    _vopo.register_profiler(host)
    tick()  # fills this thread's random buffer before the fork
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        try:
            tick()
            _vopo.register_noop_profiler()
            records = decode(host.rust_profiler.build_trace())["frames_of_interest"]
            os.write(write_end, records[-1]["frame_id"].encode())
        finally:
            os._exit(0)
    tick()
    _vopo.register_noop_profiler()
    os.close(write_end)
    child_id = os.read(read_end, 64).decode()
    os.close(read_end)
    os.waitpid(pid, 0)
    parent_id = decode(host.rust_profiler.build_trace())["frames_of_interest"][-1]["frame_id"]
    assert len(child_id) == 30
    # Same millisecond or not, the 80 random bits must differ.
    assert child_id[-16:] != parent_id[-16:]

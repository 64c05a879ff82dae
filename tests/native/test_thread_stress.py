"""Many threads profiled at once for several seconds: complete, well-formed
traces with each thread's records in its own list, and no deadlock."""

import threading
import time

import msgpack

from vopo_testing import decode, profile


def leaf(n):
    return n * 2


def numbers(n):
    for i in range(n):
        yield leaf(i)


def failing(n):
    if n % 3 == 0:
        raise ValueError(n)
    return n


def worker(deadline):
    rounds = 0
    while time.monotonic() < deadline:
        sum(numbers(5))
        try:
            failing(rounds)
        except ValueError:
            pass
        rounds += 1
    return rounds


def run_threads(count, seconds):
    deadline = time.monotonic() + seconds
    threads = [threading.Thread(target=worker, args=(deadline,), name=f"stress-{i}") for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(seconds + 60)
    return [thread.is_alive() for thread in threads]


def balanced(records):
    """Every call has one return with its id, in order, and nothing else."""
    open_ids = {}
    for record in records:
        if record["event"] == "call":
            assert record["frame_id"] not in open_ids
            open_ids[record["frame_id"]] = record["co_name"]
        else:
            assert open_ids.pop(record["frame_id"]) == record["co_name"]
    return not open_ids


def test_eight_threads_for_three_seconds():
    alive, host = profile(run_threads, 8, 3.0, threading=True)
    assert not any(alive)
    document = host.rust_profiler.build_trace()
    assert msgpack.packb(decode(document)) == document
    frames = decode(document)["frames"]
    assert len(frames) == 8
    names = set()
    for native_id, records in frames.items():
        records = [r for r in records if r["type"] == "frame"]
        assert {r["thread_native_id"] for r in records} == {native_id}
        names |= {r["thread"] for r in records}
        # The worker's own call went to the thread installer; the rest pairs up.
        inner = [r for r in records if r["co_name"] in ("leaf", "numbers", "failing")]
        assert inner and balanced(inner)
    assert names == {f"stress-{i}" for i in range(8)}

"""A library frame leaves the hook at once only while nothing else needs its
event: a stopped profiler, another profiler's verdict on the same code, a
verdict that depends on the callers or a plugin still get the full event."""

import sys
import threading
import time

import pytest

import vopo.plugins
from vopo import _vopo
from vopo_testing import Host, decode

LIBRARY_FILE = "/venv/lib/python3.10/site-packages/somelib/shared.py"
WATCH = {"co_names": ["library_call"], "path_fragment": "somelib/", "call_type": "enter", "return_type": "leave"}


def compiled(source, name, filename):
    namespace = {"__name__": "somelib.shared"}
    exec(compile(source, filename, "exec"), namespace)
    return namespace[name]


library_call = compiled("def library_call(x):\n    return x + 1\n", "library_call", LIBRARY_FILE)


def records_of(host):
    return decode(host.rust_profiler.build_trace())["frames_of_interest"]


def library_records(host):
    return [r for r in records_of(host) if r.get("co_name") == "library_call" or r["type"] != "frame"]


@pytest.mark.parametrize("warm_calls", [0, 3])
def test_a_stopped_profilers_hook_leaves_at_its_next_library_frame(warm_calls):
    # Stopping removes the calling thread's hook at once; another running
    # thread's goes at its next event.
    host = Host()
    warmed, stopped, seen = threading.Event(), [], []

    def worker():
        _vopo.register_profiler(host)
        try:
            for i in range(warm_calls):
                library_call(i)
            warmed.set()
            # No Python call until the library frame, whose event comes first.
            while not stopped:
                time.sleep(0.001)
            library_call(0)
            seen.append(sys.getprofile())
        finally:
            _vopo.register_noop_profiler()

    thread = threading.Thread(target=worker)
    thread.start()
    assert warmed.wait(timeout=30)
    host.rust_profiler.mark_stopped()
    stopped.append(True)
    thread.join()
    assert seen == [None]
    assert library_records(host) == []


# Each side: its config, and whether it sees library_call (its frames
# recorded, or its plugin run).
SIDES = {
    "ignores": {},
    "records": {"filters": {"include_frames": ["somelib/"]}},
    "watches": {"watch": True},
}


@pytest.mark.parametrize("main_side, worker_side", [
    ("ignores", "records"), ("records", "ignores"), ("ignores", "watches"), ("watches", "ignores"),
])
def test_two_live_profilers_keep_their_own_verdicts_on_shared_code(monkeypatch, main_side, worker_side):
    monkeypatch.setattr(vopo.plugins, "load_plugin_data", lambda config: [dict(WATCH)] if config.get("watch") else [])
    rounds = 3
    main_turn, worker_turn = threading.Semaphore(0), threading.Semaphore(0)
    hosts = {"main": Host(config=SIDES[main_side]), "worker": Host(config=SIDES[worker_side])}

    def worker():
        _vopo.register_profiler(hosts["worker"])
        try:
            for i in range(rounds):
                if not worker_turn.acquire(timeout=30):
                    return
                library_call(i)
                main_turn.release()
        finally:
            _vopo.register_noop_profiler()

    thread = threading.Thread(target=worker)
    _vopo.register_profiler(hosts["main"])
    try:
        thread.start()
        # The calls alternate, so each one meets the other profiler's verdict.
        for i in range(rounds):
            library_call(i)
            worker_turn.release()
            assert main_turn.acquire(timeout=30)
    finally:
        _vopo.register_noop_profiler()
        threading.setprofile(None)
    thread.join()
    counts = {name: len(library_records(host)) for name, host in hosts.items()}
    assert counts == {"main": 0 if main_side == "ignores" else 2 * rounds,
                      "worker": 0 if worker_side == "ignores" else 2 * rounds}


def test_a_caller_dependent_verdict_is_decided_at_every_call(define):
    target = define("def target():\n    return 1\n", "/srv/app/shop/models.py")["target"]
    generated = define("def call():\n    return inner()\n", "/env/attr/_make.py", inner=target)["call"]

    def run():
        target()
        generated()
        target()
        generated()

    host = Host()
    _vopo.register_profiler(host)
    try:
        run()
    finally:
        _vopo.register_noop_profiler()
        threading.setprofile(None)
    events = [r["event"] for r in records_of(host) if r.get("co_name") == "target"]
    assert events == ["call", "return", "call", "return"]

"""Exceptions that belong to the profiled program (interrupts, signal
handlers' exceptions) reach it through the profile hook, and records lost
to a failing or interrupted event never shift the call sites that follow."""

import logging
import os
import signal
import subprocess
import sys
import textwrap

import pytest

import vopo.plugins
import vopo.serialize
from vopo import _vopo
from vopo_testing import Host, decode, profile

MARK = "lose-this-record"
_real_dump = vopo.serialize.dump_msgpack


def serializer_failing_at(nth, make_exception):
    """A serializer that raises make_exception() the nth time it meets MARK."""
    seen = [0]

    def dump(value):
        if isinstance(value, dict) and MARK in value.values():
            seen[0] += 1
            if seen[0] == nth:
                raise make_exception()
        return _real_dump(value)

    return dump


def leaf():
    return 1


def marked(marker=MARK):
    return leaf()


def caller_of_marked():
    marked()
    return leaf()


def frames(host):
    return [r for r in decode(host.rust_profiler.build_trace())["frames_of_interest"] if r["type"] == "frame"]


@pytest.fixture
def quiet_vopo_log():
    logger = logging.getLogger("vopo")
    previous = logger.disabled
    logger.disabled = True
    yield
    logger.disabled = previous


@pytest.mark.parametrize("lost", ["call", "return"])
def test_call_sites_after_a_lost_record_stay_right(monkeypatch, quiet_vopo_log, lost):
    nth = 1 if lost == "call" else 2
    monkeypatch.setattr(vopo.serialize, "dump_msgpack", serializer_failing_at(nth, lambda: ValueError("boom")))
    _, host = profile(caller_of_marked)
    records = frames(host)
    main_call = next(r for r in records if r["co_name"] == "caller_of_marked" and r["event"] == "call")
    assert [r["event"] for r in records if r["co_name"] == "marked"] == (["return"] if lost == "call" else ["call"])
    last_leaf_call = [r for r in records if r["co_name"] == "leaf" and r["event"] == "call"][-1]
    assert last_leaf_call["user_code_call_site"]["call_frame_id"] == main_call["frame_id"]
    main_return = records[-1]
    assert (main_return["co_name"], main_return["event"]) == ("caller_of_marked", "return")
    assert main_return["user_code_call_site"] is None


def interrupted_caller():
    try:
        marked()
    except BaseException as raised:
        caught = type(raised).__name__
    else:
        caught = None
    leaf()
    return caught


@pytest.mark.parametrize("event", ["call", "return"])
@pytest.mark.parametrize("exception, reaches_program", [
    (KeyboardInterrupt, True),
    (SystemExit, True),
    (ValueError, False),
])
def test_interrupts_in_the_serializer_reach_the_program(monkeypatch, quiet_vopo_log, event, exception,
                                                         reaches_program):
    nth = 1 if event == "call" else 2
    monkeypatch.setattr(vopo.serialize, "dump_msgpack", serializer_failing_at(nth, exception))
    caught, host = profile(interrupted_caller)
    assert caught == (exception.__name__ if reaches_program else None)
    records = frames(host)
    marked = [r for r in records if r["co_name"] == "marked"]
    if event == "return":
        assert [r["event"] for r in marked] == ["call"]
    elif reaches_program:
        assert marked == []
    else:
        assert [r["event"] for r in marked] == ["return"]
    caller_call = records[0]
    assert caller_call["co_name"] == "interrupted_caller"
    last_leaf_call = [r for r in records if r["co_name"] == "leaf" and r["event"] == "call"][-1]
    assert last_leaf_call["user_code_call_site"]["call_frame_id"] == caller_call["frame_id"]


class Timeout(Exception):
    pass


def raise_timeout(signum, frame):
    raise Timeout()


@pytest.mark.parametrize("signum, handler, expected", [
    (signal.SIGINT, signal.default_int_handler, "KeyboardInterrupt"),
    (signal.SIGALRM, raise_timeout, "Timeout"),
])
def test_signal_handled_inside_the_serializer_reaches_the_program(monkeypatch, quiet_vopo_log, signum, handler,
                                                                  expected):
    def dump(value):
        if isinstance(value, dict) and MARK in value.values():
            signal.raise_signal(signum)
        return _real_dump(value)

    previous = signal.signal(signum, handler)
    try:
        monkeypatch.setattr(vopo.serialize, "dump_msgpack", dump)
        caught, _ = profile(interrupted_caller)
    finally:
        signal.signal(signum, previous)
    assert caught == expected


def test_exception_of_a_handler_that_is_not_installed_is_reported(monkeypatch, warnings_seen):
    def dump(value):
        if isinstance(value, dict) and MARK in value.values():
            raise_timeout(signal.SIGALRM, None)
        return _real_dump(value)

    monkeypatch.setattr(vopo.serialize, "dump_msgpack", dump)
    caught, _ = profile(interrupted_caller)
    assert caught is None
    assert {type(w.exc_info[1]) for w in warnings_seen} == {Timeout}


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


LOOP_PROGRAM = textwrap.dedent("""
    import os, signal, sys, threading
    sys.path.insert(0, {tests!r})
    import vopo.serialize
    from vopo import _vopo
    from vopo_testing import Host

    # Most of the time goes to the profiler's own Python code, where a
    # signal handler then runs.
    real_dump = vopo.serialize.dump_msgpack

    def slow_dump(value):
        for _ in range(2000):
            pass
        return real_dump(value)

    vopo.serialize.dump_msgpack = slow_dump

    class Timeout(Exception):
        pass

    def on_alarm(signum, frame):
        raise Timeout()

    def work(n):
        return n + 1

    def loop():
        n = 0
        while True:
            n = work(n)

    if {signal_name!r} == "SIGALRM":
        signal.signal(signal.SIGALRM, on_alarm)
        signal.setitimer(signal.ITIMER_REAL, 0.3)
    else:
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
    _vopo.register_profiler(Host())
    try:
        loop()
    except (KeyboardInterrupt, Timeout) as stopped:
        _vopo.register_noop_profiler()
        print("stopped by", type(stopped).__name__)
""")


@pytest.mark.parametrize("signal_name, expected", [("SIGINT", "KeyboardInterrupt"), ("SIGALRM", "Timeout")])
def test_signal_interrupts_a_profiled_loop(tmp_path, signal_name, expected):
    tests = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    program = tmp_path / "looping_program.py"
    program.write_text(LOOP_PROGRAM.format(tests=tests, signal_name=signal_name))
    finished = subprocess.run([sys.executable, str(program)], capture_output=True, text=True, timeout=60)
    assert finished.stdout.strip() == f"stopped by {expected}", finished.stderr
    assert finished.returncode == 0


@pytest.mark.parametrize("exception", [KeyboardInterrupt, SystemExit])
def test_interrupt_while_loading_plugins_is_not_a_broken_expectation(monkeypatch, exception):
    def interrupted(config):
        raise exception()

    monkeypatch.setattr(vopo.plugins, "load_plugin_data", interrupted)
    with pytest.raises(exception):
        _vopo.register_profiler(Host())

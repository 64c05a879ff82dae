"""A program that saves the profile hook and puts it back keeps profiling."""

import sys

import pytest

from fidelity_support import all_records, frames_of, started


def work():
    return 7


def test_a_restored_hook_keeps_profiling():
    host = started()
    saved = sys.getprofile()
    sys.setprofile(None)
    sys.setprofile(saved)
    assert work() == 7
    sys.setprofile(None)
    records = frames_of(all_records(host.rust_profiler), "work")
    assert [(r["event"], r["arg"]) for r in records] == [("call", None), ("return", 7)]


@pytest.mark.parametrize("event, arg, records", [
    ("call", None, 1),
    ("return", 5, 1),
    ("c_call", len, 0),
    ("line", None, 0),
    ("exception", (ValueError, ValueError(), None), 0),
])
def test_the_hook_handles_calls_and_returns_and_returns_itself(event, arg, records):
    host = started()
    sys.setprofile(None)
    instance = host.rust_profiler
    assert instance(sys._getframe(), event, arg) is instance
    recorded = frames_of(all_records(instance), "test_the_hook_handles_calls_and_returns_and_returns_itself")
    assert len(recorded) == records


@pytest.mark.parametrize("args, kwargs", [
    ((1, "call", None), {}),
    ((sys._getframe(), "call"), {}),
    ((sys._getframe(), "call", None), {"extra": 1}),
])
def test_a_wrong_call_raises_type_error(args, kwargs):
    host = started()
    sys.setprofile(None)
    with pytest.raises(TypeError):
        host.rust_profiler(*args, **kwargs)


def test_a_hook_restored_after_stop_removes_itself():
    host = started()
    saved = sys.getprofile()
    host.rust_profiler.mark_stopped()
    sys.setprofile(saved)
    work()
    assert sys.getprofile() is None
    assert frames_of(all_records(host.rust_profiler), "work") == []


def foreign_hook(frame, event, arg):
    pass


def test_a_stopped_instance_called_directly_leaves_a_foreign_hook_alone():
    host = started()
    host.rust_profiler.mark_stopped()
    sys.setprofile(foreign_hook)
    try:
        assert host.rust_profiler(sys._getframe(), "call", None) is host.rust_profiler
        assert sys.getprofile() is foreign_hook
    finally:
        sys.setprofile(None)

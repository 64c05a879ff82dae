"""What a profiler leaves behind once it is marked stopped: no hook on any
thread, no record, and none of the program's objects kept alive."""

import gc
import sys
import threading
import weakref

import pytest

from fidelity_support import all_records, frames_of, started
from vopo import _vopo

AT_ONCE = sys.version_info >= (3, 12)


class Marker:
    pass


def late():
    return 3


def run_in_thread(target):
    thread = threading.Thread(target=target)
    thread.start()
    thread.join()


def test_a_stop_inside_a_profiled_function_keeps_nothing_of_it_alive():
    host = started()
    instance = host.rust_profiler

    def work():
        marker = Marker()
        instance.mark_stopped()
        return weakref.ref(marker)

    ref = work()
    sys.setprofile(None)
    gc.collect()
    assert ref() is None
    assert frames_of(all_records(instance), "work")[0]["event"] == "call"


def test_after_stop_the_hook_removes_itself_and_nothing_is_recorded():
    host = started()
    instance = host.rust_profiler
    instance.mark_stopped()
    late()
    assert sys.getprofile() is None
    assert frames_of(all_records(instance), "late") == []


def test_a_running_thread_removes_its_hook_at_its_next_event():
    host = started(threading=True)
    instance = host.rust_profiler
    running, resume, seen = threading.Event(), threading.Event(), []

    def worker():
        running.set()
        resume.wait()
        late()
        seen.append(sys.getprofile())

    thread = threading.Thread(target=worker)
    thread.start()
    running.wait()
    instance.mark_stopped()
    threading.setprofile(None)
    sys.setprofile(None)
    resume.set()
    thread.join()
    assert seen == [None]
    assert frames_of(all_records(instance), "late") == []


@pytest.mark.skipif(not AT_ONCE, reason="clearing every thread's hook at once needs CPython 3.12+")
@pytest.mark.parametrize("foreign_hook, hooks_released", [(False, 2), (True, 0)])
def test_every_hook_goes_at_once_only_when_all_are_the_profilers(foreign_hook, hooks_released):
    host = started(threading=True)
    instance = host.rust_profiler
    running, resume = threading.Event(), threading.Event()

    def worker():
        if foreign_hook:
            sys.setprofile(lambda frame, event, arg: None)
        running.set()
        resume.wait()

    thread = threading.Thread(target=worker)
    thread.start()
    running.wait()
    before = sys.getrefcount(instance)
    instance.mark_stopped()
    released = before - sys.getrefcount(instance)
    resume.set()
    thread.join()
    sys.setprofile(None)
    # Each thread's hook holds a reference to the instance.
    assert released == hooks_released


def test_a_thread_started_after_stop_is_not_profiled():
    host = started(threading=True)
    instance = host.rust_profiler
    instance.mark_stopped()
    seen = []
    run_in_thread(lambda: seen.append((late(), sys.getprofile())))
    assert seen == [(3, None)]
    assert frames_of(all_records(instance), "late") == []


def test_an_ended_thread_lets_go_of_its_store():
    host = started(threading=True)
    refs = []

    def leaves_its_frame_on_the_stack():
        marker = Marker()
        refs.append(weakref.ref(marker))
        _vopo.register_noop_profiler()

    run_in_thread(leaves_its_frame_on_the_stack)
    gc.collect()
    assert refs[0]() is not None
    # A thread's end is noticed when its OS thread is gone; a later thread's
    # first event collects what it left.
    for _ in range(200):
        run_in_thread(late)
        gc.collect()
        if refs[0]() is None:
            break
    assert refs[0]() is None
    assert host.rust_profiler is not None


@pytest.mark.parametrize("stop_twice", [False, True])
def test_recorded_data_survives_the_stop(stop_twice):
    host = started()
    instance = host.rust_profiler
    late()
    instance.mark_stopped()
    if stop_twice:
        instance.mark_stopped()
    sys.setprofile(None)
    assert [r["event"] for r in frames_of(all_records(instance), "late")] == ["call", "return"]

"""The program may take the profile hook away (its own sys.setprofile, another
profiler); the profiler can tell, before it stops, on how many threads."""

import cProfile
import sys
import threading

import pytest

from vopo import _vopo
from vopo_testing import Host


def work():
    return 1


def other_hook(frame, event, arg):
    return None


def replace_with_other_hook():
    sys.setprofile(other_hook)


def remove_hook():
    sys.setprofile(None)


def enable_another_profiler():
    other = cProfile.Profile()
    other.enable()
    return other.disable


def leave_hook_alone():
    pass


@pytest.mark.parametrize("replace, expected", [
    (replace_with_other_hook, 1),
    (remove_hook, 1),
    pytest.param(enable_another_profiler, 1, marks=pytest.mark.skipif(
        sys.version_info >= (3, 12), reason="from 3.12 cProfile uses sys.monitoring and leaves the hook alone")),
    (leave_hook_alone, 0),
])
def test_replaced_hook_on_the_calling_thread_is_counted(replace, expected):
    host = Host()
    _vopo.register_profiler(host)
    undo = None
    try:
        work()
        undo = replace()
        count = host.rust_profiler.replaced_hook_count()
    finally:
        if undo is not None:
            undo()
        sys.setprofile(None)
    assert count == expected


def test_only_running_threads_that_recorded_are_counted():
    replaced = threading.Event()
    finish = threading.Event()

    def replaces_then_waits():
        work()
        sys.setprofile(None)
        replaced.set()
        finish.wait()

    def replaces_then_ends():
        work()
        sys.setprofile(None)

    host = Host(config={"threading": True})
    _vopo.register_profiler(host)
    try:
        ended = threading.Thread(target=replaces_then_ends)
        ended.start()
        ended.join()
        waiting = threading.Thread(target=replaces_then_waits)
        waiting.start()
        untouched = threading.Thread(target=finish.wait)
        untouched.start()
        replaced.wait()
        work()
        count = host.rust_profiler.replaced_hook_count()
    finally:
        finish.set()
        _vopo.register_noop_profiler()
        threading.setprofile(None)
    waiting.join()
    untouched.join()
    assert count == 1

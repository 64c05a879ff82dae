"""Reading a frame's locals changes nothing the program can see."""

import sys

from fidelity_support import all_records, frames_of, started
from vopo_testing import profile


def snapshot_then_assign():
    d = locals()
    x = 1  # noqa: F841
    return d


def test_locals_taken_by_the_program_are_not_refreshed_by_profiling():
    assert profile(snapshot_then_assign)[0] == {}


def owner(a, b, capture):
    c = 3

    def inner():
        return a + c

    del b
    if capture:
        return list(sys._getframe().f_locals)
    return inner


def test_recorded_locals_are_what_f_locals_gives_in_its_order():
    expected = [name for name in owner(1, 2, True) if name != "capture"]
    host = started()
    owner(1, 2, False)
    sys.setprofile(None)
    [call, ret] = frames_of(all_records(host.rust_profiler), "owner")
    assert set(call["locals"]) == {"a", "b", "capture"}
    assert [name for name in ret["locals"] if name != "capture"] == expected
    assert (ret["locals"]["a"], ret["locals"]["c"]) == (1, 3)


def test_a_class_body_namespace_is_recorded_unchanged():
    host = started()

    class Body:
        value = 1

        def method(self):
            return super().method

    sys.setprofile(None)
    [_, ret] = frames_of(all_records(host.rust_profiler), "Body")
    assert ret["locals"]["value"] == 1
    assert "__class__" not in vars(Body)

"""Code run with globals that name no module is recorded without a module
part, and without a warning."""

import sys

import pytest

from fidelity_support import all_records, started

SOURCE = """\
def f():
    return 1


class C:
    def m(self):
        return 2


f()
C().m()
"""


@pytest.mark.parametrize("namespace", [{}, {"__name__": 42}, {"__name__": None}])
def test_names_carry_no_module_part(namespace, warnings_seen):
    host = started()
    exec(compile(SOURCE, "generated.py", "exec"), namespace)
    sys.setprofile(None)
    records = [r for r in all_records(host.rust_profiler) if r["type"] == "frame" and r["path"].startswith("generated.py")]
    returned = {(r["co_name"], r["qualname"]) for r in records if r["event"] == "return"}
    assert returned == {("<module>", "<module>"), ("f", "f"), ("C", "C"), ("m", "C.m")}
    assert len(records) == 8
    assert warnings_seen == []


def test_the_module_call_record_gives_the_first_line():
    host = started()
    exec(compile("\n\nvalue = 1\n", "first_line.py", "exec"), {"__name__": "first_line"})
    sys.setprofile(None)
    [call] = [r for r in all_records(host.rust_profiler)
              if r["type"] == "frame" and r["co_name"] == "<module>" and r["event"] == "call"]
    assert call["path"] == "first_line.py:1"

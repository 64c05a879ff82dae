"""Failure reports say where they come from and show the locals without
running the program's code."""

import sys

import pytest

import vopo.serialize
from fidelity_support import started

TEMPLATE_FIRST_LINE = "Unexpected exception in the profiler.\n"


class Loud:
    reprs = 0

    def __repr__(self):
        Loud.reprs += 1
        return "loud"

    __str__ = __repr__


def failing_event(value):
    return value


def broken_serializer(value):
    raise ValueError("cannot serialize")


def render_failing(locals_):
    raise RuntimeError("no rendering")


@pytest.mark.parametrize("renderer, shown", [
    (lambda locals_: f"rendered {sorted(locals_)}", "rendered ['value']"),
    (render_failing, "<locals not shown>"),
    (lambda locals_: 5, "<locals not shown>"),
    (None, "<locals not shown>"),
])
def test_the_report_shows_the_hosts_rendering_of_the_locals(monkeypatch, warnings_seen, renderer, shown):
    if renderer is None:
        monkeypatch.delattr(vopo.serialize, "render_locals", raising=False)
    else:
        monkeypatch.setattr(vopo.serialize, "render_locals", renderer, raising=False)
    monkeypatch.setattr(vopo.serialize, "dump_msgpack", broken_serializer)
    Loud.reprs = 0
    started()
    failing_event(Loud())
    sys.setprofile(None)
    messages = [w.getMessage() for w in warnings_seen if w.args[1] == "failing_event"]
    assert messages and all(m.startswith(TEMPLATE_FIRST_LINE) for m in messages)
    assert all(m.endswith(f"    frame locals: {shown}\n") for m in messages)
    assert Loud.reprs == 0

"""An interrupt raised inside plugin code reaches the profiled program, and
the plugin table stays usable afterwards."""

import pytest

from conftest import describe, plugin_records, run_profiled


def guarded():
    return 1


def calls_guarded_twice():
    try:
        guarded()
    except KeyboardInterrupt:
        interrupted = True
    else:
        interrupted = False
    return interrupted, guarded()


@pytest.mark.parametrize("event", ["call", "return"])
def test_interrupt_in_a_plugin_reaches_the_program(use_plugins, event):
    seen = []

    def interrupt_once(frame, kind, arg, context):
        seen.append(kind)
        if kind == event and seen.count(event) == 1:
            raise KeyboardInterrupt
        return True

    use_plugins(describe(["guarded"], call=interrupt_once))
    (interrupted, value), records = run_profiled(calls_guarded_twice)
    assert (interrupted, value) == (True, 1)
    assert [r["type"] for r in plugin_records(records)][-2:] == ["enter", "leave"]

"""A library frame one profiler skips is still seen by the plugins of the next."""

import pytest

from conftest import describe, library_function, plugin_records, run_profiled

FILENAME = "/venv/lib/python3.10/site-packages/somelib/verdicts.py"
settle = library_function("def settle(amount):\n    return amount\n", "settle", FILENAME)


def settle_three_times():
    return [settle(i) for i in range(3)]


@pytest.mark.parametrize("plugin_runs", [[False, True, False], [True, False, True]],
                         ids=["plain-first", "plugin-first"])
def test_each_profiler_sees_library_frames_with_its_own_plugins(use_plugins, plugin_runs):
    counts = []
    for with_plugin in plugin_runs:
        use_plugins(*([describe(["settle"], path_fragment="somelib/")] if with_plugin else []))
        _, records = run_profiled(settle_three_times)
        counts.append(len(plugin_records(records)))
    assert counts == [6 if with_plugin else 0 for with_plugin in plugin_runs]

"""Helpers for the plugin tests: plugin descriptions, a profiler whose
plugin table holds them, and the records a profiled call produced."""

import pytest

import vopo.plugins
from vopo_testing import Host, decode, profile

HERE = "tests/plugins/"


def describe(co_names, **keys):
    """A description matching functions of this folder by name."""
    return {"co_names": co_names, "path_fragment": HERE, "call_type": "enter", "return_type": "leave", **keys}


@pytest.fixture
def use_plugins(monkeypatch):
    """Makes the next profiler load exactly these descriptions."""
    def install(*descriptions):
        monkeypatch.setattr(vopo.plugins, "load_plugin_data", lambda config: list(descriptions))
    return install


def run_profiled(fn, *args, host=None, **config):
    """(result, every record kept in frames_of_interest) of profiling fn(*args)."""
    result, host = profile(fn, *args, host=host if host is not None else Host(config=config))
    return result, decode(host.rust_profiler.build_trace())["frames_of_interest"]


def plugin_records(records):
    return [r for r in records if r["type"] != "frame"]


def library_function(source, name, filename="/venv/lib/python3.10/site-packages/somelib/handlers/base.py"):
    """A function compiled as if it lived in an installed library."""
    namespace = {}
    exec(compile(source, filename, "exec"), namespace)
    return namespace[name]

"""Fixtures for the native module's tests."""

import pytest

from vopo_testing import recorded


def frame_records(fn, *args, config=None):
    """The frame records of profiling fn(*args) under `config`."""
    document = recorded(fn, *args, **(config or {}))
    return [r for r in document["frames_of_interest"] if r.get("type") == "frame"]


def run_as_module(source, filename, module="app.module", **names):
    """Runs `source` as the file `filename` of module `module`; returns its namespace."""
    namespace = {"__name__": module, **names}
    exec(compile(source, filename, "exec"), namespace)
    return namespace


@pytest.fixture
def record():
    return frame_records


@pytest.fixture
def define():
    return run_as_module


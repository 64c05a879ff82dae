"""Fixtures shared by every test directory."""

import threading

import pytest

from vopo import _vopo
from vopo_testing import Host


@pytest.fixture
def make_host():
    return Host


@pytest.fixture(autouse=True)
def profiling_off():
    """No test leaves a profile function behind, even when it fails."""
    yield
    _vopo.register_noop_profiler()
    threading.setprofile(None)

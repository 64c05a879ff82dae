"""Fixtures shared by every test directory."""

import logging
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


@pytest.fixture
def warnings_seen():
    """The warnings logged on the "vopo" logger while the test runs."""
    seen = []

    class Collect(logging.Handler):
        def emit(self, record):
            seen.append(record)

    logger = logging.getLogger("vopo")
    handler = Collect()
    logger.addHandler(handler)
    yield seen
    logger.removeHandler(handler)

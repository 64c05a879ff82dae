"""Fixtures for the tests of what profiling leaves visible to the program."""

import logging

import pytest


@pytest.fixture
def warnings_seen():
    seen = []

    class Collect(logging.Handler):
        def emit(self, record):
            seen.append(record)

    logger = logging.getLogger("vopo")
    handler = Collect()
    logger.addHandler(handler)
    yield seen
    logger.removeHandler(handler)

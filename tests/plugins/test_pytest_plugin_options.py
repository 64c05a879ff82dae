"""The pytest plugin's end_test records say how each test went, and its
--vopo-* options give the profiler the settings `vopo run` has."""

import os
import sqlite3
import subprocess
import sys
from types import SimpleNamespace

import pytest

from vopo.filters.pytest_runs import LatestTestOutcome
from vopo.pytest_plugin import profiler_config
from vopo_testing import decode

SUITE = """
import threading
import pytest


def helper(x):
    return x * 2


@pytest.fixture
def broken():
    raise RuntimeError("setup fails")


@pytest.fixture
def breaks_after():
    yield
    raise RuntimeError("teardown fails")


def test_passes():
    assert helper(1) == 2


def test_fails():
    assert helper(1) == 3


def test_setup_error(broken):
    pass


def test_teardown_error(breaks_after):
    assert helper(2) == 4


def test_skipped():
    pytest.skip("not today")


@pytest.mark.xfail(reason="known")
def test_expected_failure():
    assert helper(1) == 3


def test_in_a_thread():
    worker = threading.Thread(target=helper, args=(5,))
    worker.start()
    worker.join()
"""

OUTCOMES = {
    "test_passes": "passed",
    "test_fails": "failed",
    "test_setup_error": "error",
    "test_teardown_error": "error",
    "test_skipped": "skipped",
    "test_expected_failure": "skipped",
    "test_in_a_thread": "passed",
}


def run_suite(tmp_path, *options):
    (tmp_path / "test_suite.py").write_text(SUITE)
    db = tmp_path / "traces.sqlite3"
    environment = {**os.environ, "PYTEST_DISABLE_PLUGIN_AUTOLOAD": "1"}
    subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "vopo.pytest_plugin",
         "--vopo", "--vopo-db", str(db), *options, "test_suite.py"],
        cwd=tmp_path, env=environment, capture_output=True, text=True, timeout=120,
    )
    with sqlite3.connect(db) as connection:
        rows = connection.execute("SELECT msgpack FROM traces ORDER BY id").fetchall()
    return {_test_name(document): document for document in (decode(blob) for (blob,) in rows)}


def _test_name(document):
    return document["frames_of_interest"][0]["node_id"].split("::")[1]


def all_records(document):
    return [*document["frames_of_interest"], *(r for rs in document["frames"].values() for r in rs)]


def recorded_functions(document):
    return {r["co_name"] for r in all_records(document) if r["type"] == "frame"}


def test_end_test_records_carry_each_tests_outcome(tmp_path):
    traces = run_suite(tmp_path)
    assert set(traces) == set(OUTCOMES)
    for name, document in traces.items():
        start, end = document["frames_of_interest"][0], document["frames_of_interest"][-1]
        assert (start["type"], end["type"]) == ("start_test", "end_test")
        assert "outcome" not in start and end["outcome"] == OUTCOMES[name], name


@pytest.mark.parametrize(
    "options, recorded, not_recorded",
    [
        ((), {"test_passes", "helper"}, set()),
        (("--vopo-ignore", "test_suite"), set(), {"test_passes", "helper"}),
        (("--vopo-include", "_pytest/python.py"), {"test_passes", "pytest_pyfunc_call"}, set()),
    ],
)
def test_include_and_ignore_options_choose_the_recorded_files(tmp_path, options, recorded, not_recorded):
    functions = recorded_functions(run_suite(tmp_path, *options)["test_passes"])
    assert recorded <= functions and not (not_recorded & functions)


@pytest.mark.parametrize("threading_on", [False, True])
def test_the_threading_option_records_threads_tests_start(tmp_path, threading_on):
    options = ("--vopo-threading",) if threading_on else ()
    document = run_suite(tmp_path, *options)["test_in_a_thread"]
    helper_calls = [r for r in all_records(document) if r.get("co_name") == "helper" and r["event"] == "call"]
    assert len(helper_calls) == threading_on


@pytest.mark.parametrize("lightweight", [False, True])
def test_options_become_the_profiler_configuration(lightweight):
    values = {"vopo_threading": True, "vopo_lightweight": lightweight,
              "vopo_include": ["lib/"], "vopo_ignore": ["gen/", "tmp/"]}
    config = SimpleNamespace(getoption=values.__getitem__)
    assert profiler_config(config) == {
        "threading": True,
        "lightweight_repr": lightweight,
        "filters": {"include_frames": ["lib/"], "ignore_frames": ["gen/", "tmp/"]},
    }


def report(node_id, when, outcome):
    return SimpleNamespace(nodeid=node_id, when=when, failed=outcome == "failed", skipped=outcome == "skipped")


@pytest.mark.parametrize(
    "phases, expected",
    [
        ([("setup", "passed"), ("call", "failed"), ("teardown", "failed")], "failed"),
        ([("setup", "passed"), ("call", "passed"), ("teardown", "failed")], "error"),
        ([("setup", "skipped"), ("teardown", "passed")], "skipped"),
        ([("setup", "failed"), ("teardown", "passed")], "error"),
    ],
)
def test_an_outcome_combines_the_reports_of_one_test(phases, expected):
    latest = LatestTestOutcome()
    latest.add_report(report("t::earlier", "call", "failed"))
    for when, outcome in phases:
        latest.add_report(report("t::this", when, outcome))
    assert (latest.of("t::this"), latest.of("t::earlier"), latest.of(None)) == (expected, None, None)

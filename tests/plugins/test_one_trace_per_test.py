"""One trace per test: "start_test" records open a new trace, "end_test"
records save it, and the pytest plugin drives both for every test."""

import os
import sqlite3
import subprocess
import sys

import vopo.db
from conftest import describe, run_profiled
from vopo_testing import Host, decode


def body(name):
    return name.upper()


def run_test(name):
    return body(name)


def session():
    body("before")
    run_test("a")
    run_test("b")
    body("after")


def saved(db):
    rows = sqlite3.connect(db).execute("SELECT trace_id, msgpack FROM traces ORDER BY id").fetchall()
    return [(trace_id, decode(document)) for trace_id, document in rows]


def test_each_test_is_saved_as_its_own_trace(use_plugins, tmp_path):
    use_plugins(describe(["run_test"], call_type="start_test", return_type="end_test"))
    db = tmp_path / "traces.sqlite3"
    _, left_over = run_profiled(session, host=Host(db_path=db, one_trace_per_test=True))
    traces = saved(db)
    assert len(traces) == 2 and traces[0][0] != traces[1][0]
    for (trace_id, document), name in zip(traces, "ab"):
        assert trace_id == document["trace_id"] != "trc_test" and trace_id.startswith("trc_")
        records = document["frames_of_interest"]
        assert [(r["type"], r.get("co_name"), r.get("event")) for r in records] == [
            ("start_test", None, None), ("frame", "run_test", "call"), ("frame", "body", "call"),
            ("frame", "body", "return"), ("frame", "run_test", "return"), ("end_test", None, None)]
        assert records[2]["locals"] == {"name": name}
    # What follows the last test waits for the next save, under the last id.
    assert [(r["co_name"], r["event"]) for r in left_over] == [("body", "call"), ("body", "return"),
                                                               ("session", "return")]


def test_the_type_process_leaves_is_what_the_lifecycle_sees(use_plugins, monkeypatch):
    saves = []
    monkeypatch.setattr(vopo.db, "save_trace_in_sqlite", lambda *args, **kwargs: saves.append(args))
    use_plugins(describe(["run_test"], process=lambda f, event, a, c: {"type": "end_test"} if event == "return" else {}))
    run_profiled(session, host=Host(one_trace_per_test=True))
    assert len(saves) == 2


SUITE = """
import pytest


def helper(x):
    return x * 2


def test_one():
    assert helper(1) == 2


@pytest.mark.parametrize("n", [1, 2])
def test_param(n):
    assert helper(n) == 2 * n


def test_fails():
    assert helper(1) == 3
"""


def run_pytest(tmp_path, *options):
    (tmp_path / "test_suite.py").write_text(SUITE)
    environment = {**os.environ, "PYTEST_DISABLE_PLUGIN_AUTOLOAD": "1"}
    return subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "vopo.pytest_plugin",
                           *options, "test_suite.py"], cwd=tmp_path, env=environment, capture_output=True, text=True)


def test_pytest_plugin_saves_one_trace_per_test_holding_its_frames(tmp_path):
    db = tmp_path / "traces.sqlite3"
    completed = run_pytest(tmp_path, "--vopo", "--vopo-db", str(db))
    assert completed.returncode == 1 and "1 failed, 3 passed" in completed.stdout, completed.stdout
    traces = saved(db)
    node_ids = [document["frames_of_interest"][0]["node_id"] for _, document in traces]
    assert node_ids == ["test_suite.py::test_one", "test_suite.py::test_param[1]", "test_suite.py::test_param[2]",
                        "test_suite.py::test_fails"]
    for _, document in traces:
        records = document["frames_of_interest"]
        assert (records[0]["type"], records[-1]["type"]) == ("start_test", "end_test")
        assert records[-1]["node_id"] == records[0]["node_id"]
        test_name = records[0]["node_id"].split("::")[1].split("[")[0]
        assert {r["co_name"] for r in records if r["type"] == "frame"} == {test_name, "helper"}


def test_pytest_plugin_is_off_unless_asked_for(tmp_path):
    completed = run_pytest(tmp_path)
    assert "1 failed, 3 passed" in completed.stdout
    assert list(tmp_path.glob("*.sqlite3")) == []

"""Saving into the store: migration of old databases, the summary columns,
file permissions, and the databases and paths vopo refuses."""

import os
import sqlite3
import subprocess
import sys

import pytest

import vopo
from documents import document, legacy_store, records_of_request, records_of_test
from vopo import db, lineage, serialize, store
from vopo.store import schema

PACKAGE_ROOT = os.path.dirname(os.path.dirname(vopo.__file__))


def save(path, trace_id, blob):
    return db.save_trace_in_sqlite(str(path), trace_id, timeout=5, msgpack=blob)


def columns_of(path):
    with sqlite3.connect(path) as connection:
        names = [row[1] for row in connection.execute("PRAGMA table_info(traces)")]
        rows = connection.execute(f"SELECT {', '.join(names)} FROM traces ORDER BY id").fetchall()
    connection.close()
    return [dict(zip(names, row)) for row in rows]


def test_an_old_database_is_migrated_in_place_on_first_write(tmp_path):
    path = tmp_path / "old.sqlite3"
    old_test = document(records_of_test("t.py::test_a", "failed"), trace_id="trc_OLD", timestamp=1.0)
    legacy_store(path, [("trc_OLD", old_test), ("trc_BROKEN", b"\x88\xa5")])

    save(path, "trc_NEW", document(records_of_request("GET", "/cart", "200 OK"), trace_id="trc_NEW"))

    rows = columns_of(path)
    assert [row["trace_id"] for row in rows] == ["trc_OLD", "trc_BROKEN", "trc_NEW"]
    assert rows[0]["msgpack"] == old_test and rows[1]["msgpack"] == b"\x88\xa5"
    assert all(row["summary_version"] == schema.SUMMARY_VERSION for row in rows)
    assert (rows[0]["node_id"], rows[0]["outcome"], rows[0]["frame_records"], rows[0]["value_model"]) == (
        "t.py::test_a", "failed", 2, 1)
    assert rows[1]["problem"].startswith("truncated or corrupt MessagePack")
    assert (rows[2]["request_method"], rows[2]["request_path"], rows[2]["request_status"]) == ("GET", "/cart", "200 OK")
    with sqlite3.connect(path) as connection:
        assert connection.execute("PRAGMA application_id").fetchone()[0] == schema.APPLICATION_ID
    with store.open_store(path) as reader:
        assert [info.trace_id for info in reader.list_traces()] == ["trc_NEW", "trc_BROKEN", "trc_OLD"]


def test_the_summary_holds_what_the_list_shows(tmp_path, monkeypatch):
    monkeypatch.setattr(serialize, "VALUE_MODEL_VERSION", 2, raising=False)
    monkeypatch.setenv(lineage.ENV_VAR, "trc_PARENT")
    worker = [dict(record, thread_native_id=7, thread="worker") for record in records_of_test("x", "passed")[1:3]]
    records = records_of_test("t.py::test_b", "passed", start=50.0)
    # An exception record is a detail of the return before it: neither a record nor a thread of its own.
    records.insert(3, {"type": "frame_exception", "frame_id": "frm_1", "exception_type": None, "exception": None,
                       "timestamp": 52.0})
    blob = document(records, threads={7: worker}, timestamp=1.0, source="vopo.pytest")
    save(tmp_path / "t.sqlite3", "trc_A", blob)

    with store.open_store(tmp_path / "t.sqlite3") as reader:
        info = reader.trace("trc_A")
    assert info.started_at == 50.0  # the test's own start, not the profiler's
    assert (info.first_record_at, info.last_record_at, info.duration) == (11.0, 53.0, 3.0)
    assert (info.frame_records, info.records, info.threads, info.size) == (4, 6, 2, len(blob))
    assert (info.node_id, info.outcome, info.source) == ("t.py::test_b", "passed", "vopo.pytest")
    assert (info.value_model, info.parent_trace_id, info.problem) == (2, "trc_PARENT", None)


@pytest.mark.parametrize("set_in_process, environment, expected", [
    ("trc_SET", "trc_ENV", "trc_SET"), (None, "trc_ENV", "trc_ENV"), (None, None, None),
    ("trc_SELF", None, None),  # a trace is never its own parent
])
def test_the_parent_trace_id_comes_from_the_process_or_its_environment(tmp_path, monkeypatch, set_in_process,
                                                                       environment, expected):
    if environment is None:
        monkeypatch.delenv(lineage.ENV_VAR, raising=False)
    else:
        monkeypatch.setenv(lineage.ENV_VAR, environment)
    lineage.set_parent_trace_id(set_in_process)
    try:
        save(tmp_path / "t.sqlite3", "trc_SELF", document())
    finally:
        lineage.set_parent_trace_id(None)
    assert columns_of(tmp_path / "t.sqlite3")[0]["parent_trace_id"] == expected


def test_a_new_database_is_readable_by_its_owner_only(tmp_path):
    previous = os.umask(0)
    try:
        save(tmp_path / "sub" / "t.sqlite3", "trc_A", document())
    finally:
        os.umask(previous)
    assert os.stat(tmp_path / "sub" / "t.sqlite3").st_mode & 0o777 == 0o600


def other_application(path):
    with sqlite3.connect(path) as connection:
        connection.execute("CREATE TABLE users (name TEXT, password TEXT)")
        connection.execute("INSERT INTO users VALUES ('ann', 'secret')")
    connection.close()


def with_application_id(path):
    with sqlite3.connect(path) as connection:
        connection.execute("PRAGMA application_id = 1234")
        connection.execute("CREATE TABLE traces (id INTEGER PRIMARY KEY, trace_id TEXT, saved_at REAL, msgpack BLOB)")
    connection.close()


@pytest.mark.parametrize("make", [other_application, with_application_id], ids=["other tables", "other id"])
@pytest.mark.parametrize("through_symlink", [False, True])
def test_another_applications_database_is_refused_and_left_alone(tmp_path, make, through_symlink):
    target = tmp_path / "app.sqlite3"
    make(target)
    before = target.read_bytes()
    path = target
    if through_symlink:
        path = tmp_path / "vopo.sqlite3"
        path.symlink_to(target)
    with pytest.raises(store.NotAVopoStore, match="another application") as raised:
        save(path, "trc_A", document())
    assert raised.value.path == str(path)
    with pytest.raises(store.NotAVopoStore, match="not a vopo trace database"):
        store.open_store(path)
    assert target.read_bytes() == before


@pytest.mark.parametrize("path", [":memory:", "", "file::memory:", "file:traces?mode=memory&cache=shared"])
def test_memory_databases_are_refused(tmp_path, monkeypatch, path):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError, match="db_path"):
        save(path, "trc_A", document())
    with pytest.raises(ValueError, match="db_path"):
        store.open_store(path)
    assert os.listdir(tmp_path) == []


def test_a_storage_failure_is_a_trace_store_error_with_path_and_reason(tmp_path):
    path = tmp_path / "t.sqlite3"
    save(path, "trc_A", document())
    with sqlite3.connect(path) as connection:
        # A trigger stands in for a full or read-only disk: SQLite refuses the write.
        connection.execute("CREATE TRIGGER refuse BEFORE INSERT ON traces BEGIN SELECT RAISE(ABORT, 'disk full'); END")
    connection.close()
    with pytest.raises(store.TraceStoreError) as raised:
        save(path, "trc_B", document())
    assert raised.value.path == str(path) and raised.value.reason == "disk full"
    assert not isinstance(raised.value, sqlite3.Error)


HOT_JOURNAL_WRITER = """
import os, sqlite3, sys
connection = sqlite3.connect(sys.argv[1], isolation_level=None)
connection.execute("PRAGMA cache_size = 1")
connection.execute("BEGIN")
for number in range(2000):
    connection.execute("INSERT INTO traces (trace_id, saved_at, msgpack) VALUES ('trc_HALF', 0, ?)", (b"x" * 4000,))
os._exit(0)
"""


@pytest.fixture
def hot_journal(tmp_path):
    """A database whose save was cut short: its journal is still hot."""
    path = tmp_path / "t.sqlite3"
    save(path, "trc_A", document(trace_id="trc_A"))
    subprocess.run([sys.executable, "-c", HOT_JOURNAL_WRITER, str(path)], check=True)
    journal = tmp_path / "t.sqlite3-journal"
    assert journal.exists() and journal.stat().st_size > 0
    return path


def test_a_reader_that_may_write_rolls_a_hot_journal_back(hot_journal):
    with store.open_store(hot_journal) as reader:
        assert [info.trace_id for info in reader.list_traces()] == ["trc_A"]
    assert not os.path.exists(str(hot_journal) + "-journal")


def test_a_reader_that_may_not_write_says_there_is_a_hot_journal(hot_journal, monkeypatch):
    monkeypatch.setattr(store.reader.os, "access", lambda path, mode: False)
    before = hot_journal.read_bytes()
    with pytest.raises(store.HotJournal, match="hot journal .* interrupted save"):
        store.open_store(hot_journal)
    assert hot_journal.read_bytes() == before

"""Saving traces through the host's storage function, and what happens to
the records when that fails."""

import sqlite3
import threading

import pytest

import vopo.db
from vopo import _vopo
from vopo_testing import Host, decode, profile


def work():
    return 1


def test_save_stores_a_row_the_host_can_read(tmp_path):
    db = tmp_path / "traces.sqlite3"
    _, host = profile(work, host=Host(db_path=db, config={"sqlite_busy_timeout": 3}))
    host.rust_profiler.save_request_in_db()
    rows = sqlite3.connect(db).execute("SELECT trace_id, msgpack FROM traces").fetchall()
    assert len(rows) == 1
    trace_id, document = rows[0]
    assert trace_id == "trc_test"
    assert [r["co_name"] for r in decode(document)["frames_of_interest"]] == ["work", "work"]
    assert decode(host.rust_profiler.build_trace())["frames_of_interest"] == []


def test_storage_call_shape(monkeypatch):
    calls = []
    monkeypatch.setattr(vopo.db, "save_trace_in_sqlite", lambda *a, **k: calls.append((a, k)))
    _, host = profile(work, host=Host(db_path=12, config={"sqlite_busy_timeout": 7}))
    assert host.rust_profiler.save_request_in_db() is None
    (args, kwargs), = calls
    assert args == ("12", "trc_test")
    assert sorted(kwargs) == ["msgpack", "timeout"]
    assert kwargs["timeout"] == 7 and type(kwargs["timeout"]) is int
    assert decode(kwargs["msgpack"])["trace_id"] == "trc_test"


def failing_storage(*args, **kwargs):
    raise sqlite3.OperationalError("database is locked")


@pytest.mark.parametrize("break_storage", [
    lambda mp: mp.setattr(vopo.db, "save_trace_in_sqlite", failing_storage),
    lambda mp: mp.delattr(vopo.db, "save_trace_in_sqlite"),
    lambda mp: mp.setitem(__import__("sys").modules, "vopo.db", None),
])
def test_failed_save_loses_nothing(monkeypatch, break_storage):
    _, host = profile(work)
    break_storage(monkeypatch)
    with pytest.raises(Exception):
        host.rust_profiler.save_request_in_db()
    monkeypatch.undo()
    document = decode(host.rust_profiler.build_trace())
    assert [r["co_name"] for r in document["frames_of_interest"]] == ["work", "work"]
    assert document["trace_id"] == "trc_test"


def test_records_stored_during_a_failed_save_follow_the_saved_ones(monkeypatch):
    def first():
        return 1

    def second():
        return 2

    def storage_that_records_then_fails(*args, **kwargs):
        second()
        raise sqlite3.OperationalError("busy")

    monkeypatch.setattr(vopo.db, "save_trace_in_sqlite", storage_that_records_then_fails)
    host = Host()
    _vopo.register_profiler(host)
    try:
        first()
        with pytest.raises(sqlite3.OperationalError):
            host.rust_profiler.save_request_in_db()
    finally:
        _vopo.register_noop_profiler()
    names = [r["co_name"] for r in decode(host.rust_profiler.build_trace())["frames_of_interest"]
             if r["type"] == "frame"]
    assert names[:2] == ["first", "first"]
    assert names.index("second") > 1


def test_failed_save_puts_every_list_back_byte_for_byte(monkeypatch):
    """Records of several threads, more than one storage block's worth, come
    back from a failed save unchanged and in order."""
    documents = []

    def storage_that_fails(*args, msgpack, timeout):
        documents.append(msgpack)
        raise sqlite3.OperationalError("busy")

    def leaf(i):
        return i

    def busy():
        for i in range(300):
            leaf(i)

    def run():
        workers = [threading.Thread(target=busy) for _ in range(3)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        busy()

    _, host = profile(run, threading=True)
    monkeypatch.setattr(vopo.db, "save_trace_in_sqlite", storage_that_fails)
    with pytest.raises(sqlite3.OperationalError):
        host.rust_profiler.save_request_in_db()
    with pytest.raises(sqlite3.OperationalError):
        host.rust_profiler.save_request_in_db()
    first, second = documents
    assert first == second
    document = decode(first)
    assert len(document["frames"]) == 3
    assert all(len(records) >= 600 for records in document["frames"].values())
    assert len(document["frames_of_interest"]) > 600
    monkeypatch.undo()
    assert host.rust_profiler.build_trace() == first

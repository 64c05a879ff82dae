import os
import sqlite3
import subprocess
import sys
import threading
import time

import pytest

import vopo
from vopo import db, store
from vopo.store import schema

PACKAGE_ROOT = os.path.dirname(os.path.dirname(vopo.__file__))


def save(path, trace_id, document=b"\x80", timeout=5):
    return db.save_trace_in_sqlite(str(path), trace_id, timeout=timeout, msgpack=document)


def stored_documents(path):
    with sqlite3.connect(path) as connection:
        return sorted(row[0] for row in connection.execute("SELECT msgpack FROM traces"))


def test_saves_append_rows_that_read_back_exactly(tmp_path):
    path = tmp_path / "nested" / "dir" / "traces.sqlite3"
    before = time.time()
    first = save(path, "trc_A", b"\x91\x01")
    second = save(path, "trc_A", b"\x91\x02")
    save(path, "trc_B", b"\xc0")
    with store.open_store(path) as reader:
        listed = reader.list_traces()
        assert [(info.trace_id, info.saves, info.size) for info in listed] == [("trc_B", 1, 1), ("trc_A", 2, 4)]
        assert reader.list_traces(limit=1) == listed[:1]
        saves = reader.saves("trc_A")
        assert reader.saves("trc_missing") == []
        documents = [reader.document(save.row_id) for save in saves]
    assert [save.row_id for save in saves] == [first, second]
    assert documents == [b"\x91\x01", b"\x91\x02"]
    assert all(before <= save.saved_at <= time.time() for save in saves)


def test_table_has_the_schema_readers_rely_on(tmp_path):
    path = tmp_path / "t.sqlite3"
    save(path, "trc_A")
    with sqlite3.connect(path) as connection:
        columns = [(name, kind, bool(notnull)) for _, name, kind, notnull, _, _ in
                   connection.execute("PRAGMA table_info(traces)")]
        indexes = [row[1] for row in connection.execute("PRAGMA index_list(traces)")]
        application_id = connection.execute("PRAGMA application_id").fetchone()[0]
    assert columns[:4] == [("id", "INTEGER", False), ("trace_id", "TEXT", True),
                           ("saved_at", "REAL", True), ("msgpack", "BLOB", True)]
    assert columns[4:] == [(name, kind, False) for name, kind in schema.SUMMARY_COLUMNS]
    assert "traces_trace_id" in indexes and application_id == schema.APPLICATION_ID


@pytest.mark.parametrize("content, error", [
    (None, store.StoreMissing), (b"just some text, not a database", store.StoreCorrupt),
])
def test_reading_refuses_a_missing_or_foreign_file_and_creates_nothing(tmp_path, content, error):
    path = tmp_path / "t.sqlite3"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(error) as raised:
        store.open_store(path)
    assert raised.value.path == str(path)
    assert sorted(os.listdir(tmp_path)) == ([] if content is None else ["t.sqlite3"])


def test_reading_never_modifies_the_database(tmp_path):
    path = tmp_path / "t.sqlite3"
    save(path, "trc_A")
    before = path.read_bytes()
    with store.open_store(path) as reader:
        reader.list_traces()
        with pytest.raises(sqlite3.OperationalError, match="readonly"):
            reader.connection.execute("DELETE FROM traces")
    assert path.read_bytes() == before and os.listdir(tmp_path) == ["t.sqlite3"]
    empty = tmp_path / "empty.sqlite3"
    empty.touch()
    with store.open_store(empty) as reader:
        assert reader.list_traces() == [] and reader.saves("trc_A") == []


def test_concurrent_writers_lose_no_trace(tmp_path):
    path = tmp_path / "t.sqlite3"
    script = (
        "import sys; from vopo.db import save_trace_in_sqlite as save\n"
        "for i in range(20): save(sys.argv[1], 'trc_P', timeout=60, msgpack=f'p{sys.argv[2]}-{i}'.encode())"
    )
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    processes = [subprocess.Popen([sys.executable, "-c", script, str(path), str(n)], env=env) for n in range(3)]
    threads = [threading.Thread(target=lambda n=n: [save(path, "trc_T", f"t{n}-{i}".encode(), 60) for i in range(20)])
               for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert [process.wait() for process in processes] == [0, 0, 0]
    expected = [f"p{n}-{i}".encode() for n in range(3) for i in range(20)]
    expected += [f"t{n}-{i}".encode() for n in range(4) for i in range(20)]
    assert stored_documents(path) == sorted(expected)


@pytest.fixture
def locked_database(tmp_path):
    """A database whose write lock another connection holds."""
    path = tmp_path / "t.sqlite3"
    save(path, "trc_first")
    holder = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
    holder.execute("BEGIN EXCLUSIVE")
    yield path, holder
    holder.close()


@pytest.mark.parametrize("timeout", [0, 1])
def test_save_gives_up_after_the_busy_timeout(locked_database, timeout):
    path, _ = locked_database
    started = time.monotonic()
    with pytest.raises(db.TraceStoreError, match="locked"):
        save(path, "trc_late", timeout=timeout)
    assert time.monotonic() - started >= timeout * 0.9


@pytest.mark.parametrize("timeout", [30, 2**64 - 1])
def test_save_waits_for_a_lock_released_within_the_timeout(locked_database, timeout):
    path, holder = locked_database
    threading.Timer(0.3, lambda: holder.execute("ROLLBACK")).start()
    save(path, "trc_late", b"late", timeout=timeout)
    assert b"late" in stored_documents(path)


@pytest.mark.parametrize("trace_id, document", [(5, b"\xc0"), ("trc_A", "text"), ("trc_A", 3)])
def test_save_refuses_values_of_the_wrong_type(tmp_path, trace_id, document):
    with pytest.raises(TypeError):
        db.save_trace_in_sqlite(str(tmp_path / "t.sqlite3"), trace_id, timeout=1, msgpack=document)

"""Saving trace documents: one row per save, with its summary.

Writers serialise through SQLite's own locking and wait for each other up
to the caller's timeout. A new database file is created readable by its
owner only (it holds the profiled program's values). Only a vopo database,
or an SQLite file without tables, is written to; the first write to a
database from before the summary columns migrates it in place.
"""

import os
import sqlite3
import time

from vopo import lineage
from vopo.store import schema
from vopo.store.errors import NotAVopoStore, StoreBusy, TraceStoreError, from_sqlite, is_busy
from vopo.store.location import checked_path
from vopo.store.stream import blob_chunks
from vopo.store.summary import summarize_blob, summarize_chunks

# sqlite3 hands the busy timeout to SQLite as an int of milliseconds; a
# larger value overflows into "never wait".
_MAX_TIMEOUT = 2_000_000.0
_RETRY_PAUSE = 0.05
_FILE_MODE = 0o600
_INSERT = (
    f"INSERT INTO traces (trace_id, saved_at, msgpack, {', '.join(schema.SUMMARY_NAMES)}) "
    f"VALUES (?, ?, ?, {', '.join('?' * len(schema.SUMMARY_NAMES))})"
)
_UPDATE_SUMMARY = (
    f"UPDATE traces SET {', '.join(f'{name} = ?' for name in schema.SUMMARY_NAMES)} WHERE id = ?"
)


def save_trace(db_path, trace_id, document, timeout):
    """Append ``document`` under ``trace_id`` with its summary; return the row id."""
    path = checked_path(db_path)
    wait = busy_timeout(timeout)
    summary = summarize_blob(document, value_model=_value_model(), parent_trace_id=_parent_of(trace_id))
    _create_private_file(path)
    try:
        connection = sqlite3.connect(path, timeout=wait, isolation_level=None)
    except sqlite3.Error as error:
        raise from_sqlite(path, error, doing="open") from error
    try:
        return _insert_when_free(connection, path, trace_id, document, summary, wait)
    finally:
        connection.close()


def busy_timeout(timeout):
    seconds = float(timeout)
    if not seconds > 0:
        return 0.0
    return min(seconds, _MAX_TIMEOUT)


def _insert_when_free(connection, path, trace_id, document, summary, wait):
    deadline = time.monotonic() + wait
    while True:
        try:
            _set_busy_timeout(connection, deadline - time.monotonic())
            return _insert(connection, path, trace_id, document, summary)
        except sqlite3.Error as error:
            if not is_busy(error):
                raise from_sqlite(path, error, doing="save a trace in") from error
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise StoreBusy(
                    path,
                    str(error),
                    f"could not save trace {trace_id} in {path}: the database stayed locked for {wait:g} s",
                ) from error
            time.sleep(min(_RETRY_PAUSE, remaining))


def _insert(connection, path, trace_id, document, summary):
    # IMMEDIATE takes the write lock up front, so the busy timeout covers
    # the whole save and a reader never has to be upgraded mid-transaction.
    connection.execute("BEGIN IMMEDIATE")
    try:
        layout = schema.inspect(connection)
        if layout.kind == schema.FOREIGN:
            raise NotAVopoStore(
                path,
                layout.detail,
                f"{path} is an SQLite database of another application ({layout.detail}); "
                "vopo saves traces only into its own databases",
            )
        if layout.kind != schema.CURRENT and schema.create_or_migrate(connection, layout):
            summarize_old_rows(connection)
        values = (trace_id, time.time(), document) + summary.column_values(schema.SUMMARY_NAMES)
        row_id = connection.execute(_INSERT, values).lastrowid
        connection.execute("COMMIT")
    except BaseException:
        _roll_back(connection)
        raise
    return row_id


def summarize_old_rows(connection):
    """Fill the summary of every row that has none, one document at a time."""
    pending = connection.execute(
        "SELECT id, length(msgpack), typeof(msgpack) FROM traces WHERE summary_version IS NULL ORDER BY id"
    ).fetchall()
    for row_id, size, kind in pending:
        summary = summarize_stored(connection, row_id, size, kind)
        connection.execute(_UPDATE_SUMMARY, summary.column_values(schema.SUMMARY_NAMES) + (row_id,))


def summarize_stored(connection, row_id, size, kind):
    """The summary of a stored row's document, read in chunks."""
    if kind != "blob":
        (value,) = connection.execute("SELECT msgpack FROM traces WHERE id = ?", (row_id,)).fetchone()
        return summarize_blob(value)
    return summarize_chunks(blob_chunks(connection, row_id, size), size)


def _value_model():
    try:
        from vopo import serialize
    except ImportError:
        return 1
    version = getattr(serialize, "VALUE_MODEL_VERSION", 1)
    return version if isinstance(version, int) and not isinstance(version, bool) else 1


def _parent_of(trace_id):
    parent = lineage.parent_trace_id()
    return None if parent == trace_id else parent


def _create_private_file(path):
    if os.path.islink(path) and not os.path.exists(path):
        raise TraceStoreError(path, "dangling symbolic link", f"{path} is a symbolic link to a missing file")
    parent = os.path.dirname(os.path.abspath(path))
    try:
        os.makedirs(parent, exist_ok=True)
        descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, _FILE_MODE)
    except FileExistsError:
        return
    except OSError as error:
        raise TraceStoreError(path, error.strerror or str(error), f"cannot create trace database {path}: "
                              f"{error.strerror or error}") from error
    os.close(descriptor)


def _set_busy_timeout(connection, seconds):
    # Each attempt waits only for what is left of the caller's timeout.
    milliseconds = max(0, int(seconds * 1000))
    connection.execute(f"PRAGMA busy_timeout = {milliseconds}")


def _roll_back(connection):
    if not connection.in_transaction:
        return
    try:
        connection.execute("ROLLBACK")
    except sqlite3.Error:
        # The error that interrupted the save is the one worth reporting;
        # closing the connection rolls back in any case.
        pass

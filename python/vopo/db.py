"""Trace storage in an SQLite file.

Every save adds one row to the table ``traces``; a profiler that saves
several times under one trace id leaves several rows, in save order. Writers
serialise through SQLite's own locking and wait for each other; readers open
the file read-only, so reading never creates or changes a database.
"""

import dataclasses
import os
import pathlib
import sqlite3
import time

_SCHEMA = (
    """CREATE TABLE IF NOT EXISTS traces (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    trace_id TEXT NOT NULL,
    saved_at REAL NOT NULL,
    msgpack BLOB NOT NULL
)""",
    "CREATE INDEX IF NOT EXISTS traces_trace_id ON traces(trace_id)",
)
_INSERT = "INSERT INTO traces (trace_id, saved_at, msgpack) VALUES (?, ?, ?)"
# sqlite3 hands the busy timeout to SQLite as an int of milliseconds; a
# larger value overflows into "never wait".
_MAX_TIMEOUT = 2_000_000.0
_RETRY_PAUSE = 0.05
_SQLITE_HEADER = b"SQLite format 3\x00"


class TraceStoreError(Exception):
    """A trace database that cannot be read, or a save that could not finish."""


@dataclasses.dataclass(frozen=True)
class TraceSummary:
    """One stored row, without its document."""

    row_id: int
    trace_id: str
    saved_at: float
    size: int


@dataclasses.dataclass(frozen=True)
class StoredTrace:
    """One stored row with its MessagePack trace document."""

    row_id: int
    trace_id: str
    saved_at: float
    msgpack: bytes


def save_trace_in_sqlite(db_path, trace_id, *, timeout, msgpack):
    """Append the trace document ``msgpack`` under ``trace_id``; return the row id.

    Creates the database, its parent directory and its table when missing.
    ``timeout`` is how many seconds to wait for other writers before giving
    up with ``TraceStoreError``.
    """
    if not isinstance(trace_id, str):
        raise TypeError(f"trace_id must be a str, not {type(trace_id).__name__}")
    if not isinstance(msgpack, (bytes, bytearray, memoryview)):
        raise TypeError(f"msgpack must be bytes, not {type(msgpack).__name__}")
    document = bytes(msgpack)
    wait = _busy_timeout(timeout)
    deadline = time.monotonic() + wait
    _make_parent_directory(db_path)
    connection = sqlite3.connect(db_path, timeout=wait, isolation_level=None)
    try:
        while True:
            try:
                _set_busy_timeout(connection, deadline - time.monotonic())
                return _insert(connection, trace_id, document)
            except sqlite3.OperationalError as error:
                if not _is_busy(error):
                    raise
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise TraceStoreError(
                        f"could not save trace {trace_id} in {os.fspath(db_path)}: "
                        f"the database stayed locked for {wait:g} s"
                    ) from error
                time.sleep(min(_RETRY_PAUSE, remaining))
    finally:
        connection.close()


def open_existing(db_path, timeout=5.0):
    """Open an existing trace database read-only.

    Raises ``TraceStoreError`` when the file is missing or is not an SQLite
    database; never creates a file.
    """
    path = os.fspath(db_path)
    if not os.path.exists(path):
        raise TraceStoreError(f"no trace database at {path}")
    if not os.path.isfile(path):
        raise TraceStoreError(f"{path} is not a file")
    _check_header(path)
    uri = pathlib.Path(os.path.abspath(path)).as_uri() + "?mode=ro"
    try:
        connection = sqlite3.connect(uri, uri=True, timeout=_busy_timeout(timeout))
    except sqlite3.Error as error:
        raise TraceStoreError(f"cannot open trace database {path}: {error}") from error
    try:
        connection.execute("SELECT count(*) FROM sqlite_master").fetchone()
    except sqlite3.Error as error:
        connection.close()
        raise TraceStoreError(f"cannot read trace database {path}: {error}") from error
    return connection


def list_traces(connection, *, limit=None):
    """The stored rows as ``TraceSummary``, newest first; at most ``limit``."""
    if not _has_traces_table(connection):
        return []
    query = (
        "SELECT id, trace_id, saved_at, length(msgpack) FROM traces "
        "ORDER BY id DESC LIMIT ?"
    )
    rows = _read(connection, query, (-1 if limit is None else limit,))
    return [TraceSummary(*row) for row in rows]


def fetch_traces(connection, trace_id):
    """Every row saved under ``trace_id`` as ``StoredTrace``, in save order."""
    if not _has_traces_table(connection):
        return []
    query = "SELECT id, trace_id, saved_at, msgpack FROM traces WHERE trace_id = ? ORDER BY id"
    return [StoredTrace(*row) for row in _read(connection, query, (trace_id,))]


def _insert(connection, trace_id, document):
    # IMMEDIATE takes the write lock up front, so the busy timeout covers
    # the whole save and a reader never has to be upgraded mid-transaction.
    connection.execute("BEGIN IMMEDIATE")
    try:
        for statement in _SCHEMA:
            connection.execute(statement)
        row_id = connection.execute(_INSERT, (trace_id, time.time(), document)).lastrowid
        connection.execute("COMMIT")
    except BaseException:
        _roll_back(connection)
        raise
    return row_id


def _roll_back(connection):
    if not connection.in_transaction:
        return
    try:
        connection.execute("ROLLBACK")
    except sqlite3.Error:
        # The error that interrupted the save is the one worth reporting;
        # closing the connection rolls back in any case.
        pass


def _set_busy_timeout(connection, seconds):
    # Each attempt waits only for what is left of the caller's timeout.
    milliseconds = max(0, int(seconds * 1000))
    connection.execute(f"PRAGMA busy_timeout = {milliseconds}")


def _is_busy(error):
    message = str(error)
    return "locked" in message or "busy" in message


def _busy_timeout(timeout):
    seconds = float(timeout)
    if not seconds > 0:
        return 0.0
    return min(seconds, _MAX_TIMEOUT)


def _make_parent_directory(db_path):
    path = os.fspath(db_path)
    if path in ("", ":memory:") or path.startswith("file:"):
        return
    parent = os.path.dirname(os.path.abspath(path))
    os.makedirs(parent, exist_ok=True)


def _check_header(path):
    # An empty file is a valid empty database to SQLite; anything else must
    # start with SQLite's header.
    try:
        with open(path, "rb") as file:
            header = file.read(len(_SQLITE_HEADER))
    except OSError as error:
        raise TraceStoreError(f"cannot read trace database {path}: {error}") from error
    if header and header != _SQLITE_HEADER:
        raise TraceStoreError(f"{path} is not an SQLite database")


def _has_traces_table(connection):
    query = "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'traces'"
    return bool(_read(connection, query, ()))


def _read(connection, query, parameters):
    try:
        return connection.execute(query, parameters).fetchall()
    except sqlite3.Error as error:
        raise TraceStoreError(f"cannot read traces: {error}") from error

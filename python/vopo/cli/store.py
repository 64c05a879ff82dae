"""Read-only access to the trace store, the SQLite file written by
``vopo.db.save_trace_in_sqlite``.

The database is opened with ``vopo.db.open_existing``: read-only, so reading
can never create a file or change one, and with a busy timeout, so a writer
that holds the database for a moment is waited for instead of failing at
once.

One trace id may own several rows: each save of a profiler stores what it
collected since the previous save under the same id. Rows come back in save
order (their row id), so callers can merge them into one trace.
"""

import contextlib
import os
import sqlite3
from typing import NamedTuple

from vopo import db
from vopo.cli.errors import CliError

DEFAULT_DB_NAME = "vopo.sqlite3"
DB_ENV_VAR = "VOPO_DB"
DEFAULT_TIMEOUT = 5.0
LATEST = "latest"


class StoredRow(NamedTuple):
    row_id: int
    trace_id: str
    saved_at: float
    blob: bytes


def default_db_path():
    """``$VOPO_DB`` when set, else ``vopo.sqlite3`` in the working directory."""
    return os.environ.get(DB_ENV_VAR) or DEFAULT_DB_NAME


def all_rows(db_path, timeout=DEFAULT_TIMEOUT):
    """Every stored row, in save order."""
    with _reading(db_path, timeout) as reader:
        return reader.rows(_SELECT_ROWS + " ORDER BY id")


def rows_after(db_path, row_id, timeout=DEFAULT_TIMEOUT):
    """The rows saved after the row ``row_id``, in save order."""
    with _reading(db_path, timeout) as reader:
        return reader.rows(_SELECT_ROWS + " WHERE id > ? ORDER BY id", row_id)


def last_row_id(db_path, timeout=DEFAULT_TIMEOUT):
    """The id of the newest row; 0 when there is no database or no trace yet."""
    if not os.path.exists(db_path):
        return 0
    with _reading(db_path, timeout) as reader:
        return reader.value("SELECT MAX(id) FROM traces") or 0


def rows_of_trace(db_path, reference, timeout=DEFAULT_TIMEOUT):
    """The rows of one trace, in save order.

    ``reference`` is a trace id, a prefix that only one stored trace id starts
    with, or ``latest`` for the trace saved last.
    """
    with _reading(db_path, timeout) as reader:
        trace_id = _resolve(reader, reference)
        return reader.rows(_SELECT_ROWS + " WHERE trace_id = ? ORDER BY id", trace_id)


_SELECT_ROWS = "SELECT id, trace_id, saved_at, msgpack FROM traces"


def _resolve(reader, reference):
    if reader.value("SELECT 1 FROM traces WHERE trace_id = ? LIMIT 1", reference):
        return reference
    if reference == LATEST:
        newest = reader.value("SELECT trace_id FROM traces ORDER BY id DESC LIMIT 1")
        if newest is None:
            raise CliError(f"{reader.db_path} holds no traces yet")
        return newest
    candidates = reader.values(
        "SELECT DISTINCT trace_id FROM traces WHERE substr(trace_id, 1, ?) = ? LIMIT 2", len(reference), reference
    )
    if len(candidates) == 1:
        return candidates[0]
    where = reader.db_path
    if candidates:
        raise CliError(f"trace id {reference!r} is ambiguous in {where}: give more of it")
    raise CliError(f"no trace with id {reference!r} in {where} (list them with: vopo traces --db {where})")


class _Reader:
    """Queries on one read-only connection, with SQLite errors turned into
    CliError. A database without the traces table reads as empty."""

    def __init__(self, connection, db_path, timeout):
        self.connection = connection
        self.db_path = db_path
        self.timeout = timeout

    def rows(self, sql, *parameters):
        return [StoredRow(*row) for row in self._fetch(sql, parameters)]

    def values(self, sql, *parameters):
        return [row[0] for row in self._fetch(sql, parameters)]

    def value(self, sql, *parameters):
        found = self.values(sql, *parameters)
        return found[0] if found else None

    def _fetch(self, sql, parameters):
        try:
            return self.connection.execute(sql, parameters).fetchall()
        except sqlite3.Error as error:
            if _missing_table(error):
                return []
            raise _read_error(self.db_path, error, self.timeout) from None


@contextlib.contextmanager
def _reading(db_path, timeout):
    connection = _connect(db_path, timeout)
    try:
        yield _Reader(connection, db_path, timeout)
    finally:
        connection.close()


def _connect(db_path, timeout):
    if os.path.isdir(db_path):
        raise CliError(f"{db_path} is a directory, not a trace database")
    try:
        return db.open_existing(db_path, timeout=timeout)
    except db.TraceStoreError as error:
        cause = error.__cause__
        if isinstance(cause, sqlite3.Error):
            raise _read_error(db_path, cause, timeout) from None
        raise CliError(str(error)) from None


def _missing_table(error):
    # A SQLite file that never received a trace has no table yet: it is an
    # empty store, not a broken one.
    return isinstance(error, sqlite3.OperationalError) and str(error) == "no such table: traces"


def _read_error(db_path, error, timeout):
    message = str(error)
    if "file is not a database" in message:
        return CliError(f"{db_path} is not an SQLite database")
    if "locked" in message or "busy" in message:
        return CliError(f"database {db_path} is locked by another process (gave up after {timeout:g} s)")
    if "no such column" in message or "no such table" in message:
        return CliError(f"{db_path} is not a vopo trace database ({message})")
    return CliError(f"cannot read database {db_path}: {message}")

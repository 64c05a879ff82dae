"""The viewer's access to the trace database: read-only connections, the
trace list with its filters, a trace's saves, and byte ranges of a stored
document.

Every failure to read comes out as ``StoreUnavailable`` with a message for
the page: a locked database, a file that is not a trace database, a missing
file.
"""

import contextlib
import io
import sqlite3
import threading

from vopo import db
from vopo.viewer.summary import summarise

OUTCOMES = ("passed", "failed", "error", "skipped")


class StoreUnavailable(Exception):
    """The database cannot be read now; ``status`` is the HTTP status to answer."""

    def __init__(self, message, status=503):
        super().__init__(message)
        self.status = status


class TraceNotFound(Exception):
    pass


class Store:
    def __init__(self, db_path, timeout=5.0):
        self.db_path = str(db_path)
        self.timeout = timeout
        self._summaries = {}  # last row id of a trace -> its summary
        self._lock = threading.Lock()

    @contextlib.contextmanager
    def connection(self):
        try:
            connection = db.open_existing(self.db_path, timeout=self.timeout)
        except db.TraceStoreError as error:
            raise _unavailable(self.db_path, error.__cause__ or error) from None
        try:
            yield connection
        except sqlite3.Error as error:
            raise _unavailable(self.db_path, error) from None
        finally:
            connection.close()

    def list_traces(self, text="", outcome="", source="", offset=0, limit=50):
        """(matching count, summaries of one page newest first, known sources)."""
        with self.connection() as connection:
            if not _has_traces(connection):
                return 0, [], []
            groups = connection.execute(
                "SELECT trace_id, group_concat(id), MAX(id) FROM traces GROUP BY trace_id ORDER BY MAX(id) DESC"
            ).fetchall()
            summaries = [self._summary(connection, trace_id, ids) for trace_id, ids, _ in groups]
        sources = sorted({summary["source"] for summary in summaries})
        matching = [summary for summary in summaries if _matches(summary, text, outcome, source)]
        return len(matching), matching[offset : offset + limit], sources

    def saves(self, trace_id):
        """[(row id, saved at, size)] of a trace, in save order."""
        with self.connection() as connection:
            rows = connection.execute(
                "SELECT id, saved_at, length(msgpack) FROM traces WHERE trace_id = ? ORDER BY id", (trace_id,)
            ).fetchall() if _has_traces(connection) else []
        if not rows:
            raise TraceNotFound(trace_id)
        return rows

    def value_model(self, trace_id):
        """The version of the value model the trace's values were encoded with."""
        with self.connection() as connection:
            columns = {row[1] for row in connection.execute("PRAGMA table_info(traces)")}
            if "value_model" not in columns:
                return 1
            row = connection.execute("SELECT MIN(value_model) FROM traces WHERE trace_id = ?", (trace_id,)).fetchone()
        return row[0] if row and isinstance(row[0], int) else 1

    @contextlib.contextmanager
    def document(self, row_id):
        """The stored document of ``row_id`` as a file: read(n), seek(offset).

        Read in place through SQLite's incremental blob I/O where the
        interpreter has it; otherwise the document is read whole.
        """
        with self.connection() as connection:
            if hasattr(connection, "blobopen"):
                with connection.blobopen("traces", "msgpack", row_id, readonly=True) as blob:
                    yield blob
                return
            row = connection.execute("SELECT msgpack FROM traces WHERE id = ?", (row_id,)).fetchone()
            yield io.BytesIO(b"" if row is None or not isinstance(row[0], bytes) else row[0])

    def read_ranges(self, row_id, ranges):
        """The bytes of each (offset, size) of the stored document ``row_id``."""
        with self.document(row_id) as document:
            pieces = []
            for offset, size in ranges:
                document.seek(offset)
                pieces.append(document.read(size))
            return pieces

    def _summary(self, connection, trace_id, ids):
        key = ids
        with self._lock:
            summary = self._summaries.get(key)
        if summary is None:
            row_ids = [int(part) for part in ids.split(",")]
            rows = connection.execute(
                f"SELECT id, saved_at, msgpack FROM traces WHERE id IN ({','.join('?' * len(row_ids))}) ORDER BY id",
                row_ids,
            ).fetchall()
            summary = summarise(trace_id, rows)
            with self._lock:
                self._summaries[key] = summary
        return summary


def _matches(summary, text, outcome, source):
    if outcome and summary.get("outcome") != outcome:
        return False
    if source and summary.get("source") != source:
        return False
    if text:
        needle = text.lower()
        request = summary.get("request") or {}
        haystack = [summary["trace_id"], summary.get("node_id"), summary.get("source"),
                    request.get("method"), request.get("path")]
        return any(isinstance(item, str) and needle in item.lower() for item in haystack)
    return True


def _has_traces(connection):
    return bool(connection.execute(
        "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'traces'"
    ).fetchone())


def _unavailable(db_path, error):
    message = str(error)
    if "locked" in message or "busy" in message:
        return StoreUnavailable(f"The database {db_path} is locked by another process; try again in a moment.", 503)
    if "not a database" in message or "not an SQLite database" in message or "malformed" in message:
        return StoreUnavailable(f"The database {db_path} is corrupt or is not a vopo trace database ({message}).", 500)
    if "no trace database" in message:
        return StoreUnavailable(f"There is no trace database at {db_path}.", 404)
    return StoreUnavailable(f"The database {db_path} cannot be read: {message}", 500)

"""The viewer's access to the trace database, through the store's read
layer: the trace list with its filters, a trace's saves, its stored
documents in chunks, and byte ranges of a document.

The list and the saves come from one read layer's store, kept open while
the database file stays unchanged (a database without summary columns is
summarised once, not on every request) and reopened after a save. Documents
are read on connections of their own, opened read-only for one read, so a
long read never holds up the page's other requests, and the viewer never
holds a lock that a profiler saving a trace would wait for. Every failure
to read comes out as ``StoreUnavailable`` with a message for the page and
the HTTP status that fits.
"""

import contextlib
import os
import sqlite3
import threading
import urllib.parse

from vopo import store as trace_store
from vopo.store.errors import from_sqlite
from vopo.store.stream import blob_chunks

OUTCOMES = ("passed", "failed", "error", "skipped")
# Records asked for together are read in spans of at most this many bytes.
_SPAN = 8 << 20
_CHUNK = 1 << 20
# Bytes of documents kept in memory where the interpreter's sqlite3 cannot
# read a blob in place; the document read last is kept whatever its size.
RESIDENT_BYTES = 1 << 30
_STATUS = (
    (trace_store.UnknownTrace, 404),
    (trace_store.StoreMissing, 404),
    (trace_store.StoreBusy, 503),
    (trace_store.HotJournal, 503),
)


class StoreUnavailable(Exception):
    """The database cannot be read now; ``status`` is the HTTP status to answer."""

    def __init__(self, message, status=500):
        super().__init__(message)
        self.status = status


class TraceNotFound(Exception):
    pass


class Store:
    def __init__(self, db_path, timeout=trace_store.DEFAULT_TIMEOUT):
        self.db_path = str(db_path)
        self.timeout = timeout
        self._reader = None
        self._reader_version = None
        self._resident = {}  # row id -> document, least recently used first
        self._lock = threading.Lock()

    @contextlib.contextmanager
    def opened(self):
        """The read layer's ``TraceStore`` for the duration of the block, one request at a time."""
        with self._lock, _store_errors(self.db_path, self.timeout):
            yield self._current_reader()

    def close(self):
        with self._lock:
            if self._reader is not None:
                self._reader.close()
                self._reader = None

    def _current_reader(self):
        version = _version_of(self.db_path)
        if self._reader is None or version != self._reader_version:
            if self._reader is not None:
                self._reader.close()
                self._reader = None
            try:
                self._reader = trace_store.open_store(self.db_path, self.timeout)
            except ValueError as error:
                # A memory database: nothing a viewer in another process could read.
                raise StoreUnavailable(str(error), 400) from None
            self._reader_version = version
        return self._reader

    @contextlib.contextmanager
    def _document_connection(self):
        with _store_errors(self.db_path, self.timeout):
            uri = "file://" + urllib.parse.quote(os.path.abspath(self.db_path)) + "?mode=ro"
            connection = sqlite3.connect(uri, uri=True, timeout=self.timeout, check_same_thread=False)
            try:
                yield connection
            finally:
                connection.close()

    def list_traces(self, text="", outcome="", source="", offset=0, limit=50):
        """(matching count, summaries of one page newest first, known sources)."""
        filters = {"text": text or None, "outcome": outcome or None, "source": source or None}
        with self.opened() as reader:
            infos = reader.list_traces(limit=limit, offset=offset, **filters)
            return reader.count_traces(**filters), [_summary(info) for info in infos], reader.sources()

    def saves(self, trace_id):
        """The row ids of a trace's saves, in save order, and its value model."""
        with self.opened() as reader:
            saves = reader.saves(trace_id)
            if not saves:
                raise TraceNotFound(trace_id)
            return [save.row_id for save in saves], reader.trace(trace_id).value_model

    @contextlib.contextmanager
    def document(self, row_id):
        """The stored document of ``row_id`` as an iterator of byte chunks."""
        with self._document_connection() as connection:
            if hasattr(connection, "blobopen"):
                size = connection.execute("SELECT length(msgpack) FROM traces WHERE id = ?", (row_id,)).fetchone()
                chunks = blob_chunks(connection, row_id, size[0] if size and size[0] else 0)
                try:
                    yield chunks
                finally:
                    # Its blob must close before the connection does, also when reading stopped early.
                    chunks.close()
                return
            data = memoryview(self._resident_copy(connection, row_id))
            yield (data[start : start + _CHUNK] for start in range(0, len(data), _CHUNK))

    def read_ranges(self, row_id, ranges):
        """The bytes of each (offset, size) of the stored document ``row_id``."""
        pieces = [b""] * len(ranges)
        with self._document_connection() as connection:
            if not hasattr(connection, "blobopen"):
                data = self._resident_copy(connection, row_id)
                return [data[offset : offset + size] for offset, size in ranges]
            for span_start, span_end, members in _spans(ranges):
                with connection.blobopen("traces", "msgpack", row_id, readonly=True) as blob:
                    blob.seek(span_start)
                    data = blob.read(span_end - span_start)
                for position, (offset, size) in members:
                    pieces[position] = data[offset - span_start : offset - span_start + size]
        return pieces

    def _resident_copy(self, connection, row_id):
        # Without incremental blob reads, every read of a piece makes SQLite
        # load the whole document; the viewer keeps the documents it reads.
        with self._lock:
            data = self._resident.pop(row_id, None)
        if data is None:
            row = connection.execute("SELECT msgpack FROM traces WHERE id = ?", (row_id,)).fetchone()
            data = bytes(row[0]) if row is not None and isinstance(row[0], bytes) else b""
        with self._lock:
            self._resident[row_id] = data
            while len(self._resident) > 1 and sum(map(len, self._resident.values())) > RESIDENT_BYTES:
                self._resident.pop(next(iter(self._resident)))
        return data


@contextlib.contextmanager
def _store_errors(db_path, timeout):
    try:
        try:
            yield
        except sqlite3.Error as error:
            raise from_sqlite(db_path, error, timeout) from None
    except trace_store.TraceStoreError as error:
        raise _unavailable(error) from None


def _version_of(db_path):
    """What changes when a save lands: the database file and its write-ahead log."""
    version = []
    for path in (db_path, db_path + "-wal"):
        try:
            facts = os.stat(path)
        except OSError:
            version.append(None)
        else:
            version.append((facts.st_mtime_ns, facts.st_size, facts.st_ino))
    return tuple(version)


def _spans(ranges):
    """Nearby ranges grouped, so that one read serves each group."""
    ordered = sorted(enumerate(ranges), key=lambda entry: entry[1][0])
    spans = []
    for position, (offset, size) in ordered:
        if spans and offset + size - spans[-1][0] <= _SPAN:
            spans[-1][1] = max(spans[-1][1], offset + size)
            spans[-1][2].append((position, (offset, size)))
        else:
            spans.append([offset, offset + size, [(position, (offset, size))]])
    return spans


def _summary(info):
    request = None
    if info.request_method is not None or info.request_path is not None:
        request = {"method": info.request_method, "path": info.request_path, "status": info.request_status}
    return {
        "trace_id": info.trace_id,
        "source": info.source or "?",
        "started": info.started_at,
        "duration": info.duration,
        "frames": info.frame_records,
        "threads": info.threads,
        "size": info.size,
        "saves": info.saves,
        "saved_at": info.saved_at,
        "node_id": info.node_id,
        "outcome": info.outcome,
        "request": request,
        "parent_trace_id": info.parent_trace_id,
        "corrupt": info.is_corrupt,
    }


def _unavailable(error):
    status = next((status for kind, status in _STATUS if isinstance(error, kind)), 500)
    return StoreUnavailable(str(error), status)

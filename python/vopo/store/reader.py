"""Reading the trace store: the trace list from the summary columns, one
trace's saves, and its documents streamed record by record.

The database is opened read-only, so reading never creates or changes a
file, with one exception: a hot journal left by an interrupted save is
rolled back when the reader may write the file, as SQLite requires before
anyone can read it. A database from before the summary columns is
summarised in memory when it is opened, without touching the file.
"""

import dataclasses
import os
import sqlite3
import urllib.parse
from typing import List, Optional

import msgpack

from vopo.store import schema
from vopo.store.errors import (
    CorruptTrace,
    HotJournal,
    NotAVopoStore,
    StoreCorrupt,
    StoreMissing,
    UnknownTrace,
    from_sqlite,
)
from vopo.store.location import checked_path
from vopo.store.stream import DocumentError, DocumentStream, blob_chunks
from vopo.store.summary import summarize_blob, summarize_chunks
from vopo.store.writer import busy_timeout

DEFAULT_TIMEOUT = 5.0
DEFAULT_LIMIT = 50
LATEST = "latest"
_SQLITE_HEADER = b"SQLite format 3\x00"
_LAZY_TABLE = "temp.lazy_traces"
# Columns the text filter looks in.
_SEARCHED = ("trace_id", "source", "node_id", "request_method", "request_path", "request_status", "outcome")
_AGGREGATES = (
    "trace_id",
    "count(*)",
    "min(id)",
    "max(id)",
    "max(saved_at)",
    "min(source)",
    "min(started_at)",
    "min(first_record_at)",
    "max(last_record_at)",
    "total(frame_records)",
    "total(records)",
    "max(threads)",
    "max(node_id)",
    "max(outcome)",
    "max(request_method)",
    "max(request_path)",
    "max(request_status)",
    "total(size)",
    "max(value_model)",
    "max(parent_trace_id)",
    "max(problem)",
)


@dataclasses.dataclass(frozen=True)
class TraceInfo:
    """One trace id's summary over all its saves; read without its documents."""

    trace_id: str
    saves: int
    first_row_id: int
    last_row_id: int
    saved_at: float  # time of the last save
    source: Optional[str]
    started_at: Optional[float]  # a test's own start, else the profiler's
    first_record_at: Optional[float]
    last_record_at: Optional[float]
    frame_records: int
    records: int
    threads: int
    node_id: Optional[str]
    outcome: Optional[str]
    request_method: Optional[str]
    request_path: Optional[str]
    request_status: Optional[str]
    size: int
    value_model: int
    parent_trace_id: Optional[str]
    problem: Optional[str]  # why a save's document cannot be decoded

    @property
    def duration(self):
        """Seconds from the start to the last record; None without records."""
        if self.started_at is None or self.last_record_at is None:
            return None
        return max(0.0, self.last_record_at - self.started_at)

    @property
    def is_corrupt(self):
        return self.problem is not None


@dataclasses.dataclass(frozen=True)
class SaveInfo:
    """One stored row: one save of a trace."""

    row_id: int
    trace_id: str
    saved_at: float
    size: int
    problem: Optional[str]


def open_store(db_path, timeout=DEFAULT_TIMEOUT):
    """A read-only ``TraceStore`` on an existing database; use it as a context manager."""
    path = checked_path(db_path)
    wait = busy_timeout(timeout)
    _check_file(path)
    connection = _connect_read_only(path, wait)
    try:
        layout = schema.inspect(connection)
    except sqlite3.Error as error:
        connection.close()
        raise from_sqlite(path, error, wait) from None
    if layout.kind == schema.FOREIGN:
        connection.close()
        raise NotAVopoStore(path, layout.detail, f"{path} is not a vopo trace database ({layout.detail})")
    try:
        return TraceStore(connection, path, wait, layout)
    except BaseException:
        connection.close()
        raise


class TraceStore:
    """Queries on one read-only connection. SQLite errors come out as
    ``TraceStoreError`` subclasses; an empty database reads as no traces."""

    def __init__(self, connection, path, timeout, layout):
        self.connection = connection
        self.path = path
        self.timeout = timeout
        self._table = None if layout.kind == schema.FRESH else "traces"
        if layout.kind == schema.OLD and not layout.has_summaries:
            self._table = self._summarise_in_memory()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def close(self):
        self.connection.close()

    def list_traces(self, *, text=None, outcome=None, source=None, limit=DEFAULT_LIMIT, offset=0):
        """``TraceInfo`` of the traces that match, newest save first."""
        if self._table is None:
            return []
        where, parameters = _filters(text, outcome, source)
        wanted = offset + (limit if limit is not None and limit >= 0 else float("inf"))
        trace_ids = []
        seen = set()
        cursor = self._execute(f"SELECT trace_id FROM {self._table}{where} ORDER BY id DESC", parameters)
        for (trace_id,) in cursor:
            if trace_id not in seen:
                seen.add(trace_id)
                trace_ids.append(trace_id)
                if len(trace_ids) >= wanted:
                    break
        cursor.close()
        return self._infos(trace_ids[offset:])

    def count_traces(self, *, text=None, outcome=None, source=None):
        if self._table is None:
            return 0
        where, parameters = _filters(text, outcome, source)
        return self._value(f"SELECT count(DISTINCT trace_id) FROM {self._table}{where}", parameters)

    def sources(self):
        """The distinct sources of the stored traces, sorted."""
        if self._table is None:
            return []
        query = f"SELECT DISTINCT source FROM {self._table} WHERE source IS NOT NULL ORDER BY source"
        return [row[0] for row in self._fetch(query, ())]

    def resolve(self, reference):
        """The trace id that ``reference`` names: a trace id, a prefix only
        one trace id starts with, or ``latest``. Raises ``UnknownTrace``."""
        table = self._table
        if table is not None and self._value(f"SELECT 1 FROM {table} WHERE trace_id = ? LIMIT 1", (reference,)):
            return reference
        if reference == LATEST:
            newest = None
            if table is not None:
                newest = self._value(f"SELECT trace_id FROM {table} ORDER BY id DESC LIMIT 1", ())
            if newest is None:
                raise UnknownTrace(self.path, "no traces", f"{self.path} holds no traces yet")
            return newest
        candidates = []
        if table is not None:
            query = f"SELECT DISTINCT trace_id FROM {table} WHERE substr(trace_id, 1, ?) = ? LIMIT 2"
            candidates = [row[0] for row in self._fetch(query, (len(reference), reference))]
        if len(candidates) == 1:
            return candidates[0]
        if candidates:
            raise UnknownTrace(self.path, "ambiguous", f"trace id {reference!r} is ambiguous in {self.path}: "
                               "give more of it")
        raise UnknownTrace(self.path, "unknown", f"no trace with id {reference!r} in {self.path}")

    def trace(self, trace_id):
        """The ``TraceInfo`` of ``trace_id``; raises ``UnknownTrace``."""
        found = self._infos([trace_id])
        if not found:
            raise UnknownTrace(self.path, "unknown", f"no trace with id {trace_id!r} in {self.path}")
        return found[0]

    def saves(self, trace_id):
        """The ``SaveInfo`` of each save of ``trace_id``, in save order."""
        if self._table is None:
            return []
        query = f"SELECT id, trace_id, saved_at, size, problem FROM {self._table} WHERE trace_id = ? ORDER BY id"
        return [SaveInfo(*row) for row in self._fetch(query, (trace_id,))]

    def children(self, trace_id):
        """``TraceInfo`` of the traces whose parent is ``trace_id``, oldest first."""
        if self._table is None:
            return []
        query = f"SELECT DISTINCT trace_id FROM {self._table} WHERE parent_trace_id = ? ORDER BY id"
        return self._infos([row[0] for row in self._fetch(query, (trace_id,))])

    def last_row_id(self):
        """The id of the newest row; 0 without any."""
        if self._table is None:
            return 0
        return self._value(f"SELECT max(id) FROM {self._table}", ()) or 0

    def trace_ids_after(self, row_id):
        """The trace ids saved in rows after ``row_id``, in save order."""
        if self._table is None:
            return []
        query = f"SELECT trace_id FROM {self._table} WHERE id > ? GROUP BY trace_id ORDER BY min(id)"
        return [row[0] for row in self._fetch(query, (row_id,))]

    def document(self, row_id):
        """The whole stored document of one row; for small documents."""
        row = self._fetch("SELECT msgpack FROM traces WHERE id = ?", (row_id,))
        return row[0][0] if row else None

    def document_chunks(self, row_id, size):
        """The stored document of row ``row_id`` (``size`` bytes), in chunks."""
        try:
            yield from blob_chunks(self.connection, row_id, size)
        except sqlite3.Error as error:
            raise from_sqlite(self.path, error, self.timeout) from None

    def read_trace(self, trace_id, progress=None, ext_hook=msgpack.ExtType):
        """A ``TraceReading`` of every save of ``trace_id``, in save order.

        ``progress(done, total)`` is called with byte counts as the
        documents are read; extension values go through ``ext_hook``.
        """
        return TraceReading(self, trace_id, self.saves(trace_id), progress, ext_hook)

    def _infos(self, trace_ids):
        if not trace_ids or self._table is None:
            return []
        found = {}
        for start in range(0, len(trace_ids), 500):
            batch = trace_ids[start : start + 500]
            marks = ", ".join("?" * len(batch))
            query = f"SELECT {', '.join(_AGGREGATES)} FROM {self._table} WHERE trace_id IN ({marks}) GROUP BY trace_id"
            for row in self._fetch(query, batch):
                found[row[0]] = _info(row)
        return [found[trace_id] for trace_id in trace_ids if trace_id in found]

    def _summarise_in_memory(self):
        self._execute(
            f"CREATE TEMP TABLE lazy_traces (id INTEGER PRIMARY KEY, trace_id TEXT, saved_at REAL, "
            f"{', '.join(f'{name} {kind}' for name, kind in schema.SUMMARY_COLUMNS)})",
            (),
        )
        rows = self._fetch("SELECT id, trace_id, saved_at, length(msgpack), typeof(msgpack) FROM traces", ())
        names = ("id", "trace_id", "saved_at") + schema.SUMMARY_NAMES
        insert = f"INSERT INTO {_LAZY_TABLE} ({', '.join(names)}) VALUES ({', '.join('?' * len(names))})"
        for row_id, trace_id, saved_at, size, kind in rows:
            summary = self._summarise_row(row_id, size, kind)
            values = (row_id, trace_id, saved_at) + summary.column_values(schema.SUMMARY_NAMES)
            self._execute(insert, values)
        return _LAZY_TABLE

    def _summarise_row(self, row_id, size, kind):
        if kind != "blob":
            return summarize_blob(self.document(row_id))
        return summarize_chunks(self.document_chunks(row_id, size), size)

    def _execute(self, query, parameters):
        try:
            return self.connection.execute(query, parameters)
        except sqlite3.Error as error:
            raise from_sqlite(self.path, error, self.timeout) from None

    def _fetch(self, query, parameters):
        try:
            return self.connection.execute(query, parameters).fetchall()
        except sqlite3.Error as error:
            raise from_sqlite(self.path, error, self.timeout) from None

    def _value(self, query, parameters):
        rows = self._fetch(query, parameters)
        return rows[0][0] if rows else None


class TraceReading:
    """The records of one trace, every save in order, decoded one at a time.

    Iterating yields ``(save_index, thread_key, record)``; ``thread_key`` is
    the native id of a "frames" list or None for "frames_of_interest". Once a
    save is read, ``heads[save_index]`` holds its document's other entries
    ("timestamp", "meta", "main_thread_id", "command_line_args", ...), and
    ``keys[save_index]`` all its top-level keys in stored order. Raises ``CorruptTrace`` at the first undecodable part.
    """

    def __init__(self, store, trace_id, saves: List[SaveInfo], progress, ext_hook=msgpack.ExtType):
        self.store = store
        self._ext_hook = ext_hook
        self.trace_id = trace_id
        self.saves = saves
        self.heads = []
        self.keys = []
        self.total_size = sum(save.size or 0 for save in saves)
        self._progress = progress
        self._done = 0

    def __iter__(self):
        for index, save in enumerate(self.saves):
            stream = DocumentStream(self._chunks(save), ext_hook=self._ext_hook)
            try:
                for thread_key, record in stream.records():
                    yield index, thread_key, record
            except DocumentError as error:
                raise CorruptTrace(self.store.path, self._label(index), str(error)) from None
            finally:
                stream.close()
            self.heads.append(stream.fields)
            self.keys.append(stream.keys)

    def _chunks(self, save):
        if save.problem is not None and save.problem.startswith("stored value is"):
            raise CorruptTrace(self.store.path, self._label(self.saves.index(save)), save.problem)
        for chunk in self.store.document_chunks(save.row_id, save.size or 0):
            self._done += len(chunk)
            if self._progress is not None:
                self._progress(self._done, self.total_size)
            yield chunk

    def _label(self, index):
        if len(self.saves) == 1:
            return self.trace_id
        return f"{self.trace_id} (save {index + 1} of {len(self.saves)})"


def _info(row):
    values = list(row)
    for position in (9, 10, 11, 17):  # totals and counts come back as floats or None
        values[position] = int(values[position] or 0)
    values[18] = values[18] or 1
    (trace_id, saves, first_row, last_row, saved_at, source, started, first, last, frames, records, threads,
     node_id, outcome, method, path, status, size, value_model, parent, problem) = values
    return TraceInfo(
        trace_id=trace_id, saves=saves, first_row_id=first_row, last_row_id=last_row, saved_at=saved_at,
        source=source, started_at=started, first_record_at=first, last_record_at=last, frame_records=frames,
        records=records, threads=threads, node_id=node_id, outcome=outcome, request_method=method,
        request_path=path, request_status=status, size=size, value_model=value_model, parent_trace_id=parent,
        problem=problem,
    )


def _filters(text, outcome, source):
    clauses, parameters = [], []
    if text:
        pattern = "%" + text.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_") + "%"
        clauses.append("(" + " OR ".join(f"{column} LIKE ? ESCAPE '\\'" for column in _SEARCHED) + ")")
        parameters.extend([pattern] * len(_SEARCHED))
    if outcome:
        clauses.append("outcome = ?")
        parameters.append(outcome)
    if source:
        clauses.append("source = ?")
        parameters.append(source)
    where = " WHERE " + " AND ".join(clauses) if clauses else ""
    return where, tuple(parameters)


def _check_file(path):
    if not os.path.lexists(path) or (os.path.islink(path) and not os.path.exists(path)):
        raise StoreMissing(path, "no such file", f"no trace database at {path}")
    if os.path.isdir(path):
        raise StoreMissing(path, "a directory", f"{path} is a directory, not a trace database")
    try:
        with open(path, "rb") as file:
            header = file.read(len(_SQLITE_HEADER))
    except OSError as error:
        raise StoreMissing(path, error.strerror or str(error), f"cannot read trace database {path}: "
                           f"{error.strerror or error}") from None
    # An empty file is a valid empty database to SQLite.
    if header and header != _SQLITE_HEADER:
        raise StoreCorrupt(path, "no SQLite header", f"{path} is not an SQLite database")


def _connect_read_only(path, timeout):
    try:
        return _probe(_open(path, "ro", timeout), path, timeout)
    except sqlite3.Error as error:
        if not _has_hot_journal(path, error):
            raise from_sqlite(path, error, timeout) from None
    _roll_back_hot_journal(path, timeout)
    try:
        return _probe(_open(path, "ro", timeout), path, timeout)
    except sqlite3.Error as error:
        raise from_sqlite(path, error, timeout) from None


def _open(path, mode, timeout):
    uri = "file://" + urllib.parse.quote(os.path.abspath(path)) + f"?mode={mode}"
    return sqlite3.connect(uri, uri=True, timeout=timeout, check_same_thread=False)


def _probe(connection, path, timeout):
    try:
        connection.execute("SELECT count(*) FROM sqlite_master").fetchone()
    except BaseException:
        connection.close()
        raise
    return connection


def _has_hot_journal(path, error):
    journal = path + "-journal"
    return "readonly" in str(error) and os.path.isfile(journal) and os.path.getsize(journal) > 0


def _roll_back_hot_journal(path, timeout):
    journal = path + "-journal"
    directory = os.path.dirname(os.path.abspath(path))
    if not (os.access(path, os.W_OK) and os.access(directory, os.W_OK)):
        raise HotJournal(
            path,
            "hot journal",
            f"{path} has a hot journal ({journal}) left by an interrupted save; it can be read only after "
            "someone with write access to it and its directory opens it once, which rolls the save back",
        )
    try:
        _probe(_open(path, "rw", timeout), path, timeout).close()
    except sqlite3.Error as error:
        raise HotJournal(path, str(error), f"{path} has a hot journal ({journal}) left by an interrupted "
                         f"save, and rolling it back failed: {error}") from None

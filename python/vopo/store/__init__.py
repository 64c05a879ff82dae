"""The trace store: an SQLite file with one row per save of a trace, its
MessagePack document and a summary in columns. The command line and the
viewer read it only through this package.

Writing (the native profiler does it through ``vopo.db.save_trace_in_sqlite``)::

    save_trace(db_path, trace_id, document_bytes, timeout) -> row id

Reading, always read-only::

    with open_store(db_path, timeout=5.0) as store:
        store.list_traces(text=None, outcome=None, source=None, limit=50, offset=0)
            -> [TraceInfo], newest save first; text matches trace id, source,
               test node id, request method, path and status, outcome
        store.count_traces(text=None, outcome=None, source=None) -> int
        store.sources() -> [str]
        store.resolve("latest" | trace id | unique prefix) -> trace id
        store.trace(trace_id) -> TraceInfo
        store.saves(trace_id) -> [SaveInfo], in save order
        store.children(trace_id) -> [TraceInfo] whose parent_trace_id is trace_id
        store.last_row_id() -> int;  store.trace_ids_after(row_id) -> [trace id]
        reading = store.read_trace(trace_id, progress=None)
        for save_index, thread_key, record in reading:   # one decoded record at a time
            ...
        reading.heads[save_index]  # that save's other document entries, once read

``TraceInfo`` reads no document: saves, first/last row id, saved_at,
source, started_at (a test's own start), first/last_record_at, duration,
frame_records, records, threads, node_id, outcome, request_method,
request_path, request_status, size, value_model, parent_trace_id, and
problem (why a document cannot be decoded, or None).

Every failure is a ``TraceStoreError`` (``.path``, ``.reason``, a message
for the user): ``StoreMissing`` (no file, or a directory), ``StoreBusy``
(locked past the timeout), ``StoreCorrupt`` (not SQLite, or damaged),
``NotAVopoStore`` (another application's database), ``HotJournal`` (an
interrupted save that only a writer can roll back), ``UnknownTrace`` and
``CorruptTrace`` (an undecodable document). Memory databases (":memory:",
"", "file::memory:" and "mode=memory" URIs) raise ``ValueError``.
"""

from vopo.store.errors import (
    CorruptTrace,
    HotJournal,
    NotAVopoStore,
    StoreBusy,
    StoreCorrupt,
    StoreMissing,
    TraceStoreError,
    UnknownTrace,
)
from vopo.store.reader import DEFAULT_LIMIT, DEFAULT_TIMEOUT, LATEST, SaveInfo, TraceInfo, TraceStore, open_store
from vopo.store.writer import save_trace

__all__ = [
    "CorruptTrace",
    "DEFAULT_LIMIT",
    "DEFAULT_TIMEOUT",
    "HotJournal",
    "LATEST",
    "NotAVopoStore",
    "SaveInfo",
    "StoreBusy",
    "StoreCorrupt",
    "StoreMissing",
    "TraceInfo",
    "TraceStore",
    "TraceStoreError",
    "UnknownTrace",
    "open_store",
    "save_trace",
]

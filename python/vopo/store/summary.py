"""The summary stored beside each trace document: what the trace list
shows, computed from the document in one streaming pass when it is saved
(or, for rows saved before summaries existed, when it is read)."""

import dataclasses
from typing import Optional

from vopo.store.schema import SUMMARY_VERSION
from vopo.store.stream import FRAME, FRAME_EXCEPTION, DocumentError, DocumentStream, is_time, record_problem

START_TEST, END_TEST = "start_test", "end_test"
START_REQUEST, END_REQUEST = "start_request", "end_request"


@dataclasses.dataclass
class Summary:
    """One stored row's summary; the fields are the summary columns."""

    summary_version: int = SUMMARY_VERSION
    problem: Optional[str] = None
    source: Optional[str] = None
    frame_records: int = 0
    records: int = 0
    threads: int = 0
    started_at: Optional[float] = None
    first_record_at: Optional[float] = None
    last_record_at: Optional[float] = None
    node_id: Optional[str] = None
    outcome: Optional[str] = None
    request_method: Optional[str] = None
    request_path: Optional[str] = None
    request_status: Optional[str] = None
    size: int = 0
    value_model: int = 1
    parent_trace_id: Optional[str] = None

    def column_values(self, names):
        return tuple(getattr(self, name) for name in names)


def summarize_chunks(chunks, size, *, value_model=1, parent_trace_id=None):
    """The summary of a document given as byte chunks, ``size`` bytes in all.

    A document that cannot be decoded gets a summary whose ``problem`` says
    why; saving never fails because of what the profiler wrote.
    """
    summary = Summary(size=size, value_model=value_model, parent_trace_id=parent_trace_id)
    # Saving must stay cheap: only what the summary uses is checked here;
    # readers check every record fully.
    stream = DocumentStream(chunks, check_records=False)
    threads = set()
    try:
        for thread_key, record in stream.records():
            _count(summary, threads, thread_key, record)
    except DocumentError as error:
        return Summary(problem=str(error), size=size, value_model=value_model, parent_trace_id=parent_trace_id)
    finally:
        stream.close()
    summary.threads = len(threads)
    fields = stream.fields
    meta = fields.get("meta")
    source = meta.get("source") if isinstance(meta, dict) else None
    summary.source = source if isinstance(source, str) else None
    if summary.started_at is None:
        summary.started_at = float(fields["timestamp"])
    return summary


def summarize_blob(blob, **facts):
    """The summary of a stored value that may not even be bytes."""
    if not isinstance(blob, (bytes, bytearray, memoryview)):
        problem = f"stored value is {type(blob).__name__}, not MessagePack bytes"
        size = len(blob) if isinstance(blob, str) else 0
        return Summary(problem=problem, size=size, **facts)
    return summarize_chunks(_chunked(blob), len(blob), **facts)


def _chunked(blob, size=1 << 20):
    view = memoryview(blob)
    for start in range(0, len(view), size):
        yield view[start : start + size]


def _count(summary, threads, thread_key, record):
    kind = record.get("type") if type(record) is dict else None
    timestamp = record.get("timestamp") if kind is not None else None
    if type(kind) is not str or not is_time(timestamp):
        raise DocumentError(f"record {summary.records}: {record_problem(record)}")
    timestamp = float(timestamp)
    if summary.first_record_at is None or timestamp < summary.first_record_at:
        summary.first_record_at = timestamp
    if summary.last_record_at is None or timestamp > summary.last_record_at:
        summary.last_record_at = timestamp
    if kind == FRAME_EXCEPTION:
        return  # a detail of the frame record before it, in that record's thread
    summary.records += 1
    native_id = record.get("thread_native_id")
    threads.add(native_id if native_id is not None else ("name", record.get("thread"), thread_key))
    if kind == FRAME:
        summary.frame_records += 1
    elif kind == START_TEST:
        if summary.started_at is None:
            summary.started_at = timestamp
        summary.node_id = summary.node_id or _text(record.get("node_id", record.get("nodeid")))
    elif kind == END_TEST:
        summary.node_id = summary.node_id or _text(record.get("node_id", record.get("nodeid")))
        summary.outcome = _text(record.get("outcome")) or summary.outcome
    elif kind == START_REQUEST:
        summary.request_method = summary.request_method or _text(record.get("method"))
        summary.request_path = summary.request_path or _text(record.get("path"))
    elif kind == END_REQUEST:
        summary.request_status = _status(record.get("status")) or summary.request_status


def _text(value):
    return value if isinstance(value, str) else None


def _status(value):
    if isinstance(value, str):
        return value
    if isinstance(value, int) and not isinstance(value, bool):
        return str(value)
    return None

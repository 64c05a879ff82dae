"""Decoding stored trace documents into checked records, grouped per thread.

A trace document is one MessagePack map. Its records live in two places:
"frames_of_interest" (the main thread's records, or every thread's when the
profiler ran without threading) and "frames" (thread native id to that
thread's records). Readers here gather them per thread, keeping each
thread's own order, and merge the successive saves of one trace id in save
order so that a call and its return saved apart still meet.
"""

from dataclasses import dataclass, field
from typing import List, Optional

import msgpack

from vopo.cli.errors import CliError
from vopo.values.decode import ext_hook

FRAME = "frame"
# Follows the return record of a frame that was left by an exception.
FRAME_EXCEPTION = "frame_exception"
_LATEST_TIME = 1e12
# Keys every record carries; anything else on a plugin record is the plugin's own.
STANDARD_KEYS = frozenset(
    ("frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type")
)


@dataclass(frozen=True)
class CallSite:
    frame_id: str
    line: int


@dataclass(eq=False)
class Record:
    seq: int  # position in the whole trace, in stored order
    type: str
    frame_id: Optional[str]
    timestamp: float
    thread: Optional[str]
    native_id: Optional[int]
    call_site: Optional[CallSite]
    raw: dict

    @property
    def is_frame(self):
        return self.type == FRAME

    @property
    def is_frame_exception(self):
        return self.type == FRAME_EXCEPTION

    @property
    def is_plugin(self):
        return not self.is_frame and not self.is_frame_exception

    @property
    def event(self):
        return self.raw.get("event")

    @property
    def name(self):
        """The qualified name, or the code name when there is none."""
        return self.raw.get("qualname") or self.raw.get("co_name") or "?"

    @property
    def path(self):
        return self.raw.get("path") or "?"

    @property
    def plugin_fields(self):
        """The keys a plugin added to its record, "subtype" included."""
        return {key: value for key, value in self.raw.items() if key not in STANDARD_KEYS}


@dataclass(eq=False)
class ThreadRecords:
    native_id: Optional[int]
    name: str
    records: List[Record] = field(default_factory=list)


@dataclass(eq=False)
class Trace:
    trace_id: str
    documents: List[dict]  # decoded, one per save, in save order
    saved_at: float  # time of the last save
    size: int  # stored bytes, all saves together
    threads: List[ThreadRecords]

    @property
    def first(self):
        return self.documents[0]

    @property
    def saves(self):
        return len(self.documents)

    @property
    def meta(self):
        meta = self.first.get("meta")
        return meta if isinstance(meta, dict) else {}

    @property
    def source(self):
        return _text(self.meta.get("source"), "?")

    @property
    def main_thread_id(self):
        return self.first.get("main_thread_id")

    @property
    def started_at(self):
        return self.first["timestamp"]

    @property
    def records(self):
        return [record for thread in self.threads for record in thread.records]

    def frame_record_count(self):
        return sum(1 for record in self.records if record.is_frame)

    def is_main(self, thread):
        return thread.native_id is not None and thread.native_id == self.main_thread_id

    def merged_document(self):
        """One document with the records of every save, in save order."""
        merged = dict(self.first)
        merged["frames_of_interest"] = [r for doc in self.documents for r in doc["frames_of_interest"]]
        frames = {}
        for doc in self.documents:
            for native_id, records in doc["frames"].items():
                frames.setdefault(native_id, []).extend(records)
        merged["frames"] = frames
        return merged


def decode_document(blob, label):
    """The decoded document of one stored row; ``label`` names it in errors."""
    if not isinstance(blob, bytes):
        raise _corrupt(label, f"stored value is {type(blob).__name__}, not MessagePack bytes")
    try:
        document = msgpack.unpackb(blob, raw=False, strict_map_key=False, ext_hook=ext_hook)
    except Exception as error:
        raise _corrupt(label, f"truncated or corrupt MessagePack ({type(error).__name__}: {error})") from None
    _check_document(document, label)
    return document


def load_trace(rows):
    """The trace of the stored rows of one trace id, merged in save order."""
    label = rows[0].trace_id
    documents = []
    for number, row in enumerate(rows, 1):
        where = label if len(rows) == 1 else f"{label} (save {number} of {len(rows)})"
        documents.append(decode_document(row.blob, where))
    threads = _group_by_thread(documents, label)
    return Trace(
        trace_id=label,
        documents=documents,
        saved_at=rows[-1].saved_at,
        size=sum(len(row.blob) for row in rows if isinstance(row.blob, bytes)),
        threads=threads,
    )


def _check_document(document, label):
    if not isinstance(document, dict):
        raise _corrupt(label, f"the document is a {type(document).__name__}, not a map")
    if not isinstance(document.get("frames_of_interest"), list):
        raise _corrupt(label, '"frames_of_interest" is missing or not a list')
    frames = document.get("frames")
    if not isinstance(frames, dict) or not all(isinstance(records, list) for records in frames.values()):
        raise _corrupt(label, '"frames" is missing or not a map of record lists')
    if not _is_time(document.get("timestamp")):
        raise _corrupt(label, '"timestamp" is missing or not a time')


def _group_by_thread(documents, label):
    threads = {}
    seq = 0
    for document in documents:
        lists = [document["frames_of_interest"], *document["frames"].values()]
        for records in lists:
            key = None
            for raw in records:
                record = _record(raw, seq, label)
                seq += 1
                # An exception record names no thread: it belongs to the return before it.
                if not (record.is_frame_exception and key is not None and record.thread is None):
                    key = record.native_id if record.native_id is not None else ("name", record.thread)
                thread = threads.get(key)
                if thread is None:
                    thread = threads[key] = ThreadRecords(record.native_id, record.thread or "?")
                elif record.is_frame and thread.name == "?" and record.thread:
                    thread.name = record.thread
                thread.records.append(record)
    return list(threads.values())


def _record(raw, seq, label):
    if not isinstance(raw, dict):
        raise _corrupt(label, f"record {seq} is a {type(raw).__name__}, not a map")
    kind = raw.get("type")
    frame_id = raw.get("frame_id")
    timestamp = raw.get("timestamp")
    native_id = raw.get("thread_native_id")
    thread = raw.get("thread")
    problem = (
        (not isinstance(kind, str) and '"type" is not a string')
        or (frame_id is not None and not isinstance(frame_id, str) and '"frame_id" is not a string')
        or (not _is_time(timestamp) and '"timestamp" is not a time')
        or (native_id is not None and not _is_int(native_id) and '"thread_native_id" is not an integer')
        or (thread is not None and not isinstance(thread, str) and '"thread" is not a string')
        or (kind == FRAME and _frame_problem(raw))
    )
    if problem:
        raise _corrupt(label, f"record {seq}: {problem}")
    return Record(
        seq=seq,
        type=kind,
        frame_id=frame_id,
        timestamp=float(timestamp),
        thread=thread,
        native_id=native_id,
        call_site=_call_site(raw.get("user_code_call_site"), seq, label),
        raw=raw,
    )


def _frame_problem(raw):
    if raw.get("event") not in ("call", "return"):
        return '"event" is neither "call" nor "return"'
    if raw.get("event") == "call" and not isinstance(raw.get("frame_id"), str):
        return "a call without a frame id"
    for key in ("path", "co_name"):
        if not isinstance(raw.get(key), str):
            return f'"{key}" is not a string'
    if raw.get("qualname") is not None and not isinstance(raw.get("qualname"), str):
        return '"qualname" is not a string'
    return None


def _call_site(value, seq, label):
    if value is None:
        return None
    if (
        isinstance(value, dict)
        and isinstance(value.get("call_frame_id"), str)
        and _is_int(value.get("line_number"))
    ):
        return CallSite(value["call_frame_id"], value["line_number"])
    raise _corrupt(label, f'record {seq}: "user_code_call_site" is not a call site')


def _is_int(value):
    return isinstance(value, int) and not isinstance(value, bool)


def _is_time(value):
    # Seconds since the epoch; anything not finite or beyond the year 30000
    # cannot come from a clock.
    return isinstance(value, (int, float)) and not isinstance(value, bool) and abs(value) < _LATEST_TIME


def _text(value, default):
    return value if isinstance(value, str) else default


def _corrupt(label, detail):
    return CliError(f"trace {label} is corrupt: {detail}")


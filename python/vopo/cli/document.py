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
from vopo.store.stream import FRAME, FRAME_EXCEPTION, follows_its_frame, is_time, record_problem

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
    def is_plugin(self):
        return self.type not in (FRAME, FRAME_EXCEPTION)

    @property
    def event(self):
        return self.raw.get("event")

    @property
    def name(self):
        """The qualified name, or the code name when there is none."""
        return record_name(self.raw)

    @property
    def path(self):
        return self.raw.get("path") or "?"


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


def decode_document(blob, label):
    """The decoded document of one stored row; ``label`` names it in errors."""
    if not isinstance(blob, bytes):
        raise _corrupt(label, f"stored value is {type(blob).__name__}, not MessagePack bytes")
    try:
        document = msgpack.unpackb(blob, raw=False, strict_map_key=False)
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
    if not is_time(document.get("timestamp")):
        raise _corrupt(label, '"timestamp" is missing or not a time')


def _group_by_thread(documents, label):
    threads = {}
    seq = 0
    for document in documents:
        lists = [document["frames_of_interest"], *document["frames"].values()]
        for records in lists:
            thread = None
            for raw in records:
                record = _record(raw, seq, label)
                seq += 1
                if thread is not None and follows_its_frame(raw):
                    thread.records.append(record)
                    continue
                key = record.native_id if record.native_id is not None else ("name", record.thread)
                thread = threads.get(key)
                if thread is None:
                    thread = threads[key] = ThreadRecords(record.native_id, record.thread or "?")
                elif record.is_frame and thread.name == "?" and record.thread:
                    thread.name = record.thread
                thread.records.append(record)
    return list(threads.values())


def _record(raw, seq, label):
    problem = record_problem(raw)
    if problem:
        raise _corrupt(label, f"record {seq}: {problem}")
    return Record(
        seq=seq,
        type=raw["type"],
        frame_id=raw.get("frame_id"),
        timestamp=float(raw["timestamp"]),
        thread=raw.get("thread"),
        native_id=raw.get("thread_native_id"),
        call_site=call_site(raw),
        raw=raw,
    )


def record_name(raw):
    """The qualified name, or the code name when there is none."""
    return raw.get("qualname") or raw.get("co_name") or "?"


def plugin_fields(raw):
    """The keys a plugin added to its record, "subtype" included."""
    return {key: value for key, value in raw.items() if key not in STANDARD_KEYS}


def call_site(raw):
    """The ``CallSite`` of a checked record, or None."""
    site = raw.get("user_code_call_site")
    if site is None:
        return None
    return CallSite(site["call_frame_id"], site["line_number"])


def _text(value, default):
    return value if isinstance(value, str) else default


def _corrupt(label, detail):
    return CliError(f"trace {label} is corrupt: {detail}")


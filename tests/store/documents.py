"""Trace documents and stores built directly, without profiling: records
shaped like the profiler's, packed in the document's own key order."""

import sqlite3

import msgpack

_EVENTS = ("call", "return")
LEGACY_SCHEMA = (
    "CREATE TABLE traces (id INTEGER PRIMARY KEY AUTOINCREMENT, trace_id TEXT NOT NULL, "
    "saved_at REAL NOT NULL, msgpack BLOB NOT NULL)",
    "CREATE INDEX traces_trace_id ON traces(trace_id)",
)


def frame(event, frame_id, timestamp, name="f", native_id=100, thread="MainThread", site=None, **extra):
    return {
        "path": "app.py:1", "co_name": name, "qualname": name, "event": event, "frame_id": frame_id,
        "arg": None, "locals": {}, "thread": thread, "thread_native_id": native_id, "timestamp": timestamp,
        "type": "frame", "user_code_call_site": site, **extra,
    }


def plugin(kind, frame_id, timestamp, native_id=100, **fields):
    return {"frame_id": frame_id, "timestamp": timestamp, "thread": "MainThread", "thread_native_id": native_id,
            "user_code_call_site": None, "type": kind, **fields}


def records_of_test(node_id, outcome, start=10.0):
    """A test's records: its start, one call and return, its end."""
    return [
        plugin("start_test", "frm_T", start, node_id=node_id),
        frame("call", "frm_1", start + 1),
        frame("return", "frm_1", start + 2),
        plugin("end_test", "frm_T", start + 3, node_id=node_id, outcome=outcome),
    ]


def records_of_request(method, path, status, start=10.0):
    return [
        plugin("start_request", "frm_R", start, method=method, path=path),
        frame("call", "frm_1", start + 1),
        frame("return", "frm_1", start + 2),
        plugin("end_request", "frm_R", start + 3, status=status),
    ]


def document(records=(), threads=None, trace_id="trc_X", timestamp=1.0, source="tests"):
    return msgpack.packb({
        "command_line_args": ["app.py"],
        "current_commit_sha": None,
        "frames": threads or {},
        "frames_of_interest": list(records),
        "main_thread_id": 100,
        "meta": {"version": "0.1.0", "source": source, "use_frame_boundaries": True},
        "timestamp": timestamp,
        "trace_id": trace_id,
    })


def legacy_store(path, rows):
    """A database as vopo wrote it before summaries: (trace id, document) rows."""
    with sqlite3.connect(path) as connection:
        for statement in LEGACY_SCHEMA:
            connection.execute(statement)
        connection.executemany("INSERT INTO traces (trace_id, saved_at, msgpack) VALUES (?, ?, ?)",
                               [(trace_id, float(number), blob) for number, (trace_id, blob) in enumerate(rows)])
    connection.close()


def many_small_records_document(count, trace_id="trc_BIG", tiny=False):
    """A document of ``count`` call and return records, packed by repeating
    two records' bytes (fast enough for millions). ``tiny`` records carry
    only a type, an event and a time."""
    if tiny:
        call, ret = (msgpack.packb({"type": "tick", "event": event, "timestamp": 5.0}) for event in _EVENTS)
    else:
        call = msgpack.packb(frame("call", "frm_1", 5.0))
        ret = msgpack.packb(frame("return", "frm_1", 6.0))
    pack = msgpack.packb
    return b"".join([
        b"\x88", pack("command_line_args"), pack([]), pack("current_commit_sha"), pack(None),
        pack("frames"), pack({}), pack("frames_of_interest"), b"\xdd", count.to_bytes(4, "big"),
        (call + ret) * (count // 2) + call * (count % 2),
        pack("main_thread_id"), pack(100), pack("meta"),
        pack({"version": "0.1.0", "source": "big", "use_frame_boundaries": True}),
        pack("timestamp"), pack(1.0), pack("trace_id"), pack(trace_id),
    ])

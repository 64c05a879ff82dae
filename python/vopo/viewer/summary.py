"""One line of the trace list, made from a trace's stored documents: who
made it (source, test, request), how it ended, when, how long, how big."""

import msgpack

_TEST_START, _TEST_END = "start_test", "end_test"
_REQUEST_START, _REQUEST_END = "start_request", "end_request"


def summarise(trace_id, rows):
    """The summary of the rows (row id, saved at, document) of one trace."""
    summary = {
        "trace_id": trace_id,
        "source": "?",
        "started": None,
        "duration": None,
        "frames": 0,
        "threads": 0,
        "size": sum(len(blob) for _, _, blob in rows if isinstance(blob, bytes)),
        "saves": len(rows),
        "saved_at": rows[-1][1],
        "node_id": None,
        "outcome": None,
        "request": None,
        "corrupt": False,
    }
    threads, times = set(), []
    for _, _, blob in rows:
        try:
            document = msgpack.unpackb(blob, raw=False, strict_map_key=False)
            _read_document(summary, document, threads, times)
        except Exception:
            summary["corrupt"] = True
    summary["threads"] = len(threads)
    if times:
        summary["duration"] = max(times) - min(times)
        summary["started"] = summary["started"] or min(times)
    return summary


def _read_document(summary, document, threads, times):
    if summary["source"] == "?":
        meta = document.get("meta")
        if isinstance(meta, dict) and isinstance(meta.get("source"), str):
            summary["source"] = meta["source"]
    records = list(document.get("frames_of_interest") or [])
    for thread_records in (document.get("frames") or {}).values():
        records.extend(thread_records)
    for record in records:
        _read_record(summary, record, threads, times)


def _read_record(summary, record, threads, times):
    timestamp = record.get("timestamp")
    if isinstance(timestamp, (int, float)) and not isinstance(timestamp, bool):
        times.append(timestamp)
    threads.add(record.get("thread_native_id") if record.get("thread_native_id") is not None else record.get("thread"))
    kind = record.get("type")
    if kind == "frame":
        summary["frames"] += 1
    elif kind == _TEST_START:
        summary["node_id"] = _text(record.get("node_id")) or _text(record.get("nodeid"))
        summary["started"] = timestamp
    elif kind == _TEST_END:
        summary["outcome"] = _text(record.get("outcome"))
    elif kind in (_REQUEST_START, _REQUEST_END):
        request = summary["request"] = summary["request"] or {"method": None, "path": None, "status": None}
        for key in ("method", "path", "status"):
            if record.get(key) is not None:
                request[key] = record[key]


def _text(value):
    return value if isinstance(value, str) else None

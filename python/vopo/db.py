"""Trace storage in an SQLite file: the entry point the native profiler
calls to save a trace. The store itself lives in ``vopo.store``."""

from vopo.store import TraceStoreError, save_trace

__all__ = ["TraceStoreError", "save_trace_in_sqlite"]


def save_trace_in_sqlite(db_path, trace_id, *, timeout, msgpack):
    """Append the trace document ``msgpack`` under ``trace_id``; return the row id.

    Creates the database (readable by its owner only), its parent directory
    and its table when missing. ``timeout`` is how many seconds to wait for
    other writers before giving up with ``TraceStoreError``, which is also
    raised for any other storage failure.
    """
    if not isinstance(trace_id, str):
        raise TypeError(f"trace_id must be a str, not {type(trace_id).__name__}")
    if not isinstance(msgpack, (bytes, bytearray, memoryview)):
        raise TypeError(f"msgpack must be bytes, not {type(msgpack).__name__}")
    return save_trace(db_path, trace_id, bytes(msgpack), timeout)

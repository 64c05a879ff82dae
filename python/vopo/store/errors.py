"""The errors of the trace store: one base class carrying the database path
and SQLite's reason, and one subclass per situation a caller may treat
differently (the viewer maps them to pages, the command line to one line)."""

import os
import sqlite3

_BUSY_NAMES = frozenset(("SQLITE_BUSY", "SQLITE_LOCKED"))
_BUSY_MESSAGES = ("database is locked", "database table is locked", "database schema is locked", "busy")


class TraceStoreError(Exception):
    """A trace database that cannot be read or written.

    ``path`` is the database path; ``reason`` is what went wrong, SQLite's
    own words where SQLite gave them.
    """

    def __init__(self, path, reason, message=None):
        self.path = os.fspath(path)
        self.reason = str(reason)
        super().__init__(message or f"{self.path}: {self.reason}")


class StoreMissing(TraceStoreError):
    """No database at the path, or a directory instead of a file."""


class StoreBusy(TraceStoreError):
    """Another process held the database longer than the timeout."""


class StoreCorrupt(TraceStoreError):
    """The file is not an SQLite database, or SQLite found it damaged."""


class NotAVopoStore(TraceStoreError):
    """An SQLite database that belongs to another application."""


class HotJournal(TraceStoreError):
    """An interrupted save left a journal that only a writer can roll back."""


class UnknownTrace(TraceStoreError):
    """No trace, or more than one, matches the reference given."""


class CorruptTrace(TraceStoreError):
    """A stored trace document that cannot be decoded."""

    def __init__(self, path, trace_id, detail):
        self.trace_id = trace_id
        super().__init__(path, detail, f"trace {trace_id} is corrupt: {detail}")


def is_busy(error):
    name = getattr(error, "sqlite_errorname", None)
    if name is not None:
        return name in _BUSY_NAMES
    message = str(error)
    return any(fragment in message for fragment in _BUSY_MESSAGES)


def from_sqlite(path, error, timeout=None, doing="read"):
    """The store error for an ``sqlite3.Error`` met while reading or writing ``path``."""
    message = str(error)
    shown = os.fspath(path)
    if is_busy(error):
        waited = "" if timeout is None else f" (gave up after {timeout:g} s)"
        return StoreBusy(path, message, f"database {shown} is locked by another process{waited}")
    if isinstance(error, sqlite3.DatabaseError) and (
        "file is not a database" in message or "malformed" in message or "not a database" in message
    ):
        return StoreCorrupt(path, message, f"{shown} is not an SQLite database or is damaged ({message})")
    return TraceStoreError(path, message, f"cannot {doing} trace database {shown}: {message}")

"""Which database paths vopo accepts: files only, never SQLite's memory
databases, whose traces would vanish with the connection that saved them."""

import os
import urllib.parse


def checked_path(db_path):
    """``db_path`` as a str; ``ValueError`` for a memory database or no path."""
    path = os.fspath(db_path)
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    if path == "":
        raise ValueError("db_path is empty: give the path of a database file")
    if path == ":memory:" or _is_memory_uri(path):
        raise ValueError(f"db_path {path!r} names an in-memory database: give the path of a database file")
    return path


def _is_memory_uri(path):
    if not path.startswith("file:"):
        return False
    parsed = urllib.parse.urlsplit(path)
    options = urllib.parse.parse_qs(parsed.query)
    return parsed.path in ("", ":memory:") or "memory" in options.get("mode", [])

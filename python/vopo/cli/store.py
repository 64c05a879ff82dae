"""The command line's access to the trace store: ``vopo.store`` opened
read-only, with its errors turned into one-line ``CliError``s.

One trace id may own several rows: each save of a profiler stores what it
collected since the previous save under the same id. Rows come back in save
order, so callers can merge them into one trace.
"""

import contextlib
import os
from typing import NamedTuple

from vopo import store
from vopo.cli.errors import CliError

DEFAULT_DB_NAME = "vopo.sqlite3"
DB_ENV_VAR = "VOPO_DB"
DEFAULT_TIMEOUT = store.DEFAULT_TIMEOUT
DEFAULT_LIMIT = store.DEFAULT_LIMIT


class StoredRow(NamedTuple):
    row_id: int
    trace_id: str
    saved_at: float
    blob: bytes


def default_db_path():
    """``$VOPO_DB`` when set, else ``vopo.sqlite3`` in the working directory."""
    return os.environ.get(DB_ENV_VAR) or DEFAULT_DB_NAME


@contextlib.contextmanager
def reading(db_path, timeout=DEFAULT_TIMEOUT):
    """The open ``vopo.store.TraceStore``; its failures become ``CliError``."""
    try:
        with store.open_store(db_path, timeout) as reader:
            yield reader
    except store.UnknownTrace as error:
        hint = f" (list them with: vopo traces --db {db_path})" if error.reason == "unknown" else ""
        raise CliError(f"{error}{hint}") from None
    except (store.TraceStoreError, ValueError) as error:
        raise CliError(str(error)) from None


def rows_after(db_path, row_id, timeout=DEFAULT_TIMEOUT):
    """The rows saved after the row ``row_id``, with their documents, in save order."""
    with reading(db_path, timeout) as reader:
        rows = []
        for trace_id in reader.trace_ids_after(row_id):
            rows.extend(_rows(reader, trace_id, after=row_id))
        return sorted(rows)


def last_row_id(db_path, timeout=DEFAULT_TIMEOUT):
    """The id of the newest row; 0 when there is no database or no trace yet."""
    if not os.path.exists(db_path):
        return 0
    with reading(db_path, timeout) as reader:
        return reader.last_row_id()


def _rows(reader, trace_id, after=0):
    return [
        StoredRow(save.row_id, save.trace_id, save.saved_at, reader.document(save.row_id))
        for save in reader.saves(trace_id)
        if save.row_id > after
    ]


def rows_of_trace(db_path, reference, timeout=DEFAULT_TIMEOUT):
    """The rows of one trace with their documents, in save order.

    ``reference`` is a trace id, a prefix that only one stored trace id starts
    with, or ``latest`` for the trace saved last.
    """
    with reading(db_path, timeout) as reader:
        return _rows(reader, reader.resolve(reference))

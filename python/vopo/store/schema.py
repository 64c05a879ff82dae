"""The layout of a trace database, how a vopo database is told apart from
another application's SQLite file, and the in-place migration of databases
written before the summary columns existed.

A vopo database carries the application id below in its header. Databases
from before that have id 0 and exactly one table, ``traces``, with the four
original columns; they are vopo's too and get migrated on their first write.
"""

APPLICATION_ID = 0x766F706F  # "vopo"
SCHEMA_VERSION = 2
# Bumped whenever summaries are computed differently, so old ones are redone.
SUMMARY_VERSION = 1

ORIGINAL_COLUMNS = ("id", "trace_id", "saved_at", "msgpack")
# Name and SQL type of each summary column, in table order.
SUMMARY_COLUMNS = (
    ("summary_version", "INTEGER"),
    ("problem", "TEXT"),
    ("source", "TEXT"),
    ("frame_records", "INTEGER"),
    ("records", "INTEGER"),
    ("threads", "INTEGER"),
    ("started_at", "REAL"),
    ("first_record_at", "REAL"),
    ("last_record_at", "REAL"),
    ("node_id", "TEXT"),
    ("outcome", "TEXT"),
    ("request_method", "TEXT"),
    ("request_path", "TEXT"),
    ("request_status", "TEXT"),
    ("size", "INTEGER"),
    ("value_model", "INTEGER"),
    ("parent_trace_id", "TEXT"),
)
SUMMARY_NAMES = tuple(name for name, _ in SUMMARY_COLUMNS)

CREATE_TABLE = (
    "CREATE TABLE traces (\n"
    "    id INTEGER PRIMARY KEY AUTOINCREMENT,\n"
    "    trace_id TEXT NOT NULL,\n"
    "    saved_at REAL NOT NULL,\n"
    "    msgpack BLOB NOT NULL,\n"
    + ",\n".join(f"    {name} {kind}" for name, kind in SUMMARY_COLUMNS)
    + "\n)"
)
INDEXES = (
    "CREATE INDEX IF NOT EXISTS traces_trace_id ON traces(trace_id, id)",
    "CREATE INDEX IF NOT EXISTS traces_parent ON traces(parent_trace_id) WHERE parent_trace_id IS NOT NULL",
)
_OLD_INDEX = "traces_trace_id"

FRESH = "fresh"  # no tables yet: vopo may create its own
CURRENT = "current"
OLD = "old"  # a vopo database without (all) summary columns
FOREIGN = "foreign"


class Layout:
    """What a connection's database holds, read from its header and schema."""

    def __init__(self, kind, columns=(), detail=""):
        self.kind = kind
        self.columns = tuple(columns)
        self.detail = detail

    @property
    def has_summaries(self):
        return all(name in self.columns for name in SUMMARY_NAMES)


def inspect(connection):
    """The ``Layout`` of the database open on ``connection``."""
    application_id = connection.execute("PRAGMA application_id").fetchone()[0]
    tables = [
        name
        for (name,) in connection.execute(
            "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'"
        )
    ]
    if application_id not in (0, APPLICATION_ID):
        return Layout(FOREIGN, detail=f"its application id is {application_id:#x}")
    if not tables:
        return Layout(FRESH)
    if tables != ["traces"]:
        return Layout(FOREIGN, detail="tables " + ", ".join(sorted(tables)))
    columns = [row[1] for row in connection.execute("PRAGMA table_info(traces)")]
    if not set(ORIGINAL_COLUMNS) <= set(columns):
        return Layout(FOREIGN, detail="its traces table has columns " + ", ".join(columns))
    layout = Layout(CURRENT, columns)
    if application_id != APPLICATION_ID or not layout.has_summaries:
        layout.kind = OLD
    return layout


def create_or_migrate(connection, layout):
    """Bring a fresh or old database to the current layout, inside the
    caller's write transaction. Returns True when rows may lack a summary."""
    if layout.kind == FRESH:
        connection.execute(CREATE_TABLE)
    else:
        for name, kind in SUMMARY_COLUMNS:
            if name not in layout.columns:
                connection.execute(f"ALTER TABLE traces ADD COLUMN {name} {kind}")
        # The original index covered trace_id alone; the list groups by (trace_id, id).
        if not _index_has_columns(connection, _OLD_INDEX, ("trace_id", "id")):
            connection.execute(f"DROP INDEX IF EXISTS {_OLD_INDEX}")
    for statement in INDEXES:
        connection.execute(statement)
    connection.execute(f"PRAGMA application_id = {APPLICATION_ID}")
    connection.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
    return layout.kind == OLD


def _index_has_columns(connection, index, columns):
    found = tuple(row[2] for row in connection.execute(f"PRAGMA index_info({index})"))
    return found == columns

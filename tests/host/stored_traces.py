"""Reading back what the host profiler stored, for the host tests."""

import sqlite3

import msgpack

from vopo import store


def decode(document):
    return msgpack.unpackb(document, raw=False, strict_map_key=False)


def saved_documents(path, trace_id):
    with store.open_store(path) as reader:
        return [decode(reader.document(save.row_id)) for save in reader.saves(trace_id)]


def stored_rows(path):
    """(trace id, parent trace id, decoded document) of every save, in order."""
    connection = sqlite3.connect(path)
    try:
        rows = connection.execute("SELECT trace_id, parent_trace_id, msgpack FROM traces ORDER BY id").fetchall()
    finally:
        connection.close()
    return [(trace_id, parent, decode(document)) for trace_id, parent, document in rows]


def frame_records(document):
    records = list(document["frames_of_interest"])
    for thread_records in document["frames"].values():
        records += thread_records
    return [record for record in records if record.get("type") == "frame"]


def called_names(document):
    return {record["co_name"] for record in frame_records(document) if record["event"] == "call"}

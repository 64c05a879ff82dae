"""Reading the store: lazy summaries of old databases, the list's filters
and paging, children, and documents streamed in bounded memory."""

import gc
import os
import sqlite3
import sys
import tracemalloc

import pytest

from documents import (
    document,
    frame,
    legacy_store,
    many_small_records_document,
    records_of_request,
    records_of_test,
)
from vopo import db, lineage, store
from vopo.store import schema
from vopo.store.summary import Summary


def save(path, trace_id, blob):
    return db.save_trace_in_sqlite(str(path), trace_id, timeout=5, msgpack=blob)


def test_an_old_database_is_summarised_without_changing_the_file(tmp_path):
    path = tmp_path / "old.sqlite3"
    legacy_store(path, [("trc_T", document(records_of_test("t.py::test_a", "failed"))),
                        ("trc_R", document(records_of_request("POST", "/pay", "500 ERROR")))])
    os.utime(path, (1_000_000, 1_000_000))
    before = (path.read_bytes(), os.stat(path).st_mtime_ns, sorted(os.listdir(tmp_path)))

    with store.open_store(path) as reader:
        listed = reader.list_traces()
        failed = reader.list_traces(outcome="failed")
        by_path = reader.list_traces(text="/pay")

    assert [info.trace_id for info in listed] == ["trc_R", "trc_T"]
    assert [info.node_id for info in failed] == ["t.py::test_a"]
    assert [(info.request_method, info.request_status) for info in by_path] == [("POST", "500 ERROR")]
    assert (path.read_bytes(), os.stat(path).st_mtime_ns, sorted(os.listdir(tmp_path))) == before


@pytest.fixture
def filled(tmp_path):
    """Five traces: three tests, a request, and a child of the first test."""
    path = tmp_path / "t.sqlite3"
    save(path, "trc_01AAA", document(records_of_test("tests/test_cart.py::test_add", "passed"), source="vopo.pytest"))
    save(path, "trc_01BBB", document(records_of_test("tests/test_cart.py::test_total", "failed"), source="vopo.pytest"))
    save(path, "trc_02CCC", document(records_of_request("GET", "/cart_50%", "200 OK"), source="vopo.run"))
    save(path, "trc_01BBB", document([frame("call", "frm_9", 99.0)]))  # a second save of the failing test
    save(path, "trc_02DDD", document(records_of_test("tests/test_pay.py::test_card", "error"), source="vopo.pytest"))
    lineage.set_parent_trace_id("trc_01AAA")
    try:
        save(path, "trc_03CHILD", document(source="vopo.run"))
    finally:
        lineage.set_parent_trace_id(None)
    return path


@pytest.mark.parametrize("query, expected", [
    ({}, ["trc_03CHILD", "trc_02DDD", "trc_01BBB", "trc_02CCC", "trc_01AAA"]),
    ({"limit": 2}, ["trc_03CHILD", "trc_02DDD"]),
    ({"limit": 2, "offset": 2}, ["trc_01BBB", "trc_02CCC"]),
    ({"text": "test_cart"}, ["trc_01BBB", "trc_01AAA"]),
    ({"text": "TEST_CART.PY::TEST_ADD"}, ["trc_01AAA"]),  # case does not matter
    ({"text": "_50%"}, ["trc_02CCC"]),  # LIKE wildcards match only themselves
    ({"text": "%"}, ["trc_02CCC"]),
    ({"text": "200 ok"}, ["trc_02CCC"]),
    ({"text": "trc_01"}, ["trc_01BBB", "trc_01AAA"]),
    ({"outcome": "failed"}, ["trc_01BBB"]),
    ({"outcome": "error", "text": "cart"}, []),
    ({"source": "vopo.run"}, ["trc_03CHILD", "trc_02CCC"]),
])
def test_the_list_filters_and_pages(filled, query, expected):
    with store.open_store(filled) as reader:
        found = [info.trace_id for info in reader.list_traces(**query)]
        count = reader.count_traces(**{key: value for key, value in query.items() if key not in ("limit", "offset")})
    assert found == expected
    assert count >= len(found)


def test_a_trace_of_several_saves_is_one_entry(filled):
    with store.open_store(filled) as reader:
        info = reader.trace("trc_01BBB")
        saves = reader.saves("trc_01BBB")
    assert (info.saves, info.frame_records, info.outcome) == (2, 3, "failed")
    assert info.size == sum(save.size for save in saves) and info.last_row_id == saves[-1].row_id


def test_children_name_their_parent(filled):
    with store.open_store(filled) as reader:
        assert [info.trace_id for info in reader.children("trc_01AAA")] == ["trc_03CHILD"]
        assert reader.children("trc_01BBB") == []
        assert reader.trace("trc_03CHILD").parent_trace_id == "trc_01AAA"


@pytest.mark.parametrize("reference, expected", [
    ("trc_02C", "trc_02CCC"), ("latest", "trc_03CHILD"), ("trc_01BBB", "trc_01BBB"),
    ("trc_01", store.UnknownTrace), ("trc_9", store.UnknownTrace),
])
def test_references_resolve_to_one_trace(filled, reference, expected):
    with store.open_store(filled) as reader:
        if isinstance(expected, str):
            assert reader.resolve(reference) == expected
        else:
            with pytest.raises(expected):
                reader.resolve(reference)


def test_streamed_records_come_in_stored_order_with_each_saves_head(filled):
    with store.open_store(filled) as reader:
        reading = reader.read_trace("trc_01BBB")
        records = [(save, record["type"], record["timestamp"]) for save, _, record in reading]
    assert records == [(0, "start_test", 10.0), (0, "frame", 11.0), (0, "frame", 12.0), (0, "end_test", 13.0),
                       (1, "frame", 99.0)]
    assert [head["trace_id"] for head in reading.heads] == ["trc_X", "trc_X"]
    assert reading.keys[0] == ["command_line_args", "current_commit_sha", "frames", "frames_of_interest",
                               "main_thread_id", "meta", "timestamp", "trace_id"]


@pytest.mark.parametrize("blob, detail", [
    (b"\x88\xa5", "truncated or corrupt MessagePack"),
    (document() + b"\x00", "extra bytes after the document"),
    (document([{"type": "frame", "event": "call"}]), "record 0: "),
])
def test_a_corrupt_document_is_listed_and_raises_when_read(tmp_path, blob, detail):
    path = tmp_path / "t.sqlite3"
    save(path, "trc_GOOD", document([frame("call", "frm_1", 3.0)]))
    save(path, "trc_GOOD", blob)
    with store.open_store(path) as reader:
        assert detail in reader.trace("trc_GOOD").problem
        with pytest.raises(store.CorruptTrace, match=r"trace trc_GOOD \(save 2 of 2\) is corrupt: "):
            list(reader.read_trace("trc_GOOD"))


def test_a_million_records_stream_in_bounded_memory(tmp_path):
    path = tmp_path / "big.sqlite3"
    legacy_store(path, [])
    blob = many_small_records_document(1_000_000, tiny=True)
    with sqlite3.connect(path) as connection:
        # Written directly with its summary: summarising is tested elsewhere.
        summary = Summary(summary_version=schema.SUMMARY_VERSION, size=len(blob))
        names = ", ".join(schema.SUMMARY_NAMES)
        connection.execute("PRAGMA application_id = %d" % schema.APPLICATION_ID)
        for name, kind in schema.SUMMARY_COLUMNS:
            connection.execute(f"ALTER TABLE traces ADD COLUMN {name} {kind}")
        connection.execute(f"INSERT INTO traces (trace_id, saved_at, msgpack, {names}) VALUES (?, 0, ?, "
                           f"{', '.join('?' * len(schema.SUMMARY_NAMES))})",
                           ("trc_BIG", blob) + summary.column_values(schema.SUMMARY_NAMES))
    connection.close()
    size = len(blob)
    del blob

    seen = {"call": 0, "return": 0}
    tracemalloc.start()
    try:
        with store.open_store(path) as reader:
            for _, _, record in reader.read_trace("trc_BIG"):
                seen[record["event"]] += 1
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert seen == {"call": 500_000, "return": 500_000}
    # Reading holds a few chunks of the document at most.
    assert size > 30_000_000 and peak < size // 4


def test_a_hundred_thousand_traces_list_newest_first(tmp_path):
    path = tmp_path / "many.sqlite3"
    save(path, "trc_FIRST", document())
    rows = [(f"trc_{number:06d}", float(number), b"\x80", schema.SUMMARY_VERSION, "vopo.pytest",
             f"tests/test_{number % 1000}.py::test_{number}", "failed" if number % 7 == 0 else "passed", 1)
            for number in range(100_000)]
    with sqlite3.connect(path) as connection:
        connection.executemany(
            "INSERT INTO traces (trace_id, saved_at, msgpack, summary_version, source, node_id, outcome, size) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?)", rows)
    connection.close()

    with store.open_store(path) as reader:
        newest = reader.list_traces(limit=50)
        page = reader.list_traces(limit=50, offset=100_000 - 25)
        found = reader.list_traces(text="test_12345", limit=50)
        failed = reader.count_traces(outcome="failed")
        total = reader.count_traces()
    assert [info.trace_id for info in newest] == [f"trc_{number:06d}" for number in range(99_999, 99_949, -1)]
    assert [info.trace_id for info in page][-1] == "trc_FIRST" and len(page) == 26
    assert [info.node_id for info in found] == ["tests/test_345.py::test_12345"]
    assert (failed, total) == (len(range(0, 100_000, 7)), 100_001)


@pytest.mark.parametrize("name", ["with space.sqlite3", "what?#%20.sqlite3", "caf\u00e9.sqlite3"])
def test_paths_that_need_quoting_in_a_uri_are_read(tmp_path, name):
    save(tmp_path / name, "trc_A", document())
    with store.open_store(tmp_path / name) as reader:
        assert [info.trace_id for info in reader.list_traces()] == ["trc_A"]
    assert os.listdir(tmp_path) == [name]


def given_up_after_one_record(reading):
    records = iter(reading)
    next(records)
    return records


def failed_on_a_corrupt_record(reading):
    try:
        list(reading)
    except store.CorruptTrace as error:
        return error  # its traceback keeps the reading's frames alive
    raise AssertionError("the record should be corrupt")


@pytest.mark.parametrize("read", [given_up_after_one_record, failed_on_a_corrupt_record])
def test_reading_that_stops_early_releases_everything_quietly(tmp_path, monkeypatch, read):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    path = tmp_path / "t.sqlite3"
    save(path, "trc_A", document([frame("call", "frm_1", 3.0), {"type": "frame"}]))
    reader = store.open_store(path)
    kept = read(reader.read_trace("trc_A"))
    reader.close()
    del kept
    gc.collect()
    assert unraisable == []

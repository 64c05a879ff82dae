"""Bad input: one line on stderr, exit status 1, and a database left exactly
as it was (no journal or other file created beside it either)."""

import sqlite3

import msgpack
import pytest

from trace_fixtures import Trace, shop_trace, store

TRACE_ID = "trc_01HZZTESTTRACE000000000001"
READERS = [("traces",), ("show", TRACE_ID), ("export", TRACE_ID), ("export", TRACE_ID, "--format", "json")]


def good_store(db):
    shop_trace(trace_id=TRACE_ID).save(db)


def stored_blob(blob):
    def make(db):
        store(db, TRACE_ID, blob, 1.0)

    return make


def document_with(**changes):
    document = Trace(trace_id=TRACE_ID).document()
    document.update(changes)
    return msgpack.packb(document)


def call_record(**changes):
    record = {"type": "frame", "event": "call", "frame_id": "frm_1", "path": "a.py:1", "co_name": "f",
              "timestamp": 1.0, "user_code_call_site": None}
    record.update(changes)
    return record


CORRUPT_TRACES = {
    "truncated": stored_blob(shop_trace(trace_id=TRACE_ID).pack()[:-40]),
    "not msgpack": stored_blob(b"\xc1\xc1\xc1"),
    "trailing bytes": stored_blob(shop_trace(trace_id=TRACE_ID).pack() + b"\x00"),
    "not a map": stored_blob(msgpack.packb([1, 2, 3])),
    "record not a map": stored_blob(document_with(frames_of_interest=[1])),
    "frames not a map": stored_blob(document_with(frames=[])),
    "bad call site": stored_blob(document_with(frames_of_interest=[call_record(user_code_call_site={"line": 5})])),
    "time not finite": stored_blob(document_with(frames_of_interest=[call_record(timestamp=float("nan"))])),
    "call without id": stored_blob(document_with(frames_of_interest=[call_record(frame_id=None)])),
    "text instead of blob": stored_blob("not bytes"),
}


def assert_one_line_failure(result, *fragments):
    assert result.code == 1, result
    assert len(result.err_lines) == 1 and result.err.startswith("vopo: "), result.err
    assert result.out == ""
    for fragment in fragments:
        assert fragment in result.err


def snapshot(directory):
    return {path.name: path.read_bytes() for path in directory.iterdir() if path.is_file()}


@pytest.mark.parametrize("case", sorted(CORRUPT_TRACES))
@pytest.mark.parametrize("command", ["show", "export"])
def test_a_corrupt_trace_is_reported_not_shown(vopo, db, tmp_path, case, command):
    CORRUPT_TRACES[case](db)
    before = snapshot(tmp_path)
    result = vopo(command, TRACE_ID, "--db", db)
    assert_one_line_failure(result, f"vopo: trace {TRACE_ID} is corrupt: ")
    assert snapshot(tmp_path) == before


def test_traces_lists_a_corrupt_trace_with_a_warning(vopo, db):
    good_store(db)
    store(db, "trc_broken", b"\x88\xa5", 5.0)
    result = vopo("traces", "--db", db)
    assert result.code == 0
    assert result.err_lines[0].startswith("vopo: warning: trace trc_broken is corrupt: truncated or corrupt")
    assert [line.split()[0] for line in result.out.splitlines()[1:]] == ["trc_broken", TRACE_ID]
    assert "corrupt" in result.out.splitlines()[1]


@pytest.mark.parametrize("words", READERS)
@pytest.mark.parametrize(
    "make, message",
    [
        (None, "vopo: no trace database at {db}"),
        (lambda db: db.write_bytes(b"hello, this is not a database" * 40), "vopo: {db} is not an SQLite database"),
        (lambda db: db.mkdir(), "vopo: {db} is a directory, not a trace database"),
        (lambda db: sqlite3.connect(db).execute("CREATE TABLE traces (x)").connection.commit(),
         "vopo: {db} is not a vopo trace database"),
    ],
    ids=["missing", "not sqlite", "directory", "other schema"],
)
def test_a_database_that_cannot_be_read_is_reported(vopo, db, tmp_path, words, make, message):
    if make is not None:
        make(db)
    before = snapshot(tmp_path)
    assert_one_line_failure(vopo(*words, "--db", db), message.format(db=db))
    assert snapshot(tmp_path) == before
    assert db.exists() == (make is not None)


@pytest.mark.parametrize("words", READERS)
def test_a_locked_database_is_waited_for_then_reported(vopo, db, tmp_path, words):
    good_store(db)
    before = snapshot(tmp_path)
    writer = sqlite3.connect(db, isolation_level=None)
    writer.execute("BEGIN EXCLUSIVE")
    try:
        result = vopo(*words, "--db", db, "--timeout", "0.2")
    finally:
        writer.execute("ROLLBACK")
        writer.close()
    assert_one_line_failure(result, f"vopo: database {db} is locked by another process (gave up after 0.2 s)")
    assert snapshot(tmp_path) == before


@pytest.mark.parametrize("words", [("show", "trc_nope"), ("export", "trc_nope")])
def test_an_unknown_trace_id_is_reported(vopo, db, tmp_path, words):
    good_store(db)
    before = snapshot(tmp_path)
    assert_one_line_failure(vopo(*words, "--db", db), "vopo: no trace with id 'trc_nope' in ")
    assert snapshot(tmp_path) == before


@pytest.mark.parametrize("target", ["missing-dir/trace.json", "."])
def test_an_unwritable_output_is_reported(vopo, db, tmp_path, target):
    good_store(db)
    before = snapshot(tmp_path)
    assert_one_line_failure(vopo("export", TRACE_ID, "--db", db, "-o", target), f"vopo: cannot write {target}: ")
    assert snapshot(tmp_path) == before


def test_a_corrupt_trace_never_truncates_the_output_file(vopo, db, tmp_path):
    CORRUPT_TRACES["truncated"](db)
    out = tmp_path / "keep.json"
    out.write_text("earlier export")
    assert vopo("export", TRACE_ID, "--db", db, "-o", out).code == 1
    assert out.read_text() == "earlier export"


@pytest.mark.parametrize(
    "words",
    [(), ("frobnicate",), ("show",), ("export", TRACE_ID, "--format", "svg"), ("traces", "--timeout", "soon")],
)
def test_usage_errors_exit_with_2(vopo, words):
    result = vopo(*words)
    assert result.code == 2 and "usage: vopo" in result.err and "Traceback" not in result.err

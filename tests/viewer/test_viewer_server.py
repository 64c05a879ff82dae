"""The viewer's server and JSON API, over HTTP on a free port."""

import socket
import sqlite3
import subprocess
import sys

import msgpack
import pytest

from viewer_traces import FAILING_TEST, FAILING_TRACE, TraceWriter, store_row

SCRIPT_TRACE = "trc_01J0VIEWERSCRIPTRUN00000003"


def test_serves_only_loopback(serve, shop_db):
    served = serve(shop_db)
    host, port = served.server.server_address[:2]
    assert host == "127.0.0.1" and served.url.startswith(f"http://127.0.0.1:{port}/")
    outside = _outside_address()
    if outside is None:
        pytest.skip("this machine has no address but loopback to try")
    with pytest.raises(OSError):
        socket.create_connection((outside, port), timeout=2).close()


def _outside_address():
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        probe.connect(("192.0.2.1", 9))  # no packet is sent: this only picks a route
        address = probe.getsockname()[0]
    except OSError:
        return None
    finally:
        probe.close()
    return None if address.startswith("127.") else address


@pytest.mark.parametrize("path, expected", [
    ("/", "<script src=\"/static/app.js\">"),
    ("/static/app.js", "function py(value)"),
    ("/static/style.css", ".tree"),
])
def test_serves_the_shipped_page(serve, shop_db, path, expected):
    status, body = serve(shop_db).get(path)
    assert status == 200 and expected in body


@pytest.mark.parametrize("path", [
    "/api/traces/trc_NO_SUCH_TRACE",
    "/api/traces/trc_NO_SUCH_TRACE/nodes/0",
    f"/api/traces/{FAILING_TRACE}/nodes/9999",
    f"/api/traces/{FAILING_TRACE}/calls/frm_NOT_RECORDED",
    f"/api/traces/{FAILING_TRACE}/flame?thread=7",
    "/api/nothing",
    "/static/../db.py",
    "/trace/anything",
])
def test_unknown_things_are_404(serve, shop_db, path):
    status, body = serve(shop_db).get(path)
    assert status == 404
    assert "error" in body if isinstance(body, dict) else "Not found" in body


def test_trace_list_pages_newest_first_and_filters(serve, shop_db):
    served = serve(shop_db)
    status, everything = served.get("/api/traces?limit=2")
    assert status == 200 and everything["total"] == 3
    assert [row["trace_id"] for row in everything["traces"]] == [SCRIPT_TRACE, FAILING_TRACE]
    assert everything["sources"] == ["vopo.pytest", "vopo.run"]
    _, rest = served.get("/api/traces?limit=2&offset=2")
    assert [row["trace_id"] for row in rest["traces"]] == ["trc_01J0VIEWERPASSINGTEST00001"]
    _, failed = served.get("/api/traces?outcome=failed")
    (row,) = failed["traces"]
    assert (row["node_id"], row["outcome"], row["frames"], row["source"]) == (FAILING_TEST, "failed", 4, "vopo.pytest")
    assert row["started"] == pytest.approx(1_700_000_100.001)
    _, by_text = served.get("/api/traces?q=TEST_TOTAL")
    assert [row["node_id"] for row in by_text["traces"]] == ["tests/test_cart.py::test_total"]
    assert served.get("/api/traces?outcome=sideways")[0] == 400


def test_call_tree_children_locals_and_deep_link(serve, shop_db):
    served = serve(shop_db)
    _, trace = served.get(f"/api/traces/{FAILING_TRACE}")
    assert trace["complete"] and trace["error"] is None
    (thread,) = trace["threads"]
    (group,) = thread["items"]
    assert group["kind"] == "group" and group["facts"] == {"subtype": "pytest", "node_id": FAILING_TEST,
                                                           "outcome": "failed"}
    _, tests = served.get(f"/api/traces/{FAILING_TRACE}/nodes/{group['id']}/children")
    (test,) = tests["items"]
    _, calls = served.get(f"/api/traces/{FAILING_TRACE}/nodes/{test['id']}/children")
    (refund,) = calls["items"]
    assert refund["arguments"]["items"][1] == ["amount", -5]
    assert refund["exception"] == {"type": "builtins.ValueError", "value": {
        "k": "exception", "type": "builtins.ValueError", "args": ["negative amount"]}}
    status, linked = served.get(f"/api/traces/{FAILING_TRACE}/calls/{refund['frame_id']}")
    assert status == 200 and linked["id"] == refund["id"]
    assert [item["id"] for item in linked["ancestors"]] == [group["id"], test["id"]]
    assert linked["locals_at_return"] == {"k": "dict", "items": [["amount", -5]]}


def test_search_and_time_view(serve, shop_db):
    served = serve(shop_db)
    _, found = served.get(f"/api/traces/{SCRIPT_TRACE}/search?q=PRICE")
    assert found["total"] == 3 and {item["name"] for item in found["items"]} == {"price_of"}
    _, flame = served.get(f"/api/traces/{SCRIPT_TRACE}/flame?thread=0&width=2000")
    assert [(block[1], block[4]) for block in flame["blocks"]] == [(0, "main")] + [(1, "price_of")] * 3
    _, narrow = served.get(f"/api/traces/{SCRIPT_TRACE}/flame?thread=0&width=2")
    assert [block[4] for block in narrow["blocks"]] == ["main"]


@pytest.fixture
def locked_db(shop_db):
    holder = sqlite3.connect(shop_db, isolation_level=None)
    holder.execute("BEGIN EXCLUSIVE")
    yield shop_db
    holder.execute("ROLLBACK")
    holder.close()


def test_locked_database_is_a_clear_503(serve, locked_db):
    status, body = serve(locked_db).get("/api/traces")
    assert status == 503 and "is locked by another process" in body["error"]


@pytest.mark.parametrize("content", [b"this is not a database at all", b"SQLite format 3\x00" + b"\x07" * 300])
def test_file_that_is_no_database_is_a_clear_500(serve, tmp_path, content):
    path = tmp_path / "broken.sqlite3"
    path.write_bytes(content)
    status, body = serve(path).get("/api/traces")
    assert status == 500 and "is not an SQLite database" in body["error"]
    assert path.read_bytes() == content


@pytest.mark.parametrize("blob, problem", [
    (b"\x93\x01\x02", "the document is not valid MessagePack"),
    (msgpack.packb({"frames_of_interest": [1, 2]}), "a record is not a map"),
    (msgpack.packb({"frames_of_interest": [{"type": "frame"}] * 3}), "record 0 has no timestamp"),
    (msgpack.packb({"frames_of_interest": [{"type": "x", "timestamp": 1.0}] * 3})[:-5], "ends early"),
])
def test_corrupt_document_reads_as_an_error_not_a_crash(serve, tmp_path, blob, problem):
    path = tmp_path / "traces.sqlite3"
    store_row(path, "trc_BROKEN", blob, 1.0)
    served = serve(path)
    status, trace = served.get("/api/traces/trc_BROKEN")
    assert status == 200 and trace["complete"] and "trace trc_BROKEN is corrupt" in trace["error"]
    assert problem in trace["error"]
    status, search = served.get("/api/traces/trc_BROKEN/search?q=x")
    assert status == 500 and problem in search["error"]
    status, listing = served.get("/api/traces")
    assert status == 200 and [row["trace_id"] for row in listing["traces"]] == ["trc_BROKEN"]


def test_reading_never_changes_the_database(serve, shop_db):
    before = shop_db.read_bytes()
    served = serve(shop_db)
    for path in ("/api/traces", f"/api/traces/{FAILING_TRACE}", f"/api/traces/{FAILING_TRACE}/search?q=r"):
        assert served.get(path)[0] == 200
    assert shop_db.read_bytes() == before


def test_saves_of_one_trace_id_merge(serve, tmp_path):
    path = tmp_path / "traces.sqlite3"
    writer = TraceWriter("trc_SPLIT")
    writer.call("outer", "a.py:1")
    writer.save(path)
    writer.records.clear()
    writer.ret(7)
    writer.save(path)
    _, trace = serve(path).get("/api/traces/trc_SPLIT")
    (outer,) = trace["threads"][0]["items"]
    assert outer["end"] is not None and outer["return_value"] == 7


@pytest.mark.parametrize("reference", [FAILING_TRACE, FAILING_TRACE[:20]])
def test_command_prints_a_loopback_url(shop_db, reference):
    process = subprocess.Popen([sys.executable, "-m", "vopo", "view", "--db", str(shop_db), "--no-browser", reference],
                               stdout=subprocess.PIPE, text=True)
    try:
        line = process.stdout.readline()
    finally:
        process.terminate()
        process.wait(timeout=30)
    assert "at http://127.0.0.1:" in line and line.rstrip().endswith(f"/#/trace/{FAILING_TRACE} (Ctrl-C stops)")


@pytest.mark.parametrize("words, message", [
    (["--db", "{tmp}/nothing.sqlite3"], "nothing.sqlite3"),
    (["--db", "{shop}", "trc_NO_SUCH"], "no trace with id 'trc_NO_SUCH'"),
])
def test_command_refuses_what_it_cannot_show(tmp_path, shop_db, words, message):
    words = [word.format(tmp=tmp_path, shop=shop_db) for word in words]
    completed = subprocess.run([sys.executable, "-m", "vopo", "view", "--no-browser", *words],
                               capture_output=True, text=True, timeout=60)
    assert completed.returncode == 1 and message in completed.stderr
    assert not (tmp_path / "nothing.sqlite3").exists()

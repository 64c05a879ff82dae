"""The command line over the store: the list's filters and columns, a
trace's children, stored text that must not reach the terminal raw, and the
JSON export built record by record."""

import json
import os

import msgpack
import pytest

from trace_fixtures import Trace, shop_trace, store
from vopo.cli import show
from vopo.cli.formatting import printable
from vopo.cli.progress import Progress
from vopo.cli.values import json_safe
from vopo.db import save_trace_in_sqlite


def save(db, trace, env_parent=None):
    if env_parent is not None:
        os.environ["VOPO_PARENT_TRACE_ID"] = env_parent
    try:
        save_trace_in_sqlite(str(db), trace.trace_id, timeout=5, msgpack=trace.pack())
    finally:
        os.environ.pop("VOPO_PARENT_TRACE_ID", None)


def traced_test(node_id, outcome, trace_id):
    trace = Trace(trace_id=trace_id, source="vopo.pytest")
    main = trace.thread()
    main.plugin("start_test", frame_id="frm_T", node_id=node_id)
    main.call("check", "t.py:3")
    main.ret(True)
    main.plugin("end_test", frame_id="frm_T", node_id=node_id, outcome=outcome)
    return trace


@pytest.fixture
def tests_db(db):
    for number, (node_id, outcome) in enumerate([("t.py::test_add", "passed"), ("t.py::test_pay", "failed"),
                                                ("u.py::test_add_more", "passed")]):
        save(db, traced_test(node_id, outcome, f"trc_0{number}"))
    return db


@pytest.mark.parametrize("words, listed", [
    ((), ["trc_02", "trc_01", "trc_00"]),
    (("--filter", "test_add"), ["trc_02", "trc_00"]),
    (("--outcome", "failed"), ["trc_01"]),
    (("--filter", "u.py", "--outcome", "passed"), ["trc_02"]),
    (("--limit", "2"), ["trc_02", "trc_01"]),
    (("--limit", "0"), ["trc_02", "trc_01", "trc_00"]),
])
def test_traces_filters_and_limits(vopo, tests_db, words, listed):
    result = vopo("traces", "--db", tests_db, *words)
    assert result.code == 0, result.err
    header, *lines = result.out.splitlines()
    assert header.split()[-4:] == ["OUTCOME", "TEST", "/", "REQUEST"]
    assert [line.split()[0] for line in lines] == listed
    assert ("see more with --limit" in result.err) == (words == ("--limit", "2"))


def test_traces_shows_the_node_id_outcome_and_request(vopo, tests_db):
    request = Trace(trace_id="trc_REQ", source="vopo.run")
    main = request.thread()
    main.plugin("start_request", frame_id="frm_R", method="GET", path="/cart")
    main.plugin("end_request", frame_id="frm_R", status="404 Not Found")
    save(tests_db, request)
    lines = {line.split()[0]: line for line in vopo("traces", "--db", tests_db).out.splitlines()[1:]}
    assert lines["trc_01"].endswith("failed   t.py::test_pay")
    assert lines["trc_REQ"].endswith("GET /cart -> 404 Not Found")


def test_traces_says_when_nothing_matches(vopo, tests_db):
    result = vopo("traces", "--db", tests_db, "--filter", "nothing-like-this")
    assert (result.code, result.out) == (0, "") and result.err_lines == [f"vopo: {tests_db} no trace matches"]


def test_show_lists_the_children_of_a_trace(vopo, db):
    parent = shop_trace(trace_id="trc_PARENT")
    save(db, parent)
    for name in ("trc_CHILD1", "trc_CHILD2"):
        save(db, Trace(trace_id=name, source="vopo.child"), env_parent="trc_PARENT")
    shown = vopo("show", "trc_PARENT", "--db", db).out.splitlines()
    assert [line.split()[:2] for line in shown if line.startswith("  child")] == [
        ["child", "trc_CHILD1"], ["child", "trc_CHILD2"]]
    assert "  parent   trc_PARENT" in vopo("show", "trc_CHILD1", "--db", db).out.splitlines()


ESCAPE = "\x1b]0;owned\x07\x1b[31m"


def test_stored_control_characters_are_printed_escaped(vopo, db):
    trace = Trace(trace_id="trc_" + ESCAPE, source="src" + ESCAPE, argv=["run" + ESCAPE])
    main = trace.thread(name="thread" + ESCAPE)
    main.call("f" + ESCAPE, "evil" + ESCAPE + ".py:1", locals={"k" + ESCAPE: "v" + ESCAPE})
    main.plugin("start_test", frame_id="frm_T", node_id="node" + ESCAPE)
    main.ret(ESCAPE)
    store(db, trace.trace_id, trace.pack(), 1.0)

    listed = vopo("traces", "--db", db)
    shown = vopo("show", "trc_", "--db", db)

    for result in (listed, shown):
        assert result.code == 0, result.err
        assert "\x1b" not in result.out and "\x07" not in result.out
        assert "\\x1b]0;owned\\x07" in result.out


def test_json_export_of_several_saves_is_the_merged_document(vopo, db, tmp_path):
    trace = Trace(threading=True)
    main, worker, other = trace.thread(), trace.thread("w1", 201), trace.thread("w2", 202)
    main.call("load", "a.py:1", locals={"raw": b"\x00", 7: float("nan"), "nested": {"a": [1, {"b": None}]}})
    worker.call("job", "b.py:1")
    other.call("other", "c.py:1")
    worker.ret([])
    main.ret({})
    other.ret("done")
    trace.save(db, splits=(2, 4))
    documents = [msgpack.unpackb(trace.pack(part), strict_map_key=False)
                 for part in (trace.events[:2], trace.events[2:4], trace.events[4:])]
    merged = dict(documents[0])
    merged["frames_of_interest"] = [r for d in documents for r in d["frames_of_interest"]]
    merged["frames"] = {}
    for d in documents:
        for key, records in d["frames"].items():
            merged["frames"].setdefault(key, []).extend(records)

    out = tmp_path / "trace.json"
    result = vopo("export", trace.trace_id, "--format", "json", "-o", out, "--db", db)

    assert result.code == 0, result.err
    expected = json.dumps(json_safe(merged), indent=2, ensure_ascii=False, allow_nan=False) + "\n"
    assert out.read_text() == expected
    assert vopo("export", trace.trace_id, "--format", "json", "--db", db).out == expected


@pytest.mark.parametrize("path", [":memory:", "file::memory:"])
def test_memory_databases_are_a_clear_error(vopo, path):
    result = vopo("traces", "--db", path)
    assert result.code == 1 and result.err.startswith("vopo: db_path") and "Traceback" not in result.err


class Terminal:
    def __init__(self, is_terminal):
        self.is_terminal = is_terminal
        self.text = ""

    def isatty(self):
        return self.is_terminal

    def write(self, text):
        self.text += text

    def flush(self):
        pass


@pytest.mark.parametrize("is_terminal, total, shown", [(True, 64 << 20, True), (False, 64 << 20, False),
                                                       (True, 1 << 20, False)])
def test_progress_is_shown_only_on_a_terminal_for_a_long_read(is_terminal, total, shown):
    terminal = Terminal(is_terminal)
    progress = Progress("trace", terminal)
    for done in range(0, total + 1, total // 4):
        progress(done, total)
    progress.clear()
    assert ("vopo: reading trace: 50%" in terminal.text) is shown
    assert terminal.text.endswith("\r\x1b[K") is shown


@pytest.mark.parametrize("text, printed", [
    ("plain text", "plain text"), ("a\x1b[2Jb", "a\\x1b[2Jb"), ("tab\there", "tab\\x09here"),
    ("bidi\u202eoverride", "bidi\\u202eoverride"), ("caf\u00e9 \u2713", "caf\u00e9 \u2713"),
])
def test_printable_escapes_only_what_is_unprintable(text, printed):
    assert printable(text) == printed


def test_show_output_is_the_same_whether_lines_wait_in_memory_or_on_disk(db, capsys, monkeypatch):
    trace = shop_trace()
    worker = trace.thread("worker", 300)
    worker.call("job", "w.py:1")
    worker.call("step", "w.py:2", at=3)
    worker.raised(worker.ret(None), "builtins.KeyError")
    worker.orphan_return("gone", 5)
    worker.raised(None, None, "OSError('disk')")
    worker.orphan_return("again", 6)
    trace.threading = True
    trace.save(db, splits=(7,))
    show.show_trace(str(db), trace.trace_id, 5, False)
    in_memory = capsys.readouterr().out
    monkeypatch.setattr(show, "_WINDOW", 2)
    monkeypatch.setattr(show, "_SPOOL_SIZE", 16)
    show.show_trace(str(db), trace.trace_id, 5, False)
    assert capsys.readouterr().out == in_memory
    assert "[no return]" in in_memory and "thread worker (native id 300)" in in_memory
    assert [line.split("  ")[-1] for line in in_memory.splitlines() if any(name in line for name in ("step(", "<- gone", "<- again"))] == [
        "!! KeyError", "!! OSError('disk')", "-> 6"]


@pytest.mark.parametrize("threading", [False, True])
def test_chrome_export_marks_calls_and_orphan_returns_that_raised(vopo, db, threading):
    trace = Trace(threading=threading)
    main, worker = trace.thread(), trace.thread("worker", 7)
    main.call("main", "a.py:1")
    worker.call("job", "b.py:1")
    worker.raised(worker.ret(None), "builtins.KeyError")
    worker.orphan_return("gone")
    worker.raised(None, None, "OSError('disk')")
    main.ret(0)
    trace.save(db)

    result = vopo("export", trace.trace_id, "--db", db)

    assert result.code == 0, result.err
    events = json.loads(result.out)["traceEvents"]
    slices = {event["name"]: event for event in events if event["ph"] == "X"}
    instants = [event for event in events if event["ph"] == "i"]
    assert (slices["job"]["cat"], slices["job"]["cname"], slices["job"]["tid"]) == ("exception", "terrible", 7)
    assert slices["job"]["args"]["exception"] == "KeyError" and "return" not in slices["job"]["args"]
    assert slices["main"]["cat"] == "call" and slices["main"]["args"]["return"] == "0"
    assert [(event["tid"], event["args"]) for event in instants] == [(7, {"path": "shop.py:9",
                                                                        "exception": "OSError('disk')"})]

"""`vopo export`: Trace Event Format and the JSON document."""

import json

import pytest

from trace_fixtures import Trace, shop_trace


def chrome(vopo, db, trace_id):
    result = vopo("export", trace_id, "--format", "chrome", "--db", db)
    assert result.code == 0, result.err
    return json.loads(result.out)


def assert_nested_per_thread(complete_events):
    """Within each thread, every X event lies inside the enclosing open one
    or after it: the property timeline viewers rely on."""
    by_thread = {}
    for event in complete_events:
        by_thread.setdefault(event["tid"], []).append(event)
    for events in by_thread.values():
        open_ends = []
        for event in sorted(events, key=lambda e: (e["ts"], -e["dur"])):
            assert event["dur"] >= 0, event
            start, end = round(event["ts"] * 1000), round((event["ts"] + event["dur"]) * 1000)
            while open_ends and open_ends[-1] <= start:
                open_ends.pop()
            assert not open_ends or end <= open_ends[-1], event
            open_ends.append(end)


def test_chrome_export_has_one_complete_event_per_call_at_its_own_times(vopo, db):
    trace = Trace(threading=True)
    main, worker = trace.thread(), trace.thread("worker-1", 201)
    main.call("main", "app.py:1")
    worker.call("job", "jobs.py:1")
    main.call("helper", "app.py:9", at=3)
    worker.ret(41)
    main.ret("done")
    main.ret(0)
    trace.save(db)

    document = chrome(vopo, db, trace.trace_id)

    events = document["traceEvents"]
    complete = [e for e in events if e["ph"] == "X"]
    assert sorted(e["name"] for e in complete) == ["helper", "job", "main"]
    for event in complete:
        start, end = trace.times[event["args"]["frame_id"]]
        assert event["ts"] == pytest.approx((start - trace.start) * 1e6, abs=1e-3)
        assert event["dur"] == pytest.approx((end - start) * 1e6, abs=2e-3)
        assert event["pid"] == trace.main_thread_id
    assert {e["name"]: e["tid"] for e in complete} == {"main": 100, "helper": 100, "job": 201}
    names = {e["tid"]: e["args"]["name"] for e in events if e["ph"] == "M" and e["name"] == "thread_name"}
    assert names == {100: "MainThread (native id 100, main thread)", 201: "worker-1 (native id 201)"}
    assert next(e for e in complete if e["name"] == "helper")["args"]["return"] == "'done'"
    assert_nested_per_thread(complete)


def test_chrome_export_nests_unfinished_calls_and_marks_plugins_and_orphans(vopo, db):
    trace = shop_trace()
    trace.save(db)

    events = chrome(vopo, db, trace.trace_id)["traceEvents"]

    complete = [e for e in events if e["ph"] == "X"]
    calls = sum(1 for _, r in trace.events if r["type"] == "frame" and r["event"] == "call")
    assert len(complete) == calls
    assert_nested_per_thread(complete)
    main = next(e for e in complete if e["name"] == "main")
    last = (trace.clock - trace.start) * 1e6
    assert main["args"]["unfinished"] is True
    assert main["ts"] + main["dur"] == pytest.approx(last, abs=2e-3)
    span = [e for e in events if e["ph"] in "be"]
    assert [e["ph"] for e in span] == ["b", "e"] and span[0]["id"] == span[1]["id"]
    assert span[1]["args"] == {"nodeid": "tests/test_shop.py::test_total", "status": "passed", "type": "end_test"}
    [orphan] = [e for e in events if e["ph"] == "i"]
    assert orphan["name"] == "return of startup without a recorded call"


def test_chrome_export_keeps_nesting_when_the_clock_steps_back(vopo, db):
    trace = Trace()
    main = trace.thread()
    main.call("outer", "a.py:1")
    main.call("inner", "a.py:5", at=2)
    main.ret(step=-0.01)  # the wall clock was set back during the call
    main.call("next", "a.py:7", at=3)
    main.ret()
    main.ret()
    trace.save(db)
    assert_nested_per_thread([e for e in chrome(vopo, db, trace.trace_id)["traceEvents"] if e["ph"] == "X"])


def test_json_export_is_the_merged_document_made_json_safe(vopo, db, tmp_path):
    trace = Trace(threading=True)
    main, worker = trace.thread(), trace.thread("worker-1", 201)
    main.call("load", "a.py:1", locals={"raw": b"\x00\xff", 7: float("inf")})
    worker.call("job", "b.py:1")
    worker.ret()
    main.ret(b"ok")
    trace.save(db, splits=(2,))
    out = tmp_path / "trace.json"

    result = vopo("export", trace.trace_id, "--format", "json", "-o", out, "--db", db)

    assert result.code == 0 and result.out == "", result.err
    document = json.loads(out.read_text())
    assert [r["event"] for r in document["frames_of_interest"]] == ["call", "return"]
    assert list(document["frames"]) == ["201"]
    assert [r["event"] for r in document["frames"]["201"]] == ["call", "return"]
    call, ret = document["frames_of_interest"]
    assert call["locals"] == {"$kind": "dict", "items": [
        ["raw", {"$kind": "bytes", "base64": "AP8="}], [7, {"$kind": "float", "value": "inf"}]]}
    assert ret["arg"] == {"$kind": "bytes", "base64": "b2s="}
    assert document["meta"] == {"version": "0.1.0", "source": "tests", "use_frame_boundaries": True}
    assert document["trace_id"] == trace.trace_id


def test_deep_recursion_is_shown_and_exported_without_exhausting_the_stack(vopo, db):
    trace = Trace()
    main = trace.thread()
    for _ in range(1500):
        main.call("descend", "deep.py:3", at=4, step=1e-6)
    for _ in range(1500):
        main.ret(step=1e-6)
    trace.save(db)

    shown = vopo("show", trace.trace_id, "--db", db)
    assert shown.code == 0, shown.err
    assert shown.out.splitlines()[-1].lstrip().startswith("[depth 1499] @4 descend()  deep.py:3  ")
    complete = [e for e in chrome(vopo, db, trace.trace_id)["traceEvents"] if e["ph"] == "X"]
    assert len(complete) == 1500
    assert_nested_per_thread(complete)

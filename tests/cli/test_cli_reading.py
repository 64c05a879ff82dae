"""`vopo traces` and `vopo show` on synthetic stores."""

import pytest

from trace_fixtures import Trace, duration_of, sections, shop_trace, store



def test_traces_lists_each_trace_id_once_newest_first(vopo, db):
    older = shop_trace(trace_id="trc_01HZZOLDER0000000000000001")
    older.save(db, saved_at=1000.0, splits=(5, 9))
    newer = Trace(trace_id="trc_01HZZNEWER0000000000000001", source="pytest")
    newer.thread().call("only", "a.py:1")
    newer.save(db, saved_at=2000.0)

    result = vopo("traces", "--db", db)

    assert result.code == 0, result.err
    header, *lines = result.out.splitlines()
    assert header.split()[:3] == ["TRACE", "ID", "SAVED"]
    rows = [line.split() for line in lines]
    assert [row[0] for row in rows] == [newer.trace_id, older.trace_id]
    frame_count = sum(1 for _, record in older.events if record["type"] == "frame")
    # id, date, time, source, frames, size value, size unit, saves
    assert rows[0][3:5] == ["pytest", "1"] and rows[0][-1] == "1"
    assert rows[1][3:5] == ["tests", str(frame_count)] and rows[1][-1] == "3"


def test_traces_on_a_store_without_traces_says_so(vopo, db):
    Trace().save(db)
    with __import__("sqlite3").connect(db) as connection:
        connection.execute("DELETE FROM traces")
    result = vopo("traces", "--db", db)
    assert result.code == 0 and result.out == ""
    assert result.err_lines == [f"vopo: {db} holds no traces yet"]


def test_show_nests_calls_by_call_site_and_marks_unfinished_and_orphans(vopo, db):
    trace = shop_trace()
    trace.save(db)

    result = vopo("show", trace.trace_id, "--db", db)

    assert result.code == 0, result.err
    [(header, items)] = sections(result.out).items()
    assert header == "thread MainThread (native id 100, main thread)"
    assert [(depth, item) for depth, item, _ in items] == [
        (0, "<- startup"),
        (0, "main"),
        (1, "* start_test"),
        (1, "Cart.__init__"),
        (1, "Cart.add"),
        (2, "price_of"),
        (1, "Cart.items"),
        (1, "Cart.items"),
        (1, "Cart.total"),
        (1, "* end_test"),
        (1, "report"),
    ]
    lines = {item: line for _, item, line in items}
    assert lines["main"].endswith("[no return]") and lines["report"].endswith("[no return]")
    assert "return without a recorded call" in lines["<- startup"]
    assert "@10 price_of(item='apple')  shop.py:20" in lines["price_of"]
    assert lines["Cart.total"].endswith("-> 3.75")
    assert "(30.50 ms after start_test)" in lines["* end_test"]


def test_show_durations_come_from_each_calls_own_timestamps(vopo, db):
    trace = shop_trace()
    trace.save(db)
    printed = [seconds for seconds in map(duration_of, vopo("show", trace.trace_id, "--db", db).out.splitlines())
               if seconds is not None]
    expected = [end - start for start, end in trace.times.values() if end is not None]
    assert sorted(printed) == pytest.approx(sorted(expected), rel=2e-3)


def test_show_keeps_interleaved_threads_apart(vopo, db):
    # Without threading every thread's records share one list; only call
    # sites tell which call belongs under which.
    trace = Trace(threading=False)
    main, worker = trace.thread(), trace.thread("worker", 201)
    main.call("serve", "app.py:1")
    worker.call("job", "jobs.py:1")
    main.call("handle", "app.py:5", at=2)
    worker.call("step", "jobs.py:4", at=2)
    main.ret()
    worker.ret()
    worker.ret()
    main.ret()
    trace.save(db)

    threads = sections(vopo("show", trace.trace_id, "--db", db).out)

    outline = {header: [(depth, item) for depth, item, _ in items] for header, items in threads.items()}
    assert outline == {
        "thread MainThread (native id 100, main thread)": [(0, "serve"), (1, "handle")],
        "thread worker (native id 201)": [(0, "job"), (1, "step")],
    }


def test_show_merges_the_saves_of_one_trace_id(vopo, db, tmp_path):
    trace = shop_trace()
    # Saved in three parts, with calls whose returns land in a later save.
    trace.save(db, splits=(3, 6))
    whole = tmp_path / "whole.sqlite3"
    trace.save(whole)

    merged = vopo("show", trace.trace_id, "--db", db).out.splitlines()
    single = vopo("show", trace.trace_id, "--db", whole).out.splitlines()

    assert "(3 saves" in merged[2]
    assert merged[3:] == single[3:]


@pytest.mark.parametrize("full", [False, True])
def test_show_shortens_long_values_unless_full(vopo, db, full):
    trace = shop_trace()
    trace.save(db)
    words = ["show", trace.trace_id, "--db", db] + (["--full"] if full else [])
    output = vopo(*words).out
    assert ("x" * 300 in output) is full
    assert ("…" in output) is not full


@pytest.mark.parametrize(
    "reference, chosen, error",
    [
        ("trc_01HZZB000000000000000000", "B", None),
        ("trc_01HZZB", "B", None),
        ("latest", "C", None),
        ("trc_01HZZ", None, "vopo: trace id 'trc_01HZZ' is ambiguous in {db}: give more of it"),
        ("trc_01HZZD", None, "vopo: no trace with id 'trc_01HZZD' in {db} (list them with: vopo traces --db {db})"),
    ],
)
def test_show_finds_a_trace_by_id_unique_prefix_or_latest(vopo, db, reference, chosen, error):
    for letter in "BC":
        trace = Trace(trace_id=f"trc_01HZZ{letter}000000000000000000")
        trace.thread().call("in_" + letter, "a.py:1")
        trace.save(db)
    result = vopo("show", reference, "--db", db)
    if error:
        assert result.code == 1 and result.err_lines == [error.format(db=db)]
    else:
        assert result.code == 0 and f"in_{chosen}()" in result.out


def test_default_database_comes_from_env_or_working_directory(vopo, db, tmp_path):
    trace = shop_trace()
    trace.save(db)
    store(tmp_path / "vopo.sqlite3", "trc_local", Trace(trace_id="trc_local").pack(), 1.0)
    assert "trc_local" in vopo("traces").out
    assert trace.trace_id in vopo("traces", env={"VOPO_DB": str(db)}).out

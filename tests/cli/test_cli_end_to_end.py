"""Real traces: `vopo run` on scripts, a module and the shop example, and a
pytest session profiled one trace per test, then read back with `traces`,
`show` and `export` and checked against the stored records."""

import importlib
import json
import pathlib
import sqlite3
import textwrap

import msgpack
import pytest

from test_cli_export import assert_nested_per_thread
from trace_fixtures import duration_of, sections

try:
    importlib.import_module("vopo._vopo")
    PROFILER_BUILT = True
except ImportError:
    PROFILER_BUILT = False

pytestmark = pytest.mark.skipif(not PROFILER_BUILT, reason="the native module vopo._vopo is not built")
SHOP = pathlib.Path(__file__).resolve().parents[2] / "examples" / "shop.py"

PROGRAM = """\
import sys, json
def double(n):
    return n * 2
print(json.dumps({"argv": sys.argv[1:], "doubled": double(21)}))
print("to stderr", file=sys.stderr)
sys.exit(3)
"""


def stored_documents(db):
    """{trace id: [decoded documents in save order]}, read without the CLI."""
    with sqlite3.connect(db) as connection:
        rows = connection.execute("SELECT trace_id, msgpack FROM traces ORDER BY id").fetchall()
    documents = {}
    for trace_id, blob in rows:
        documents.setdefault(trace_id, []).append(msgpack.unpackb(blob, raw=False, strict_map_key=False))
    return documents


def records_by_thread(documents):
    threads = {}
    for document in documents:
        for record in [*document["frames_of_interest"], *(r for rs in document["frames"].values() for r in rs)]:
            if record["type"] == "frame_exception":  # no thread of its own: it follows its frame record
                continue
            threads.setdefault(record["thread_native_id"], []).append(record)
    return threads


def expected_outline(records):
    """(depth, name) of each call, depth from following call sites."""
    depth_of, outline = {}, []
    for record in records:
        if record["type"] != "frame" or record["event"] != "call":
            continue
        site = record["user_code_call_site"]
        depth = depth_of.get(site["call_frame_id"], -1) + 1 if site else 0
        depth_of[record["frame_id"]] = depth
        outline.append((depth, record["qualname"] or record["co_name"]))
    return outline


@pytest.mark.parametrize("as_module", [False, True])
def test_run_leaves_the_programs_argv_output_and_exit_code_alone(vopo, tmp_path, db, as_module):
    (tmp_path / "prog.py").write_text(PROGRAM)
    target = ["-m", "prog"] if as_module else ["prog.py"]

    result = vopo("run", "--db", db, *target, "-v", "--db", "x")

    assert result.code == 3
    assert json.loads(result.out) == {"argv": ["-v", "--db", "x"], "doubled": 42}
    assert result.err_lines[0] == "to stderr"
    assert result.err_lines[1] == f"vopo: 1 trace saved to {db}"
    [first_call] = [line for line in result.err_lines if "double" in line]
    assert "prog.py:2" in first_call and "called from __main__.<module> at prog.py:4" in first_call
    [trace_id] = stored_documents(db)
    assert trace_id in result.err_lines[-1]


def test_run_fails_before_the_program_when_the_database_is_broken(vopo, tmp_path):
    (tmp_path / "prog.py").write_text("open('ran', 'w').close()\n")
    (tmp_path / "bad.sqlite3").write_bytes(b"not sqlite" * 100)
    result = vopo("run", "--db", "bad.sqlite3", "prog.py")
    assert result.code == 1 and len(result.err_lines) == 1
    assert not (tmp_path / "ran").exists()


def test_run_reports_a_trace_it_could_not_save_in_one_line(vopo, tmp_path):
    (tmp_path / "prog.py").write_text("print('ran')\n")
    (tmp_path / "file").write_text("a file, not a directory")
    result = vopo("run", "--db", "file/traces.sqlite3", "prog.py")
    assert result.code == 1 and result.out == "ran\n"
    assert len(result.err_lines) == 1
    assert result.err.startswith(f"vopo: the program ran, but its trace could not be saved to {tmp_path}/file/")


@pytest.mark.skipif(not SHOP.exists(), reason="examples/shop.py is not there")
def test_the_example_reads_back_as_its_records_say(vopo, db):
    run = vopo("run", "--threading", "--db", db, SHOP)
    assert run.code == 0, run.err
    [(trace_id, documents)] = stored_documents(db).items()
    threads = records_by_thread(documents)
    assert len(threads) == 4  # the main thread and three cashiers
    # Nothing of vopo itself is recorded, not even a return of a frame that
    # was running when profiling started.
    records = [r for rs in threads.values() for r in rs]
    assert all(r["frame_id"] is not None for r in records)
    assert all(r["path"].rpartition(":")[0].endswith("examples/shop.py") for r in records)

    listing = vopo("traces", "--db", db)
    assert [line.split()[0] for line in listing.out.splitlines()[1:]] == [trace_id]
    frame_records = sum(1 for records in threads.values() for r in records if r["type"] == "frame")
    assert listing.out.splitlines()[1].split()[4] == str(frame_records)

    shown = sections(vopo("show", trace_id, "--db", db).out)
    by_native_id = {int(header.split("native id ")[1].split(",")[0].rstrip(")")): items
                    for header, items in shown.items()}
    assert set(by_native_id) == set(threads)
    for native_id, records in threads.items():
        call_lines = [entry for entry in by_native_id[native_id] if entry[1][:2] not in ("* ", "<-")]
        assert [(depth, item) for depth, item, _ in call_lines] == expected_outline(records)
        # So the call lines are in the order of the call records.
        returned = {r["frame_id"]: r["timestamp"] for r in records if r.get("event") == "return"}
        expected = [returned[r["frame_id"]] - r["timestamp"] for r in records if r.get("event") == "call"]
        printed = [duration_of(line) for _, _, line in call_lines]
        assert printed == pytest.approx(expected, rel=1e-2, abs=1e-7)

    events = json.loads(vopo("export", trace_id, "--db", db).out)["traceEvents"]
    complete = [e for e in events if e["ph"] == "X"]
    assert len(complete) == sum(1 for rs in threads.values() for r in rs if r["event"] == "call")
    assert {e["tid"] for e in complete} == set(threads)
    assert_nested_per_thread(complete)


def test_a_pytest_session_gives_one_trace_per_test(vopo, tmp_path, db):
    (tmp_path / "test_tiny.py").write_text(textwrap.dedent("""\
        def add(a, b):
            return a + b

        def test_add():
            assert add(1, 2) == 3

        def test_more():
            assert add(2, 2) == 4
    """))
    session = vopo("-p", "vopo.pytest_plugin", "--vopo", "--vopo-db", db, "-q", "test_tiny.py",
                   module="pytest")
    assert session.code == 0, session.out + session.err

    stored = stored_documents(db)
    listing = vopo("traces", "--db", db).out.splitlines()[1:]
    assert [line.split()[0] for line in listing] == list(reversed(stored))
    assert all(line.split()[3] == "vopo.pytest" for line in listing)
    for trace_id, test in zip(stored, ["test_add", "test_more"]):
        [(_, items)] = sections(vopo("show", trace_id, "--db", db).out).items()
        assert [(depth, item) for depth, item, _ in items] == [
            (0, "* start_test"), (0, f"test_tiny.{test}"), (1, "test_tiny.add"), (0, "* end_test")
        ]
        assert f"node_id=test_tiny.py::{test}" in items[0][2]

"""A forked child of a profiled process: it never hangs on a lock that a
thread of its parent held, records a trace of its own under a new id and
knows its parent's."""

import json
import os
import sqlite3
import subprocess
import sys
import textwrap

import msgpack
import pytest

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

FORK_WHILE_PLUGIN_RUNS = textwrap.dedent("""
    import json, os, sys, threading, time
    sys.path.insert(0, {tests!r})
    import vopo.plugins
    from vopo import _vopo
    from vopo_testing import Host, decode

    inside_plugin = threading.Event()

    def slow_in_holder(frame, event, arg, context):
        if threading.current_thread().name == "holder":
            inside_plugin.set()
            time.sleep(1.5)
        return True

    vopo.plugins.load_plugin_data = lambda config: [{{
        "co_names": ["watched"], "path_fragment": "forking_program.py", "call_type": "enter",
        "return_type": "leave", "call": slow_in_holder}}]

    def before_fork():
        return 0

    def watched():
        return 1

    host = Host(config={{"threading": True}}, trace_id="trc_parent")
    _vopo.register_profiler(host)
    before_fork()
    holder = threading.Thread(target=watched, name="holder")
    holder.start()
    inside_plugin.wait()
    pid = os.fork()
    if pid == 0:
        watched()
        _vopo.register_noop_profiler()
        profiler = host.rust_profiler
        names = [r.get("co_name", r["type"]) for r in decode(profiler.build_trace())["frames_of_interest"]]
        print(json.dumps({{"trace_id": profiler.trace_id(), "parent": profiler.parent_trace_id(),
                          "names": names}}), flush=True)
        os._exit(0)
    _, status = os.waitpid(pid, 0)
    _vopo.register_noop_profiler()
    holder.join()
    profiler = host.rust_profiler
    names = [r.get("co_name", r["type"]) for r in decode(profiler.build_trace())["frames_of_interest"]]
    print(json.dumps({{"trace_id": profiler.trace_id(), "parent": profiler.parent_trace_id(),
                      "names": names, "child_status": status}}), flush=True)
""")


def test_fork_while_another_thread_holds_the_plugin_lock(tmp_path):
    program = tmp_path / "forking_program.py"
    program.write_text(FORK_WHILE_PLUGIN_RUNS.format(tests=TESTS))
    finished = subprocess.run([sys.executable, str(program)], capture_output=True, text=True, timeout=120)
    assert finished.returncode == 0, finished.stderr
    child, parent = (json.loads(line) for line in finished.stdout.splitlines())
    assert parent == {"trace_id": "trc_parent", "parent": None, "child_status": 0,
                      "names": ["before_fork", "before_fork"]}
    assert child["parent"] == "trc_parent"
    assert child["trace_id"].startswith("trc_") and len(child["trace_id"]) == 30
    assert child["names"] == ["enter", "watched", "watched", "leave"]


FORK_THEN_EXIT = textwrap.dedent("""
    import os, sys

    def work(label):
        return label

    work("before")
    pid = os.fork()
    if pid == 0:
        work("child")
        sys.exit(0)
    os.waitpid(pid, 0)
    work("parent")
""")


def test_fork_then_exit_saves_two_traces_with_different_ids(tmp_path):
    script = tmp_path / "forks.py"
    script.write_text(FORK_THEN_EXIT)
    db = tmp_path / "traces.sqlite3"
    finished = subprocess.run([sys.executable, "-m", "vopo", "run", "--db", str(db), str(script)],
                              cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert finished.returncode == 0, finished.stderr
    with sqlite3.connect(db) as connection:
        rows = connection.execute("SELECT trace_id, msgpack FROM traces ORDER BY id").fetchall()
    labels = {}
    for trace_id, document in rows:
        records = msgpack.unpackb(document, raw=False, strict_map_key=False)["frames_of_interest"]
        labels[trace_id] = sorted({r["locals"]["label"] for r in records if r.get("co_name") == "work"})
    assert sorted(labels.values()) == [["before", "parent"], ["child"]]

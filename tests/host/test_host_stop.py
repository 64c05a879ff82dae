"""Stopping the host profiler leaves nothing of vopo behind: no profile
hook on any thread that vopo hooked, threading's profile function as it was,
and nothing recorded after the stop. Each case runs in a fresh interpreter,
so that no other test's hooks are in the way."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import vopo

pytest.importorskip("vopo._vopo")
PACKAGE_ROOT = os.path.dirname(os.path.dirname(vopo.__file__))

PRELUDE = """
import json, sys, threading, msgpack, vopo

def work(n):
    return n + 1

def after_stop(n):
    return n - 1

def recorded_after_stop(profiler):
    document = msgpack.unpackb(profiler.rust_profiler.build_trace(), raw=False, strict_map_key=False)
    records = document["frames_of_interest"] + [r for rs in document["frames"].values() for r in rs]
    return sorted({r["co_name"] for r in records if r.get("co_name") == "after_stop"})

def program_hook(frame, event, arg):
    pass
"""

CASES = {
    "same thread": """
        profiler = vopo.Profiler(DB)
        with profiler:
            work(1)
        after_stop(1)
        result = {"hook": repr(sys.getprofile()), "recorded": recorded_after_stop(profiler)}
    """,
    "hook the program set over vopo's stays": """
        with vopo.Profiler(DB):
            sys.setprofile(program_hook)
        result = {"hook": sys.getprofile() is program_hook}
    """,
    "hook saved and restored by the program": """
        with vopo.Profiler(DB):
            saved = sys.getprofile()
            sys.setprofile(None)
            sys.setprofile(saved)
            work(2)
        after_stop(1)
        result = {"hook": repr(sys.getprofile())}
    """,
    "threading's profile function restored": """
        threading.setprofile(program_hook)
        with vopo.Profiler(DB, config={"threading": True}):
            work(1)
        result = {"hook": threading.getprofile() is program_hook}
    """,
    "threading's profile function the program set stays": """
        with vopo.Profiler(DB, config={"threading": True}):
            threading.setprofile(work)
        result = {"hook": threading.getprofile() is work}
    """,
    "stopped from another thread": """
        profiler = vopo.Profiler(DB)
        profiler.start()
        work(1)
        stopper = threading.Thread(target=profiler.stop)
        stopper.start()
        stopper.join()
        after_stop(1)
        after_stop(2)
        result = {"hook": repr(sys.getprofile()), "recorded": recorded_after_stop(profiler)}
    """,
    "thread profiled and blocked over the stop": """
        release, seen = threading.Event(), {}
        def blocked():
            release.wait()
            after_stop(1)
            seen["hook"] = repr(sys.getprofile())
        profiler = vopo.Profiler(DB, config={"threading": True})
        with profiler:
            thread = threading.Thread(target=blocked)
            thread.start()
        release.set()
        thread.join()
        result = {"hook": seen["hook"], "recorded": recorded_after_stop(profiler),
                  "threading": repr(threading.getprofile())}
    """,
}

EXPECTED = {
    "same thread": {"hook": "None", "recorded": []},
    "hook the program set over vopo's stays": {"hook": True},
    "hook saved and restored by the program": {"hook": "None"},
    "threading's profile function restored": {"hook": True},
    "threading's profile function the program set stays": {"hook": True},
    "stopped from another thread": {"hook": "None", "recorded": []},
    "thread profiled and blocked over the stop": {"hook": "None", "recorded": [], "threading": "None"},
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_stopping_leaves_no_hook_and_records_nothing_more(tmp_path, case):
    program = PRELUDE + f"DB = {str(tmp_path / 't.sqlite3')!r}\n" + textwrap.dedent(CASES[case])
    program += "print(json.dumps(result))\n"
    completed = subprocess.run([sys.executable, "-c", program], env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT),
                               capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr
    assert json.loads(completed.stdout.splitlines()[-1]) == EXPECTED[case]

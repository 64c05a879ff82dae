"""Eight profiled threads whose plugin code lets the interpreter switch
threads while the plugin-table lock is held. Runs in a child process, so a
deadlock fails the test instead of hanging the run."""

import pathlib
import subprocess
import sys
import threading
import time

TESTS = pathlib.Path(__file__).resolve().parent.parent
SECONDS = 3.0


def work_item(n):
    return n + 1


def worker(deadline):
    n = 0
    while time.monotonic() < deadline:
        n = work_item(n)


def switching(*args):
    time.sleep(0)
    return True


def check_each_return_carries_its_calls_id(records):
    assert [r.get("event", r["type"]) for r in records] == ["call", "return"] * (len(records) // 2) and records
    calls = [r["frame_id"] for r in records[::2]]
    assert calls == [r["frame_id"] for r in records[1::2]] and len(set(calls)) == len(calls)


def stress():
    import vopo.plugins
    from vopo import _vopo
    from vopo_testing import Host, decode

    vopo.plugins.load_plugin_data = lambda config: [{
        "co_names": ["work_item"], "path_fragment": "tests/plugins/", "call_type": "call", "return_type": "return",
        "call": switching, "process": lambda *args: switching() and {}}]
    host = Host(config={"threading": True})
    _vopo.register_profiler(host)
    threads = [threading.Thread(target=worker, args=(time.monotonic() + SECONDS,)) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    _vopo.register_noop_profiler()
    threading.setprofile(None)
    by_thread = decode(host.rust_profiler.build_trace())["frames"]
    assert len(by_thread) == 8
    for records in by_thread.values():
        check_each_return_carries_its_calls_id([r for r in records if r["type"] != "frame"])
        check_each_return_carries_its_calls_id([r for r in records if r.get("co_name") == "work_item"])


def test_threads_switching_inside_plugins_never_deadlock_nor_mix_frame_ids():
    completed = subprocess.run([sys.executable, __file__], cwd=TESTS, capture_output=True, text=True,
                               timeout=120 + SECONDS)
    assert completed.returncode == 0, completed.stderr


if __name__ == "__main__":
    sys.path.insert(0, str(TESTS))
    stress()

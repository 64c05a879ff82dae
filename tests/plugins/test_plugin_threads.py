"""Many profiled threads whose plugin code lets the interpreter switch
threads while the plugin-table lock is held. Run in a child process so that
a deadlock fails the test instead of hanging the run."""

import subprocess
import sys
import threading
import time

THREADS = 8
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


def check_ids_pair_up(records):
    """Each return record carries the id of the call just before it."""
    assert [r["event" if r["type"] == "frame" else "type"] for r in records] == ["call", "return"] * (len(records) // 2)
    calls, returns = records[::2], records[1::2]
    assert all(call["frame_id"] == ret["frame_id"] for call, ret in zip(calls, returns))
    assert len({call["frame_id"] for call in calls}) == len(calls)


def stress():
    import vopo.plugins
    from vopo import _vopo
    from vopo_testing import Host, decode

    description = {"co_names": ["work_item"], "path_fragment": "tests/plugins/", "call_type": "call",
                   "return_type": "return", "call": switching, "process": lambda *args: switching() and {}}
    vopo.plugins.load_plugin_data = lambda config: [description]
    host = Host(config={"threading": True})
    _vopo.register_profiler(host)
    deadline = time.monotonic() + SECONDS
    threads = [threading.Thread(target=worker, args=(deadline,)) for _ in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    _vopo.register_noop_profiler()
    threading.setprofile(None)
    by_thread = decode(host.rust_profiler.build_trace())["frames"]
    assert len(by_thread) == THREADS
    for records in by_thread.values():
        items = [r for r in records if r.get("co_name") in (None, "work_item")]
        plugin = [r for r in items if r["type"] != "frame"]
        assert len(plugin) > 100
        check_ids_pair_up(plugin)
        check_ids_pair_up([r for r in items if r["type"] == "frame"])


def test_threads_switching_inside_plugins_never_deadlock_nor_mix_frame_ids():
    completed = subprocess.run([sys.executable, __file__], capture_output=True, text=True, timeout=120 + SECONDS,
                               cwd=str(__import__("pathlib").Path(__file__).parent.parent))
    assert completed.returncode == 0, completed.stderr


if __name__ == "__main__":
    sys.path.insert(0, str(__import__("pathlib").Path(__file__).resolve().parent.parent))
    stress()

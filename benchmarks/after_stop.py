"""Speed of plain Python code after profiling has stopped.

A pure-Python loop is timed before any profiling, in the main thread and in
a fresh thread (the best of many short runs, so that a loaded machine
skews it less). Then a block runs under ``vopo.enabled`` with threading on,
while a profiled thread is started and left blocked, and the loop is timed
again after the block has ended: in the main thread, in a new thread, and
in the blocked thread once it wakes up. Each figure is the ratio to its
never-profiled time; 1.00 means stopping left nothing behind.

    python benchmarks/after_stop.py [--repeat N] [--calls N]
"""

import argparse
import os
import tempfile
import threading
import time

import vopo


def step(value):
    return value + 1


def loop(calls):
    total = 0
    for index in range(calls):
        total = step(total) + index
    return total


def best_time(calls, repeat):
    best = float("inf")
    for _ in range(repeat):
        started = time.perf_counter()
        loop(calls)
        best = min(best, time.perf_counter() - started)
    return best


def in_new_thread(work):
    result = []
    thread = threading.Thread(target=lambda: result.append(work()))
    thread.start()
    thread.join()
    return result[0]


def in_blocked_thread_after(release, work):
    """Starts a thread that waits for ``release``, then measures ``work``."""
    result = []

    def waiting():
        release.wait()
        result.append(work())

    thread = threading.Thread(target=waiting)
    thread.start()
    return thread, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=60)
    parser.add_argument("--calls", type=int, default=50_000)
    options = parser.parse_args()

    def measure():
        return best_time(options.calls, options.repeat)

    before_same = measure()
    before_other = in_new_thread(measure)

    release = threading.Event()
    with tempfile.TemporaryDirectory() as directory:
        with vopo.enabled(os.path.join(directory, "after_stop.sqlite3"), config={"threading": True}):
            loop(100)
            blocked, blocked_result = in_blocked_thread_after(release, measure)
        after_same = measure()
        after_new = in_new_thread(measure)
        release.set()
        blocked.join()

    rows = [
        ("same thread", before_same, after_same),
        ("new thread", before_other, after_new),
        ("thread profiled, blocked over stop", before_other, blocked_result[0]),
    ]
    print(f"{options.calls} calls, best of {options.repeat}")
    print(f"{'where':36} {'never profiled':>15} {'after stop':>12} {'ratio':>7}")
    for name, before, after in rows:
        print(f"{name:36} {before * 1e3:12.2f} ms {after * 1e3:9.2f} ms {after / before:7.2f}")


if __name__ == "__main__":
    main()

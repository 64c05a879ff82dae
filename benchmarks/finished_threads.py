"""Memory kept for threads that have finished while profiling runs.

Starts N short threads one after another under a profiler with threading on
and prints how much the resident memory grew. Each thread's per-thread store
is let go once the thread has ended, so the growth stays flat as N grows
(the recorded trace itself is built and dropped every 1,000 threads).

    python benchmarks/finished_threads.py [--threads N]
"""

import argparse
import sys
import threading

from vopo import _vopo


class Host:
    def __init__(self):
        self.config = {"threading": True}
        self.db_path = "unused.sqlite3"
        self.one_trace_per_test = False
        self.trace_id = "trc_benchmark"
        self.source = "benchmark"

    def __call__(self):
        pass


def resident_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def work():
    return sum(range(10))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=20_000)
    threads = parser.parse_args().threads
    host = Host()
    _vopo.register_profiler(host)
    for index in range(1_000):
        thread = threading.Thread(target=work)
        thread.start()
        thread.join()
    host.rust_profiler.build_trace()
    before = resident_kib()
    for index in range(threads):
        thread = threading.Thread(target=work)
        thread.start()
        thread.join()
        if index % 1_000 == 999:
            host.rust_profiler.build_trace()
    host.rust_profiler.build_trace()
    grown = resident_kib() - before
    host.rust_profiler.mark_stopped()
    sys.setprofile(None)
    threading.setprofile(None)
    print(f"{threads} finished threads: resident memory grew by {grown / 1024:.1f} MiB")


if __name__ == "__main__":
    main()

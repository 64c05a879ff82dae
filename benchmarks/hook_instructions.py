"""Instructions per profile event against the bare C hook, counted with
callgrind (benchmarks/instructions.py counts the recorded events and the
serializer).

Each workload runs in a child process under valgrind at two sizes, without
profiling and under each configuration; the difference between the sizes
cancels start-up, so what remains is the cost of the extra events. Counts do
not depend on the machine's load; a fixed hash seed keeps them repeatable.

    python benchmarks/hook_instructions.py [--small N] [--large N]
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

CHILD = r'''
import sys, threading
from vopo import _vopo

class Host:
    def __init__(self, db_path):
        self.config = {}
        self.db_path = db_path
        self.one_trace_per_test = False
        self.trace_id = "trc_benchmark"
        self.source = "benchmark"

    def __call__(self):
        pass

LIBRARY_SOURCE = "def library_call(x):\n    return x + 1\n"
library = {}
exec(compile(LIBRARY_SOURCE, "/usr/lib/python3/site-packages/benchlib/core.py", "exec"), library)
library_call = library["library_call"]

def add(a, b):
    return a + b

class Shop:
    def price(self, qty, unit):
        return qty * unit

def run_add(n):
    for i in range(n):
        add(i, 1)

def run_method(n):
    shop = Shop()
    for i in range(n):
        shop.price(i, 2)

def run_library(n):
    for i in range(n):
        library_call(i)

workload, mode, n, db_path = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
run = {"add": run_add, "method": run_method, "library": run_library}[workload]
if mode == "plain":
    run(n)
elif mode == "noop":
    _vopo.register_noop_profiler()
    run(n)
    sys.setprofile(None)
else:
    _vopo.register_profiler(Host(db_path))
    run(n)
    _vopo.register_noop_profiler()
    sys.setprofile(None)
'''

WORKLOADS = {
    "add": "recorded add(a, b)",
    "method": "recorded shop.price(qty, unit)",
    "library": "library frame",
}
MODES = ["plain", "noop", "vopo"]


def instructions(script, workload, mode, n, db_path):
    with tempfile.NamedTemporaryFile(suffix=".out") as out:
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out.name}", sys.executable, script,
             workload, mode, str(n), db_path],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env={**os.environ, "PYTHONHASHSEED": "0"},
        )
        with open(out.name) as dump:
            totals = re.search(r"^totals:\s+(\d+)", dump.read(), re.MULTILINE)
    return int(totals.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", type=int, default=2_000)
    parser.add_argument("--large", type=int, default=12_000)
    options = parser.parse_args()
    events = 2 * (options.large - options.small)
    with tempfile.TemporaryDirectory() as scratch:
        script = os.path.join(scratch, "workload.py")
        with open(script, "w") as source:
            source.write(CHILD)
        db_path = os.path.join(scratch, "trace.sqlite3")
        print(f"Python {sys.version.split()[0]}, instructions per event over the unprofiled run")
        print(f"  {'event':<34}{'bare C hook':>14}{'vopo':>12}{'x bare hook':>14}")
        for workload, title in WORKLOADS.items():
            extra = {}
            for mode in MODES:
                small = instructions(script, workload, mode, options.small, db_path)
                large = instructions(script, workload, mode, options.large, db_path)
                extra[mode] = (large - small) / events
            noop = extra["noop"] - extra["plain"]
            vopo = extra["vopo"] - extra["plain"]
            print(f"  {title:<34}{noop:>14.0f}{vopo:>12.0f}{vopo / noop:>14.2f}")


if __name__ == "__main__":
    main()

"""Instructions per profile event, counted with valgrind's callgrind.

Each workload runs in a fresh interpreter under callgrind, at N and at 2N
iterations; the difference of the whole-process totals is the cost of N
iterations, free of start-up. The same difference for the unprofiled run is
subtracted and the rest divided by the number of profile events (a call and
a return per iteration). Counts do not depend on the machine's load.

    python benchmarks/instructions.py [--n 2000] [--only add,serialize]

Workloads:
  add        a plain function add(a, b) with one local, recorded by vopo
  method     a method shop.price(qty, unit), recorded by vopo
  library    a function of a module under site-packages, skipped by vopo;
             each of add, method and library also runs under the bare C hook
             that does nothing (register_noop_profiler), as the floor
  peer       add(a, b) under viztracer recording args and return values
             (pip install viztracer into this interpreter to include it)
  serialize  one dump_msgpack call on a small locals dict, and on one holding
             a 10,000-item list and a 1 MB string, per call
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import textwrap

CHILD = textwrap.dedent(
    '''
    import sys
    import threading

    workload, mode, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
    sys.path.insert(0, sys.argv[4])

    import vopo.serialize
    from vopo import _vopo


    class Host:
        def __init__(self):
            self.config = {}
            self.db_path = "unused.sqlite3"
            self.one_trace_per_test = False
            self.trace_id = "trc_benchmark"
            self.source = "benchmark"

        def __call__(self):
            pass


    def add(a, b):
        c = a + b
        return c


    class Shop:
        def price(self, qty, unit):
            total = qty * unit
            return total


    shop = Shop()


    def run_add(n):
        for i in range(n):
            add(i, 2)


    def run_method(n):
        for i in range(n):
            shop.price(i, 3)


    def run_library(n):
        import benchlib

        call = benchlib.library_call
        for i in range(n):
            call(i)


    SMALL = {"a": 0, "b": 2}
    BIG = {"a": 0, "items": list(range(10_000)), "text": "x" * 1_000_000}


    def run_serialize(n, value):
        dump = vopo.serialize.dump_msgpack
        for _ in range(n):
            dump(value)


    def run_baseline_call(n, value):
        for _ in range(n):
            id(value)


    def under_vopo(body, n):
        host = Host()
        _vopo.register_profiler(host)
        try:
            body(n)
        finally:
            _vopo.register_noop_profiler()
            threading.setprofile(None)


    def under_viztracer(body, n):
        from viztracer import VizTracer

        tracer = VizTracer(log_func_args=True, log_func_retval=True, tracer_entries=4 * n + 1000, verbose=0)
        tracer.start()
        body(n)
        tracer.stop()


    bodies = {"add": run_add, "method": run_method, "library": run_library, "peer": run_add}
    if workload == "serialize":
        value = SMALL if mode.endswith("small") else BIG
        (run_baseline_call if mode.startswith("baseline") else run_serialize)(n, value)
    elif mode == "plain":
        bodies[workload](n)
    elif mode == "viztracer":
        under_viztracer(bodies[workload], n)
    elif mode == "noop":
        _vopo.register_noop_profiler()
        bodies[workload](n)
    else:
        if mode == "reference":
            from vopo.values import encode

            vopo.serialize.dump_msgpack = encode.dump_msgpack
        under_vopo(bodies[workload], n)
    '''
)

LIBRARY = "def library_call(x):\n    return x + 1\n"


def instructions(script, site, workload, mode, n):
    """Whole-process instruction count of one run under callgrind."""
    with tempfile.NamedTemporaryFile(suffix=".out") as out:
        command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out.name}", sys.executable, script,
                   workload, mode, str(n), site]
        env = dict(os.environ, PYTHONHASHSEED="0")
        done = subprocess.run(command, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        raise RuntimeError(f"{workload}/{mode} failed:\n{done.stderr[-2000:]}")
    match = re.search(r"Collected\s*:\s*(\d+)", done.stderr)
    if match is None:
        raise RuntimeError(f"no instruction count in callgrind's output:\n{done.stderr[-2000:]}")
    return int(match.group(1))


def difference(script, site, workload, mode, n):
    """Instructions of n more iterations."""
    return instructions(script, site, workload, mode, 2 * n) - instructions(script, site, workload, mode, n)


def has_viztracer():
    return subprocess.run([sys.executable, "-c", "import viztracer"], capture_output=True).returncode == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=2000, help="iterations of the shorter run")
    parser.add_argument("--only", default="add,method,library,peer,serialize")
    options = parser.parse_args()
    chosen = options.only.split(",")
    n = options.n
    with tempfile.TemporaryDirectory() as work:
        site = os.path.join(work, "lib", "site-packages")
        os.makedirs(site)
        with open(os.path.join(site, "benchlib.py"), "w") as library:
            library.write(LIBRARY)
        script = os.path.join(work, "child.py")
        with open(script, "w") as child:
            child.write(CHILD)

        print(f"Python {sys.version.split()[0]}; instructions per event over the unprofiled run "
              f"(N={n}, 2N={2 * n}, 2 events per iteration)")
        print(f"  {'workload':<10}{'profiler':<34}{'per event':>12}")
        events = 2 * n
        rows = [("add", "vopo, native encoder", "vopo"), ("add", "vopo, reference encoder (Python)", "reference"),
                ("method", "vopo, native encoder", "vopo"), ("library", "vopo (not recorded)", "vopo"),
                ("add", "bare C hook", "noop"), ("method", "bare C hook", "noop"),
                ("library", "bare C hook", "noop"), ("peer", "viztracer, args and return values", "viztracer")]
        plain = {}
        for workload, title, mode in rows:
            if workload not in chosen:
                continue
            if mode == "viztracer" and not has_viztracer():
                print(f"  {workload:<10}{title:<34}{'(viztracer is not installed)':>12}")
                continue
            base = "add" if workload == "peer" else workload
            if base not in plain:
                plain[base] = difference(script, site, base, "plain", n)
            cost = (difference(script, site, workload, mode, n) - plain[base]) / events
            print(f"  {workload:<10}{title:<34}{cost:>12,.0f}", flush=True)

        if "serialize" in chosen:
            print("\n  dump_msgpack, instructions per call over a call of id():")
            per_call = {}
            for size in ("small", "big"):
                baseline = difference(script, site, "serialize", f"baseline-{size}", n)
                per_call[size] = (difference(script, site, "serialize", f"dump-{size}", n) - baseline) / n
            print(f"    {'{a: 0, b: 2}':<48}{per_call['small']:>12,.0f}")
            print(f"    {'with a 10,000-item list and a 1 MB str':<48}{per_call['big']:>12,.0f}")
            print(f"    {'ratio':<48}{per_call['big'] / per_call['small']:>12.1f}x")


if __name__ == "__main__":
    main()

"""Per-event cost of profiling, measured side by side in one process.

Each workload runs without profiling, under the module's no-op profile
function (the floor any C profile hook pays), under cProfile, yappi and
viztracer (without and with argument and return value logging) when they are
installed, and under vopo with a trivial serializer (the single byte nil) and
with the real one. The table gives the overhead per call/return event in
nanoseconds and its ratio to the no-op floor. vopo's runs include building
its trace document; viztracer's do not include saving its report.

    pip install yappi viztracer   # for their columns; not a vopo dependency
    python benchmarks/overhead.py [--repeat N]
"""

import argparse
import cProfile
import sys
import tempfile
import threading
import time

import vopo.serialize
from vopo import _vopo

from benchmark_host import Host


# Library code: compiled under a site-packages path, so vopo skips it.
LIBRARY_SOURCE = """
def library_call(x):
    return x + 1
"""
library = {}
exec(compile(LIBRARY_SOURCE, "/usr/lib/python3/site-packages/benchlib/core.py", "exec"), library)
library_call = library["library_call"]


def leaf(x):
    return x + 1


def call_heavy(n):
    total = 0
    for i in range(n):
        total += leaf(i)
    return total


def library_heavy(n):
    total = 0
    for i in range(n):
        total += library_call(i)
    return total


def big_locals_leaf(i):
    data = list(range(200))
    table = {str(k): k for k in range(100)}
    text = "x" * 2000
    return len(data) + len(table) + len(text) + i


def big_locals(n):
    total = 0
    for i in range(n):
        total += big_locals_leaf(i)
    return total


WORKLOADS = [
    ("call-heavy user code", call_heavy, 200_000),
    ("library calls", library_heavy, 200_000),
    ("large locals", big_locals, 5_000),
]


def count_events(fn, n):
    events = 0

    def counter(frame, event, arg):
        nonlocal events
        if event in ("call", "return"):
            events += 1

    sys.setprofile(counter)
    fn(n)
    sys.setprofile(None)
    return events


def run_plain(fn, n):
    fn(n)


def run_noop(fn, n):
    _vopo.register_noop_profiler()
    fn(n)
    sys.setprofile(None)


def run_cprofile(fn, n):
    profile = cProfile.Profile()
    profile.enable()
    fn(n)
    profile.disable()


def run_yappi(fn, n):
    import yappi
    yappi.set_clock_type("wall")
    yappi.start(builtins=False)
    fn(n)
    yappi.stop()
    yappi.clear_stats()


def viztracer_runner(log_arguments):
    def run(fn, n):
        from viztracer import VizTracer
        tracer = VizTracer(verbose=0, tracer_entries=2_000_000, log_func_args=log_arguments,
                           log_func_retval=log_arguments)
        tracer.start()
        fn(n)
        tracer.stop()
        tracer.clear()
    return run


def installed(module):
    try:
        __import__(module)
    except ImportError:
        return False
    return True


def vopo_runner(serializer, db_path):
    def run(fn, n):
        original = vopo.serialize.dump_msgpack
        if serializer is not None:
            vopo.serialize.dump_msgpack = serializer
        host = Host(db_path)
        try:
            _vopo.register_profiler(host)
            fn(n)
            _vopo.register_noop_profiler()
        finally:
            sys.setprofile(None)
            threading.setprofile(None)
            vopo.serialize.dump_msgpack = original
        host.rust_profiler.build_trace()
    return run


def timed(runner, fn, n):
    start = time.perf_counter()
    runner(fn, n)
    return time.perf_counter() - start


def best_times(runners, fn, n, repeat):
    """The best time of each runner, taking turns so drift hits all alike."""
    best = [float("inf")] * len(runners)
    for _ in range(repeat):
        for index, runner in enumerate(runners):
            best[index] = min(best[index], timed(runner, fn, n))
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    options = parser.parse_args()
    db_path = tempfile.mktemp(suffix=".sqlite3")
    modes = [
        ("no-op hook", run_noop),
        ("cProfile", run_cprofile),
        *([("yappi", run_yappi)] if installed("yappi") else []),
        *([("viztracer", viztracer_runner(False)),
           ("viztracer, args+retval", viztracer_runner(True))] if installed("viztracer") else []),
        ("vopo, nil serializer", vopo_runner(lambda value: b"\xc0", db_path)),
        ("vopo, real serializer", vopo_runner(None, db_path)),
    ]
    print(f"Python {sys.version.split()[0]}, best of {options.repeat} runs")
    for title, fn, n in WORKLOADS:
        events = count_events(fn, n)
        plain, *profiled = best_times([run_plain] + [runner for _, runner in modes], fn, n, options.repeat)
        print(f"\n{title}: {events} events, {plain / events * 1e9:.1f} ns per event unprofiled")
        print(f"  {'mode':<24}{'overhead ns/event':>20}{'x no-op floor':>16}")
        overheads = [(t - plain) / events * 1e9 for t in profiled]
        by_name = {}
        for (name, _), overhead in zip(modes, overheads):
            by_name[name] = overhead
            print(f"  {name:<24}{overhead:>20.1f}{overhead / overheads[0]:>16.2f}")
        peer = by_name.get("viztracer, args+retval")
        if peer:
            print(f"  vopo (real serializer) / viztracer with args+retval: {by_name['vopo, real serializer'] / peer:.2f}x")


if __name__ == "__main__":
    main()

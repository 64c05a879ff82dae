"""Memory held per recorded event, and the peaks of building and saving a
trace, as multiples of the records held.

A million profile events of a small function (add(a, b), a call and a
return each) are recorded; the growth of the resident set while recording
is divided by the event count. Then the resident-set high-water mark (VmHWM, reset
through /proc/self/clear_refs) is read across build_trace and across a
whole save into SQLite. The program runs from its own directory, as
`vopo run` users do, so recorded paths are short.

    python benchmarks/memory.py [--events 1000000]
"""

import argparse
import gc
import os
import subprocess
import sys
import tempfile
import threading

from vopo import _vopo

from benchmark_host import Host


def status(field):
    with open("/proc/self/status") as lines:
        for line in lines:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def reset_peak():
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")


def add(a, b):
    c = a + b
    return c


def record(calls, host):
    _vopo.register_profiler(host)
    try:
        for i in range(calls):
            add(i, 2)
    finally:
        _vopo.register_noop_profiler()
        threading.setprofile(None)


def peak_over(held, action):
    """(result, peak resident bytes over the resident set before `action`,
    counting the held records in, as a multiple of them)."""
    gc.collect()
    before = status("VmRSS")
    reset_peak()
    result = action()
    return result, (status("VmHWM") - before + held) / held


def measure(events, mode):
    """Held bytes, record bytes and the peak of `mode` ("build" or "save"),
    in this process."""
    calls = events // 2
    with tempfile.TemporaryDirectory() as work:
        os.chdir(work)
        host = Host(os.path.join(work, "trace.sqlite3"))
        gc.collect()
        start = status("VmRSS")
        record(calls, host)
        held = status("VmRSS") - start
        profiler = host.rust_profiler
        action = profiler.build_trace if mode == "build" else profiler.save_request_in_db
        document, peak = peak_over(held, action)
        records = len(document) if document is not None else 0
    print(held, records, peak)


def in_child(events, mode):
    """Each figure comes from a fresh process, so memory freed by an earlier
    step and kept by the allocator cannot hide a later peak."""
    done = subprocess.run([sys.executable, __file__, "--events", str(events), "--child", mode],
                          capture_output=True, text=True, check=True)
    held, records, peak = done.stdout.split()
    return int(held), int(records), float(peak)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=1_000_000)
    parser.add_argument("--child", choices=("build", "save"), help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child:
        measure(options.events, options.child)
        return
    events = options.events
    held, records, build_peak = in_child(events, "build")
    _, _, save_peak = in_child(events, "save")
    print(f"Python {sys.version.split()[0]}; {events:,} recorded events of add(a, b)")
    print(f"  held per event           {held / events:8.0f} B")
    print(f"  document per event       {records / events:8.0f} B")
    print(f"  build_trace peak         {build_peak:8.2f}x the records held")
    print(f"  whole save peak          {save_peak:8.2f}x the records held")


if __name__ == "__main__":
    main()

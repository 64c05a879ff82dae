"""The trace store at scale: listing 10^5 traces and reading one trace of
10^6 events, each through the command line as a user runs it.

Prints the wall time of `vopo traces` (the newest 50 of 10^5 traces), the
time to save the 10^6-event trace (its summary included), and the wall time
and peak RSS of `vopo show` and `vopo export` on it.

    python benchmarks/store.py [--events N] [--traces N] [--keep DIR]
"""

import argparse
import os
import sqlite3
import subprocess
import sys
import tempfile
import time

import msgpack

from vopo import db, store
from vopo.store import schema


def record(event, frame_id, timestamp, name, site, local_values=None, arg=None):
    return {
        "path": "app/work.py:12", "co_name": name, "qualname": name, "event": event, "frame_id": frame_id,
        "arg": arg, "locals": local_values or {}, "thread": "MainThread", "thread_native_id": 100,
        "timestamp": timestamp, "type": "frame", "user_code_call_site": site,
    }


def big_document(events):
    """`main` calling `work(i)` (events - 2) / 2 times, each returning i * 2."""
    pack = msgpack.packb
    site = {"call_frame_id": "frm_MAIN", "line_number": 7}
    records = [pack(record("call", "frm_MAIN", 1.0, "main", None))]
    clock = 1.0
    for number in range((events - 2) // 2):
        frame_id = f"frm_{number:026d}"
        clock += 1e-6
        records.append(pack(record("call", frame_id, clock, "work", site, {"i": number})))
        clock += 1e-6
        records.append(pack(record("return", frame_id, clock, "work", site, arg=number * 2)))
    records.append(pack(record("return", "frm_MAIN", clock + 1e-6, "main", None)))
    return b"".join([
        b"\x88", pack("command_line_args"), pack(["work.py"]), pack("current_commit_sha"), pack(None),
        pack("frames"), pack({}), pack("frames_of_interest"), b"\xdd", len(records).to_bytes(4, "big"),
        *records, pack("main_thread_id"), pack(100), pack("meta"),
        pack({"version": "0.1.0", "source": "benchmark", "use_frame_boundaries": True}),
        pack("timestamp"), pack(1.0), pack("trace_id"), pack("trc_BIG"),
    ])


def many_traces(path, count):
    db.save_trace_in_sqlite(path, "trc_FIRST", timeout=5, msgpack=big_document(2))
    rows = [(f"trc_{number:08d}", float(number), b"\x80", schema.SUMMARY_VERSION, "vopo.pytest",
             f"tests/test_{number % 100}.py::test_{number}", "passed", 12, 1, 1.0, 1.0, 2.0, 100)
            for number in range(count)]
    with sqlite3.connect(path) as connection:
        connection.executemany(
            "INSERT INTO traces (trace_id, saved_at, msgpack, summary_version, source, node_id, outcome, "
            "frame_records, threads, started_at, first_record_at, last_record_at, size) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", rows)
    connection.close()


# Runs the command line, then reports the process's own peak RSS. VmHWM
# starts afresh at exec, unlike ru_maxrss, which would count the pages a
# forked child shares with this (large) parent before it execs.
CHILD = """
import sys
from vopo.__main__ import main
code = main(sys.argv[1:])
sys.stdout.flush()
with open("/proc/self/status") as status:
    peak = next(line.split()[1] for line in status if line.startswith("VmHWM:"))
sys.stderr.write(f"\\npeak-kib {peak}\\n")
sys.exit(code)
"""


def run_vopo(*words):
    """(wall seconds, peak RSS in MiB) of one vopo command, its output discarded."""
    started = time.perf_counter()
    with open(os.devnull, "w") as sink:
        completed = subprocess.run([sys.executable, "-c", CHILD, *words], stdout=sink, stderr=subprocess.PIPE,
                                   text=True)
    elapsed = time.perf_counter() - started
    if completed.returncode != 0:
        raise SystemExit(f"vopo {' '.join(words)} failed: {completed.stderr}")
    peak = int(completed.stderr.rsplit("peak-kib ", 1)[1])
    return elapsed, peak / 1024


def startup_time():
    started = time.perf_counter()
    subprocess.run([sys.executable, "-c", "import vopo.__main__"], check=True)
    return time.perf_counter() - started


def time_listing(path):
    started = time.perf_counter()
    with store.open_store(path) as reader:
        reader.list_traces(limit=50)
    return time.perf_counter() - started


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=1_000_000)
    parser.add_argument("--traces", type=int, default=100_000)
    parser.add_argument("--keep", metavar="DIR", help="build the databases in DIR and keep them")
    options = parser.parse_args()
    directory = options.keep or tempfile.mkdtemp(prefix="vopo-store-bench-")
    many, big = os.path.join(directory, "many.sqlite3"), os.path.join(directory, "big.sqlite3")
    for path in (many, big):
        if os.path.exists(path):
            os.unlink(path)

    many_traces(many, options.traces)
    startup = min(startup_time() for _ in range(3))
    listing = min(run_vopo("traces", "--db", many)[0] for _ in range(3))
    scanning = min(run_vopo("traces", "--db", many, "--filter", "no such trace")[0] for _ in range(3))
    in_process = min(time_listing(many) for _ in range(5))
    print(f"vopo traces, newest 50 of {options.traces}: {listing:.3f} s; the store's part in process: "
          f"{in_process * 1000:.0f} ms; interpreter start and imports: {startup:.3f} s; "
          f"a filter matching nothing (scans every summary): {scanning:.3f} s")

    document = big_document(options.events)
    size = len(document)
    started = time.perf_counter()
    db.save_trace_in_sqlite(big, "trc_BIG", timeout=5, msgpack=document)
    saved = time.perf_counter() - started
    del document
    print(f"save of a {options.events}-event trace ({size / 2**20:.0f} MiB) with its summary: {saved:.2f} s")
    for words in (("show", "trc_BIG"), ("export", "trc_BIG", "--format", "json"), ("export", "trc_BIG")):
        elapsed, peak = run_vopo(*words, "--db", big)
        print(f"vopo {' '.join(words)}: {elapsed:.1f} s, peak RSS {peak:.0f} MiB")


if __name__ == "__main__":
    main()

"""Synthetic traces shaped like the profiler's, and the SQLite store that
vopo.db writes, so the command line can be tested without profiling.

A ThreadScript plays one thread's events the way the profiler records them:
a call gets a new frame id and the innermost open call as its call site, a
return reuses its call's frame id and call site, plugin records take the
running call as their call site. Every event advances one shared clock, so
the expected duration of each call is known exactly.
"""

import itertools
import re
import sqlite3

import msgpack

SCHEMA = (
    "CREATE TABLE IF NOT EXISTS traces (id INTEGER PRIMARY KEY AUTOINCREMENT, trace_id TEXT NOT NULL, "
    "saved_at REAL NOT NULL, msgpack BLOB NOT NULL)",
    "CREATE INDEX IF NOT EXISTS traces_trace_id ON traces(trace_id)",
)
STEP = 0.0025  # seconds between two events unless a script says otherwise
DURATION = re.compile(r"  (-?\d+\.\d+) (us|ms|s)  (->|!!) ")
UNITS = {"us": 1e-6, "ms": 1e-3, "s": 1.0}


class Trace:
    def __init__(self, trace_id="trc_01HZZTESTTRACE000000000001", threading=False, main_thread_id=100,
                 start=1_700_000_000.0, source="tests", argv=("shop.py", "--fast")):
        self.trace_id = trace_id
        self.threading = threading
        self.main_thread_id = main_thread_id
        self.start = start
        self.clock = start
        self.source = source
        self.argv = list(argv)
        self.events = []  # (native id, record) in event order
        self.times = {}  # frame id -> [call timestamp, return timestamp or None]
        self._ids = itertools.count(1)

    def thread(self, name="MainThread", native_id=None):
        native_id = self.main_thread_id if native_id is None else native_id
        return ThreadScript(self, name, native_id)

    def new_frame_id(self):
        return f"frm_{next(self._ids):026d}"

    def tick(self, seconds):
        self.clock += seconds
        return self.clock

    def document(self, events=None):
        events = self.events if events is None else events
        frames, of_interest = {}, []
        for native_id, record in events:
            if self.threading and native_id is not None and native_id != self.main_thread_id:
                frames.setdefault(native_id, []).append(record)
            else:
                of_interest.append(record)
        return {
            "command_line_args": self.argv,
            "current_commit_sha": "0123456789abcdef0123456789abcdef01234567",
            "frames": frames,
            "frames_of_interest": of_interest,
            "main_thread_id": self.main_thread_id,
            "meta": {"version": "0.1.0", "source": self.source, "use_frame_boundaries": True},
            "timestamp": self.start,
            "trace_id": self.trace_id,
        }

    def pack(self, events=None):
        return msgpack.packb(self.document(events), use_bin_type=True)

    def save(self, db_path, saved_at=None, blob=None, splits=()):
        """Stores the trace as one row, or as one row per part when
        ``splits`` gives event positions at which the profiler saved."""
        bounds = [0, *splits, len(self.events)]
        parts = [self.events[a:b] for a, b in zip(bounds, bounds[1:])]
        for number, part in enumerate(parts):
            data = blob if blob is not None else self.pack(part)
            store(db_path, self.trace_id, data, (saved_at or self.clock) + number)


class ThreadScript:
    def __init__(self, trace, name, native_id):
        self.trace = trace
        self.name = name
        self.native_id = native_id
        self.stack = []  # [frame id, line, call record] of the open calls, innermost last

    def call(self, qualname, path="shop.py:1", at=None, locals=None, step=STEP, co_name=None):
        """Records a call made from line ``at`` of the running call."""
        site = None
        if self.stack:
            if at is not None:
                self.stack[-1][1] = at
            site = {"call_frame_id": self.stack[-1][0], "line_number": self.stack[-1][1]}
        frame_id = self.trace.new_frame_id()
        record = self._frame(qualname, co_name, path, "call", frame_id, None, locals or {}, site, step)
        self.trace.times[frame_id] = [record["timestamp"], None]
        self.stack.append([frame_id, int(path.rpartition(":")[2]), record])
        return frame_id

    def ret(self, value=None, path=None, step=STEP):
        frame_id, _, call = self.stack.pop()
        site = call["user_code_call_site"]
        record = self._frame(call["qualname"], call["co_name"], path or call["path"], "return", frame_id,
                             value, {}, site, step)
        self.trace.times[frame_id][1] = record["timestamp"]
        return frame_id

    def raised(self, frame_id, exception_type=None, exception=None, step=0.0):
        """The record that follows the return of a frame left by an exception."""
        record = {
            "type": "frame_exception",
            "frame_id": frame_id,
            "exception_type": exception_type,
            "exception": exception,
            "timestamp": self.trace.tick(step),
        }
        self.trace.events.append((self.native_id, record))

    def orphan_return(self, qualname, value=None, path="shop.py:9", step=STEP):
        self._frame(qualname, None, path, "return", None, value, {}, None, step)

    def plugin(self, kind, frame_id=None, step=STEP, **fields):
        """A plugin record made while the innermost open call runs."""
        site = {"call_frame_id": self.stack[-1][0], "line_number": self.stack[-1][1]} if self.stack else None
        record = {
            "frame_id": frame_id or self.trace.new_frame_id(),
            "timestamp": self.trace.tick(step),
            "thread": self.name,
            "thread_native_id": self.native_id,
            "user_code_call_site": site,
            "type": kind,
            **fields,
        }
        self.trace.events.append((self.native_id, record))
        return record["frame_id"]

    def _frame(self, qualname, co_name, path, event, frame_id, arg, local_values, site, step):
        record = {
            "path": path,
            "co_name": co_name or (qualname or "f").rpartition(".")[2],
            "qualname": qualname,
            "event": event,
            "frame_id": frame_id,
            "arg": arg,
            "locals": local_values,
            "thread": self.name,
            "thread_native_id": self.native_id,
            "timestamp": self.trace.tick(step),
            "type": "frame",
            "user_code_call_site": site,
        }
        self.trace.events.append((self.native_id, record))
        return record


def store(db_path, trace_id, blob, saved_at):
    with sqlite3.connect(db_path) as connection:
        for statement in SCHEMA:
            connection.execute(statement)
        connection.execute(
            "INSERT INTO traces (trace_id, saved_at, msgpack) VALUES (?, ?, ?)", (trace_id, saved_at, blob)
        )
    connection.close()


def shop_trace(**options):
    """A small checkout: nested calls, a generator resumed twice, a test's
    plugin records, a call that never returns and an orphan return."""
    trace = Trace(**options)
    main = trace.thread()
    main.orphan_return("startup", value="<module vopo.profiler>", path="boot.py:3")
    main.call("main", "shop.py:40", locals={"argv": ["--fast"]})
    main.plugin("start_test", frame_id="frm_TESTSPAN0000000000000000001", nodeid="tests/test_shop.py::test_total")
    main.call("Cart.__init__", "shop.py:5", at=41, locals={"self": "<shop.Cart object at 0x7f>", "owner": "ann"})
    main.ret(None, step=0.001)
    main.call("Cart.add", "shop.py:9", at=42, locals={"item": "apple", "qty": 3})
    main.call("price_of", "shop.py:20", at=10, locals={"item": "apple"})
    main.ret(1.25, step=0.004)
    main.ret(None)
    for _ in range(2):
        main.call("Cart.items", "shop.py:14", at=43, co_name="items")
        main.ret("apple")
    main.call("Cart.total", "shop.py:17", at=44, locals={"self": "<shop.Cart object at 0x7f>"})
    main.ret(3.75, step=0.0005)
    main.plugin("end_test", frame_id="frm_TESTSPAN0000000000000000001", nodeid="tests/test_shop.py::test_total",
                status="passed")
    main.call("report", "shop.py:30", at=45, locals={"lines": ["x" * 300]})
    return trace


def sections(show_output):
    """{thread header: [(depth, item, line)]}, item being the call's name,
    "* type" for a plugin record or "<- name" for an orphan return."""
    result, current = {}, None
    for line in show_output.splitlines():
        if line.startswith("thread "):
            current = result.setdefault(line.split(":")[0], [])
        elif current is not None and line.startswith("  "):
            body = line.lstrip(" ")
            depth = (len(line) - len(body)) // 2 - 1
            body = re.sub(r"^@\d+ ", "", body)
            item = " ".join(body.split(" ")[:2]) if body[:2] in ("* ", "<-") else body.split("  ")[0].split("(")[0]
            current.append((depth, item, line))
    return result


def duration_of(show_line):
    """The duration printed on one call line of `vopo show`, in seconds."""
    match = DURATION.search(show_line)
    return None if match is None else float(match.group(1)) * UNITS[match.group(2)]

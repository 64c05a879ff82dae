"""Trace databases for the viewer's tests, written directly: documents
shaped like the profiler's, values encoded by kind as the value model says."""

import itertools
import sqlite3

import msgpack

SCHEMA = (
    "CREATE TABLE IF NOT EXISTS traces (id INTEGER PRIMARY KEY AUTOINCREMENT, trace_id TEXT NOT NULL, "
    "saved_at REAL NOT NULL, msgpack BLOB NOT NULL)",
)
MAIN = 100


def ext(code, value):
    return msgpack.ExtType(code, msgpack.packb(value, use_bin_type=True))


def tuple_of(*items):
    return ext(2, list(items))


def set_of(*items):
    return ext(3, list(items))


def obj(type_name, identity, **attributes):
    return ext(10, [type_name, identity, attributes])


def exception(type_name, *args):
    return ext(8, [type_name, list(args)])


class TraceWriter:
    """Plays one trace's events: calls get frame ids and the innermost open
    call as call site; each event advances the clock by one millisecond."""

    _ids = itertools.count(1)

    def __init__(self, trace_id, source="vopo.pytest", start=1_700_000_000.0):
        self.trace_id = trace_id
        self.source = source
        self.start = start
        self.clock = start
        self.records = []
        self.stack = []

    def tick(self):
        self.clock += 0.001
        return self.clock

    # The writer is not called "self": a recorded method's locals have a "self".
    def call(writer, qualname, path="shop.py:1", **local_values):
        site = {"call_frame_id": writer.stack[-1][0], "line_number": 7} if writer.stack else None
        frame_id = f"frm_{next(writer._ids):026d}"
        writer.records.append(writer._frame(qualname, path, "call", frame_id, None, local_values, site))
        writer.stack.append((frame_id, qualname, path, site))
        return frame_id

    def ret(writer, value=None, raised=None, **local_values):
        frame_id, qualname, path, site = writer.stack.pop()
        writer.records.append(writer._frame(qualname, path, "return", frame_id, value, local_values, site))
        if raised is not None:
            type_name, *args = raised
            writer.records.append({"type": "frame_exception", "frame_id": frame_id, "exception_type": type_name,
                                   "exception": exception(type_name, *args), "timestamp": writer.tick()})
        return frame_id

    def plugin(self, kind, frame_id, **fields):
        self.records.append({"frame_id": frame_id, "timestamp": self.tick(), "thread": "MainThread",
                             "thread_native_id": MAIN, "user_code_call_site": None, "type": kind, **fields})

    def test(self, node_id, outcome, body):
        span = f"frm_TEST{next(self._ids):022d}"
        self.plugin("start_test", span, subtype="pytest", node_id=node_id)
        body(self)
        self.plugin("end_test", span, subtype="pytest", node_id=node_id, outcome=outcome)

    def _frame(self, qualname, path, event, frame_id, arg, local_values, site):
        return {"path": path, "co_name": qualname.rpartition(".")[2], "qualname": qualname, "event": event,
                "frame_id": frame_id, "arg": arg, "locals": local_values, "thread": "MainThread",
                "thread_native_id": MAIN, "timestamp": self.tick(), "type": "frame", "user_code_call_site": site}

    def document(self):
        return {"command_line_args": ["pytest"], "current_commit_sha": None, "frames": {},
                "frames_of_interest": self.records, "main_thread_id": MAIN,
                "meta": {"version": "0.1.0", "source": self.source, "use_frame_boundaries": True},
                "timestamp": self.start, "trace_id": self.trace_id}

    def save(self, db_path):
        store_row(db_path, self.trace_id, msgpack.packb(self.document(), use_bin_type=True), self.clock)


def store_row(db_path, trace_id, blob, saved_at):
    connection = sqlite3.connect(db_path)
    with connection:
        for statement in SCHEMA:
            connection.execute(statement)
        connection.execute("INSERT INTO traces (trace_id, saved_at, msgpack) VALUES (?, ?, ?)",
                           (trace_id, saved_at, blob))
    connection.close()


FAILING_TEST = "tests/test_cart.py::test_refund_rejects_negative"
FAILING_TRACE = "trc_01J0VIEWERFAILINGTEST00002"


def _passing_body(trace):
    trace.call("test_total", "tests/test_cart.py:4")
    trace.call("Cart.total", "shop.py:17", self=obj("shop.Cart", 0x7F00, items=["apple", "pear"]))
    trace.ret(3.75)
    trace.ret(None)


def _failing_body(trace):
    trace.call("test_refund_rejects_negative", "tests/test_cart.py:11")
    trace.call("refund", "shop.py:30", order=tuple_of("A1", 2), amount=-5, tags=set_of("vip"))
    trace.ret(None, raised=("builtins.ValueError", "negative amount"), amount=-5)
    trace.ret(None, raised=("builtins.ValueError", "negative amount"))


def shop_database(db_path):
    """A passing test, a failing one (a call that raised) and a script run."""
    passing = TraceWriter("trc_01J0VIEWERPASSINGTEST00001")
    passing.test("tests/test_cart.py::test_total", "passed", _passing_body)
    passing.save(db_path)
    failing = TraceWriter(FAILING_TRACE, start=1_700_000_100.0)
    failing.test(FAILING_TEST, "failed", _failing_body)
    failing.save(db_path)
    script = TraceWriter("trc_01J0VIEWERSCRIPTRUN00000003", source="vopo.run", start=1_700_000_200.0)
    script.call("main", "shop.py:40", argv=["--fast"])
    for number in range(3):
        script.call("price_of", "shop.py:20", item=f"item{number}")
        script.ret(1.25 * number)
    script.ret(0)
    script.save(db_path)
    return db_path

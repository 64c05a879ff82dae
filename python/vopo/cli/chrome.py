"""The Trace Event Format of a trace, built as its records stream by.

Each call keeps only what its event will print (its name, path, frame id,
rendered arguments and return value, and its two times), so the memory
needed follows the output, and the events are written one by one at the
end, once the times that clamp them are all known.

One complete ("X") event per call on its thread's track (tid = the thread's
native id), times in microseconds from the start of the trace (a test's own
start), with thread-name metadata. A call that never returned lasts until
the trace's last record. Events are clamped inside their caller and after
their previous sibling, so a clock step never breaks the nesting viewers
need. A call that ended by an exception is in the category "exception",
colored as an error, with the exception in its args. Two plugin records
sharing a frame id (the start and end of a test or
a request) become an async span on a track of its own; other plugin records
and orphan returns become instant events.
"""

import datetime
import json
import math
from types import SimpleNamespace

from vopo.cli import formatting
from vopo.cli.document import FRAME, call_site, plugin_fields, record_name
from vopo.cli.raised import exception_text
from vopo.cli.values import json_safe, render, render_arguments
from vopo.store.stream import FRAME_EXCEPTION, follows_its_frame

ARGS_LIMIT = 500
_PROCESS_ID_WITHOUT_MAIN_THREAD = 1
# One of the trace viewers' reserved colour names: red.
EXCEPTION_COLOR = "terrible"
# Positions in a call's list, and in an orphan return's.
_START, _STOP, _PARENT, _NAME, _PATH, _FRAME_ID, _ARGUMENTS, _RETURN, _LINE, _RAISED = range(10)
_ORPHAN_RAISED = 4


class ChromeTrace:
    """Collects one trace's records; ``write(write)`` then writes its JSON."""

    def __init__(self, info):
        self.info = info
        self.threads = {}
        self.first = math.inf
        self.last = -math.inf
        self.texts = {}  # one shared object per distinct name and path
        self.previous = None  # (save, record list, thread) of the record before

    def add(self, save, list_key, raw):
        """Adds one record, read from ``list_key`` (a record list) of save ``save``."""
        timestamp = float(raw["timestamp"])
        self.first = min(self.first, timestamp)
        self.last = max(self.last, timestamp)
        previous, self.previous = self.previous, None
        if follows_its_frame(raw) and previous is not None and previous[:2] == (save, list_key):
            thread = previous[2]
        else:
            native_id = raw.get("thread_native_id")
            key = native_id if native_id is not None else ("name", raw.get("thread"))
            thread = self.threads.get(key)
            if thread is None:
                thread = self.threads[key] = _Thread(native_id, raw.get("thread") or "?")
            elif raw["type"] == FRAME and thread.name == "?" and raw.get("thread"):
                thread.name = raw["thread"]
        thread.add(raw, timestamp, self.texts)
        self.previous = (save, list_key, thread)

    def write(self, write, head):
        start = self.info.started_at if self.info.started_at is not None else head.get("timestamp")
        origin = min(self.first, start)
        main_id = head.get("main_thread_id")
        events = _Events(write, origin, main_id if isinstance(main_id, int) else _PROCESS_ID_WITHOUT_MAIN_THREAD)
        write('{"traceEvents": [')
        args = head.get("command_line_args")
        command = " ".join(map(str, args)) if isinstance(args, list) else self.info.source or "?"
        events.metadata("process_name", None, {"name": f"vopo {self.info.trace_id}: {command}"})
        known = [thread.native_id for thread in self.threads.values() if thread.native_id is not None]
        next_free_tid = max(known + [0]) + 1
        last = max(self.last, origin)
        for thread in self.threads.values():
            tid = thread.native_id
            if tid is None:
                tid, next_free_tid = next_free_tid, next_free_tid + 1
            is_main = thread.native_id is not None and thread.native_id == main_id
            events.metadata("thread_name", tid, {"name": formatting.thread_label_of(thread.name, thread.native_id,
                                                                                    is_main)})
            events.metadata("thread_sort_index", tid, {"sort_index": 0 if is_main else 1})
            thread.write_calls(events, tid, origin, last)
            thread.write_marks(events, tid)
        other = {"trace_id": self.info.trace_id, "source": self.info.source or "?",
                 "started_at": datetime.datetime.fromtimestamp(origin).isoformat()}
        write('], "displayTimeUnit": "ms", "otherData": ' + _to_json(other) + "}")


class _Thread:
    def __init__(self, native_id, name):
        self.native_id = native_id
        self.name = name
        self.calls = []  # one list per call, in call order, so parents come before their children
        self.open = {}  # frame id -> index of a call whose return has not come yet
        self.marks = []  # plugin records (raw) and orphan returns (a list), in stored order
        # (frame id, call or orphan return, where its exception goes) of the record before, when a return
        self.last_return = None

    def add(self, raw, timestamp, texts):
        last_return, self.last_return = self.last_return, None
        if raw["type"] == FRAME_EXCEPTION and last_return is not None and last_return[0] == raw.get("frame_id"):
            _, ended, position = last_return
            ended[position] = exception_text(SimpleNamespace(raw=raw), ARGS_LIMIT)
        elif raw["type"] != FRAME:
            self.marks.append(raw)
        elif raw["event"] == "call":
            site = call_site(raw)
            parent = self.open.get(site.frame_id, -1) if site is not None else -1
            name, path = record_name(raw), raw.get("path") or "?"
            self.open[raw["frame_id"]] = len(self.calls)
            self.calls.append([
                timestamp, None, parent, texts.setdefault(name, name), texts.setdefault(path, path),
                raw["frame_id"], render_arguments(raw.get("locals"), ARGS_LIMIT, ARGS_LIMIT), None,
                None if site is None else site.line, None,
            ])
        else:
            frame_id = raw.get("frame_id")
            index = self.open.pop(frame_id, None) if frame_id is not None else None
            if index is None:
                ended = [timestamp, record_name(raw), raw.get("path") or "?", render(raw.get("arg"), ARGS_LIMIT), None]
                self.marks.append(ended)
                self.last_return = (frame_id, ended, _ORPHAN_RAISED)
            else:
                ended = self.calls[index]
                ended[_STOP] = timestamp
                ended[_RETURN] = render(raw.get("arg"), ARGS_LIMIT)
                self.last_return = (frame_id, ended, _RAISED)

    def write_calls(self, events, tid, lowest, highest):
        # Each call lies within its caller and after its previous sibling.
        bounds = []  # per call: (clamped start, clamped stop)
        cursors = {}  # caller index (-1 for the roots) -> where its next child may start
        for call in self.calls:
            parent = call[_PARENT]
            low, high = (lowest, highest) if parent < 0 else bounds[parent]
            start = min(max(call[_START], cursors.get(parent, low)), high)
            stop = call[_STOP] if call[_STOP] is not None else high
            stop = min(max(stop, start), high)
            cursors[parent] = stop
            bounds.append((start, stop))
            events.complete(tid, call, start, stop)

    def write_marks(self, events, tid):
        spans = _plugin_spans(self.marks)
        for mark in self.marks:
            if isinstance(mark, list):
                timestamp, name, path, value, raised = mark
                args = {"path": path, "return": value} if raised is None else {"path": path, "exception": raised}
                events.instant(tid, timestamp, "orphan", f"return of {name} without a recorded call", args)
            elif mark.get("frame_id") in spans:
                events.span_edge(tid, mark, spans[mark["frame_id"]])
            else:
                events.instant(tid, float(mark["timestamp"]), "plugin", formatting.plugin_label_of(mark, ARGS_LIMIT),
                               _plugin_args(mark))


class _Events:
    """Writes events as items of the JSON list, separated as ``json.dumps`` does."""

    def __init__(self, write, origin, pid):
        self.write = write
        self.origin = origin
        self.pid = pid
        self.count = 0

    def emit(self, event):
        self.write((", " if self.count else "") + _to_json(event))
        self.count += 1

    def micros(self, timestamp):
        # Whole nanoseconds first, so that rounding keeps the order of times.
        return round((timestamp - self.origin) * 1e9) / 1000

    def metadata(self, name, tid, args):
        event = {"ph": "M", "name": name, "pid": self.pid, "args": args}
        if tid is not None:
            event["tid"] = tid
        self.emit(event)

    def complete(self, tid, call, start, stop):
        args = {"path": call[_PATH], "frame_id": call[_FRAME_ID], "arguments": call[_ARGUMENTS]}
        if call[_LINE] is not None:
            args["called_from_line"] = call[_LINE]
        if call[_STOP] is None:
            args["unfinished"] = True
        elif call[_RAISED] is not None:
            args["exception"] = call[_RAISED]
        else:
            args["return"] = call[_RETURN]
        begin = self.micros(start)
        event = {"ph": "X", "name": call[_NAME], "cat": "call", "pid": self.pid, "tid": tid, "ts": begin,
                 "dur": round(self.micros(stop) - begin, 3), "args": args}
        if call[_RAISED] is not None:
            event.update(cat="exception", cname=EXCEPTION_COLOR)
        self.emit(event)

    def instant(self, tid, timestamp, category, name, args):
        self.emit({"ph": "i", "s": "t", "name": name, "cat": category, "pid": self.pid, "tid": tid,
                   "ts": self.micros(timestamp), "args": args})

    def span_edge(self, tid, record, span):
        opening, _ = span
        self.emit({
            "ph": "b" if record is opening else "e",
            "name": formatting.plugin_label_of(opening, ARGS_LIMIT),
            "cat": "plugin",
            "id": record["frame_id"],
            "pid": self.pid,
            "tid": tid,
            "ts": self.micros(max(float(record["timestamp"]), float(opening["timestamp"]))),
            "args": _plugin_args(record),
        })


def _plugin_spans(marks):
    """Frame id to (opening, closing) for plugin records that come in pairs."""
    by_id = {}
    for mark in marks:
        if isinstance(mark, dict) and mark["type"] != FRAME_EXCEPTION and mark.get("frame_id") is not None:
            by_id.setdefault(mark["frame_id"], []).append(mark)
    return {frame_id: tuple(pair) for frame_id, pair in by_id.items() if len(pair) == 2}


def _plugin_args(raw):
    args = json_safe(plugin_fields(raw))
    args["type"] = raw["type"]
    return args


def _to_json(value):
    return json.dumps(value, ensure_ascii=False, allow_nan=False)

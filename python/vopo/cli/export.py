"""``vopo export``: a trace as Trace Event Format JSON or as its document.

The Trace Event Format output opens in Perfetto and chrome://tracing: one
complete ("X") event per call on its thread's track (tid = the thread's
native id), times in microseconds from the start of the trace, with
thread-name metadata. A call that never returned lasts until the trace's
last record. Events are clamped inside their caller and after their
previous sibling, so a clock step never breaks the nesting viewers need.
A call that ended by an exception is in the category "exception", colored
as an error, with the exception in its args. Two plugin records sharing a frame id (the start and end of a test or a
request) become an async span on a track of its own; other plugin records
and orphan returns become instant events.

The json output is the decoded document, with all saves of the trace id
merged in save order, made JSON-safe (see ``vopo.cli.values.json_safe``).
"""

import datetime
import json
import sys

from vopo.cli import formatting, store
from vopo.cli.calltree import Call, build_tree, end_of
from vopo.cli.document import load_trace
from vopo.cli.errors import CliError
from vopo.cli.raised import exception_text
from vopo.cli.values import json_safe, render, render_arguments

FORMATS = ("chrome", "json")
ARGS_LIMIT = 500
# One of the trace viewers' reserved colour names: red.
EXCEPTION_COLOR = "terrible"
_PROCESS_ID_WITHOUT_MAIN_THREAD = 1


def export_trace(db_path, reference, timeout, output_format, output):
    trace = load_trace(store.rows_of_trace(db_path, reference, timeout))
    try:
        if output_format == "chrome":
            text = _to_json(chrome_trace(trace), indent=None)
        else:
            text = _to_json(json_safe(trace.merged_document()), indent=2)
    except RecursionError:
        raise CliError(f"trace {trace.trace_id} holds values nested too deeply to write as JSON") from None
    write_output(text + "\n", output)
    return 0


def chrome_trace(trace):
    """The Trace Event Format object of ``trace``."""
    origin = min([trace.started_at] + [record.timestamp for record in trace.records])
    events = _Events(trace, origin)
    trees = [(thread, build_tree(thread.records)) for thread in trace.threads]
    last = end_of([tree for _, tree in trees])
    events.process_name()
    for thread, tree in trees:
        tid = events.thread_track(thread)
        events.calls(tid, tree.roots, origin, last)
        events.marks(tid, thread.records, tree)
    return {
        "traceEvents": events.items,
        "displayTimeUnit": "ms",
        "otherData": {
            "trace_id": trace.trace_id,
            "source": trace.source,
            "started_at": datetime.datetime.fromtimestamp(origin).isoformat(),
        },
    }


def write_output(text, output):
    """Writes to ``output``, or to stdout when it is None or "-"."""
    if output in (None, "-"):
        sys.stdout.write(text)
        return
    try:
        with open(output, "w", encoding="utf-8") as handle:
            handle.write(text)
    except OSError as error:
        raise CliError(f"cannot write {output}: {error.strerror or error}") from None


class _Events:
    def __init__(self, trace, origin):
        self.trace = trace
        self.origin = origin
        main = trace.main_thread_id
        self.pid = main if isinstance(main, int) else _PROCESS_ID_WITHOUT_MAIN_THREAD
        self.items = []
        known = [thread.native_id for thread in trace.threads if thread.native_id is not None]
        self.next_free_tid = max(known + [0]) + 1

    def micros(self, timestamp):
        # Whole nanoseconds first, so that rounding keeps the order of times.
        return round((timestamp - self.origin) * 1e9) / 1000

    def process_name(self):
        args = self.trace.first.get("command_line_args")
        command = " ".join(map(str, args)) if isinstance(args, list) else self.trace.source
        self.metadata("process_name", None, {"name": f"vopo {self.trace.trace_id}: {command}"})

    def thread_track(self, thread):
        tid = thread.native_id
        if tid is None:
            tid = self.next_free_tid
            self.next_free_tid += 1
        self.metadata("thread_name", tid, {"name": formatting.thread_label(self.trace, thread)})
        self.metadata("thread_sort_index", tid, {"sort_index": 0 if self.trace.is_main(thread) else 1})
        return tid

    def metadata(self, name, tid, args):
        event = {"ph": "M", "name": name, "pid": self.pid, "args": args}
        if tid is not None:
            event["tid"] = tid
        self.items.append(event)

    def calls(self, tid, roots, lowest, highest):
        pending = [(roots, lowest, highest)]
        while pending:
            items, low, high = pending.pop()
            cursor = low
            for node in items:
                if not isinstance(node, Call):
                    continue
                start = min(max(node.timestamp, cursor), high)
                stop = node.ret.timestamp if node.ret is not None else high
                stop = min(max(stop, start), high)
                self.complete(tid, node, start, stop)
                cursor = stop
                if node.children:
                    pending.append((node.children, start, stop))

    def complete(self, tid, node, start, stop):
        record = node.call
        args = {
            "path": record.path,
            "frame_id": record.frame_id,
            "arguments": render_arguments(record.raw.get("locals"), ARGS_LIMIT, ARGS_LIMIT),
        }
        if node.call_line is not None:
            args["called_from_line"] = node.call_line
        if node.ret is None:
            args["unfinished"] = True
        elif node.exception is not None:
            args["exception"] = exception_text(node.exception, ARGS_LIMIT)
        else:
            args["return"] = render(node.ret.raw.get("arg"), ARGS_LIMIT)
        begin = self.micros(start)
        event = {
            "ph": "X",
            "name": record.name,
            "cat": "call",
            "pid": self.pid,
            "tid": tid,
            "ts": begin,
            "dur": round(self.micros(stop) - begin, 3),
            "args": args,
        }
        if node.exception is not None:
            event.update(cat="exception", cname=EXCEPTION_COLOR)
        self.items.append(event)

    def marks(self, tid, records, tree):
        spans = _plugin_spans(records)
        for mark in tree.marks:
            record = mark.record
            if mark.is_orphan_return:
                args = {"path": record.path}
                if mark.exception is not None:
                    args["exception"] = exception_text(mark.exception, ARGS_LIMIT)
                else:
                    args["return"] = render(record.raw.get("arg"), ARGS_LIMIT)
                self.instant(tid, record, f"return of {record.name} without a recorded call", args)
            elif record.frame_id in spans:
                self.span_edge(tid, record, spans[record.frame_id])
            else:
                self.instant(tid, record, formatting.plugin_label(record, ARGS_LIMIT), _plugin_args(record))

    def instant(self, tid, record, name, args):
        self.items.append(
            {
                "ph": "i",
                "s": "t",
                "name": name,
                "cat": "plugin" if not record.is_frame else "orphan",
                "pid": self.pid,
                "tid": tid,
                "ts": self.micros(record.timestamp),
                "args": args,
            }
        )

    def span_edge(self, tid, record, span):
        opening, closing = span
        self.items.append(
            {
                "ph": "b" if record is opening else "e",
                "name": formatting.plugin_label(opening, ARGS_LIMIT),
                "cat": "plugin",
                "id": record.frame_id,
                "pid": self.pid,
                "tid": tid,
                "ts": self.micros(max(record.timestamp, opening.timestamp)),
                "args": _plugin_args(record),
            }
        )


def _plugin_spans(records):
    """Frame id to (opening, closing) for plugin records that come in pairs."""
    by_id = {}
    for record in records:
        if record.is_plugin and record.frame_id is not None:
            by_id.setdefault(record.frame_id, []).append(record)
    return {frame_id: tuple(pair) for frame_id, pair in by_id.items() if len(pair) == 2}


def _plugin_args(record):
    args = json_safe(record.plugin_fields)
    args["type"] = record.type
    return args


def _to_json(value, indent):
    return json.dumps(value, indent=indent, ensure_ascii=False, allow_nan=False)

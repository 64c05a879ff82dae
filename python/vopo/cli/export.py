"""``vopo export``: a trace as Trace Event Format JSON or as its document.

The Trace Event Format output opens in Perfetto and chrome://tracing: one
complete ("X") event per call on its thread's track (tid = the thread's
native id), times in microseconds from the start of the trace, with
thread-name metadata. A call that never returned lasts until the trace's
last record. Events are clamped inside their caller and after their
previous sibling, so a clock step never breaks the nesting viewers need.
Two plugin records sharing a frame id (the start and end of a test or a
request) become an async span on a track of its own; other plugin records
and orphan returns become instant events.

The json output is the decoded document, with all saves of the trace id
merged in save order, made JSON-safe (see ``vopo.cli.values.json_safe``).
"""

import datetime
import json
import os
import sys
import tempfile

from vopo.cli import formatting, store
from vopo.cli.calltree import Call, build_tree, end_of
from vopo.cli.document import streamed_trace
from vopo.cli.errors import CliError
from vopo.cli.progress import Progress
from vopo.cli.values import json_safe, render, render_arguments

FORMATS = ("chrome", "json")
ARGS_LIMIT = 500
_PROCESS_ID_WITHOUT_MAIN_THREAD = 1


# Record lists kept in memory up to this size, then on disk, until written.
_SPOOL_SIZE = 1 << 20


def export_trace(db_path, reference, timeout, output_format, output):
    progress = Progress("trace")
    try:
        with store.reading(db_path, timeout) as reader:
            trace_id = reader.resolve(reference)
            info = reader.trace(trace_id)
            reading = reader.read_trace(trace_id, progress)
            if output_format == "chrome":
                text = _to_json(chrome_trace(streamed_trace(info, reading), info.started_at), indent=None)
                write_output(lambda write: write(text + "\n"), output)
            else:
                document = _SpooledDocument(reading)
                write_output(document.write, output)
    except RecursionError:
        raise CliError(f"trace {trace_id} holds values nested too deeply to write as JSON") from None
    finally:
        progress.clear()
    return 0


def chrome_trace(trace, started_at=None):
    """The Trace Event Format object of ``trace``; times count from
    ``started_at`` (a test's own start) when given, else from the profiler's start."""
    start = trace.started_at if started_at is None else started_at
    origin = min([start] + [record.timestamp for record in trace.records])
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


def write_output(produce, output):
    """Calls ``produce(write)`` to write to ``output``, or to stdout when it is
    None or "-". A file is replaced only once all of it is written."""
    if output in (None, "-"):
        produce(sys.stdout.write)
        return
    directory = os.path.dirname(os.path.abspath(output))
    try:
        if os.path.isdir(output):
            raise IsADirectoryError(21, "Is a directory")
        handle = tempfile.NamedTemporaryFile("w", encoding="utf-8", dir=directory, prefix=".vopo-export-",
                                             delete=False)
    except OSError as error:
        raise CliError(f"cannot write {output}: {error.strerror or error}") from None
    try:
        with handle:
            produce(handle.write)
        os.replace(handle.name, output)
    except OSError as error:
        raise CliError(f"cannot write {output}: {error.strerror or error}") from None
    finally:
        if os.path.exists(handle.name):
            os.unlink(handle.name)


class _SpooledDocument:
    """The merged document of every save as indented JSON, the same text
    ``json.dumps(json_safe(merged), indent=2)`` gives, built one record at a
    time: each record list is kept as JSON text, on disk when it is large."""

    def __init__(self, reading):
        self.of_interest = _JsonList("    ")
        self.threads = {}
        for _, thread_key, raw in reading:
            if thread_key is None:
                self.of_interest.add(raw)
            else:
                key = _json_key(thread_key)
                if key not in self.threads:
                    self.threads[key] = _JsonList("      ")
                self.threads[key].add(raw)
        self.head = reading.heads[0]
        self.keys = reading.keys[0]

    def write(self, write):
        write("{")
        for number, key in enumerate(self.keys):
            write(("," if number else "") + "\n  " + _to_json(_json_key(key), None) + ": ")
            if key == "frames_of_interest":
                self.of_interest.write(write, "  ")
            elif key == "frames":
                self._write_threads(write)
            else:
                write(_indented(_to_json(json_safe(self.head[key]), indent=2), "  "))
        write("\n}\n" if self.keys else "}\n")

    def _write_threads(self, write):
        if not self.threads:
            write("{}")
            return
        write("{")
        for number, (key, records) in enumerate(self.threads.items()):
            write(("," if number else "") + "\n    " + _to_json(key, None) + ": ")
            records.write(write, "    ")
        write("\n  }")


class _JsonList:
    def __init__(self, item_indent):
        self.item_indent = item_indent
        self.count = 0
        self.spool = tempfile.SpooledTemporaryFile(max_size=_SPOOL_SIZE, mode="w+", encoding="utf-8")

    def add(self, raw):
        text = _indented(_to_json(json_safe(raw), indent=2), self.item_indent)
        self.spool.write(("," if self.count else "") + "\n" + self.item_indent + text)
        self.count += 1

    def write(self, write, indent):
        if not self.count:
            write("[]")
            return
        write("[")
        self.spool.seek(0)
        while True:
            block = self.spool.read(_SPOOL_SIZE)
            if not block:
                break
            write(block)
        self.spool.close()
        write("\n" + indent + "]")


def _indented(text, indent):
    # JSON strings hold no raw line breaks, so every one is layout.
    return text.replace("\n", "\n" + indent)


def _json_key(key):
    return next(iter(json_safe({key: None})))


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
        else:
            args["return"] = render(node.ret.raw.get("arg"), ARGS_LIMIT)
        begin = self.micros(start)
        self.items.append(
            {
                "ph": "X",
                "name": record.name,
                "cat": "call",
                "pid": self.pid,
                "tid": tid,
                "ts": begin,
                "dur": round(self.micros(stop) - begin, 3),
                "args": args,
            }
        )

    def marks(self, tid, records, tree):
        spans = _plugin_spans(records)
        for mark in tree.marks:
            record = mark.record
            if mark.is_orphan_return:
                args = {"path": record.path, "return": render(record.raw.get("arg"), ARGS_LIMIT)}
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
        if not record.is_frame and record.frame_id is not None:
            by_id.setdefault(record.frame_id, []).append(record)
    return {frame_id: tuple(pair) for frame_id, pair in by_id.items() if len(pair) == 2}


def _plugin_args(record):
    args = json_safe(record.plugin_fields)
    args["type"] = record.type
    return args


def _to_json(value, indent):
    return json.dumps(value, indent=indent, ensure_ascii=False, allow_nan=False)

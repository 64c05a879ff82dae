"""``vopo show``: the call tree of one trace, thread by thread.

Each call is one line, indented under its caller, led by the caller's line
("@42"): qualified name with its arguments, ``path:line``, the time from
call to return, and the returned value, or ``!! KeyError('x')`` when the
call ended by an exception. A call that never returned says so;
a return whose call was not recorded is shown as an orphan where it
happened; plugin records (tests, requests) appear as "*" lines under the
call that was running when they were made. Values are cut to keep one line
per call unless ``--full`` is given; ``--locals`` adds each call's locals
under it, one per line ("| name = value"), as recorded at its return (at its
call when it has not returned).

The trace is read one record at a time. Finished lines go to a temporary
file (on disk once large) until the whole trace is read; only the lines of
calls still waiting for their return stay in memory, completed when it
arrives. So memory follows the depth of the calls, not the trace.
"""

import sys
import tempfile
from types import SimpleNamespace

from vopo.cli import formatting, store
from vopo.cli.document import FRAME, call_site, record_name
from vopo.cli.progress import Progress
from vopo.cli.raised import exception_text
from vopo.cli.values import render, render_arguments, render_locals_lines
from vopo.store.stream import FRAME_EXCEPTION, follows_its_frame
from vopo.values.decode import ext_hook

VALUE_LIMIT = 60
ARGUMENTS_LIMIT = 100
# Deeper calls are not indented further but carry their depth: "[depth 57] ".
MAX_INDENT = 40
_WINDOW = 4096  # lines kept in memory before they go to the spool
_SPOOL_SIZE = 1 << 20
_PARKED = "\x00"  # starts a spooled line that stands for a call still open then


def show_trace(db_path, reference, timeout, full, with_locals=False):
    limits = _Limits(full, with_locals)
    progress = Progress("trace")
    try:
        with store.reading(db_path, timeout) as reader:
            trace_id = reader.resolve(reference)
            info = reader.trace(trace_id)
            children = reader.children(trace_id)
            reading = reader.read_trace(trace_id, progress, ext_hook)
            threads = _read_threads(reading, limits)
    finally:
        progress.clear()
    head = reading.heads[0] if reading.heads else {}
    write = sys.stdout.write
    for line in _header(info, head, threads, children):
        write(formatting.printable(line) + "\n")
    if not threads:
        write("\nno records\n")
    main_id = head.get("main_thread_id")
    for thread in sorted(threads.values(), key=lambda thread: (not thread.is_main(main_id), thread.first_seq)):
        write("\n" + formatting.printable(thread.title(main_id)) + "\n")
        for line in thread.finished_lines():
            write(line + "\n")
    return 0


class _Limits:
    def __init__(self, full, with_locals):
        self.value = None if full else VALUE_LIMIT
        self.arguments = None if full else ARGUMENTS_LIMIT
        self.with_locals = with_locals


def _read_threads(reading, limits):
    threads = {}
    previous = None  # (save, record list, thread) of the record before
    for seq, (save, list_key, raw) in enumerate(reading):
        if follows_its_frame(raw) and previous is not None and previous[:2] == (save, list_key):
            thread = previous[2]
        else:
            native_id = raw.get("thread_native_id")
            key = native_id if native_id is not None else ("name", raw.get("thread"))
            thread = threads.get(key)
            if thread is None:
                thread = threads[key] = _ThreadLines(native_id, raw.get("thread") or "?", seq, limits)
        thread.add(raw)
        previous = (save, list_key, thread)
    return threads


class _OpenCall:
    """A call's line (or an orphan return's), completed when its return comes;
    ``ending`` is the line up to where the outcome ("-> value" or "!! raised") goes;
    ``details`` are the lines printed under it (its locals)."""

    __slots__ = ("text", "depth", "timestamp", "returned", "ending", "details")

    def __init__(self, text, depth, timestamp):
        self.text = text
        self.depth = depth
        self.timestamp = timestamp
        self.returned = False
        self.ending = None
        self.details = ()

    def lines(self):
        yield formatting.printable(self.text)
        for detail in self.details:
            yield formatting.printable(detail)

    def end(self, ending, outcome):
        self.ending = ending
        self.text = ending + outcome
        self.returned = True


class _Lines:
    """One thread's output lines in order, escaped for the terminal."""

    def __init__(self):
        self.window = []  # texts, and the _OpenCall of each call line
        self.spool = tempfile.SpooledTemporaryFile(max_size=_SPOOL_SIZE, mode="w+", encoding="utf-8")
        self.parked = []  # the _OpenCall behind each placeholder in the spool

    def append(self, item):
        self.window.append(item)
        if len(self.window) > _WINDOW:
            # The newest line stays: an exception record may still change it.
            self._flush(self.window[:-1])
            del self.window[:-1]

    def _flush(self, items):
        parts = []
        for item in items:
            if isinstance(item, str):
                parts.append(formatting.printable(item))
            elif item.returned:
                parts.extend(item.lines())
            else:
                parts.append(f"{_PARKED}{len(self.parked)}")
                self.parked.append(item)
        if parts:
            self.spool.write("\n".join(parts) + "\n")

    def __iter__(self):
        self._flush(self.window)
        self.window.clear()
        self.spool.seek(0)
        for line in self.spool:
            line = line[:-1]
            # Escaped lines hold no NUL, so the marker cannot be mistaken.
            if line.startswith(_PARKED):
                yield from self.parked[int(line[1:])].lines()
            else:
                yield line
        self.spool.close()


class _ThreadLines:
    """The lines of one thread, written as its records arrive."""

    def __init__(self, native_id, name, first_seq, limits):
        self.native_id = native_id
        self.name = name
        self.first_seq = first_seq
        self.limits = limits
        self.lines = _Lines()
        self.open = {}  # frame id -> _OpenCall, for calls whose return has not come yet
        self.calls = 0
        self.orphans = 0
        self.plugins = 0
        self.openings = {}  # frame id -> (type, timestamp) of the first plugin record with it
        self.last_return = None  # (frame id, line) of the record before, when it was a return

    def is_main(self, main_id):
        return self.native_id is not None and self.native_id == main_id

    def add(self, raw):
        last_return, self.last_return = self.last_return, None
        if raw["type"] == FRAME_EXCEPTION and last_return is not None and last_return[0] == raw.get("frame_id"):
            line = last_return[1]
            line.end(line.ending, "!! " + exception_text(SimpleNamespace(raw=raw), self.limits.value))
        elif raw["type"] != FRAME:
            self._plugin(raw)
        elif raw["event"] == "call":
            self._call(raw)
        else:
            self._return(raw)
        if raw["type"] == FRAME and self.name == "?" and raw.get("thread"):
            self.name = raw["thread"]

    def _depth_and_site(self, raw):
        site = call_site(raw)
        parent = self.open.get(site.frame_id) if site is not None else None
        prefix = "" if site is None else f"@{site.line} "
        return (0 if parent is None else parent.depth + 1), prefix

    def _call(self, raw):
        depth, site = self._depth_and_site(raw)
        self.calls += 1
        text = f"{_indent(depth)}{site}{record_name(raw)}{_arguments(raw, self.limits)}  {raw.get('path') or '?'}"
        opened = _OpenCall(text, depth, float(raw["timestamp"]))
        self._set_locals(opened, raw)
        self.open[raw["frame_id"]] = opened
        self.lines.append(opened)

    def _return(self, raw):
        frame_id = raw.get("frame_id")
        opened = self.open.pop(frame_id, None) if frame_id is not None else None
        outcome = "-> " + render(raw.get("arg"), self.limits.value)
        if opened is None:
            self.orphans += 1
            depth, site = self._depth_and_site(raw)
            opened = _OpenCall(f"{_indent(depth)}{site}<- {record_name(raw)}", depth, float(raw["timestamp"]))
            opened.end(f"{opened.text}  {raw.get('path') or '?'}  return without a recorded call  ", outcome)
            self.lines.append(opened)
        else:
            elapsed = formatting.duration(float(raw["timestamp"]) - opened.timestamp)
            opened.end(f"{opened.text}  {elapsed}  ", outcome)
        self._set_locals(opened, raw)
        self.last_return = (frame_id, opened)

    def _set_locals(self, opened, raw):
        # Locals at the return replace those at the call, unless it has none.
        if self.limits.with_locals and raw.get("locals"):
            prefix = _indent(opened.depth) + "    | "
            opened.details = [prefix + line for line in render_locals_lines(raw["locals"])]

    def _plugin(self, raw):
        self.plugins += 1
        depth, site = self._depth_and_site(raw)
        text = "* " + formatting.plugin_label_of(raw, self.limits.value)
        frame_id = raw.get("frame_id")
        timestamp = float(raw["timestamp"])
        opening = self.openings.get(frame_id) if frame_id is not None else None
        if opening is not None:
            text += f"  ({formatting.duration(timestamp - opening[1])} after {opening[0]})"
        elif frame_id is not None and raw["type"] != FRAME_EXCEPTION:
            self.openings[frame_id] = (raw["type"], timestamp)
        self.lines.append(f"{_indent(depth)}{site}{text}")

    def finished_lines(self):
        for opened in self.open.values():
            opened.text += "  [no return]"
        self.open.clear()
        return self.lines

    def title(self, main_id):
        counts = [formatting.plural(self.calls, "call")]
        if self.open:
            counts.append(f"{len(self.open)} without return")
        if self.orphans:
            counts.append(formatting.plural(self.orphans, "orphan return"))
        if self.plugins:
            counts.append(formatting.plural(self.plugins, "plugin record"))
        return f"thread {formatting.thread_label_of(self.name, self.native_id, self.is_main(main_id))}: " + ", ".join(
            counts
        )


def _indent(depth):
    if depth < MAX_INDENT:
        return "  " * (depth + 1)
    return "  " * (MAX_INDENT + 1) + f"[depth {depth}] "


def _arguments(raw, limits):
    # A module's locals at its start are its globals: noise, not arguments.
    if raw.get("co_name") == "<module>":
        return ""
    return "(" + render_arguments(raw.get("locals"), limits.arguments, limits.value) + ")"


def _header(info, head, threads, children):
    meta = head.get("meta") if isinstance(head.get("meta"), dict) else {}
    facts = [f"source {info.source or '?'}"]
    if isinstance(meta.get("version"), str):
        facts.append(f"vopo {meta['version']}")
    commit = head.get("current_commit_sha")
    if isinstance(commit, str):
        facts.append(f"commit {commit[:12]}")
    args = head.get("command_line_args")
    command = " ".join(str(arg) for arg in args) if isinstance(args, list) else "?"
    started = info.started_at if info.started_at is not None else head.get("timestamp")
    saves = formatting.plural(info.saves, "save")
    lines = [
        f"trace {info.trace_id}",
        f"  started  {formatting.local_time(started, milliseconds=True)}  ({', '.join(facts)})",
        f"  saved    {formatting.local_time(info.saved_at)}  ({saves}, {formatting.size(info.size)})",
        f"  command  {command}",
        f"  records  {info.frame_records} frame, {info.records - info.frame_records} plugin, in "
        + formatting.plural(len(threads), "thread"),
    ]
    if info.parent_trace_id:
        lines.append(f"  parent   {info.parent_trace_id}")
    for child in children:
        lines.append(f"  child    {child.trace_id}  ({child.source or '?'}, {formatting.local_time(child.saved_at)})")
    return lines

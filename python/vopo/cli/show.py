"""``vopo show``: the call tree of one trace, thread by thread.

Each call is one line, indented under its caller, led by the caller's line
("@42"): qualified name with its arguments, ``path:line``, the time from
call to return, and the returned value, or ``!! KeyError('x')`` when the
call ended by an exception. A call that never returned says so;
a return whose call was not recorded is shown as an orphan where it
happened; plugin records (tests, requests) appear as "*" lines under the
call that was running when they were made. Values are cut to keep one line
per call unless ``--full`` is given; ``--locals`` adds each call's locals
under it, one per line ("| name = value"), as recorded at its return.
"""

import sys

from vopo.cli import formatting, store
from vopo.cli.calltree import Call, build_tree, walk
from vopo.cli.document import load_trace
from vopo.cli.raised import exception_text
from vopo.cli.values import render, render_arguments, render_locals_lines

VALUE_LIMIT = 60
ARGUMENTS_LIMIT = 100
# Deeper calls are not indented further but carry their depth: "[depth 57] ".
MAX_INDENT = 40


def show_trace(db_path, reference, timeout, full, with_locals=False):
    trace = load_trace(store.rows_of_trace(db_path, reference, timeout))
    limits = _Limits(full)
    write = sys.stdout.write
    for line in _header(trace):
        write(line + "\n")
    if not trace.threads:
        write("\nno records\n")
    for thread in _threads_in_order(trace):
        tree = build_tree(thread.records)
        write("\n" + _thread_line(trace, thread, tree) + "\n")
        openings = _plugin_openings(thread.records)
        for depth, item in walk(tree.roots):
            write(_indent(depth) + _item_line(item, limits, openings) + "\n")
            if with_locals and isinstance(item, Call):
                for line in _locals_lines(item):
                    write(_indent(depth) + "    | " + line + "\n")
    return 0


class _Limits:
    def __init__(self, full):
        self.value = None if full else VALUE_LIMIT
        self.arguments = None if full else ARGUMENTS_LIMIT


def _indent(depth):
    if depth < MAX_INDENT:
        return "  " * (depth + 1)
    return "  " * (MAX_INDENT + 1) + f"[depth {depth}] "


def _header(trace):
    meta = trace.meta
    facts = [f"source {trace.source}"]
    if isinstance(meta.get("version"), str):
        facts.append(f"vopo {meta['version']}")
    commit = trace.first.get("current_commit_sha")
    if isinstance(commit, str):
        facts.append(f"commit {commit[:12]}")
    args = trace.first.get("command_line_args")
    command = " ".join(str(arg) for arg in args) if isinstance(args, list) else "?"
    records = trace.records
    frames = sum(1 for record in records if record.is_frame)
    plugins = sum(1 for record in records if record.is_plugin)
    saves = formatting.plural(trace.saves, "save")
    return [
        f"trace {trace.trace_id}",
        f"  started  {formatting.local_time(trace.started_at, milliseconds=True)}  ({', '.join(facts)})",
        f"  saved    {formatting.local_time(trace.saved_at)}  ({saves}, {formatting.size(trace.size)})",
        f"  command  {command}",
        f"  records  {frames} frame, {plugins} plugin, in "
        + formatting.plural(len(trace.threads), "thread"),
    ]


def _threads_in_order(trace):
    return sorted(trace.threads, key=lambda thread: (not trace.is_main(thread), thread.records[0].seq))


def _thread_line(trace, thread, tree):
    counts = [formatting.plural(len(tree.calls), "call")]
    if tree.unfinished:
        counts.append(f"{len(tree.unfinished)} without return")
    if tree.orphan_returns:
        counts.append(formatting.plural(len(tree.orphan_returns), "orphan return"))
    plugins = len(tree.marks) - len(tree.orphan_returns)
    if plugins:
        counts.append(formatting.plural(plugins, "plugin record"))
    return f"thread {formatting.thread_label(trace, thread)}: {', '.join(counts)}"


def _item_line(item, limits, openings):
    site = "" if item.call_line is None else f"@{item.call_line} "
    if isinstance(item, Call):
        return site + _call_line(item, limits)
    record = item.record
    if item.is_orphan_return:
        outcome = _outcome(record, item.exception, limits)
        return f"{site}<- {record.name}  {record.path}  return without a recorded call  {outcome}"
    return site + _plugin_line(record, limits, openings)


def _call_line(node, limits):
    record = node.call
    text = f"{record.name}{_arguments(record, limits)}  {record.path}"
    if node.ret is None:
        return text + "  [no return]"
    return f"{text}  {formatting.duration(node.duration)}  {_outcome(node.ret, node.exception, limits)}"


def _outcome(return_record, exception, limits):
    """``-> value`` for a return, ``!! KeyError('x')`` for an exit by an exception."""
    if exception is not None:
        return "!! " + exception_text(exception, limits.value)
    return "-> " + render(return_record.raw.get("arg"), limits.value)


def _arguments(record, limits):
    # A module's locals at its start are its globals: noise, not arguments.
    if record.raw.get("co_name") == "<module>":
        return ""
    return "(" + render_arguments(record.raw.get("locals"), limits.arguments, limits.value) + ")"


def _locals_lines(node):
    """The call's locals as they were last recorded: at its return, else at its call."""
    at_return = node.ret.raw.get("locals") if node.ret is not None else None
    return render_locals_lines(at_return or node.call.raw.get("locals"))


def _plugin_openings(records):
    """For each plugin record that shares its frame id with an earlier one
    (the end of a test or request), that earlier record."""
    first_by_id = {}
    openings = {}
    for record in records:
        if not record.is_plugin or record.frame_id is None:
            continue
        opening = first_by_id.setdefault(record.frame_id, record)
        if opening is not record:
            openings[record] = opening
    return openings


def _plugin_line(record, limits, openings):
    text = "* " + formatting.plugin_label(record, limits.value)
    opening = openings.get(record)
    if opening is None:
        return text
    elapsed = formatting.duration(record.timestamp - opening.timestamp)
    return f"{text}  ({elapsed} after {opening.type})"

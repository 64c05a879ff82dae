"""``vopo run``: everything around the profiled program, but not the call
that profiles it, which ``vopo.__main__`` makes itself so that no frame of
this package is on the stack when profiling starts.

Before the program: the command line is split where the program begins
(like ``python``, the first word that is not one of our options, or
``-m MODULE``, ends our options), the profiler configuration is built, and
the database is checked so a broken one is reported before the program
runs. After it: a short summary of what was saved, on stderr so that the
program's stdout stays as it was.
"""

import math
import os
import sys
from dataclasses import dataclass, field
from typing import List, Optional

from vopo.cli import formatting, store
from vopo.cli.calltree import build_tree
from vopo.cli.document import load_trace
from vopo.cli.errors import CliError

# Options of ``run`` that take a value as the next word.
VALUE_OPTIONS = ("--db", "--include", "--ignore", "--timeout")
FIRST_CALLS_SHOWN = 10
TRACES_SUMMARISED = 10


@dataclass
class Program:
    script: Optional[str] = None
    module: Optional[str] = None
    args: List[str] = field(default_factory=list)


@dataclass
class Plan:
    program: Program
    db_path: str
    config: dict
    last_row_before: int


def split_command_line(words):
    """(our option words, the program) from the words after ``run``.

    The program is None when the words name none.
    """
    index = 0
    while index < len(words):
        word = words[index]
        if word == "--":
            return words[:index], _script(words[index + 1 :])
        if word == "-m":
            if index + 1 == len(words):
                return words[:index], None
            return words[:index], Program(module=words[index + 1], args=words[index + 2 :])
        if word.startswith("-m") and not word.startswith("--"):
            return words[:index], Program(module=word[2:], args=words[index + 1 :])
        if not word.startswith("-") or word == "-":
            return words[:index], _script(words[index:])
        index += 2 if word in VALUE_OPTIONS else 1
    return words, None


def prepare(program, options):
    """The plan of one run; raises CliError for a missing script or a
    database that could not take the trace."""
    if program.script is not None and not os.path.exists(program.script):
        raise CliError(f"cannot open script {program.script!r}: no such file")
    db_path = os.path.abspath(options.db or store.default_db_path())
    last_row_before = store.last_row_id(db_path, options.timeout)
    config = {
        "sqlite_busy_timeout": math.ceil(options.timeout),
        "threading": options.threading,
        "lightweight_repr": options.lightweight,
        "filters": {"include_frames": list(options.include), "ignore_frames": list(options.ignore)},
    }
    if options.user_repr:
        config["user_repr"] = True
    return Plan(program, db_path, config, last_row_before)


def report(plan, trace_id, timeout):
    """The summary of what the run saved, on stderr."""
    try:
        sys.stdout.flush()
    except (OSError, ValueError):
        pass  # the program closed or broke its stdout; the summary goes to stderr anyway
    try:
        rows = store.rows_after(plan.db_path, plan.last_row_before, timeout)
    except CliError as error:
        print(f"vopo: no trace to summarise: {error}", file=sys.stderr)
        return
    if not rows:
        print(f"vopo: no trace was saved to {plan.db_path} (trace id {trace_id})", file=sys.stderr)
        return
    traces = _traces_of(rows)
    if not traces:
        return
    saved = formatting.plural(len(traces), "trace")
    print(f"vopo: {saved} saved to {plan.db_path}", file=sys.stderr)
    for trace in traces[:TRACES_SUMMARISED]:
        for line in _trace_summary(trace):
            print(line, file=sys.stderr)
    if len(traces) > TRACES_SUMMARISED:
        print(f"  and {len(traces) - TRACES_SUMMARISED} more (list them with: vopo traces --db {plan.db_path})",
              file=sys.stderr)
    _first_calls(traces[0])
    print(f"vopo: see the calls with: vopo show {traces[0].trace_id} --db {plan.db_path}", file=sys.stderr)


def _script(words):
    return Program(script=words[0], args=words[1:]) if words else None


def _traces_of(rows):
    by_id = {}
    for row in rows:
        by_id.setdefault(row.trace_id, []).append(row)
    traces = []
    for trace_rows in by_id.values():
        try:
            traces.append(load_trace(trace_rows))
        except CliError as error:
            print(f"vopo: warning: {error}", file=sys.stderr)
    return traces


def _trace_summary(trace):
    lines = [f"  trace {trace.trace_id}: {formatting.plural(trace.frame_record_count(), 'frame record')}"]
    for thread in trace.threads:
        frames = [record for record in thread.records if record.is_frame]
        calls = sum(1 for record in frames if record.event == "call")
        plugins = sum(1 for record in thread.records if record.is_plugin)
        counts = f"{formatting.plural(len(frames), 'frame record')} ({formatting.plural(calls, 'call')}"
        counts += f", {formatting.plural(len(frames) - calls, 'return')})"
        if plugins:
            counts += f", {formatting.plural(plugins, 'plugin record')}"
        lines.append(f"    thread {formatting.thread_label(trace, thread)}: {counts}")
    return lines


def _first_calls(trace):
    calls = sorted(
        (node for thread in trace.threads for node in build_tree(thread.records).calls),
        key=lambda node: (node.timestamp, node.seq),
    )[:FIRST_CALLS_SHOWN]
    if not calls:
        return
    by_frame_id = {node.call.frame_id: node for node in calls}
    print("vopo: first calls:", file=sys.stderr)
    rows = [(node.call.name, node.call.path, _called_from(node, by_frame_id)) for node in calls]
    widths = [max(len(row[column]) for row in rows) for column in range(2)]
    for name, path, site in rows:
        print(f"  {name.ljust(widths[0])}  {path.ljust(widths[1])}  {site}", file=sys.stderr)


def _called_from(node, by_frame_id):
    site = node.call.call_site
    if site is None:
        return "(called from unrecorded code)"
    caller = by_frame_id.get(site.frame_id)
    if caller is None:
        return f"called from line {site.line}"
    return f"called from {caller.call.name} at {formatting.source_location(caller.call)}:{site.line}"

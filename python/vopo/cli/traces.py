"""``vopo traces``: one line per stored trace id, newest first.

The saves of one trace id are counted together: the time is the last
save's, the frame-record count and the size add up over every save. A
trace whose document cannot be decoded is still listed, marked corrupt,
with a warning on stderr.
"""

import sys
from collections import OrderedDict

from vopo.cli import formatting, store
from vopo.cli.document import load_trace
from vopo.cli.errors import CliError

HEADER = ("TRACE ID", "SAVED", "SOURCE", "FRAMES", "SIZE", "SAVES")
# Columns written flush right: the numbers.
_RIGHT = {3, 4, 5}


def list_traces(db_path, timeout):
    rows = store.all_rows(db_path, timeout)
    if not rows:
        print(f"vopo: {db_path} holds no traces yet", file=sys.stderr)
        return 0
    table = [HEADER]
    for trace_rows in _newest_first(rows):
        table.append(_line(trace_rows))
    sys.stdout.write(_aligned(table))
    return 0


def _newest_first(rows):
    by_id = OrderedDict()
    for row in rows:
        by_id.setdefault(row.trace_id, []).append(row)
    return sorted(by_id.values(), key=lambda trace_rows: trace_rows[-1].row_id, reverse=True)


def _line(trace_rows):
    last = trace_rows[-1]
    stored = sum(len(row.blob) for row in trace_rows if isinstance(row.blob, bytes))
    saved = formatting.local_time(last.saved_at)
    try:
        trace = load_trace(trace_rows)
    except CliError as error:
        print(f"vopo: warning: {error}", file=sys.stderr)
        return (last.trace_id, saved, "corrupt", "?", formatting.size(stored), str(len(trace_rows)))
    return (
        trace.trace_id,
        saved,
        trace.source,
        str(trace.frame_record_count()),
        formatting.size(trace.size),
        str(trace.saves),
    )


def _aligned(table):
    widths = [max(len(row[column]) for row in table) for column in range(len(HEADER))]
    lines = []
    for row in table:
        cells = [
            cell.rjust(width) if column in _RIGHT else cell.ljust(width)
            for column, (cell, width) in enumerate(zip(row, widths))
        ]
        lines.append("  ".join(cells).rstrip() + "\n")
    return "".join(lines)

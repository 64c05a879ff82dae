"""``vopo traces``: one line per stored trace id, newest first, read from
the summaries stored with each trace (no trace document is decoded).

The saves of one trace id are counted together: the time is the last
save's, the frame-record count and the size add up over every save. A
trace whose document cannot be decoded is still listed, marked corrupt,
with a warning on stderr.
"""

import sys

from vopo.cli import formatting, store

HEADER = ("TRACE ID", "SAVED", "SOURCE", "FRAMES", "SIZE", "SAVES", "OUTCOME", "TEST / REQUEST")
# Columns written flush right: the numbers.
_RIGHT = {3, 4, 5}


def list_traces(db_path, timeout, text=None, outcome=None, limit=store.DEFAULT_LIMIT):
    with store.reading(db_path, timeout) as reader:
        wanted = None if limit is None or limit <= 0 else limit
        infos = reader.list_traces(text=text, outcome=outcome, limit=None if wanted is None else wanted + 1)
        more = wanted is not None and len(infos) > wanted
        infos = infos[:wanted]
        total = reader.count_traces(text=text, outcome=outcome) if more else len(infos)
    if not infos:
        filtered = text is not None or outcome is not None
        message = "no trace matches" if filtered else "holds no traces yet"
        print(f"vopo: {formatting.printable(db_path)} {message}", file=sys.stderr)
        return 0
    for info in infos:
        if info.is_corrupt:
            detail = formatting.printable(f"trace {info.trace_id} is corrupt: {info.problem}")
            print(f"vopo: warning: {detail}", file=sys.stderr)
    sys.stdout.write(_aligned([HEADER] + [_line(info) for info in infos]))
    if more:
        print(f"vopo: the newest {len(infos)} of {total} traces; see more with --limit", file=sys.stderr)
    return 0


def _line(info):
    cells = (
        info.trace_id,
        formatting.local_time(info.saved_at),
        "corrupt" if info.is_corrupt else info.source or "?",
        "?" if info.is_corrupt else str(info.frame_records),
        formatting.size(info.size),
        str(info.saves),
        info.outcome or "",
        _test_or_request(info),
    )
    return tuple(formatting.printable(cell) for cell in cells)


def _test_or_request(info):
    if info.node_id:
        return info.node_id
    request = " ".join(part for part in (info.request_method, info.request_path) if part)
    if info.request_status:
        request = f"{request} -> {info.request_status}" if request else info.request_status
    return request


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

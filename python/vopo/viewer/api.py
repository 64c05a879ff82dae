"""The JSON API of the viewer: what each endpoint answers, apart from HTTP.

Each endpoint returns a JSON-able value or raises ``ApiError`` with the
status that fits (404 for a trace, call or thread that does not exist, 400
for a malformed query); the store's own errors carry theirs (503 for a
locked database, 500 for one that cannot be read). A trace is indexed once
and kept while it is among the last few looked at.
"""

import threading

from vopo.viewer import values_json
from vopo.viewer.store_access import OUTCOMES
from vopo.viewer.trace_index import CALL, GROUP, ORPHAN, TraceIndex

PAGE_SIZE = 200
MAX_PAGE_SIZE = 1000
SEARCH_LIMIT = 200
# Traces kept indexed at once; the oldest looked-at is dropped first.
CACHED_TRACES = 4
# The first answer for a trace waits this long at most for its first records.
FIRST_ANSWER_WAIT = 5.0


class ApiError(Exception):
    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


class Viewer:
    def __init__(self, store):
        self.store = store
        self._indexes = {}
        self._lock = threading.Lock()

    # Endpoints

    def traces(self, query):
        offset, limit = _page(query, default=50)
        outcome = query.get("outcome", "")
        if outcome and outcome not in OUTCOMES:
            raise ApiError(400, f"unknown outcome {outcome!r}; one of: {', '.join(OUTCOMES)}")
        total, rows, sources = self.store.list_traces(
            text=query.get("q", ""), outcome=outcome, source=query.get("source", ""), offset=offset, limit=limit
        )
        return {"total": total, "offset": offset, "limit": limit, "traces": rows, "sources": sources,
                "outcomes": list(OUTCOMES)}

    def trace(self, trace_id, query):
        index = self._index(trace_id)
        # A small trace is indexed at once; a large one answers with its first records.
        index.first_page.wait(FIRST_ANSWER_WAIT)
        offset, limit = _page(query)
        threads = []
        main_id = index.document.get("main_thread_id")
        for thread in sorted(index.threads, key=lambda thread: (thread.native_id != main_id, thread.number)):
            roots = thread.roots
            threads.append({
                "number": thread.number,
                "name": thread.name,
                "native_id": thread.native_id,
                "main": thread.native_id is not None and thread.native_id == main_id,
                "total": len(roots),
                "items": self._items(index, roots[offset : offset + limit]),
            })
        return {
            "trace_id": trace_id,
            "complete": index.complete,
            "error": index.error,
            "records": index.records_read,
            "first_time": index.first_time,
            "last_time": index.last_time,
            "source": _meta(index).get("source"),
            "command": index.document.get("command_line_args"),
            "started": index.first_time if index.first_time is not None else index.document.get("timestamp"),
            "threads": threads,
        }

    def children(self, trace_id, node, query):
        index = self._index(trace_id)
        self._check_node(index, node)
        offset, limit = _page(query)
        children = index.children_of(node)
        return {"total": len(children), "offset": offset, "items": self._items(index, children[offset : offset + limit])}

    def node(self, trace_id, node):
        """One item in full: its locals at call and at return, its place in the tree."""
        index = self._index(trace_id)
        self._check_node(index, node)
        item = self._items(index, [node], full=True)[0]
        item["ancestors"] = self._items(index, index.ancestors(node))
        return item

    def frame(self, trace_id, frame_id):
        index = self._index(trace_id)
        node = index.by_frame_id.get(frame_id)
        if node is None and not index.complete:
            node = self._ready_index(trace_id).by_frame_id.get(frame_id)
        if node is None:
            raise ApiError(404, f"no call {frame_id} in trace {trace_id}")
        return self.node(trace_id, node)

    def search(self, trace_id, query):
        index = self._ready_index(trace_id)
        needle = query.get("q", "").strip().lower()
        if not needle:
            return {"total": 0, "items": []}
        found = []
        total = 0
        for node, name in enumerate(index.name):
            if index.kind[node] == CALL and needle in name.lower():
                total += 1
                if len(found) < SEARCH_LIMIT:
                    found.append(node)
        return {"total": total, "items": self._items(index, found)}

    def flame(self, trace_id, query):
        """The calls of one thread that are wide enough to see, with their depth."""
        index = self._ready_index(trace_id)
        number = _integer(query, "thread", 0)
        if not 0 <= number < len(index.threads):
            raise ApiError(404, f"no thread {number} in trace {trace_id}")
        start = _number(query, "start", index.first_time)
        end = _number(query, "end", index.last_time)
        width = max(_integer(query, "width", 1000), 1)
        return {"thread": number, "start": start, "end": end, "blocks": _blocks(index, number, start, end, width)}

    # Indexes

    def prepare(self, trace_id):
        """Start indexing a trace before the page asks for it."""
        self._index(trace_id)

    def _index(self, trace_id):
        with self._lock:
            index = self._indexes.pop(trace_id, None)
            if index is not None and index.error is not None and index.complete:
                index = None
            if index is None:
                row_ids, value_model = self.store.saves(trace_id)
                index = TraceIndex(trace_id, value_model)
                threading.Thread(
                    target=index.build, args=(row_ids, self.store.document), name="vopo-index", daemon=True
                ).start()
            self._indexes[trace_id] = index
            while len(self._indexes) > CACHED_TRACES:
                self._indexes.pop(next(iter(self._indexes)))
        return index

    def _ready_index(self, trace_id):
        index = self._index(trace_id)
        index.ready.wait()
        if index.error is not None:
            raise ApiError(500, index.error)
        return index

    @staticmethod
    def _check_node(index, node):
        if not 0 <= node < len(index.kind):
            raise ApiError(404, f"no item {node} in trace {index.trace_id}")

    # Items

    def _items(self, index, nodes, full=False):
        wanted = {}
        for node in nodes:
            for number in (index.call_record[node], index.return_record[node], index.exception_record.get(node)):
                if number is not None and index.kind[node] != GROUP:
                    row, offset, size = index.record_location(number)
                    wanted.setdefault(row, []).append((number, offset, size))
        records = self._records(wanted)
        legacy = index.value_model < 2
        return [_item(index, node, records, legacy, full) for node in nodes]

    def _records(self, wanted):
        records = {}
        for row, places in wanted.items():
            pieces = self.store.read_ranges(row, [(offset, size) for _, offset, size in places])
            for (number, _, _), data in zip(places, pieces):
                try:
                    records[number] = values_json.unpack(data)
                except Exception:
                    records[number] = None
        return records


def _item(index, node, records, legacy, full):
    kind = index.kind[node]
    start, end = index.start[node], index.end[node]
    item = {
        "id": node,
        "kind": kind,
        "name": index.name[node],
        "path": index.path[node],
        "frame_id": index.frame_id[node],
        "thread": index.thread[node],
        "start": start,
        "end": end,
        "children": len(index.children_of(node)),
    }
    if index.facts[node] is not None:
        item["facts"] = {str(key): values_json.to_json(value, legacy) for key, value in index.facts[node].items()}
    if kind == GROUP:
        return item
    call = records.get(index.call_record[node]) if index.call_record[node] is not None else None
    ret = records.get(index.return_record[node]) if index.return_record[node] is not None else None
    if kind == CALL or kind == ORPHAN:
        _call_values(item, call, ret, legacy, full)
        _exception(item, records.get(index.exception_record.get(node)), legacy)
    return item


def _exception(item, record, legacy):
    if not isinstance(record, dict):
        return
    item["exception"] = {
        "type": record.get("exception_type") if isinstance(record.get("exception_type"), str) else None,
        "value": values_json.to_json(record.get("exception"), legacy),
    }


def _call_values(item, call, ret, legacy, full):
    if isinstance(call, dict):
        if call.get("co_name") != "<module>":
            item["arguments"] = values_json.to_json(call.get("locals"), legacy)
        if full:
            item["locals_at_call"] = values_json.to_json(call.get("locals"), legacy)
    if isinstance(ret, dict):
        item["returned"] = True
        item["return_value"] = values_json.to_json(ret.get("arg"), legacy)
        if full:
            item["locals_at_return"] = values_json.to_json(ret.get("locals"), legacy)


def _blocks(index, thread_number, start, end, width):
    scale = width / max(end - start, 1e-9)
    blocks = []
    pending = [(root, 0) for root in reversed(index.roots_of(thread_number))]
    while pending:
        node, depth = pending.pop()
        node_start = index.start[node]
        node_end = index.end[node] if index.end[node] is not None else index.last_time
        if node_end < start or node_start > end or (node_end - node_start) * scale < 1:
            continue
        if index.kind[node] in (CALL, GROUP):
            blocks.append([node, depth, node_start, node_end, _label(index, node), index.kind[node], index.frame_id[node]])
            pending.extend((child, depth + 1) for child in reversed(index.children_of(node)))
    return blocks


def _label(index, node):
    """A call's name; a test's or request's own words for a group."""
    facts = index.facts[node] or {}
    name = index.name[node]
    if name.endswith("_test"):
        words = ["test", facts.get("node_id") or facts.get("nodeid")]
    elif name.endswith("_request"):
        words = ["request", facts.get("method"), facts.get("path")]
    else:
        return name
    return " ".join(str(word) for word in words if word is not None)


def _meta(index):
    meta = index.document.get("meta")
    return meta if isinstance(meta, dict) else {}


def _page(query, default=PAGE_SIZE):
    offset = max(_integer(query, "offset", 0), 0)
    limit = min(max(_integer(query, "limit", default), 1), MAX_PAGE_SIZE)
    return offset, limit


def _integer(query, key, default):
    try:
        return int(query.get(key, default))
    except (TypeError, ValueError):
        raise ApiError(400, f"{key} must be an integer") from None


def _number(query, key, default):
    try:
        return float(query.get(key, default))
    except (TypeError, ValueError):
        raise ApiError(400, f"{key} must be a number") from None

"""The index of one trace: its call tree per thread, built by streaming the
stored documents, with each call's records located in their blob.

Nodes live in parallel lists, one slot per node, so a trace of millions of
records costs a few small objects per call rather than its decoded records.
A node is a call (with its return, when recorded), a plugin record (a
mark), a return whose call was not recorded (an orphan), or a group: a
plugin record that opens something (a test, a request) together with the
record that closes it, holding the items recorded in between.

Parenthood follows the call sites, as the command line's call tree does:
a record hangs under the recorded call named by its call site, which is
always an earlier call of the same thread, so the tree cannot loop.

Building runs on its own thread; readers may look at the index while it
grows (``complete`` tells when it is done). Lists are only appended to and
slots only filled in, so a reader sees a consistent prefix.
"""

import threading
from array import array

import msgpack

CALL, MARK, ORPHAN, GROUP = "call", "mark", "orphan", "group"
# Enough records for the first screen of a trace that is still being read.
FIRST_PAGE_RECORDS = 2000
# What a call raised, recorded right after its return.
EXCEPTION_RECORD = "frame_exception"
# Keys every plugin record carries; the others are the plugin's own facts.
_STANDARD_KEYS = frozenset(("frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type"))


class TraceCorrupt(Exception):
    """A stored document that is not a trace document."""


class Thread:
    def __init__(self, number, native_id, name):
        self.number = number
        self.native_id = native_id
        self.name = name
        self.roots = []
        self.open_calls = {}  # frame id -> node, while its return is not seen


class TraceIndex:
    def __init__(self, trace_id, value_model=1):
        self.trace_id = trace_id
        self.value_model = value_model
        self.threads = []
        self._threads_by_key = {}
        self.document = {}  # the first save's header entries
        self.error = None
        self.complete = False
        self.records_read = 0
        self.first_time = None
        self.last_time = None
        # One slot per node.
        self.kind = []
        self.name = []
        self.path = []
        self.frame_id = []
        self.start = []
        self.end = []
        self.parent = []
        self.thread = []
        self.call_record = []
        self.return_record = []
        self.facts = []  # plugin fields of marks and groups, else None
        self.exception_record = {}  # call node -> its exception record
        self.children = {}  # node -> its child nodes, in time order
        self.by_frame_id = {}  # call frame id -> node
        # One slot per record: where it lies.
        self.record_row = array("q")
        self.record_offset = array("q")
        self.record_size = array("q")
        self._strings = {}
        self._marked_parents = set()
        self._last_thread = None
        self.ready = threading.Event()
        self.first_page = threading.Event()  # set once FIRST_PAGE_RECORDS are in, or at the end

    # Building

    def build(self, row_ids, open_document):
        """Index the stored documents of ``row_ids``, in save order;
        ``open_document(row_id)`` is a context manager giving the
        document's bytes as an iterator of chunks."""
        try:
            for row_id in row_ids:
                with open_document(row_id) as chunks:
                    self._read_document(row_id, chunks)
            self._group_marks()
        except TraceCorrupt as error:
            self.error = f"trace {self.trace_id} is corrupt: {error}"
        except (msgpack.UnpackException, ValueError, TypeError) as error:
            self.error = f"trace {self.trace_id} is corrupt: {type(error).__name__}: {error}"
        except Exception as error:
            # The builder runs on its own thread: whatever stops it is the page's to show.
            self.error = str(error) or type(error).__name__
        finally:
            self.complete = True
            self.ready.set()
            self.first_page.set()

    def _read_document(self, row_id, chunks):
        unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=0)
        stream = _Stream(unpacker, iter(chunks))
        entries = stream.map_header("the document")
        first = not self.document
        for _ in range(entries):
            key = stream.value()
            if key == "frames_of_interest":
                self._read_records(stream, row_id)
            elif key == "frames":
                for _ in range(stream.map_header('"frames"')):
                    stream.value()
                    self._read_records(stream, row_id)
            else:
                value = stream.value()
                if first and isinstance(key, str):
                    self.document[key] = value

    def _read_records(self, stream, row_id):
        # The loop of the whole index: the unpacker is called directly, and
        # only a record that is not all in yet goes the stream's longer way.
        unpack, tell = stream.unpacker.unpack, stream.unpacker.tell
        rows, offsets, sizes = self.record_row.append, self.record_offset.append, self.record_size.append
        add = self._add
        for _ in range(stream.array_header("a record list")):
            offset = tell()
            try:
                record = unpack()
            except Exception:
                record = stream.value()
            if type(record) is not dict:
                raise TraceCorrupt("a record is not a map")
            number = len(self.record_row)
            rows(row_id)
            offsets(offset)
            sizes(tell() - offset)
            add(record, number)
            self.records_read = number + 1
            if number + 1 == FIRST_PAGE_RECORDS:
                self.first_page.set()

    def _add(self, record, number):
        get = record.get
        timestamp = get("timestamp")
        if type(timestamp) is not float and (type(timestamp) is not int or isinstance(timestamp, bool)):
            raise TraceCorrupt(f"record {number} has no timestamp")
        if self.first_time is None or timestamp < self.first_time:
            self.first_time = timestamp
        if self.last_time is None or timestamp > self.last_time:
            self.last_time = timestamp
        kind = get("type")
        if kind == EXCEPTION_RECORD and self._attach_exception(record, number):
            return
        thread = self._thread_of(get("thread_native_id"), get("thread"))
        if kind == "frame":
            frame_id = get("frame_id")
            if get("event") == "call" and type(frame_id) is str:
                node = self._new_node(thread, record, CALL, timestamp, number, None)
                thread.open_calls[frame_id] = node
                self.by_frame_id[frame_id] = node
                return
            node = thread.open_calls.pop(frame_id, None)
            if node is not None:
                self.end[node] = timestamp
                self.return_record[node] = number
                return
            self._new_node(thread, record, ORPHAN, timestamp, number, None)
            return
        facts = {key: value for key, value in record.items() if key not in _STANDARD_KEYS}
        self._new_node(thread, record, MARK, timestamp, number, facts)

    def _attach_exception(self, record, number):
        node = self.by_frame_id.get(record.get("frame_id"))
        if node is None:
            return False
        self.exception_record[node] = number
        return True

    def _new_node(self, thread, record, kind, timestamp, number, facts):
        node = len(self.kind)
        get = record.get
        site = get("user_code_call_site")
        # A call site names an earlier call of the same thread that is still running.
        parent = thread.open_calls.get(site.get("call_frame_id")) if type(site) is dict else None
        if kind == CALL or kind == ORPHAN:
            name = get("qualname") or get("co_name") or "?"
            path = get("path")
        else:
            name, path = get("type"), None
        strings = self._strings
        name = name if type(name) is str else "?"
        self.name.append(strings.setdefault(name, name))
        self.path.append(strings.setdefault(path, path) if type(path) is str else None)
        frame_id = get("frame_id")
        self.frame_id.append(frame_id if type(frame_id) is str else None)
        self.start.append(timestamp)
        self.end.append(timestamp if kind != CALL else None)
        self.parent.append(parent)
        self.thread.append(thread.number)
        self.call_record.append(number if kind != ORPHAN else None)
        self.return_record.append(number if kind == ORPHAN else None)
        self.facts.append(facts)
        # Last: a reader counts the nodes by their kinds, so every slot of this one is filled by now.
        self.kind.append(kind)
        siblings = thread.roots if parent is None else self.children.setdefault(parent, [])
        siblings.append(node)
        if kind == MARK:
            self._marked_parents.add((thread.number, parent))
        return node

    def _thread_of(self, native_id, name):
        if native_id is None and name is None and self.threads:
            # Records that do not name their thread belong to the one before them.
            return self._last_thread
        key = native_id if isinstance(native_id, int) else ("name", name)
        thread = self._threads_by_key.get(key)
        if thread is None:
            label = name if isinstance(name, str) else "?"
            thread = Thread(len(self.threads), native_id if isinstance(native_id, int) else None, label)
            self._threads_by_key[key] = thread
            self.threads.append(thread)
        self._last_thread = thread
        return thread

    def _group_marks(self):
        """Turn each opening plugin record and the one that closes it (the
        same frame id, among the same siblings) into a group of the items
        recorded between them."""
        for thread_number, parent in self._marked_parents:
            siblings = self.threads[thread_number].roots if parent is None else self.children[parent]
            grouped = _group(self, siblings)
            if grouped is not siblings:
                siblings[:] = grouped

    # Reading

    def roots_of(self, thread_number):
        return self.threads[thread_number].roots

    def children_of(self, node):
        return self.children.get(node, ())

    def ancestors(self, node):
        """The nodes from the root down to ``node``'s parent."""
        chain = []
        parent = self.parent[node]
        while parent is not None:
            chain.append(parent)
            parent = self.parent[parent]
        return chain[::-1]

    def record_location(self, number):
        return self.record_row[number], self.record_offset[number], self.record_size[number]


def _group(index, siblings):
    closers = {}
    for position, node in enumerate(siblings):
        if index.kind[node] == MARK and index.frame_id[node] is not None:
            closers.setdefault(index.frame_id[node], []).append(position)
    pairs = {positions[0]: positions[-1] for positions in closers.values() if len(positions) > 1}
    if not pairs:
        return siblings
    result = []
    position = 0
    while position < len(siblings):
        node = siblings[position]
        last = pairs.get(position)
        if last is None:
            result.append(node)
            position += 1
            continue
        result.append(_make_group(index, node, siblings[last], _group(index, siblings[position + 1:last])))
        position = last + 1
    return result


def _make_group(index, opening, closing, members):
    group = len(index.kind)
    index.name.append(index.name[opening])
    index.path.append(None)
    index.frame_id.append(index.frame_id[opening])
    index.start.append(index.start[opening])
    index.end.append(index.end[closing])
    index.parent.append(index.parent[opening])
    index.thread.append(index.thread[opening])
    index.call_record.append(index.call_record[opening])
    index.return_record.append(index.call_record[closing])
    index.facts.append({**(index.facts[opening] or {}), **(index.facts[closing] or {})})
    index.kind.append(GROUP)
    index.children[group] = members
    for member in members:
        index.parent[member] = group
    return group


class _Stream:
    """A MessagePack stream fed from a chunk reader, read value by value."""

    def __init__(self, unpacker, chunks):
        self.unpacker = unpacker
        self.chunks = chunks

    def map_header(self, what):
        return self._next(self.unpacker.read_map_header, what)

    def array_header(self, what):
        return self._next(self.unpacker.read_array_header, what)

    def value(self):
        return self._next(self.unpacker.unpack, "a value")

    def tell(self):
        return self.unpacker.tell()

    def _next(self, step, what):
        while True:
            try:
                return step()
            except msgpack.OutOfData:
                chunk = next(self.chunks, b"")
                if not chunk:
                    raise TraceCorrupt(f"the document ends early, inside {what}") from None
                self.unpacker.feed(chunk)
            except (msgpack.UnpackValueError, msgpack.FormatError, msgpack.StackError) as error:
                raise TraceCorrupt(f"{what} is not valid MessagePack ({error})") from None

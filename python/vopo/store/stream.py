"""Reading a stored trace document piece by piece.

A document is one MessagePack map whose two record collections,
"frames" (thread native id to records) and "frames_of_interest", hold
nearly all of its bytes. ``DocumentStream`` walks the map and hands out one
decoded record at a time, so reading a trace costs memory for the largest
record, not for the trace. The blob is read in chunks: with ``blobopen``
where the interpreter's sqlite3 has it, else with ``substr()``.
"""

import io
import itertools
import sqlite3

import msgpack

CHUNK_SIZE = 1 << 20
# substr() makes SQLite load the whole blob on every call, so fewer, larger
# chunks cost less time; this bounds the number of calls per blob.
_MAX_SUBSTR_CALLS = 32
RECORD_LISTS = ("frames", "frames_of_interest")
_LATEST_TIME = 1e12
FRAME = "frame"
# Follows the return record of a frame left by an exception, naming no thread.
FRAME_EXCEPTION = "frame_exception"
_EVENTS = ("call", "return")
_END = object()


class DocumentError(Exception):
    """The document is not a well-formed trace; the message says where."""


def blob_chunks(connection, row_id, size):
    """The bytes of the document of row ``row_id`` (``size`` bytes long), in chunks."""
    if hasattr(connection, "blobopen"):
        yield from _blob_chunks(connection, row_id)
        return
    chunk = max(CHUNK_SIZE, -(-size // _MAX_SUBSTR_CALLS))
    query = "SELECT substr(msgpack, ?, ?) FROM traces WHERE id = ?"
    for start in range(1, size + 1, chunk):
        row = connection.execute(query, (start, chunk, row_id)).fetchone()
        if row is None or not row[0]:
            return
        yield bytes(row[0])


def _blob_chunks(connection, row_id):
    blob = connection.blobopen("traces", "msgpack", row_id, readonly=True)
    try:
        while True:
            data = blob.read(CHUNK_SIZE)
            if not data:
                return
            yield data
    finally:
        try:
            blob.close()
        except sqlite3.Error:
            # The connection was closed first, which released the blob with it.
            pass


class _ChunkFile(io.RawIOBase):
    """A read-only file over an iterator of byte chunks."""

    def __init__(self, chunks):
        super().__init__()
        self._chunks = iter(chunks)
        self._pending = memoryview(b"")

    def readable(self):
        return True

    def close(self):
        close = getattr(self._chunks, "close", None)
        if close is not None:
            close()
        super().close()

    def readinto(self, buffer):
        if not self._pending:
            self._pending = memoryview(next(self._chunks, b""))
        count = min(len(buffer), len(self._pending))
        buffer[:count] = self._pending[:count]
        self._pending = self._pending[count:]
        return count


class DocumentStream:
    """One trace document, read from ``chunks`` (an iterable of bytes).

    Each record is checked to have the shape readers rely on unless
    ``check_records`` is false (for callers that check what they use).
    Extension values go through ``ext_hook``, as in ``msgpack.Unpacker``.

    ``records()`` yields ``(thread_key, record)`` in stored order:
    ``thread_key`` is the native id a "frames" list is filed under, or None
    for "frames_of_interest". Every other top-level entry is in ``fields``
    once ``records()`` is exhausted. Raises ``DocumentError``.
    """

    def __init__(self, chunks, check_records=True, ext_hook=msgpack.ExtType):
        self._check_records = check_records
        self._file = _ChunkFile(chunks)
        self._unpacker = msgpack.Unpacker(
            self._file, read_size=CHUNK_SIZE, raw=False, strict_map_key=False, max_buffer_size=0, ext_hook=ext_hook
        )
        self.fields = {}
        self.keys = []  # every top-level key in stored order, the record lists included
        self.record_count = 0

    def records(self):
        unpacker = self._unpacker
        entries = self._header(unpacker.read_map_header, "the document is not a map")
        seen = set()
        for _ in range(entries):
            key = self._read(unpacker.unpack)
            self.keys.append(key)
            if key == "frames":
                seen.add(key)
                yield from self._thread_lists()
            elif key == "frames_of_interest":
                seen.add(key)
                count = self._header(unpacker.read_array_header, '"frames_of_interest" is not a list')
                yield from self._records(None, count)
            else:
                self.fields[key] = self._read(unpacker.unpack)
        self._check_end(seen)

    def close(self):
        """Stops reading: releases the chunks' source (a blob handle, say)."""
        self._file.close()

    def _thread_lists(self):
        unpacker = self._unpacker
        threads = self._header(unpacker.read_map_header, '"frames" is not a map of record lists')
        for _ in range(threads):
            native_id = self._read(unpacker.unpack)
            count = self._header(unpacker.read_array_header, '"frames" is not a map of record lists')
            yield from self._records(native_id, count)

    def _records(self, thread_key, count):
        # Iterating the unpacker decodes in C; it simply stops where the data ends.
        records = itertools.islice(self._unpacker, count)
        end = self.record_count + count
        while True:
            try:
                record = next(records, _END)
            except Exception as error:
                raise _undecodable(error) from None
            if record is _END:
                break
            problem = record_problem(record) if self._check_records else None
            if problem:
                raise DocumentError(f"record {self.record_count}: {problem}")
            self.record_count += 1
            yield thread_key, record
        if self.record_count != end:
            raise _truncated()

    def _check_end(self, seen):
        if "frames_of_interest" not in seen:
            raise DocumentError('"frames_of_interest" is missing or not a list')
        if "frames" not in seen:
            raise DocumentError('"frames" is missing or not a map of record lists')
        if not is_time(self.fields.get("timestamp")):
            raise DocumentError('"timestamp" is missing or not a time')
        try:
            self._unpacker.skip()
        except msgpack.OutOfData:
            return
        except Exception:
            pass
        raise DocumentError("truncated or corrupt MessagePack (extra bytes after the document)")

    def _header(self, read, problem):
        try:
            return read()
        except msgpack.OutOfData:
            raise _truncated() from None
        except Exception:
            raise DocumentError(problem) from None

    def _read(self, read):
        try:
            return read()
        except msgpack.OutOfData:
            raise _truncated() from None
        except Exception as error:
            raise _undecodable(error) from None


def record_problem(raw):
    """What makes ``raw`` unfit as a record, or None."""
    if _is_plain_frame(raw):
        return None
    if not isinstance(raw, dict):
        return f"a {type(raw).__name__}, not a map"
    kind = raw.get("type")
    frame_id = raw.get("frame_id")
    native_id = raw.get("thread_native_id")
    thread = raw.get("thread")
    if not isinstance(kind, str):
        return '"type" is not a string'
    if frame_id is not None and not isinstance(frame_id, str):
        return '"frame_id" is not a string'
    if not is_time(raw.get("timestamp")):
        return '"timestamp" is not a time'
    if native_id is not None and not is_int(native_id):
        return '"thread_native_id" is not an integer'
    if thread is not None and not isinstance(thread, str):
        return '"thread" is not a string'
    site = raw.get("user_code_call_site")
    if site is not None and not is_call_site(site):
        return '"user_code_call_site" is not a call site'
    if kind == FRAME:
        return _frame_problem(raw)
    return None


def _is_plain_frame(raw):
    # The shape nearly every record has, checked with few calls; anything
    # else takes the detailed checks below.
    if type(raw) is not dict:
        return False
    get = raw.get
    timestamp = get("timestamp")
    site = get("user_code_call_site")
    return (
        get("type") == FRAME
        and type(timestamp) is float
        and -_LATEST_TIME < timestamp < _LATEST_TIME
        and type(get("frame_id")) is str
        and get("event") in _EVENTS
        and type(get("path")) is str
        and type(get("co_name")) is str
        and type(get("thread_native_id")) is int
        and type(get("thread")) is str
        and (site is None or (type(site) is dict and type(site.get("call_frame_id")) is str
                              and type(site.get("line_number")) is int))
        and (get("qualname") is None or type(get("qualname")) is str)
    )


def _frame_problem(raw):
    event = raw.get("event")
    if event not in ("call", "return"):
        return '"event" is neither "call" nor "return"'
    if event == "call" and not isinstance(raw.get("frame_id"), str):
        return "a call without a frame id"
    for key in ("path", "co_name"):
        if not isinstance(raw.get(key), str):
            return f'"{key}" is not a string'
    if raw.get("qualname") is not None and not isinstance(raw.get("qualname"), str):
        return '"qualname" is not a string'
    return None


def follows_its_frame(record):
    """Whether ``record`` is an exception record that names no thread: it
    belongs to the thread of the record stored just before it."""
    return record["type"] == FRAME_EXCEPTION and record.get("thread") is None and record.get("thread_native_id") is None


def is_call_site(value):
    return isinstance(value, dict) and isinstance(value.get("call_frame_id"), str) and is_int(value.get("line_number"))


def is_int(value):
    return isinstance(value, int) and not isinstance(value, bool)


def is_time(value):
    # Seconds since the epoch; anything not finite or beyond the year 30000
    # cannot come from a clock.
    return isinstance(value, (int, float)) and not isinstance(value, bool) and abs(value) < _LATEST_TIME


def _undecodable(error):
    return DocumentError(f"truncated or corrupt MessagePack ({type(error).__name__}: {error})")


def _truncated():
    return DocumentError("truncated or corrupt MessagePack (the document ends early)")

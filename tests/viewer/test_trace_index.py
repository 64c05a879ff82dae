"""The index behind the viewer's tree: parenthood by call site, groups of
test and request markers, orphans, threads, and where records lie."""

import contextlib

import msgpack
import pytest

from viewer_traces import MAIN, TraceWriter
from vopo.viewer.trace_index import CALL, GROUP, MARK, ORPHAN, TraceIndex


def index_of(*documents, chunk=7):
    """The index of documents given as dicts, fed in small chunks."""
    blobs = [msgpack.packb(document, use_bin_type=True) for document in documents]

    @contextlib.contextmanager
    def open_document(row_id):
        blob = blobs[row_id]
        yield (blob[start : start + chunk] for start in range(0, len(blob), chunk))

    index = TraceIndex("trc_T")
    index.build(range(len(blobs)), open_document)
    assert index.complete and index.error is None, index.error
    index.blobs = blobs
    return index


def shape(index, nodes):
    """(kind, name, [children...]) for each node, recursively."""
    return [(index.kind[node], index.name[node], shape(index, index.children_of(node))) for node in nodes]


def test_calls_nest_by_call_site_and_markers_group_what_they_bracket():
    writer = TraceWriter("trc_T")
    writer.call("main")
    writer.plugin("start_request", "frm_R", method="GET", path="/cart")
    writer.records[-1]["user_code_call_site"] = {"call_frame_id": writer.stack[-1][0], "line_number": 3}
    writer.call("handler")
    writer.ret(1)
    writer.plugin("end_request", "frm_R", status="200 OK")
    writer.records[-1]["user_code_call_site"] = {"call_frame_id": writer.stack[-1][0], "line_number": 3}
    writer.plugin("lonely", "frm_L")
    writer.ret(None)
    writer.call("never_returns")
    index = index_of(writer.document())
    assert shape(index, index.roots_of(0)) == [
        (CALL, "main", [(GROUP, "start_request", [(CALL, "handler", [])])]),
        (MARK, "lonely", []),
        (CALL, "never_returns", []),
    ]
    group = index.children_of(index.roots_of(0)[0])[0]
    assert index.facts[group] == {"method": "GET", "path": "/cart", "status": "200 OK"}
    assert index.end[index.roots_of(0)[2]] is None


def test_return_without_its_call_is_an_orphan_where_it_happened():
    writer = TraceWriter("trc_T")
    writer.call("outer")
    writer.ret(None)
    stray = dict(writer.records[-1], frame_id=None, qualname="stray", timestamp=writer.tick())
    writer.records.append(stray)
    index = index_of(writer.document())
    assert [(index.kind[node], index.name[node]) for node in index.roots_of(0)] == [(CALL, "outer"), (ORPHAN, "stray")]


def test_threads_stay_apart_and_saves_merge():
    first, second = TraceWriter("trc_T"), TraceWriter("trc_T")
    first.call("work")
    other = first._frame("elsewhere", "b.py:1", "call", "frm_OTHER", None, {}, None)
    other.update(thread="Worker", thread_native_id=200)
    second.stack = list(first.stack)
    second.ret(5)
    document = first.document()
    document["frames"] = {200: [other]}
    index = index_of(document, second.document())
    names = {thread.native_id: thread for thread in index.threads}
    assert (names[MAIN].name, names[200].name) == ("MainThread", "Worker")
    assert [index.name[node] for node in index.roots_of(names[200].number)] == ["elsewhere"]
    (work,) = index.roots_of(names[MAIN].number)
    assert index.end[work] is not None and index.record_row[index.return_record[work]] == 1


def test_records_are_located_in_their_blob():
    writer = TraceWriter("trc_T")
    writer.call("f", x=[1, 2, 3])
    writer.ret("done", raised=("builtins.KeyError", "k"))
    index = index_of(writer.document())
    (call,) = index.roots_of(0)
    for number, expected in [(index.call_record[call], writer.records[0]), (index.return_record[call], writer.records[1]),
                             (index.exception_record[call], writer.records[2])]:
        row, offset, size = index.record_location(number)
        assert msgpack.unpackb(index.blobs[row][offset : offset + size], raw=False) == expected


@pytest.mark.parametrize("document, problem", [
    ([1, 2], "the document is not valid MessagePack"),
    ({"frames": {1: "no list"}}, "a record list is not valid MessagePack"),
    ({"frames_of_interest": [{"type": "frame", "timestamp": True}]}, "record 0 has no timestamp"),
])
def test_damaged_documents_end_the_index_with_an_error(document, problem):
    @contextlib.contextmanager
    def open_document(row_id):
        yield iter([msgpack.packb(document)])

    index = TraceIndex("trc_T")
    index.build([0], open_document)
    assert index.complete and index.error.startswith(f"trace trc_T is corrupt: {problem}")

"""Call trees built from frame ids and call sites.

A call record opens a node under its frame id; the return record with the
same frame id closes it. A node's parent is the recorded call named by its
call site, which is always a call stored earlier in the same thread, so the
tree never depends on the order of unrelated records and cannot loop.
Plugin records hang under the call that was running when they were made
(their own call site). A "frame_exception" record right after a return
marks that call (or orphan return) as ended by an exception. Returns whose call was never recorded become orphan
entries where they occurred. Children are ordered by timestamp.
"""

import math
from dataclasses import dataclass, field
from typing import List, Optional

from vopo.cli.document import Record


@dataclass(eq=False)
class Call:
    call: Record
    ret: Optional[Record] = None
    children: list = field(default_factory=list)
    # The "frame_exception" record when the call ended by an exception.
    exception: Optional[Record] = None

    @property
    def timestamp(self):
        return self.call.timestamp

    @property
    def seq(self):
        return self.call.seq

    @property
    def duration(self):
        """Seconds from call to return; None while the call never returned."""
        return None if self.ret is None else self.ret.timestamp - self.call.timestamp

    @property
    def call_line(self):
        """The line of the caller at which this call happened."""
        site = self.call.call_site
        return None if site is None else site.line


@dataclass(eq=False)
class Mark:
    """A plugin record, or a return whose call was not recorded."""

    record: Record
    exception: Optional[Record] = None

    @property
    def timestamp(self):
        return self.record.timestamp

    @property
    def seq(self):
        return self.record.seq

    @property
    def is_orphan_return(self):
        return self.record.is_frame

    @property
    def call_line(self):
        site = self.record.call_site
        return None if site is None else site.line


@dataclass(eq=False)
class ThreadTree:
    roots: List[object]
    calls: List[Call]
    marks: List[Mark]

    @property
    def unfinished(self):
        return [node for node in self.calls if node.ret is None]

    @property
    def orphan_returns(self):
        return [mark for mark in self.marks if mark.is_orphan_return]


def build_tree(records):
    """The call tree of one thread's records, given in stored order."""
    roots = []
    open_calls = {}
    calls = []
    marks = []
    returned = None  # the call or orphan return that the previous record ended
    for record in records:
        if record.is_frame_exception and _ends(returned, record):
            returned.exception = record
            returned = None
            continue
        returned = None
        if record.is_frame and record.event == "call":
            node = Call(record)
            calls.append(node)
            _parent_list(record, open_calls, roots).append(node)
            open_calls[record.frame_id] = node
            continue
        if record.is_frame:
            node = open_calls.get(record.frame_id) if record.frame_id is not None else None
            if node is not None and node.ret is None:
                node.ret = record
                returned = node
                continue
        mark = Mark(record)
        marks.append(mark)
        _parent_list(record, open_calls, roots).append(mark)
        if mark.is_orphan_return:
            returned = mark
    _order_by_time(roots)
    return ThreadTree(roots, calls, marks)


def walk(roots):
    """(depth, item) for every node and mark, parents before children.

    Iterative, so deeply recursive programs do not exhaust Python's stack.
    """
    pending = [(0, item) for item in reversed(roots)]
    while pending:
        depth, item = pending.pop()
        yield depth, item
        if isinstance(item, Call):
            pending.extend((depth + 1, child) for child in reversed(item.children))


def end_of(trees):
    """The latest timestamp of any record: where unfinished calls are cut."""
    latest = -math.inf
    for tree in trees:
        for node in tree.calls:
            latest = max(latest, node.timestamp, node.ret.timestamp if node.ret else -math.inf)
        for mark in tree.marks:
            latest = max(latest, mark.timestamp)
    return latest


def _ends(returned, exception_record):
    """Whether ``exception_record`` belongs to the return just read."""
    if returned is None:
        return False
    frame_record = returned.call if isinstance(returned, Call) else returned.record
    return frame_record.frame_id is not None and frame_record.frame_id == exception_record.frame_id


def _parent_list(record, open_calls, roots):
    site = record.call_site
    parent = open_calls.get(site.frame_id) if site is not None else None
    return roots if parent is None else parent.children


def _order_by_time(roots):
    lists = [roots]
    while lists:
        items = lists.pop()
        items.sort(key=_time_order)
        lists.extend(item.children for item in items if isinstance(item, Call) and item.children)


def _time_order(item):
    return (item.timestamp, item.seq)

"""Which trace started this process: the parent trace id that a child
process's traces are stored with.

A process that starts traced children sets it with ``set_parent_trace_id``
(for children that share its memory, such as forked ones) or passes it in
the environment variable ``VOPO_PARENT_TRACE_ID``.
"""

import os

ENV_VAR = "VOPO_PARENT_TRACE_ID"
_parent = None


def set_parent_trace_id(trace_id):
    """Makes ``trace_id`` the parent of the traces this process saves from now
    on; None falls back to the environment."""
    global _parent
    if trace_id is not None and not isinstance(trace_id, str):
        raise TypeError(f"trace_id must be a str or None, not {type(trace_id).__name__}")
    _parent = trace_id


def parent_trace_id():
    """The parent trace id of this process, or None."""
    if _parent is not None:
        return _parent
    return os.environ.get(ENV_VAR) or None

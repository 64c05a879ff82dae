"""Helpers shared by every test directory: a minimal host profiler object and
a way to profile a piece of code and decode what was recorded."""

import threading

import msgpack
from vopo import _vopo


class Host:
    """The smallest object the native module accepts as a host profiler."""

    def __init__(self, config=None, db_path="unused.sqlite3", one_trace_per_test=False,
                 trace_id="trc_test", source="tests"):
        self.config = {} if config is None else config
        self.db_path = db_path
        self.one_trace_per_test = one_trace_per_test
        self.trace_id = trace_id
        self.source = source

    def __call__(self):
        pass


def decode(document):
    return msgpack.unpackb(document, raw=False, strict_map_key=False)


def profile(fn, *args, host=None, **config):
    """Runs fn(*args) with profiling on this thread and returns (result, host)."""
    host = host if host is not None else Host(config=config)
    _vopo.register_profiler(host)
    try:
        result = fn(*args)
    finally:
        _vopo.register_noop_profiler()
        threading.setprofile(None)
    return result, host


def recorded(fn, *args, **config):
    """The decoded trace document of profiling fn(*args)."""
    _, host = profile(fn, *args, **config)
    return decode(host.rust_profiler.build_trace())


def frames_named(document, co_name):
    return [r for r in document["frames_of_interest"] if r.get("co_name") == co_name]



"""Helpers for the tests of what profiling leaves visible to the program."""

from vopo import _vopo
from vopo_testing import Host, decode


def started(**config):
    """A host whose profiler runs on this thread."""
    host = Host(config=config)
    _vopo.register_profiler(host)
    return host


def all_records(instance):
    """Every record of the trace, the main thread's first."""
    document = decode(instance.build_trace())
    return [*document["frames_of_interest"], *(r for rs in document["frames"].values() for r in rs)]


def frames_of(records, co_name):
    return [r for r in records if r["type"] == "frame" and r["co_name"] == co_name]

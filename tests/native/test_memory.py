"""Registering, recording and building traces repeatedly keeps memory flat
and leaves no references behind."""

import gc
import sys

from vopo import _vopo
from vopo_testing import Host


def resident_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def work(value):
    local = [value] * 3
    return local


def cycle(host):
    _vopo.register_profiler(host)
    work(1)
    _vopo.register_noop_profiler()
    host.rust_profiler.build_trace()


def test_register_and_build_in_a_loop_keeps_memory_flat():
    config = {"sqlite_busy_timeout": 5}
    host = Host(config=config, source="memory")
    for _ in range(1000):
        cycle(host)
    gc.collect()
    config_refs = sys.getrefcount(config)
    source_refs = sys.getrefcount(host.source)
    before = resident_kib()
    for _ in range(10_000):
        cycle(host)
    gc.collect()
    grown = resident_kib() - before
    refs_after = (sys.getrefcount(config), sys.getrefcount(host.source))
    assert grown < 2048, f"resident memory grew by {grown} KiB"
    assert refs_after == (config_refs, source_refs)


def test_profiler_object_is_freed_with_its_last_reference():
    host = Host()
    _vopo.register_profiler(host)
    work(1)
    _vopo.register_noop_profiler()
    instance = host.rust_profiler
    assert sys.getrefcount(instance) == 3  # host attribute, local, argument
    del host.rust_profiler
    del instance
    gc.collect()


def test_frames_held_on_the_stack_are_released_with_the_profiler():
    import weakref

    class Marker:
        pass

    def outer():
        marker = Marker()
        ref = weakref.ref(marker)
        _vopo.register_noop_profiler()  # leaves outer's frame on the user-code stack
        return ref

    host = Host()
    _vopo.register_profiler(host)
    ref = outer()
    gc.collect()
    # The frame (and so the marker in its locals) is kept while the profiler lives.
    del host.rust_profiler
    gc.collect()
    assert ref() is None

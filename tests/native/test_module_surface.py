"""The module and the VopoProfiler type as Python sees them."""

import sys
import threading
import weakref

import pytest

from vopo import _vopo
from vopo_testing import Host


def registered(config=None):
    host = Host(config=config)
    _vopo.register_profiler(host)
    _vopo.register_noop_profiler()
    return host


def test_module_defines_only_its_two_functions():
    own = {name for name in vars(_vopo) if not name.startswith("__")}
    assert own == {"register_noop_profiler", "register_profiler"}
    assert _vopo.__all__ == ["register_noop_profiler", "register_profiler"]
    assert _vopo.__doc__ == ""
    assert not hasattr(_vopo, "VopoProfiler")


@pytest.mark.parametrize("function, signature", [
    (_vopo.register_profiler, "(profiler)"),
    (_vopo.register_noop_profiler, "()"),
])
def test_module_function_signatures(function, signature):
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    assert function.__module__ == "vopo._vopo"


def test_reimport_gives_the_cached_module():
    import importlib
    assert importlib.import_module("vopo._vopo") is _vopo


def test_profiler_type_surface():
    kind = type(registered().rust_profiler)
    assert kind.__name__ == "VopoProfiler"
    assert kind.__module__ == "vopo._vopo"
    assert kind.__doc__ is None
    assert kind.__bases__ == (object,)
    methods = [name for name in vars(kind) if not name.startswith("__")]
    assert methods == ["save_request_in_db", "build_trace", "mark_stopped", "register_threading_profiler",
                       "trace_id", "parent_trace_id", "replaced_hook_count"]
    signatures = {name: getattr(kind, name).__text_signature__ for name in methods}
    assert signatures == {
        "save_request_in_db": "($self)",
        "build_trace": "($self)",
        "mark_stopped": "($self, /)",
        "register_threading_profiler": "($self, _frame, _event, _arg)",
        "trace_id": "($self, /)",
        "parent_trace_id": "($self, /)",
        "replaced_hook_count": "($self, /)",
    }
    assert all(getattr(kind, name).__doc__ is None for name in methods)


def test_profiler_instances_are_closed():
    instance = registered().rust_profiler
    with pytest.raises(TypeError, match="^No constructor defined$"):
        type(instance)()
    with pytest.raises(AttributeError):
        instance.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)


@pytest.mark.parametrize("call, message", [
    (lambda: _vopo.register_profiler(), "register_profiler() missing 1 required positional argument: 'profiler'"),
    (lambda: _vopo.register_profiler(Host(), Host()), "register_profiler() takes 1 positional argument but 2 were given"),
    (lambda: _vopo.register_profiler(other=1), "register_profiler() got an unexpected keyword argument 'other'"),
    (lambda: _vopo.register_profiler(Host(), profiler=Host()), "register_profiler() got multiple values for argument 'profiler'"),
    (lambda: _vopo.register_noop_profiler(1), None),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    if message is not None:
        assert str(raised.value) == message


@pytest.mark.parametrize("args, kwargs, message", [
    ((None, "call"), {}, "VopoProfiler.register_threading_profiler() missing 1 required positional argument: '_arg'"),
    ((), {}, "VopoProfiler.register_threading_profiler() missing 3 required positional arguments: '_frame', '_event', and '_arg'"),
    ((1, 2, 3, 4), {}, "VopoProfiler.register_threading_profiler() takes 3 positional arguments but 4 were given"),
    ((1, 2, 3), {"_frame": 1}, "VopoProfiler.register_threading_profiler() got multiple values for argument '_frame'"),
])
def test_threading_installer_argument_errors(args, kwargs, message):
    instance = registered().rust_profiler
    with pytest.raises(TypeError) as raised:
        instance.register_threading_profiler(*args, **kwargs)
    assert str(raised.value) == message


@pytest.mark.parametrize("method", ["build_trace", "save_request_in_db", "trace_id", "parent_trace_id",
                                    "replaced_hook_count"])
def test_no_argument_methods_refuse_arguments(method):
    with pytest.raises(TypeError):
        getattr(registered().rust_profiler, method)(1)


def test_register_by_keyword_installs_the_instance_as_profile_object():
    host = Host()
    _vopo.register_profiler(profiler=host)
    try:
        assert sys.getprofile() is host.rust_profiler
    finally:
        _vopo.register_noop_profiler()
    assert sys.getprofile() is None


def test_not_callable_host_changes_nothing():
    before = sys.getprofile()
    with pytest.raises(TypeError, match="^profiler object is not callable$"):
        _vopo.register_profiler(42)
    assert sys.getprofile() is before


def test_threading_installer_installs_trampoline_on_the_calling_thread():
    instance = registered().rust_profiler
    assert instance.register_threading_profiler(None, "call", None) is None
    try:
        assert sys.getprofile() is instance
    finally:
        _vopo.register_noop_profiler()


def current_thread_profile_hook():
    getter = getattr(threading, "getprofile", None)
    return getter() if getter else threading._profile_hook


@pytest.mark.parametrize("value, expected_on", [(True, True), (False, False), (1, False), ("yes", False), (None, False)])
def test_threading_switch(value, expected_on):
    host = Host(config={"threading": value})
    _vopo.register_profiler(host)
    _vopo.register_noop_profiler()
    hook = current_thread_profile_hook()
    threading.setprofile(None)
    if expected_on:
        assert hook == host.rust_profiler.register_threading_profiler
    else:
        assert hook is None


def test_threads_started_after_registration_are_profiled_from_their_second_event():
    def work():
        return 41 + 1

    host = Host(config={"threading": True})
    thread = threading.Thread(target=work, name="worker")
    _vopo.register_profiler(host)
    try:
        thread.start()
        thread.join()
    finally:
        _vopo.register_noop_profiler()
        threading.setprofile(None)
    from vopo_testing import decode
    document = decode(host.rust_profiler.build_trace())
    worker = [r for records in document["frames"].values() for r in records]
    assert [(r["co_name"], r["event"]) for r in worker if r["co_name"] == "work"] == [
        ("work", "call"), ("work", "return")]
    # The run method's call went to the Python-level installer; its return did not.
    assert [(r["co_name"], r["event"]) for r in worker if r["co_name"] == "run"] == []
    assert all(r["thread"] == "worker" for r in worker)


def test_thread_started_before_registration_is_not_profiled():
    started = threading.Event()
    release = threading.Event()

    def waiting():
        started.set()
        release.wait()
        return helper()

    def helper():
        return 1

    thread = threading.Thread(target=waiting)
    thread.start()
    started.wait()
    host = Host(config={"threading": True})
    _vopo.register_profiler(host)
    try:
        release.set()
        thread.join()
    finally:
        _vopo.register_noop_profiler()
        threading.setprofile(None)
    from vopo_testing import decode
    document = decode(host.rust_profiler.build_trace())
    assert document["frames"] == {}
    assert not [r for r in document["frames_of_interest"] if r["co_name"] == "helper"]

"""Plugin matching and plugin records: which entries run for an event, what
their records hold, and failures that are reported while the event goes on."""

import threading
import time
import types

import pytest

import vopo.serialize
from conftest import describe, library_function, plugin_records, run_profiled


def target(x):
    return x + 1


def caller():
    return target(1)  # the call line


CALL_LINE = caller.__code__.co_firstlineno + 1


def frame_ids(records):
    return {r["frame_id"] for r in records if r["type"] == "frame"}


def warnings_of(caplog):
    return [r for r in caplog.records if r.name == "vopo" and r.levelname == "WARNING"]


def test_record_fields_and_the_caller_as_call_site_on_call_and_return(use_plugins):
    use_plugins(describe(["target"], subtype="sub"))
    before = time.time()
    _, records = run_profiled(caller)
    assert [r["type"] for r in records] == ["frame", "enter", "frame", "frame", "leave", "frame"]
    caller_call, enter, target_call, _, leave, _ = records
    assert list(enter) == ["frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site",
                           "type", "subtype"]
    assert enter["frame_id"] == leave["frame_id"] != target_call["frame_id"]
    assert enter["frame_id"].startswith("frm_") and len(enter["frame_id"]) == 30
    assert before <= enter["timestamp"] <= leave["timestamp"] <= time.time()
    assert enter["thread"] == threading.current_thread().name
    assert enter["thread_native_id"] == threading.get_native_id()
    site = {"call_frame_id": caller_call["frame_id"], "line_number": CALL_LINE}
    assert enter["user_code_call_site"] == leave["user_code_call_site"] == site
    assert enter["subtype"] == leave["subtype"] == "sub"


def test_library_frames_get_plugin_records_but_no_frame_records(use_plugins):
    handle = library_function("def handle(request):\n    return request * 2\n", "handle")
    use_plugins(describe(["handle"], path_fragment="somelib/handlers/base.py"))
    result, records = run_profiled(handle, 21)
    assert result == 42
    assert [(r["type"], r["user_code_call_site"], "subtype" in r) for r in records] == [
        ("enter", None, False), ("leave", None, False)]


def test_entries_of_other_paths_never_call(use_plugins):
    calls = []
    use_plugins(describe(["target"], path_fragment="elsewhere/", call=lambda *a: calls.append(a) or True))
    _, records = run_profiled(target, 1)
    assert calls == [] and plugin_records(records) == []


@pytest.mark.parametrize("result, own_records, warnings", [
    (True, 2, 0), (False, 0, 0), (1, 0, 2), ("yes", 0, 2), (None, 0, 2), (ValueError("boom"), 0, 2),
])
def test_call_must_return_a_bool_and_a_failing_entry_spares_the_others(use_plugins, caplog, result,
                                                                        own_records, warnings):
    def call(frame, event, arg, context):
        if isinstance(result, Exception):
            raise result
        return result

    use_plugins(describe(["target"], call=call), describe(["target"], call_type="other", return_type="other"))
    value, records = run_profiled(target, 1)
    assert value == 2
    types_ = [r["type"] for r in records]
    assert types_.count("enter") + types_.count("leave") == own_records
    assert types_.count("other") == 2 and types_.count("frame") == 2
    assert len(warnings_of(caplog)) == warnings
    if warnings and not isinstance(result, Exception):
        assert f"'{type(result).__name__}' object cannot be converted to 'PyBool'" in caplog.text


def test_call_runs_before_the_events_test_and_returns_get_fresh_ids(use_plugins):
    seen = []
    use_plugins(describe(["target"], call=lambda frame, event, arg, ctx: seen.append((event, arg)) or True,
                         events=["return"]),
                describe(["target"], call=lambda frame, event, arg, ctx: event == "return"))
    _, records = run_profiled(lambda: [target(1), target(2)])
    assert seen == [("call", None), ("return", 2), ("call", None), ("return", 3)]
    returns = plugin_records(records)
    assert [r["type"] for r in returns] == ["leave"] * 4
    ids = [r["frame_id"] for r in returns]
    assert len(set(ids)) == 4 and not set(ids) & frame_ids(records)


def test_two_entries_make_two_records_before_the_frame_record_each_with_its_own_ids(use_plugins):
    use_plugins(describe(["target"], call_type="one", return_type="one-end"),
                describe(["target"], call_type="two", return_type="two-end"))
    _, records = run_profiled(target, 1)
    # The return's batch is stored reversed: the frame record comes first.
    assert [r["type"] for r in records] == ["one", "two", "frame", "frame", "two-end", "one-end"]
    one, two, _, _, two_end, one_end = records
    assert one["frame_id"] == one_end["frame_id"] != two["frame_id"] == two_end["frame_id"]


@pytest.mark.parametrize("as_mapping", [dict, types.MappingProxyType])
def test_process_adds_keys_and_replaces_in_place(use_plugins, as_mapping):
    seen = []

    def process(frame, event, arg, context):
        seen.append((frame.f_code.co_name, event, arg, context))
        return as_mapping({"extra": event, "thread": "replaced", "more": 1})

    use_plugins(describe(["target"], process=process))
    _, records = run_profiled(target, 1)
    enter, leave = plugin_records(records)
    assert list(enter) == ["frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site",
                           "type", "extra", "more"]
    assert (enter["thread"], enter["extra"], leave["extra"]) == ("replaced", "call", "return")
    assert seen == [("target", "call", None, {}), ("target", "return", 2, {})]


class NoClass:
    @property
    def __class__(self):
        raise RuntimeError("no class")


@pytest.mark.parametrize("returned, message", [
    (None, "'NoneType' object cannot be converted to 'Mapping'"),
    ({"type": 5}, "'int' object cannot be converted to 'PyString'"),
    (RuntimeError("process failed"), "process failed"),
])
def test_process_failures_are_reported_per_event(use_plugins, caplog, returned, message):
    def process(*args):
        if isinstance(returned, Exception):
            raise returned
        return returned

    use_plugins(describe(["target"], process=process))
    _, records = run_profiled(target, 1)
    assert [r["type"] for r in records] == ["frame", "frame"]
    assert len(warnings_of(caplog)) == 2 and message in caplog.text


def test_raising_mapping_test_goes_to_the_unraisable_hook(use_plugins, caplog, monkeypatch):
    unraisable = []
    monkeypatch.setattr("sys.unraisablehook", unraisable.append)
    returned = NoClass()
    use_plugins(describe(["target"], process=lambda *a: returned, events=["call"]))
    run_profiled(target, 1)
    assert [u.object for u in unraisable] == [returned]
    assert "'NoClass' object cannot be converted to 'Mapping'" in caplog.text


@pytest.mark.parametrize("lightweight", [False, True])
def test_records_go_through_the_chosen_serializer(use_plugins, monkeypatch, lightweight):
    chosen = "dump_msgpack_lightweight_repr" if lightweight else "dump_msgpack"
    other = "dump_msgpack" if lightweight else "dump_msgpack_lightweight_repr"
    real = getattr(vopo.serialize, chosen)
    got = {chosen: [], other: []}
    for name in got:
        monkeypatch.setattr(vopo.serialize, name, lambda value, name=name: got[name].append(value) or real(value))
    use_plugins(describe(["target"]))
    run_profiled(target, 1, lightweight_repr=lightweight)
    assert [v["type"] for v in got[chosen] if isinstance(v, dict) and "frame_id" in v] == ["enter", "leave"]
    assert not any(isinstance(v, dict) and "frame_id" in v for v in got[other])


def test_thread_facts_are_read_afresh_for_each_record(use_plugins):
    def rename_and_call():
        target(1)
        threading.current_thread().name = "renamed"
        target(2)

    thread_name = threading.current_thread().name
    use_plugins(describe(["target"], events=["call"]))
    try:
        _, records = run_profiled(rename_and_call)
    finally:
        threading.current_thread().name = thread_name
    assert [r["thread"] for r in plugin_records(records)] == [thread_name, "renamed"]
    assert {r["thread"] for r in records if r["type"] == "frame"} == {thread_name}

"""Plugin matching and plugin records: which entries run for an event, what
their records hold, and failures that are reported while the event goes on."""

import threading
import time
import types

import pytest

import vopo.serialize
from conftest import describe, library_function, plugin_records, run_profiled
from vopo_testing import profile


def target(x):
    return x + 1


def caller():
    return target(1)  # the call line


CALL_LINE = caller.__code__.co_firstlineno + 1
handle = library_function("def handle(request):\n    return request * 2\n", "handle")


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
    assert (enter["thread"], enter["thread_native_id"]) == (threading.current_thread().name,
                                                            threading.get_native_id())
    # On the return too the call site is the caller, not the returning frame.
    site = {"call_frame_id": caller_call["frame_id"], "line_number": CALL_LINE}
    assert enter["user_code_call_site"] == leave["user_code_call_site"] == site
    assert enter["subtype"] == leave["subtype"] == "sub"


def test_library_frames_get_plugin_records_but_no_frame_records(use_plugins):
    # None stands for "not given" for these four keys.
    absent = dict.fromkeys(["call", "process", "events", "build_context"])
    use_plugins(describe(["handle"], path_fragment="somelib/handlers/base.py", **absent))
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
    def call(*args):
        if isinstance(result, Exception):
            raise result
        return result

    use_plugins(describe(["target"], call=call), describe(["target"], call_type="other", return_type="other"))
    value, records = run_profiled(target, 1)
    kinds = [r["type"] for r in records]
    assert value == 2 and kinds.count("other") == 2 and kinds.count("frame") == 2
    assert kinds.count("enter") + kinds.count("leave") == own_records
    assert len(warnings_of(caplog)) == warnings
    if warnings and not isinstance(result, Exception):
        assert f"'{type(result).__name__}' object cannot be converted to 'PyBool'" in caplog.text


def test_call_runs_before_the_events_test_and_unrecorded_calls_give_fresh_ids(use_plugins):
    seen = []
    use_plugins(describe(["target"], call=lambda frame, event, arg, ctx: seen.append((event, arg)) or True,
                         events=["return"]),
                describe(["target"], call=lambda frame, event, arg, ctx: event == "return"))
    _, records = run_profiled(lambda: [target(1), target(2)])
    assert seen == [("call", None), ("return", 2), ("call", None), ("return", 3)]
    returns = plugin_records(records)
    assert [r["type"] for r in returns] == ["leave"] * 4
    ids = {r["frame_id"] for r in returns}
    assert len(ids) == 4 and not ids & {r["frame_id"] for r in records if r["type"] == "frame"}


def test_two_entries_make_two_records_before_the_frame_record_each_with_its_own_ids(use_plugins):
    use_plugins(describe(["target"], call_type="one", return_type="one-end"),
                describe(["target"], call_type="two", return_type="two-end"))
    _, records = run_profiled(target, 1)
    # A return's batch is stored reversed: its frame record comes first.
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
    """isinstance() raises on it."""

    @property
    def __class__(self):
        raise RuntimeError("no class")


NO_CLASS = NoClass()


def process_fails(*args):
    raise RuntimeError("process failed")


@pytest.mark.parametrize("process, message", [
    (lambda *args: None, "'NoneType' object cannot be converted to 'Mapping'"),
    (lambda *args: NO_CLASS, "'NoClass' object cannot be converted to 'Mapping'"),
    (lambda *args: {"type": 5}, "'int' object cannot be converted to 'PyString'"),
    (process_fails, "process failed"),
])
def test_process_failures_are_reported_per_event(use_plugins, caplog, monkeypatch, process, message):
    unraisable = []
    monkeypatch.setattr("sys.unraisablehook", unraisable.append)
    use_plugins(describe(["target"], process=process))
    _, records = run_profiled(target, 1)
    assert [r["type"] for r in records] == ["frame", "frame"]
    assert len(warnings_of(caplog)) == 2 and message in caplog.text
    assert [u.object for u in unraisable] == ([NO_CLASS] * 2 if "NoClass" in message else [])


@pytest.mark.parametrize("lightweight, chosen", [(False, "dump_msgpack"), (True, "dump_msgpack_lightweight_repr")])
def test_each_record_is_serialized_once_with_the_chosen_serializer(use_plugins, monkeypatch, lightweight, chosen):
    calls = []
    for name in ("dump_msgpack", "dump_msgpack_lightweight_repr"):
        monkeypatch.setattr(vopo.serialize, name, lambda value, name=name: calls.append((name, value["type"])) or b"\xc0")
    use_plugins(describe(["handle"], path_fragment="somelib/"))
    profile(handle, 1, lightweight_repr=lightweight)
    assert calls == [(chosen, "enter"), (chosen, "leave")]


def test_thread_facts_are_read_afresh_for_each_record(use_plugins):
    name = threading.current_thread().name

    def rename_between_calls():
        target(1)
        threading.current_thread().name = "renamed"
        target(2)

    use_plugins(describe(["target"], events=["call"]))
    try:
        _, records = run_profiled(rename_between_calls)
    finally:
        threading.current_thread().name = name
    assert [r["thread"] for r in plugin_records(records)] == [name, "renamed"]
    assert {r["thread"] for r in records if r["type"] == "frame"} == {name}

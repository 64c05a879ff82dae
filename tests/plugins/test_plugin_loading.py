"""Loading plugin descriptions into the plugin table: what is accepted, the
failures that stop a profiler's construction, and how descriptions become
entries."""

import sys

import pytest

import vopo.plugins
from vopo import _vopo
from conftest import describe, plugin_records, run_profiled
from vopo_testing import Host


def boom(config):
    raise ValueError("boom")


@pytest.mark.parametrize("break_loader, message", [
    (lambda mp: mp.setitem(sys.modules, "vopo.plugins", None),
     "vopo.plugins should always be importable: ModuleNotFoundError: import of vopo.plugins halted"),
    (lambda mp: mp.delattr(vopo.plugins, "load_plugin_data"),
     "load_plugin_data should exist: AttributeError: module 'vopo.plugins' has no attribute"),
    (lambda mp: mp.setattr(vopo.plugins, "load_plugin_data", boom),
     "load_plugin_data should be callable: ValueError: boom"),
    (lambda mp: mp.setattr(vopo.plugins, "load_plugin_data", 3),
     "load_plugin_data should be callable: TypeError: 'int' object is not callable"),
    (lambda mp: mp.setattr(vopo.plugins, "load_plugin_data", lambda config: ()),
     "load_plugin_data should return a list: TypeError: 'tuple' object cannot be converted to 'PyList'"),
])
def test_broken_loader_is_a_panic_and_installs_nothing(monkeypatch, break_loader, message):
    break_loader(monkeypatch)
    host = Host()
    with pytest.raises(BaseException) as raised:
        _vopo.register_profiler(host)
    assert type(raised.value).__name__ == "PanicException"
    assert str(raised.value).startswith(message)
    assert sys.getprofile() is None and not hasattr(host, "rust_profiler")


def raising_names():
    yield "f"
    raise RuntimeError("names ran out")


def without(key):
    description = describe(["f"])
    del description[key]
    return description


@pytest.mark.parametrize("description, error, message", [
    (1, TypeError, "'int' object cannot be converted to 'PyDict'"),
    *[(without(key), KeyError, repr(key)) for key in ("co_names", "path_fragment", "call_type", "return_type")],
    ({**without("return_type"), "events": ["call"]}, KeyError, "'return_type'"),
    (describe(["f"], build_context=boom), ValueError, "boom"),
    (describe(["f"], build_context=lambda config: [1]), TypeError, "'list' object cannot be converted to 'PyDict'"),
    (describe(5), TypeError, "'int' object is not iterable"),
    (describe(raising_names()), RuntimeError, "names ran out"),
    (describe(["f", 1]), TypeError, "'int' object cannot be converted to 'PyString'"),
    (describe(["f"], path_fragment=1), TypeError, "'int' object cannot be converted to 'PyString'"),
    (describe(["f"], return_type=b"x"), TypeError, "'bytes' object cannot be converted to 'PyString'"),
    (describe(["f"], subtype=None), TypeError, "'NoneType' object cannot be converted to 'PyString'"),
    (describe(["f"], events="call"), TypeError, "Can't extract `str` to `Vec`"),
    (describe(["f"], events=5), TypeError, "'int' object cannot be converted to 'Sequence'"),
    (describe(["f"], events=["call", 1]), TypeError, "'int' object cannot be converted to 'PyString'"),
    *[(describe(["f"], **{key: "frame_exception"}), ValueError, 'record type "frame_exception"')
      for key in ("call_type", "return_type")],
])
def test_malformed_description_propagates_its_error_and_stops_loading(use_plugins, description, error, message):
    later_contexts = []
    use_plugins(description, describe(["g"], build_context=lambda config: later_contexts.append(1) or {}))
    host = Host()
    with pytest.raises(error) as raised:
        _vopo.register_profiler(host)
    assert message in str(raised.value)
    assert later_contexts == [] and sys.getprofile() is None and not hasattr(host, "rust_profiler")


class CollidingKey(str):
    """Shares the hash of a plugin key and cannot be compared with it."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        raise RuntimeError("no comparison")


@pytest.mark.parametrize("key", ["build_context", "subtype", "call", "process", "events"])
def test_raising_optional_lookup_is_a_panic(use_plugins, key):
    use_plugins({**describe(["f"]), CollidingKey(key): None})
    with pytest.raises(BaseException, match="^a string is always a valid dict key$") as raised:
        _vopo.register_profiler(Host())
    assert type(raised.value).__name__ == "PanicException"


def a():
    return b()


def b():
    return 1


def test_each_co_name_item_is_one_entry_and_contexts_are_built_once(use_plugins):
    config = {"lightweight_repr": False}
    built, seen = [], []

    def build_context(given):
        built.append(given)
        return {"n": len(built)}

    def call(frame, event, arg, context):
        seen.append((frame.f_code.co_name, event, context))
        return True

    # A string yields its characters: "aba" is two entries under "a".
    use_plugins(describe("aba", build_context=build_context, call=call, subtype="s", events=None, process=None))
    _, records = run_profiled(a, host=Host(config=config))
    assert len(built) == 1 and built[0] is config
    assert [(name, event) for name, event, _ in seen] == [
        ("a", "call"), ("a", "call"), ("b", "call"), ("b", "return"), ("a", "return"), ("a", "return")]
    assert all(context is seen[0][2] for _, _, context in seen)
    names = [(r["type"], r["subtype"]) for r in plugin_records(records)]
    assert names == [("enter", "s")] * 3 + [("leave", "s")] * 3


@pytest.mark.parametrize("change, b_types", [(list.pop, []), (lambda l: l.append(describe(["b"])), ["second"])])
def test_list_changed_while_loading_is_read_up_to_its_shorter_length(monkeypatch, change, b_types):
    descriptions = []
    descriptions += [describe(["a"], build_context=lambda config: change(descriptions) or {}),
                     describe(["b"], call_type="second", events=["call"])]
    monkeypatch.setattr(vopo.plugins, "load_plugin_data", lambda config: descriptions)
    _, records = run_profiled(b)
    assert [r["type"] for r in plugin_records(records)] == b_types

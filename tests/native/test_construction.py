"""Building a profiler object from the host object and its configuration:
the order of reads, the strict conversions and their messages."""

import pathlib
import sys

import pytest

from vopo import _vopo
from vopo_testing import Host, decode


def build(host):
    _vopo.register_profiler(host)
    _vopo.register_noop_profiler()
    return host.rust_profiler


def panic_type():
    """PanicException is not in the module; catch it as a BaseException."""
    return BaseException


class RaisingKey(str):
    """A key whose comparison raises, so dict lookups of equal-hash keys fail."""

    def __eq__(self, other):
        raise RuntimeError("comparison failed")

    __hash__ = str.__hash__


class Missing:
    """A host object without one attribute."""

    def __init__(self, missing, **overrides):
        host = Host(**overrides)
        for name in ("config", "db_path", "one_trace_per_test", "trace_id", "source"):
            if name != missing:
                setattr(self, name, getattr(host, name))

    def __call__(self):
        pass


def test_defaults_from_an_empty_config(tmp_path):
    host = Host(db_path=pathlib.Path(tmp_path) / "t.sqlite3", source="src")
    document = decode(build(host).build_trace())
    assert document["trace_id"] == "trc_test"
    assert document["meta"] == {"version": document["meta"]["version"], "source": "src",
                                "use_frame_boundaries": True}
    assert document["frames"] == {} and document["frames_of_interest"] == []


@pytest.mark.parametrize("missing", ["config", "db_path", "one_trace_per_test", "trace_id", "source"])
def test_missing_host_attribute(missing):
    with pytest.raises(AttributeError):
        build(Missing(missing))
    assert sys.getprofile() is None


@pytest.mark.parametrize("overrides, error, message", [
    ({"config": []}, TypeError, "'list' object cannot be converted to 'PyDict'"),
    ({"config": {"sqlite_busy_timeout": -1}}, OverflowError, None),
    ({"config": {"sqlite_busy_timeout": 2**64}}, OverflowError, None),
    ({"config": {"sqlite_busy_timeout": 5.0}}, TypeError, None),
    ({"config": {"sqlite_busy_timeout": "60"}}, TypeError, None),
    ({"config": {"sqlite_busy_timeout": None}}, TypeError, None),
    ({"one_trace_per_test": 1}, TypeError, "'int' object cannot be converted to 'PyBool'"),
    ({"one_trace_per_test": None}, TypeError, "'NoneType' object cannot be converted to 'PyBool'"),
    ({"trace_id": 5}, TypeError, "'int' object cannot be converted to 'PyString'"),
    ({"source": b"x"}, TypeError, "'bytes' object cannot be converted to 'PyString'"),
    ({"source": "\udcff"}, UnicodeEncodeError, None),
    ({"config": {"filters": {"include_frames": "app/"}}}, TypeError, "Can't extract `str` to `Vec`"),
])
def test_invalid_input_fails_and_installs_nothing(overrides, error, message):
    host = Host(**overrides)
    with pytest.raises(error) as raised:
        build(host)
    if message is not None:
        assert str(raised.value) == message
    assert not hasattr(host, "rust_profiler")
    assert sys.getprofile() is None


def test_mapping_that_is_not_a_dict_is_refused():
    import types
    with pytest.raises(TypeError, match="'mappingproxy' object cannot be converted to 'PyDict'"):
        build(Host(config=types.MappingProxyType({})))


@pytest.mark.parametrize("key", ["filters", "sqlite_busy_timeout", "threading", "lightweight_repr"])
def test_raising_key_comparison_is_a_panic(key):
    config = {RaisingKey(key): 1}
    with pytest.raises(BaseException) as raised:
        build(Host(config=config))
    assert type(raised.value).__name__ == "PanicException"
    assert not isinstance(raised.value, Exception)
    assert str(raised.value) == f'config.get("{key}" should not raise.'


@pytest.mark.parametrize("value", [True, 0, 2**64 - 1])
def test_timeout_accepts_integers_and_bools(value):
    build(Host(config={"sqlite_busy_timeout": value}))


class Indexable:
    def __index__(self):
        return 7


def test_timeout_goes_through_the_index_protocol():
    build(Host(config={"sqlite_busy_timeout": Indexable()}))


def test_db_path_is_taken_through_str():
    class Weird:
        def __str__(self):
            raise ValueError("no text")

    with pytest.raises(ValueError, match="no text"):
        build(Host(db_path=Weird()))


def test_reading_order_include_error_wins():
    host = Host(config={"filters": {"include_frames": [1], "ignore_frames": "x"},
                        "sqlite_busy_timeout": -1}, trace_id=5)
    with pytest.raises(TypeError, match="^'int' object cannot be converted to 'PyString'$"):
        build(host)


def test_plugin_loader_runs_before_host_attributes(monkeypatch):
    import vopo.plugins
    calls = []
    monkeypatch.setattr(vopo.plugins, "load_plugin_data", lambda config: calls.append(config) or [])
    config = {}
    with pytest.raises(TypeError):
        build(Host(config=config, one_trace_per_test=0))
    assert calls == [config]


def test_config_changes_after_construction_have_no_effect(tmp_path):
    config = {"lightweight_repr": False}
    host = Host(config=config)
    profiler = build(host)
    config["filters"] = {"ignore_frames": [""]}
    assert decode(profiler.build_trace())["trace_id"] == "trc_test"


def test_second_registration_replaces_the_hook_and_attribute():
    host = Host()
    _vopo.register_profiler(host)
    first = host.rust_profiler
    _vopo.register_profiler(host)
    try:
        assert host.rust_profiler is not first
        assert sys.getprofile() is host.rust_profiler
    finally:
        _vopo.register_noop_profiler()


def test_unsettable_rust_profiler_installs_nothing():
    class Frozen(Host):
        __slots__ = ()

    class Locked:
        __slots__ = ("config", "db_path", "one_trace_per_test", "trace_id", "source")

        def __init__(self):
            for name in self.__slots__:
                setattr(self, name, getattr(Host(), name))

        def __call__(self):
            pass

    with pytest.raises(AttributeError):
        build(Locked())
    assert sys.getprofile() is None

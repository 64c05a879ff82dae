"""Fuzzing the host API's configuration and plugin descriptions: every
configuration either profiles and saves, or is refused with a clean
``TypeError``/``ValueError`` before anything is registered."""

import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vopo
from stored_traces import saved_documents

EXAMPLES = 200

scalars = st.none() | st.booleans() | st.integers(-3, 1 << 65) | st.floats() | st.text(max_size=4) \
    | st.just("\ud800") | st.binary(max_size=3)
anything = st.recursive(scalars, lambda inner: st.lists(inner, max_size=3) | st.tuples(inner)
                        | st.dictionaries(st.text(max_size=4), inner, max_size=3), max_leaves=6)
texts = st.text(max_size=6) | anything
text_lists = st.lists(st.text(max_size=6), max_size=3) | anything


def never_matches(frame, event, arg, context):
    return False


def adds_nothing(frame, event, arg, context):
    return {}


callables = st.sampled_from([None, never_matches, adds_nothing, len]) | anything
descriptions = st.fixed_dictionaries({}, optional={
    "co_names": st.lists(st.sampled_from(["workload", "helper", "x"]), max_size=3) | anything,
    "path_fragment": texts,
    "call_type": texts,
    "return_type": texts,
    "subtype": texts,
    "call": callables,
    "process": callables,
    "events": st.lists(st.sampled_from(["call", "return", "exception"]), max_size=2) | anything,
    "build_context": st.sampled_from([None, lambda config: {}, lambda config: [], dict]) | anything,
    "proces": callables,
})
plugins = st.fixed_dictionaries({}, optional={
    "disable": st.lists(st.sampled_from(["pytest", "wsgi", "pytst"]), max_size=2) | anything,
    "extra": st.lists(descriptions, max_size=2) | anything,
    "enable": anything,
}) | anything
configs = st.fixed_dictionaries({}, optional={
    "filters": st.fixed_dictionaries({}, optional={"include_frames": text_lists, "ignore_frames": text_lists,
                                                   "include": text_lists}) | anything,
    "sqlite_busy_timeout": st.integers(-2, 1 << 65) | anything,
    "threading": st.booleans() | anything,
    "lightweight_repr": st.booleans() | anything,
    "user_repr": st.booleans() | anything,
    "plugins": plugins,
    "redact": st.just(False) | st.lists(st.text(max_size=6), max_size=3) | anything,
    "threads": anything,
}) | anything


def helper(value):
    return [value]


def workload():
    return helper(1)


@pytest.fixture(scope="module")
def db_path(tmp_path_factory):
    return tmp_path_factory.mktemp("fuzz") / "t.sqlite3"


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(config=configs)
def test_any_configuration_profiles_or_is_cleanly_refused(db_path, config):
    try:
        profiler = vopo.Profiler(db_path, config=config)
        profiler.start()
    except (TypeError, ValueError):
        assert sys.getprofile() is None
        return
    try:
        workload()
    finally:
        profiler.stop()
    assert len(saved_documents(db_path, profiler.trace_id)) == 1

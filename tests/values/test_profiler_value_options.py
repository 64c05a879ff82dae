"""The host profiler hands its "user_repr" and "redact" settings to the value
encoders for the time it runs, and leaves the defaults behind."""

import sys

import pytest

import vopo
from vopo import serialize
from vopo.values.decode import ObjectValue, Redacted, UserRepr, decode


class Shown:
    reprs = 0

    def __repr__(self):
        Shown.reprs += 1
        return "Shown"


def keep(value):
    return value


def encoded_while_running(tmp_path, config):
    with vopo.enabled(tmp_path / "t.sqlite3", config=config):
        keep(Shown())
        during = decode(serialize.dump_msgpack({"value": Shown(), "password": 1}))
    after = decode(serialize.dump_msgpack({"value": Shown(), "password": 1}))
    return during, after


@pytest.mark.parametrize("config, value, password", [
    ({}, ObjectValue, Redacted()),
    ({"user_repr": True}, UserRepr, Redacted()),
    ({"redact": ["token"]}, ObjectValue, 1),
    ({"redact": False}, ObjectValue, 1),
], ids=["defaults", "user-repr", "own-redaction", "no-redaction"])
def test_settings_hold_while_profiling_and_are_reset_at_stop(tmp_path, config, value, password):
    Shown.reprs = 0
    during, after = encoded_while_running(tmp_path, config)
    assert isinstance(during["value"], value) and during["password"] == password
    assert isinstance(after["value"], ObjectValue) and after["password"] == Redacted()
    assert (Shown.reprs > 0) is (value is UserRepr)


@pytest.mark.parametrize("config", [{"user_repr": 1}, {"redact": "password"}])
def test_invalid_settings_fail_before_profiling_starts(tmp_path, config):
    profiler = vopo.Profiler(tmp_path / "t.sqlite3", config=config)
    with pytest.raises(TypeError):
        profiler.start()
    assert sys.getprofile() is None
    assert isinstance(decode(serialize.dump_msgpack(Shown())), ObjectValue)

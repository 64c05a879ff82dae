"""The host API checks its configuration before anything is registered, and
passes the redaction setting to the value encoder for the time it runs."""

import cProfile
import logging
import subprocess
import sys
import threading

import msgpack
import pytest

import vopo
from stored_traces import frame_records, saved_documents, stored_rows

REDACTED = 15


def described(**changes):
    description = {"co_names": ["f"], "path_fragment": "app/", "call_type": "a", "return_type": "b"}
    description.update(changes)
    return {k: v for k, v in description.items() if v is not ...}


@pytest.mark.parametrize("config, error, words", [
    ({"plugins": {"disable": ["pytst"]}}, ValueError, ["'pytst'", "did you mean 'pytest'", "pytest, wsgi"]),
    ({"plugins": {"disable": "pytest"}}, TypeError, ['config["plugins"]["disable"]', "list"]),
    ({"plugins": {"enable": []}}, ValueError, ['config["plugins"]', "'enable'"]),
    ({"plugins": ["pytest"]}, TypeError, ['config["plugins"]', "dict"]),
    ({"plugins": {"extra": 1}}, TypeError, ['["extra"]', "list of plugin descriptions"]),
    ({"filters": {"include_frames": "myapp"}}, TypeError, ['["include_frames"]', "list", "not str"]),
    ({"filters": {"ignore_frames": ["ok", 3]}}, TypeError, ['["ignore_frames"]', "not int"]),
    ({"filters": {"include": ["myapp"]}}, ValueError, ["'include'", "did you mean 'include_frames'"]),
    ({"filters": ["myapp"]}, TypeError, ['config["filters"]', "dict", "not list"]),
    ({"sqlite_busy_timeout": 5.0}, TypeError, ["sqlite_busy_timeout", "int", "not float"]),
    ({"sqlite_busy_timeout": True}, TypeError, ["sqlite_busy_timeout", "not bool"]),
    ({"sqlite_busy_timeout": -1}, ValueError, ["sqlite_busy_timeout", "between 0"]),
    ({"threading": "yes"}, TypeError, ['config["threading"]', "True or False", "not str"]),
    ({"lightweight_repr": 1}, TypeError, ['config["lightweight_repr"]', "not int"]),
    ({"user_repr": None}, TypeError, ['config["user_repr"]', "not NoneType"]),
    ({"threads": True}, ValueError, ["'threads'", "did you mean 'threading'", "known keys"]),
    ({1: True}, ValueError, ["unknown key 1"]),
    ({"redact": "password"}, TypeError, ['config["redact"]', "list of names", "False"]),
    ({"redact": True}, TypeError, ['config["redact"]']),
    ({"redact": {"pin"}}, TypeError, ['config["redact"]', "not set"]),
    ({"redact": ["pin", ""]}, ValueError, ['config["redact"]', "empty name"]),
    ({"filters": {"include_frames": ["\ud800"]}}, ValueError, ["include_frames", "not valid Unicode"]),
    ({"plugins": {"extra": [described(return_type=...)]}}, ValueError,
     ['["extra"][0]', 'required key "return_type"']),
    ({"plugins": {"extra": [described(co_names="execute")]}}, TypeError, ['["co_names"]', "list of function names"]),
    ({"plugins": {"extra": [described(subtype=None)]}}, TypeError, ['["subtype"]', "str", "NoneType"]),
    ({"plugins": {"extra": [described(process=3)]}}, TypeError, ['["process"]', "callable"]),
    ({"plugins": {"extra": [described(events="call")]}}, TypeError, ['["events"]', "list"]),
    ({"plugins": {"extra": [described(events=["cal"])]}}, ValueError, ['["events"]', "'cal'", "call, return"]),
    ({"plugins": {"extra": [described(proces=print)]}}, ValueError, ["'proces'", "did you mean 'process'"]),
    ({"plugins": {"extra": [[]]}}, TypeError, ['["extra"][0]', "dict"]),
    ([("threading", True)], TypeError, ["config must be a dict"]),
])
def test_configuration_mistakes_name_the_key_and_register_nothing(tmp_path, config, error, words):
    path = tmp_path / "t.sqlite3"
    with pytest.raises(error) as raised:
        vopo.Profiler(path, config=config)
    assert all(word in str(raised.value) for word in words), str(raised.value)
    # A valid profiler whose configuration goes wrong later is refused at start.
    profiler = vopo.Profiler(path)
    profiler.config = config
    with pytest.raises(error):
        profiler.start()
    assert sys.getprofile() is None and profiler.rust_profiler is None and not path.exists()


@pytest.mark.parametrize("db_path, error", [
    (":memory:", ValueError), ("", ValueError), ("file::memory:?cache=shared", ValueError),
    ("file:traces?mode=memory", ValueError), (3, TypeError), (None, TypeError), ("\udcff.sqlite3", ValueError),
])
def test_databases_that_nothing_could_read_are_refused(db_path, error):
    with pytest.raises(error, match="db_path"):
        vopo.Profiler(db_path)


@pytest.mark.parametrize("config", [
    {},
    None,
    {"filters": None, "plugins": None, "redact": None},
    {"filters": {"include_frames": ("myapp",), "ignore_frames": []}, "sqlite_busy_timeout": 0},
    {"threading": False, "lightweight_repr": True, "redact": False},
    {"plugins": {"disable": ["pytest", "wsgi"], "extra": [described(events=["return"], subtype="mine")]}},
])
def test_valid_configurations_profile_and_save(tmp_path, config):
    with vopo.enabled(tmp_path / "t.sqlite3", config=config) as profiler:
        pass
    assert len(saved_documents(tmp_path / "t.sqlite3", profiler.trace_id)) == 1


def login(user, password, pin, db_password, tokenizer):
    session_token = "t"
    return user


def recorded_locals(tmp_path, config):
    path = tmp_path / "t.sqlite3"
    with vopo.enabled(path, config=config) as profiler:
        login("ann", "hunter2", 1234, "pw", "words")
    [document] = saved_documents(path, profiler.trace_id)
    [end] = [r for r in frame_records(document) if r["co_name"] == "login" and r["event"] == "return"]
    return {name for name, value in end["locals"].items()
            if isinstance(value, msgpack.ExtType) and value.code == REDACTED}


@pytest.mark.parametrize("config, redacted", [
    ({}, {"password", "db_password", "session_token"}),
    ({"redact": ["PIN"]}, {"pin"}),
    ({"redact": ("pin", "token")}, {"pin", "session_token"}),
    ({"redact": []}, set()),
    ({"redact": False}, set()),
])
def test_redaction_follows_the_configuration_and_ends_with_profiling(tmp_path, config, redacted):
    assert recorded_locals(tmp_path, config) == redacted
    # The next profiler without the key gets the encoder's default list again.
    assert recorded_locals(tmp_path, {}) == {"password", "db_password", "session_token"}


@pytest.mark.parametrize("words, redacted, status", [
    ([], {"password", "db_password", "session_token"}, 0),
    (["--redact", "pin", "--redact", "user"], {"pin", "user"}, 0),
    (["--no-redact"], set(), 0),
    (["--no-redact", "--redact", "pin"], None, 1),
])
def test_vopo_run_redaction_options(tmp_path, words, redacted, status):
    (tmp_path / "login.py").write_text(
        "def login(user, password, pin, db_password, tokenizer):\n    session_token = 't'\n\n"
        "login('ann', 'hunter2', 1234, 'pw', 'words')\n")
    command = [sys.executable, "-m", "vopo", "run", "--db", str(tmp_path / "t.sqlite3"), *words, "login.py"]
    result = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert result.returncode == status, result.stderr
    if redacted is None:
        assert "contradict" in result.stderr and not (tmp_path / "t.sqlite3").exists()
        return
    [(_, _, document)] = stored_rows(tmp_path / "t.sqlite3")
    [end] = [r for r in frame_records(document) if r["co_name"] == "login" and r["event"] == "return"]
    assert {name for name, value in end["locals"].items()
            if isinstance(value, msgpack.ExtType) and value.code == REDACTED} == redacted


def test_a_refused_start_leaves_the_default_redaction(tmp_path, monkeypatch):
    def broken_plugins(config):
        raise RuntimeError("no plugins today")

    monkeypatch.setattr("vopo.plugins.load_plugin_data", broken_plugins)
    with pytest.raises(BaseException, match="no plugins today"):
        vopo.Profiler(tmp_path / "t.sqlite3", config={"redact": []}).start()
    monkeypatch.undo()
    assert recorded_locals(tmp_path, {}) == {"password", "db_password", "session_token"}


def replace_hook_with_nothing():
    sys.setprofile(None)
    return None


def replace_hook_with_cprofile():
    profile = cProfile.Profile()
    profile.enable()
    return profile


class ThreadsThatReplacedTheHook:
    """Two profiled threads that replace their hook and run on until disabled."""

    def __init__(self):
        self.finish = threading.Event()
        replaced = [threading.Event(), threading.Event()]
        self.threads = [threading.Thread(target=self.replace, args=(event,)) for event in replaced]
        for thread in self.threads:
            thread.start()
        for event in replaced:
            event.wait()

    def replace(self, replaced):
        login("ann", "pw", 1, "pw", "t")
        sys.setprofile(None)
        replaced.set()
        self.finish.wait()

    def disable(self):
        self.finish.set()
        for thread in self.threads:
            thread.join()


@pytest.mark.parametrize("replace, config, threads", [
    (replace_hook_with_nothing, {}, "on 1 thread;"),
    pytest.param(replace_hook_with_cprofile, {}, "on 1 thread;", marks=pytest.mark.skipif(
        sys.version_info >= (3, 12), reason="from 3.12 cProfile uses sys.monitoring and leaves the profile hook")),
    (ThreadsThatReplacedTheHook, {"threading": True}, "on 2 threads;"),
])
def test_stop_says_when_the_program_replaced_the_profile_hook(tmp_path, caplog, replace, config, threads):
    profiler = vopo.Profiler(tmp_path / "t.sqlite3", config=config)
    profiler.start()
    replacement = replace()
    with caplog.at_level(logging.WARNING, logger="vopo"):
        profiler.stop()
    if replacement is not None:
        replacement.disable()
    [message] = [record.getMessage() for record in caplog.records if record.name == "vopo"]
    assert "replaced the profile hook" in message and threads in message and profiler.trace_id in message


def test_stop_is_quiet_when_the_hook_stayed(tmp_path, caplog):
    with caplog.at_level(logging.WARNING, logger="vopo"):
        with vopo.enabled(tmp_path / "t.sqlite3"):
            pass
    assert not [record for record in caplog.records if record.name == "vopo"]

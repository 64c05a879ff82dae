import contextlib
import os
import re
import subprocess
import sys
import time

import msgpack
import pytest

import vopo
from vopo import store
from vopo.profiler import profile_module, profile_script

PACKAGE_ROOT = os.path.dirname(os.path.dirname(vopo.__file__))
EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(__file__))), "examples")
CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"
TRACE_ID = re.compile(r"trc_[0-7][0-9A-HJKMNP-TV-Z]{25}")


def ulid_milliseconds(trace_id):
    value = 0
    for character in trace_id[len("trc_"):]:
        value = value * 32 + CROCKFORD.index(character)
    return value >> 80


def test_host_attributes_are_what_the_native_module_reads(tmp_path):
    config = {"threading": True}
    profiler = vopo.Profiler(tmp_path / "t.sqlite3", config=config, source="tests")
    assert profiler.config == config and type(profiler.config) is dict
    assert (profiler.db_path, profiler.source, profiler.one_trace_per_test) == (tmp_path / "t.sqlite3", "tests", False)
    assert callable(profiler) and vopo.Profiler("x").config == {}
    assert vopo.enabled("x", one_trace_per_test=True).one_trace_per_test is True


def test_trace_ids_are_fresh_ulids_of_the_current_time():
    before = time.time_ns() // 1_000_000
    ids = [vopo.Profiler("x").trace_id for _ in range(2000)]
    after = time.time_ns() // 1_000_000
    assert all(TRACE_ID.fullmatch(trace_id) for trace_id in ids)
    assert len(set(ids)) == len(ids)
    assert all(before <= ulid_milliseconds(trace_id) <= after for trace_id in ids)
    assert vopo.Profiler("x", trace_id="trc_given").trace_id == "trc_given"


def test_importing_the_package_does_not_load_the_native_module():
    code = "import sys, vopo; print(vopo.__version__, 'vopo._vopo' in sys.modules)"
    result = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT),
                            capture_output=True, text=True, check=True)
    assert result.stdout.split() == ["0.1.0", "False"]


def test_a_missing_script_exits_as_python_does(tmp_path, capsys):
    assert profile_script(tmp_path / "missing.py", [], db_path=tmp_path / "t.sqlite3") == (2, None)
    assert "can't open file" in capsys.readouterr().err
    assert not (tmp_path / "t.sqlite3").exists()


# Everything below runs the native profiler.


@pytest.fixture
def native():
    return pytest.importorskip("vopo._vopo")


def saved_documents(path, trace_id):
    with store.open_store(path) as reader:
        documents = [reader.document(save.row_id) for save in reader.saves(trace_id)]
    return [msgpack.unpackb(document, raw=False, strict_map_key=False) for document in documents]


def recorded_names(document):
    records = list(document["frames_of_interest"])
    for thread_records in document["frames"].values():
        records += thread_records
    return {record["co_name"] for record in records if record.get("type") == "frame"}


def profiled_work(number):
    return number * 2


@pytest.mark.parametrize("error", [None, KeyError("from the body")])
def test_enabled_saves_what_its_body_ran_and_lets_its_exception_through(native, tmp_path, error):
    path = tmp_path / "t.sqlite3"
    with pytest.raises(KeyError) if error else contextlib.nullcontext() as raised:
        with vopo.enabled(db_path=path, source="tests") as profiler:
            profiled_work(1)
            if error:
                raise error
    assert raised is None or raised.value is error
    [document] = saved_documents(path, profiler.trace_id)
    assert document["meta"]["source"] == "tests" and document["trace_id"] == profiler.trace_id
    names = recorded_names(document)
    assert "profiled_work" in names and not names & {"start", "stop", "__enter__", "__exit__"}


def test_decorator_start_and_stop_save_under_one_trace_id(native, tmp_path):
    path = tmp_path / "t.sqlite3"
    profiler = vopo.Profiler(path)
    decorated = profiler(profiled_work)
    assert decorated(3) == 6 and decorated(4) == 8
    profiler.start()
    assert profiler.stop() == profiler.trace_id
    assert len(saved_documents(path, profiler.trace_id)) == 3
    with pytest.raises(RuntimeError):
        profiler.stop()
    per_test = vopo.Profiler(tmp_path / "other.sqlite3", one_trace_per_test=True)
    per_test.start()
    assert per_test.stop() is None and not (tmp_path / "other.sqlite3").exists()


SCRIPT = """
import sys
def script_work():
    return 5
script_work()
print(__name__, sys.argv[1:], sys.path[0] == {directory!r})
{ending}
"""
RUNNER = (
    "import sys; from vopo.profiler import profile_script\n"
    "sys.exit(profile_script(sys.argv[1], sys.argv[3:], db_path=sys.argv[2])[0])"
)


@pytest.mark.parametrize("ending", ["", "sys.exit(3)", "sys.exit('bye')", "raise ValueError('boom')", "def f(:"])
def test_profile_script_behaves_exactly_like_python(native, tmp_path, ending):
    script = tmp_path / "prog.py"
    script.write_text(SCRIPT.format(directory=str(tmp_path), ending=ending))
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    plain, profiled = (subprocess.run([sys.executable, *command, "a", "b"], env=env, capture_output=True, text=True)
                       for command in ([str(script)], ["-c", RUNNER, str(script), str(tmp_path / "t.sqlite3")]))
    assert (profiled.returncode, profiled.stdout, profiled.stderr) == (plain.returncode, plain.stdout, plain.stderr)
    with store.open_store(tmp_path / "t.sqlite3") as reader:
        [row] = reader.list_traces()
    names = recorded_names(saved_documents(tmp_path / "t.sqlite3", row.trace_id)[0])
    assert ("script_work" in names) == ("def f" not in ending)


def test_profile_script_restores_argv_and_path(native, tmp_path, capsys):
    script = tmp_path / "prog.py"
    script.write_text(SCRIPT.format(directory=str(tmp_path), ending=""))
    argv, path = sys.argv[:], sys.path[:]
    code, trace_id = profile_script(script, ["a"], db_path=tmp_path / "t.sqlite3")
    assert code == 0
    assert (sys.argv, sys.path, capsys.readouterr().out) == (argv, path, "__main__ ['a'] True\n")
    # The trace names the program's command line, not the runner's.
    [document] = saved_documents(tmp_path / "t.sqlite3", trace_id)
    assert document["command_line_args"] == [str(script), "a"]


def test_profile_module_runs_like_python_dash_m(native, tmp_path, capsys, monkeypatch):
    (tmp_path / "modprog.py").write_text(SCRIPT.format(directory=str(tmp_path), ending=""))
    monkeypatch.chdir(tmp_path)
    code, trace_id = profile_module("modprog", ["x"], db_path=tmp_path / "t.sqlite3")
    assert code == 0 and capsys.readouterr().out == "__main__ ['x'] True\n"
    assert "script_work" in recorded_names(saved_documents(tmp_path / "t.sqlite3", trace_id)[0])
    assert profile_module("no_such_module_here", [], db_path=tmp_path / "t.sqlite3")[0] == 1


def test_example_program_records_its_threads(native, tmp_path, capsys):
    path = tmp_path / "t.sqlite3"
    code, trace_id = profile_script(os.path.join(EXAMPLES, "shop.py"), [], db_path=path, config={"threading": True})
    assert code == 0 and '"orders_served": 6' in capsys.readouterr().out
    [document] = saved_documents(path, trace_id)
    assert {"serve", "reserve", "total_cents", "price", "from_row"} <= recorded_names(document)
    assert len(document["frames"]) == 3

"""Child processes: under ``vopo run`` every Python child (multiprocessing
with each start method, subprocess, a plain fork) saves its own trace into
the same database, linked to the trace of the process that started it."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

from stored_traces import called_names, stored_rows

HANG_GUARD = 120  # seconds; only stops a hung run, never judges speed

PROGRAM = textwrap.dedent('''
    import multiprocessing, os, subprocess, sys, time

    CHILD_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "child.py")

    def before_fork():
        return 1

    def in_child(x):
        return x * 2

    def run_child_script():
        subprocess.run([sys.executable, CHILD_SCRIPT], check=True)

    def wait_for_termination(started):
        started.set()
        time.sleep(60)

    def with_multiprocessing(method, target, *args):
        process = multiprocessing.get_context(method).Process(target=target, args=args)
        process.start()
        if target is wait_for_termination:
            args[0].wait()
            process.terminate()
        process.join()
        print("exitcode", process.exitcode, flush=True)

    def start(how):
        before_fork()
        if how == "subprocess":
            run_child_script()
        elif how == "os.fork":
            pid = os.fork()
            if pid == 0:
                in_child(1)
                sys.exit(0)
            os.waitpid(pid, 0)
        elif how == "spawn then subprocess":
            with_multiprocessing("spawn", run_child_script)
        elif how == "terminated":
            with_multiprocessing("fork", wait_for_termination, multiprocessing.get_context("fork").Event())
        else:
            with_multiprocessing(how, in_child, 1)

    if __name__ == "__main__":
        start(sys.argv[1])
''')

CHILD = textwrap.dedent('''
    import os, sys

    def in_child(x):
        return x * 2

    in_child(1)
    folder = os.path.join("children", "startup")
    print("start-up folder on sys.path:", any(entry.endswith(folder) for entry in sys.path))
''')


@pytest.fixture
def program(tmp_path):
    (tmp_path / "program.py").write_text(PROGRAM)
    (tmp_path / "child.py").write_text(CHILD)
    return tmp_path


def vopo_run(folder, *words, env=None):
    command = [sys.executable, "-m", "vopo", "run", "--db", str(folder / "t.sqlite3"), *words]
    return subprocess.run(command, cwd=folder, capture_output=True, text=True, timeout=HANG_GUARD,
                          env=env)


def lineage(folder):
    """The root trace and {trace id: (parent id, names called)} of the others."""
    rows = stored_rows(folder / "t.sqlite3")
    roots = [(trace_id, document) for trace_id, parent, document in rows if parent is None]
    assert len(roots) == 1, rows
    others = {trace_id: (parent, called_names(document)) for trace_id, parent, document in rows if parent}
    assert len(others) == len(rows) - 1, "each child saves once, under a trace id of its own"
    return roots[0], others


@pytest.mark.parametrize("how", ["fork", "spawn", "forkserver", "subprocess", "os.fork"])
def test_each_child_saves_its_own_trace_linked_to_the_parent(program, how):
    result = vopo_run(program, "program.py", how)
    assert result.returncode == 0, result.stderr
    (root_id, root), others = lineage(program)
    assert {"start", "before_fork"} <= called_names(root)
    assert "in_child" not in called_names(root)
    [(parent, names)] = others.values()
    assert parent == root_id
    # The child records what it did, not what the parent did before it.
    assert "in_child" in names and "before_fork" not in names and "start" not in names
    assert "start-up folder on sys.path: True" not in result.stdout
    assert result.stderr.count("traces saved to") == 1, "only the process vopo run started reports"


def test_grandchildren_are_linked_to_the_child_that_started_them(program):
    result = vopo_run(program, "program.py", "spawn then subprocess")
    assert result.returncode == 0, result.stderr
    (root_id, _), others = lineage(program)
    [spawned] = [trace_id for trace_id, (parent, _) in others.items() if parent == root_id]
    [grandchild] = [names for parent, names in others.values() if parent == spawned]
    assert "in_child" in grandchild and "run_child_script" in others[spawned][1]


def test_no_children_profiles_the_program_alone(program):
    result = vopo_run(program, "--no-children", "program.py", "spawn")
    assert result.returncode == 0, result.stderr
    assert len(stored_rows(program / "t.sqlite3")) == 1


def test_the_programs_own_sitecustomize_still_runs_in_children(program, tmp_path_factory):
    own = tmp_path_factory.mktemp("own")
    marker = own / "marker"
    (own / "sitecustomize.py").write_text(f"open({str(marker)!r}, 'a').write('ran\\n')\n")
    env = dict(os.environ, PYTHONPATH=str(own))
    result = vopo_run(program, "program.py", "subprocess", env=env)
    assert result.returncode == 0, result.stderr
    # Once in the process vopo run started, once in its child.
    assert marker.read_text() == "ran\nran\n"
    assert len(stored_rows(program / "t.sqlite3")) == 2


def test_a_terminated_multiprocessing_child_saves_its_trace(program):
    result = vopo_run(program, "program.py", "terminated")
    assert result.returncode == 0, result.stderr
    assert "exitcode -15" in result.stdout
    (root_id, _), others = lineage(program)
    [(parent, names)] = others.values()
    assert parent == root_id and "wait_for_termination" in names


SLEEPER = textwrap.dedent('''
    import signal, sys, time

    def wait():
        print("waiting", flush=True)
        time.sleep(60)

    if sys.argv[1:] == ["own handler"]:
        signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(3))
    wait()
''')


@pytest.mark.parametrize("how, status", [([], -signal.SIGTERM), (["own handler"], 3)])
def test_sigterm_saves_the_trace_and_keeps_the_exit_status(tmp_path, how, status):
    (tmp_path / "sleeper.py").write_text(SLEEPER)
    command = [sys.executable, "-m", "vopo", "run", "--db", str(tmp_path / "t.sqlite3"), "sleeper.py", *how]
    plain = [sys.executable, "sleeper.py", *how]
    for words in (plain, command):
        process = subprocess.Popen(words, cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        assert process.stdout.readline() == "waiting\n"
        process.send_signal(signal.SIGTERM)
        process.communicate(timeout=HANG_GUARD)
        assert process.returncode == status
    [(_, parent, document)] = stored_rows(tmp_path / "t.sqlite3")
    assert parent is None and "wait" in called_names(document)


FORKING_API_USER = textwrap.dedent('''
    import os, sys
    import vopo

    def before_fork():
        return 1

    def in_child():
        return 2

    with vopo.enabled(sys.argv[1]) as profiler:
        before_fork()
        pid = os.fork()
        if pid == 0:
            in_child()
            sys.exit(0)
        os.waitpid(pid, 0)
''')


def test_a_plain_fork_under_the_api_saves_parent_and_child_apart(tmp_path):
    (tmp_path / "forking.py").write_text(FORKING_API_USER)
    db_path = tmp_path / "t.sqlite3"
    result = subprocess.run([sys.executable, "forking.py", str(db_path)], cwd=tmp_path, capture_output=True,
                            text=True, timeout=HANG_GUARD)
    assert result.returncode == 0, result.stderr
    (root_id, root), others = lineage(tmp_path)
    assert "before_fork" in called_names(root) and "in_child" not in called_names(root)
    [(parent, names)] = others.values()
    assert parent == root_id and names == {"in_child"}

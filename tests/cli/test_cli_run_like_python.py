"""`vopo run` gives the program what `python` gives it: its `__main__`
namespace, sys.argv, sys.path[0], tracebacks, recursion headroom and exit
code, for a script, a directory, a module and a package."""

import os
import re
import sqlite3
import subprocess
import sys

import pytest

# Prints what the interpreter set up for __main__, with addresses left out.
REPORT = """\
import re, sys
facts = {
    key: repr(value) if key != "__builtins__" else type(value).__name__
    for key, value in dict(globals()).items()
}
loader = globals()["__loader__"]
facts["loader"] = (type(loader).__name__, vars(loader) if loader is not None else None)
facts["main module is ours"] = sys.modules["__main__"].__dict__ is globals()
print(re.sub(" at 0x[0-9a-f]+", "", repr(facts)))
print(sys.path[0], sys.argv)
"""

DEEP = """\
def down(n):
    try:
        return down(n + 1)
    except RecursionError:
        return n
print(down(0))
"""

FAILING = """\
def inner():
    raise KeyError("x")
inner()
"""


def python(*words, cwd):
    completed = subprocess.run([sys.executable, *words], cwd=cwd, capture_output=True, text=True, timeout=120)
    return completed.returncode, completed.stdout, completed.stderr


def console_script():
    return os.path.join(os.path.dirname(sys.executable), "vopo")


def launchers():
    """The two ways a user starts vopo: python -m vopo and the vopo command."""
    return [pytest.param([sys.executable, "-m", "vopo"], id="python -m vopo"),
            pytest.param([console_script()], id="vopo command")]


def profiled(launcher, *words, cwd, db):
    completed = subprocess.run(
        [*launcher, "run", "--db", str(db), *words], cwd=cwd, capture_output=True, text=True, timeout=120
    )
    return completed.returncode, completed.stdout, completed.stderr


def program_tree(tmp_path, source):
    (tmp_path / "prog.py").write_text(source)
    (tmp_path / "pkg").mkdir()
    (tmp_path / "pkg" / "__init__.py").write_text("")
    (tmp_path / "pkg" / "__main__.py").write_text(source)
    (tmp_path / "app").mkdir()
    (tmp_path / "app" / "__main__.py").write_text(source)
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "inner.py").write_text(source)


TARGETS = [["prog.py", "a"], ["sub/inner.py"], ["app", "b"], ["-m", "prog", "c"], ["-m", "pkg"]]


@pytest.mark.parametrize("target", TARGETS, ids=" ".join)
def test_the_program_gets_the_main_namespace_argv_and_path_python_gives(tmp_path, target):
    program_tree(tmp_path, REPORT)
    code, out, err = profiled([sys.executable, "-m", "vopo"], *target, cwd=tmp_path, db=tmp_path / "t.db")
    assert (code, out) == python(*target, cwd=tmp_path)[:2], err


@pytest.mark.parametrize("target", [["prog.py"], ["-m", "prog"]], ids=" ".join)
@pytest.mark.parametrize("launcher", launchers())
def test_a_failing_program_shows_only_its_own_frames(tmp_path, launcher, target):
    program_tree(tmp_path, FAILING)
    plain_code, _, plain_err = python(*target, cwd=tmp_path)
    code, _, err = profiled(launcher, *target, cwd=tmp_path, db=tmp_path / "t.db")
    assert code == plain_code == 1
    traceback = err[: err.index("vopo: 1 trace saved")]
    # python -m shows its own runner's frames; vopo shows none of its runner.
    assert traceback == without_runpy_frames(plain_err) and "runpy" not in traceback


def without_runpy_frames(traceback):
    kept, lines = [], iter(traceback.splitlines(keepends=True))
    for line in lines:
        if line.startswith('  File "<frozen runpy>"'):
            continue
        if line.startswith("  File ") and line.rstrip().endswith(("in _run_module_as_main", "in _run_code")):
            next(lines)  # its source line
            continue
        kept.append(line)
    return "".join(kept)


@pytest.mark.parametrize("launcher", launchers())
def test_the_program_recurses_nearly_as_deep_as_under_python(tmp_path, launcher):
    (tmp_path / "deep.py").write_text(DEEP)
    plain = int(python("deep.py", cwd=tmp_path)[1])
    code, out, err = profiled(launcher, "deep.py", cwd=tmp_path, db=tmp_path / "t.db")
    assert code == 0, err
    # Frames above the program: runpy's two and vopo's module under -m, the
    # command's module and main() otherwise. Before 3.12, the exec() in
    # runpy that runs vopo's module takes one more recursion level.
    allowed = 3 + (launcher[-1] == "vopo" and sys.version_info < (3, 12))
    assert 0 <= plain - int(out) <= allowed


@pytest.mark.parametrize(
    "target, message",
    [
        (["-m", "missing"], "No module named missing"),
        (["-m", "pkg.missing"], "No module named pkg.missing"),
        (["sub"], "can't find '__main__' module in"),
    ],
)
def test_a_missing_module_fails_as_python_fails_and_saves_nothing(tmp_path, target, message):
    program_tree(tmp_path, "")
    plain_code, _, plain_err = python(*target, cwd=tmp_path)
    code, out, err = profiled([sys.executable, "-m", "vopo"], *target, cwd=tmp_path, db=tmp_path / "t.db")
    assert (code, out, err) == (plain_code, "", plain_err) and code == 1
    assert message in err
    assert not (tmp_path / "t.db").exists() or not _stored_rows(tmp_path / "t.db")


def _stored_rows(db):
    with sqlite3.connect(db) as connection:
        return connection.execute("SELECT COUNT(*) FROM traces").fetchone()[0]


def test_the_version_is_the_packages(vopo):
    import vopo as package

    result = vopo("--version")
    assert (result.code, result.out.strip()) == (0, f"vopo {package.__version__}")


@pytest.mark.parametrize("value", ["-1", "-0.5", "nan", "inf", "soon"])
def test_a_timeout_that_is_no_number_of_seconds_is_refused(vopo, value):
    result = vopo("traces", "--timeout", value)
    assert result.code == 2 and "--timeout" in result.err


def test_run_waits_for_the_database_as_long_as_the_profiler_does(vopo):
    result = vopo("run", "--help")
    assert re.search(r"default: 60\)", result.out.replace("\n", " "))

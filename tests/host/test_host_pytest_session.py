"""``pytest --vopo``: a database that cannot take traces stops the session
before any test runs, lost saves are summarised, redaction is an option."""

import sqlite3
import subprocess
import sys
import textwrap

import msgpack
import pytest

from stored_traces import frame_records, stored_rows

HANG_GUARD = 120  # seconds; only stops a hung run, never judges speed
USAGE_ERROR = 4

TESTS = textwrap.dedent('''
    def use(*values):
        return values

    def test_one():
        password = "hunter2"
        pin = 1234
        use(password, pin)

    def test_two():
        use(2)
''')

REFUSING_STORE = textwrap.dedent('''
    import vopo.db
    from vopo.store import StoreBusy

    def refuse(db_path, trace_id, **options):
        raise StoreBusy(db_path, "database is locked", f"database {db_path} is locked by another process")

    vopo.db.save_trace_in_sqlite = refuse
''')


def run_pytest(folder, *words):
    command = [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "--vopo", *words, "test_session.py"]
    return subprocess.run(command, cwd=folder, capture_output=True, text=True, timeout=HANG_GUARD)


@pytest.fixture
def session(tmp_path):
    (tmp_path / "test_session.py").write_text(TESTS)
    return tmp_path


def foreign_database(path):
    connection = sqlite3.connect(path)
    connection.execute("CREATE TABLE users (name TEXT)")
    connection.commit()
    connection.close()


@pytest.mark.parametrize("make_db, words", [
    (lambda folder: (folder / "file").write_text("x") and "file/traces.sqlite3", "cannot save traces"),
    (lambda folder: (folder / "dir").mkdir() or "dir", "cannot save traces"),
    (lambda folder: foreign_database(folder / "app.sqlite3") or "app.sqlite3", "another application"),
])
def test_a_database_that_cannot_take_traces_is_a_usage_error(session, make_db, words):
    result = run_pytest(session, "--vopo-db", make_db(session))
    assert result.returncode == USAGE_ERROR
    assert words in result.stderr and "passed" not in result.stdout


def test_a_writable_database_gets_one_private_trace_per_test(session):
    result = run_pytest(session, "--vopo-db", "new/traces.sqlite3")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "traces lost" not in result.stdout
    assert len(stored_rows(session / "new" / "traces.sqlite3")) == 2
    assert (session / "new" / "traces.sqlite3").stat().st_mode & 0o777 == 0o600


def test_lost_saves_are_summarised_with_their_reason(session):
    (session / "conftest.py").write_text(REFUSING_STORE)
    result = run_pytest(session, "--vopo-db", "t.sqlite3")
    # The tests' verdict stands; the summary says what was lost and why.
    assert result.returncode == 0, result.stdout + result.stderr
    assert "2 passed" in result.stdout
    summary = result.stdout[result.stdout.index("vopo: traces lost"):]
    assert "2 test traces could not be saved to" in summary
    assert "StoreBusy: database" in summary and "locked by another process (2 times)" in summary


def redacted_names(folder):
    [document] = [document for _, _, document in stored_rows(folder / "t.sqlite3")
                  if any(record["co_name"] == "test_one" for record in frame_records(document))]
    [end] = [r for r in frame_records(document) if r["co_name"] == "test_one" and r["event"] == "return"]
    return {name for name, value in end["locals"].items() if isinstance(value, msgpack.ExtType) and value.code == 15}


@pytest.mark.parametrize("words, redacted", [
    ([], {"password"}),
    (["--vopo-redact", "pin"], {"pin"}),
    (["--vopo-redact", "pin", "--vopo-redact", "password"], {"pin", "password"}),
    (["--vopo-no-redact"], set()),
])
def test_redaction_options(session, words, redacted):
    result = run_pytest(session, "--vopo-db", "t.sqlite3", *words)
    assert result.returncode == 0, result.stdout + result.stderr
    assert redacted_names(session) == redacted


def test_contradicting_redaction_options_are_a_usage_error(session):
    result = run_pytest(session, "--vopo-redact", "pin", "--vopo-no-redact")
    assert result.returncode == USAGE_ERROR and "contradict" in result.stderr

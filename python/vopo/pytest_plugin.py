"""pytest plugin: ``pytest --vopo`` profiles the test session and saves one
trace per test into an SQLite database (``--vopo-db PATH``; by default
``$VOPO_DB``, else ``vopo.sqlite3`` in the directory pytest was started
from, as for the vopo command line). ``--vopo-threading``,
``--vopo-include``, ``--vopo-ignore`` and ``--vopo-lightweight`` are the
settings of ``vopo run``; ``--vopo-user-repr`` records objects with their own
``__repr__`` instead of their type and attributes.

The profiler runs in one-trace-per-test mode: the plugin description of
``vopo.filters.pytest_runs`` marks the start and the end of each test, and
the native profiler opens a new trace at each start and saves it at each
end, so everything else the session does is left out.

A database that cannot take traces is a usage error before any test runs.
A save that fails later (a full disk, a database locked too long) does not
fail the tests, whose verdict it does not change, but the terminal summary
says which traces were lost and why.
"""

import logging
import os
import sqlite3

import pytest

from vopo.cli.store import DB_ENV_VAR, DEFAULT_DB_NAME
from vopo.filters.pytest_runs import latest_outcome
from vopo.store import TraceStoreError, schema
from vopo.store.location import checked_path

_PRIVATE_FILE_MODE = 0o600
_CHECK_TIMEOUT = 5.0


def pytest_addoption(parser):
    group = parser.getgroup("vopo", "vopo profiling")
    group.addoption("--vopo", action="store_true", default=False,
                    help="profile every test with vopo and save one trace per test")
    group.addoption("--vopo-db", metavar="PATH", default=None,
                    help=f"SQLite database for the traces (default: ${DB_ENV_VAR}, else ./{DEFAULT_DB_NAME})")
    group.addoption("--vopo-threading", action="store_true", default=False,
                    help="also profile the threads that tests start")
    group.addoption("--vopo-include", action="append", default=[], metavar="FRAG",
                    help="always record files whose path contains FRAG, library code too (repeatable)")
    group.addoption("--vopo-ignore", action="append", default=[], metavar="FRAG",
                    help="never record files whose path contains FRAG, unless included (repeatable)")
    group.addoption("--vopo-lightweight", action="store_true", default=False,
                    help="record values in a shorter form that is cheaper to make")
    group.addoption("--vopo-user-repr", action="store_true", default=False,
                    help="record objects with their own __repr__ (runs the tested code's reprs; off by default)")
    group.addoption("--vopo-redact", metavar="NAME", action="append", default=[],
                    help="record values named NAME (or ending in _NAME) as redacted, instead of the default "
                         "list of secret names (repeatable)")
    group.addoption("--vopo-no-redact", action="store_true", default=False,
                    help="record every value, secrets included")


def pytest_configure(config):
    if not config.getoption("vopo"):
        return
    db_path = config.getoption("vopo_db") or os.environ.get(DB_ENV_VAR) or DEFAULT_DB_NAME
    # Tests may change the working directory; the database stays put.
    db_path = os.path.join(str(config.invocation_params.dir), db_path)
    _check_writable(db_path)
    config.pluginmanager.register(ProfiledSession(db_path, profiler_config(config)), "vopo-session")


def profiler_config(config):
    """The profiler configuration that the --vopo-* options ask for."""
    return {
        "threading": config.getoption("vopo_threading"),
        "lightweight_repr": config.getoption("vopo_lightweight"),
        "user_repr": config.getoption("vopo_user_repr"),
        "filters": {
            "include_frames": list(config.getoption("vopo_include")),
            "ignore_frames": list(config.getoption("vopo_ignore")),
        },
        **_redact_config(config.getoption("vopo_redact"), config.getoption("vopo_no_redact")),
    }


def pytest_runtest_logreport(report):
    # Also without --vopo: a session run under ``vopo run -m pytest`` gets
    # the outcome on its end_test records too.
    latest_outcome.add_report(report)


def _redact_config(names, off):
    if off and names:
        raise pytest.UsageError("--vopo-redact and --vopo-no-redact contradict each other")
    if off:
        return {"redact": []}
    return {"redact": list(names)} if names else {}


def _check_writable(db_path):
    """``pytest.UsageError`` unless a trace could be saved to ``db_path`` now."""
    try:
        checked_path(db_path)
        _create_private_file(db_path)
        connection = sqlite3.connect(db_path, timeout=_CHECK_TIMEOUT, isolation_level=None)
        try:
            # The write lock is what a save takes first.
            connection.execute("BEGIN IMMEDIATE")
            layout = schema.inspect(connection)
            connection.execute("ROLLBACK")
        finally:
            connection.close()
    except (OSError, ValueError, sqlite3.Error) as error:
        raise pytest.UsageError(f"--vopo: cannot save traces to {db_path}: {error}") from None
    if layout.kind == schema.FOREIGN:
        raise pytest.UsageError(f"--vopo: {db_path} is an SQLite database of another application "
                                f"({layout.detail}); give the path of a vopo database")


def _create_private_file(path):
    # The traces hold the tests' values: a new database is its owner's only.
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    try:
        os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, _PRIVATE_FILE_MODE))
    except FileExistsError:
        pass


class ProfiledSession:
    """Keeps profiling on while pytest runs the tests, and only then."""

    def __init__(self, db_path, profiler_config):
        self.db_path = db_path
        self.profiler_config = profiler_config
        self.problems = ProblemLog()

    @pytest.hookimpl(wrapper=True)
    def pytest_runtestloop(self, session):
        from vopo.profiler import Profiler

        profiler = Profiler(self.db_path, config=self.profiler_config, source="vopo.pytest", one_trace_per_test=True)
        logger = logging.getLogger("vopo")
        logger.addHandler(self.problems)
        profiler.start()
        try:
            return (yield)
        finally:
            try:
                profiler.stop()
            finally:
                logger.removeHandler(self.problems)

    def pytest_report_header(self, config):
        return f"vopo: one trace per test into {self.db_path}"

    def pytest_terminal_summary(self, terminalreporter):
        lines = self.problems.summary(self.db_path)
        if not lines:
            return
        terminalreporter.write_sep("=", "vopo: traces lost", yellow=True, bold=True)
        for line in lines:
            terminalreporter.write_line(line, yellow=True)


class ProblemLog(logging.Handler):
    """Collects what the profiler reports during the session, so that the
    summary shows it whatever pytest's log capture does with it."""

    def __init__(self):
        super().__init__(logging.WARNING)
        self.failed_saves = {}
        self.other_problems = {}

    def emit(self, record):
        error = record.exc_info[1] if record.exc_info else None
        if _is_storage_error(error):
            key = f"{type(error).__name__}: {error}"
            self.failed_saves[key] = self.failed_saves.get(key, 0) + 1
        else:
            key = record.getMessage().splitlines()[0] if error is None else f"{type(error).__name__}: {error}"
            self.other_problems[key] = self.other_problems.get(key, 0) + 1

    def summary(self, db_path):
        lines = []
        if self.failed_saves:
            count = sum(self.failed_saves.values())
            lines.append(f"{count} test trace{'s' * (count != 1)} could not be saved to {db_path}:")
            lines.extend(_counted(self.failed_saves))
        if self.other_problems:
            count = sum(self.other_problems.values())
            lines.append(f"{count} profiler problem{'s' * (count != 1)} (some records may be missing):")
            lines.extend(_counted(self.other_problems))
        return lines


def _is_storage_error(error):
    return isinstance(error, (TraceStoreError, sqlite3.Error, OSError))


def _counted(problems):
    return [f"  {problem}" + (f" ({count} times)" if count > 1 else "") for problem, count in problems.items()]

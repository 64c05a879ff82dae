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
"""

import os

import pytest

from vopo.cli.store import DB_ENV_VAR, DEFAULT_DB_NAME
from vopo.filters.pytest_runs import latest_outcome


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


def pytest_configure(config):
    if not config.getoption("vopo"):
        return
    db_path = config.getoption("vopo_db") or os.environ.get(DB_ENV_VAR) or DEFAULT_DB_NAME
    # Tests may change the working directory; the database stays put.
    db_path = os.path.join(str(config.invocation_params.dir), db_path)
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
    }


def pytest_runtest_logreport(report):
    # Also without --vopo: a session run under ``vopo run -m pytest`` gets
    # the outcome on its end_test records too.
    latest_outcome.add_report(report)


class ProfiledSession:
    """Keeps profiling on while pytest runs the tests, and only then."""

    def __init__(self, db_path, profiler_config=None):
        self.db_path = db_path
        self.profiler_config = profiler_config or {}

    @pytest.hookimpl(wrapper=True)
    def pytest_runtestloop(self, session):
        from vopo.profiler import Profiler

        profiler = Profiler(self.db_path, config=self.profiler_config, source="vopo.pytest", one_trace_per_test=True)
        profiler.start()
        try:
            return (yield)
        finally:
            profiler.stop()

    def pytest_report_header(self, config):
        return f"vopo: one trace per test into {self.db_path}"


"""Fixtures of the command-line tests: run ``python -m vopo`` as a user
would, in a scratch directory, and keep an eye on the database bytes."""

import os
import subprocess
import sys
from typing import NamedTuple

import pytest


class Result(NamedTuple):
    code: int
    out: str
    err: str

    @property
    def err_lines(self):
        return self.err.splitlines()


@pytest.fixture
def vopo(tmp_path):
    """vopo(*words) runs the command line in tmp_path and returns a Result;
    module= runs another module the same way."""

    def run(*words, module="vopo", cwd=None, env=None, timeout=120):
        completed = subprocess.run(
            [sys.executable, "-m", module, *map(str, words)],
            cwd=cwd or tmp_path,
            env={**os.environ, **(env or {})},
            capture_output=True,
            text=True,
            timeout=timeout,
        )
        return Result(completed.returncode, completed.stdout, completed.stderr)

    return run


@pytest.fixture
def db(tmp_path):
    return tmp_path / "traces.sqlite3"

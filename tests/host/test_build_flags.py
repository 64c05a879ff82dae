"""A user's build never turns warnings into errors; the strict option,
which CI and the test script use, does."""

import json
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.skipif(shutil.which("cmake") is None, reason="cmake is not installed")
@pytest.mark.parametrize("option, strict", [(None, False), ("OFF", False), ("ON", True)])
def test_warnings_are_errors_only_in_the_strict_build(tmp_path, option, strict):
    define = [] if option is None else [f"-DVOPO_STRICT_WARNINGS={option}"]
    subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(tmp_path), "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON",
         f"-DPython_EXECUTABLE={sys.executable}", *define],
        check=True, capture_output=True, timeout=300,
    )
    commands = json.loads((tmp_path / "compile_commands.json").read_text())
    assert commands
    assert all(("-Werror" in entry["command"]) == strict for entry in commands)

"""Where `vopo run` stops reading its own options and the program begins."""

import pytest

from vopo.cli.run import split_command_line


@pytest.mark.parametrize(
    "words, options, script, module, args",
    [
        (["app.py", "--db", "x", "-m", "y"], [], "app.py", None, ["--db", "x", "-m", "y"]),
        (["--db", "t.db", "--threading", "app.py"], ["--db", "t.db", "--threading"], "app.py", None, []),
        (["--include", "app.py", "main.py", "-v"], ["--include", "app.py"], "main.py", None, ["-v"]),
        (["--db=t.db", "-m", "pkg.tool", "app.py"], ["--db=t.db"], None, "pkg.tool", ["app.py"]),
        (["-mpkg", "--threading"], [], None, "pkg", ["--threading"]),
        (["--timeout", "5", "app.py"], ["--timeout", "5"], "app.py", None, []),
        (["--ignore", "x", "--", "-odd.py", "a"], ["--ignore", "x"], "-odd.py", None, ["a"]),
    ],
)
def test_the_program_starts_at_the_first_word_that_is_not_ours(words, options, script, module, args):
    ours, program = split_command_line(words)
    assert ours == options
    assert (program.script, program.module, program.args) == (script, module, args)


@pytest.mark.parametrize("words", [[], ["--threading"], ["--db", "x", "-m"], ["--"]])
def test_no_program_is_none(words):
    assert split_command_line(words)[1] is None

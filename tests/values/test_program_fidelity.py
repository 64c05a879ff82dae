"""Programs whose objects have side effects in __repr__, properties and other
dunders print the same with and without ``vopo run``: recording their values
runs none of their code, unless the user opts in to reprs."""

import os
import subprocess
import sys
import textwrap

import pytest

CONSUMING_REPR = """\
class LoopContext:
    def __init__(self, items):
        self._iterator = iter(items)

    def __repr__(self):
        return f"<LoopContext {list(self._iterator)}>"

    def total(self):
        return sum(self._iterator)


def run(items):
    loop = LoopContext(items)
    return loop.total()


print(run([1, 2, 3]))
"""

PROPERTY_SIDE_EFFECT = """\
class Account:
    def __init__(self):
        self.reads = 0

    @property
    def balance(self):
        self.reads += 1
        return 100


def audit(account):
    return account.reads


account = Account()
print(audit(account), account.reads)
"""

COUNTED_DUNDERS = """\
calls = []


def counted(name, result):
    def method(*args):
        calls.append(name)
        return result
    return method


class Meta(type):
    __eq__ = counted("meta eq", False)
    __hash__ = counted("meta hash", 1)
    __repr__ = counted("meta repr", "M")


class Hostile(metaclass=Meta):
    __repr__ = counted("repr", "H")
    __str__ = counted("str", "H")
    __eq__ = counted("eq", False)
    __hash__ = counted("hash", 1)
    __len__ = counted("len", 1)
    __iter__ = counted("iter", iter(()))
    __getattr__ = counted("getattr", None)

    @property
    def value(self):
        calls.append("property")
        return 1


class Sneaky(dict):
    __repr__ = counted("dict repr", "{}")
    items = counted("dict items", [])
    __iter__ = counted("dict iter", iter(()))


def handle(thing, things, table):
    local = (thing, [thing], {"k": thing}, Hostile)
    return thing


handle(Hostile(), [Hostile()], Sneaky(a=Hostile()))
calls.clear()
result = handle(Hostile(), Sneaky(b=1), {"x": Hostile()})
print(len(calls), sorted(set(calls)))
"""


def run_python(tmp_path, script, *vopo_options):
    path = tmp_path / "program.py"
    path.write_text(script)
    command = [sys.executable, str(path)]
    if vopo_options != (None,):
        command = [sys.executable, "-m", "vopo", "run", "--db", str(tmp_path / "t.sqlite3"), *vopo_options, str(path)]
    completed = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=120,
                               env={**os.environ, "PYTHONHASHSEED": "0"})
    assert completed.returncode == 0, completed.stderr
    return completed.stdout


@pytest.mark.parametrize("script, expected", [
    (CONSUMING_REPR, "6\n"), (PROPERTY_SIDE_EFFECT, "0 0\n"), (COUNTED_DUNDERS, "0 []\n"),
], ids=["consuming-repr", "property-side-effect", "counted-dunders"])
def test_the_program_prints_the_same_with_and_without_vopo(tmp_path, script, expected):
    assert run_python(tmp_path, script, None) == expected
    assert run_python(tmp_path, script) == expected


def test_user_reprs_run_only_when_asked_for(tmp_path):
    # The opt-in really calls the program's __repr__, with the effect it has.
    assert run_python(tmp_path, CONSUMING_REPR, "--user-repr") == "0\n"


def test_pytest_runs_reprs_only_with_its_option(tmp_path):
    (tmp_path / "test_counted.py").write_text(textwrap.dedent("""\
        calls = []

        class Shown:
            def __repr__(self):
                calls.append(1)
                return "Shown"

        def keep(value):
            return value

        def test_no_repr_ran():
            keep(Shown())
            assert calls == []
    """))

    def session(*options):
        return subprocess.run(
            [sys.executable, "-m", "pytest", "-p", "vopo.pytest_plugin", "--vopo", "--vopo-db",
             str(tmp_path / "t.sqlite3"), *options, "-q", "test_counted.py"],
            cwd=tmp_path, capture_output=True, text=True, timeout=120).returncode

    assert session() == 0
    assert session("--vopo-user-repr") == 1

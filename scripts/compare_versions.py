"""Profiles the example program under every CPython that has a virtual
environment here (.venv-3.10 ... .venv-3.13, made by scripts/test.sh) and
prints how their `vopo show` outputs differ, addresses, times, ids and
sizes aside.

    python scripts/compare_versions.py [PROGRAM]
"""

import difflib
import pathlib
import re
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
VERSIONS = ("3.10", "3.11", "3.12", "3.13")
# What changes from run to run, whatever the version.
VOLATILE = [
    (re.compile(r"0x[0-9a-f]+"), "0x?"),
    (re.compile(r"\b\d+(\.\d+)? (us|ms|s)\b"), "<time>"),
    (re.compile(r"\b(trc|frm)_[0-9A-Z]{26}\b"), r"\1_?"),
    (re.compile(r"native id \d+"), "native id ?"),
    (re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d(\.\d+)?"), "<date>"),
    (re.compile(r"\(\d+ saves?, [\d.]+ \w+\)"), "(<saves>)"),
]


def show_output(python, program, directory):
    db = pathlib.Path(directory) / f"{python.parent.parent.name}.sqlite3"
    subprocess.run([str(python), "-m", "vopo", "run", "--threading", "--db", str(db), str(program)],
                   cwd=ROOT, capture_output=True, check=True)
    shown = subprocess.run([str(python), "-m", "vopo", "show", "latest", "--db", str(db)],
                           cwd=ROOT, capture_output=True, text=True, check=True).stdout
    for pattern, replacement in VOLATILE:
        shown = pattern.sub(replacement, shown)
    return shown.splitlines(keepends=True)


def main():
    program = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "examples" / "shop.py").resolve()
    pythons = [(version, ROOT / f".venv-{version}" / "bin" / "python") for version in VERSIONS]
    pythons = [(version, python) for version, python in pythons if python.exists()]
    if len(pythons) < 2:
        sys.exit("vopo: build at least two versions first (VOPO_PYTHON=3.x bash scripts/test.sh)")
    with tempfile.TemporaryDirectory() as directory:
        outputs = {version: show_output(python, program, directory) for version, python in pythons}
    reference_version, reference = next(iter(outputs.items()))
    same = True
    for version, output in outputs.items():
        diff = list(difflib.unified_diff(reference, output, f"CPython {reference_version}", f"CPython {version}"))
        if diff:
            same = False
            sys.stdout.writelines(diff)
    print(f"vopo show: {'the same on' if same else 'differences between'} {', '.join(outputs)}")


if __name__ == "__main__":
    main()

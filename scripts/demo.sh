#!/usr/bin/env bash
# The main job on a fresh machine: build vopo, profile the example program,
# store its trace in SQLite and show what was recorded.
source "$(dirname "$0")/env.sh"
cd "$root"
db="${VOPO_DB:-$root/vopo.sqlite3}"
"$VENV_PYTHON" -m vopo run --threading --db "$db" examples/shop.py
"$VENV_PYTHON" -m vopo traces --db "$db"
"$VENV_PYTHON" -m vopo show latest --db "$db"

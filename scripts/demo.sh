#!/usr/bin/env bash
# The main job on a fresh machine: build vopo, profile the example program,
# store its trace in SQLite and show what was recorded.
source "$(dirname "$0")/env.sh"
cd "$root"
db="${VOPO_DB:-$root/vopo.sqlite3}"
"$VENV_PYTHON" -m vopo run --threading --db "$db" examples/shop.py
"$VENV_PYTHON" -m vopo traces --db "$db"
"$VENV_PYTHON" -m vopo show latest --db "$db"
echo
echo "See the trace in the web viewer (on 127.0.0.1; Ctrl-C stops it):"
echo "  $VENV_PYTHON -m vopo view latest --db $db"

#!/usr/bin/env bash
# Build vopo and run the whole test suite. VOPO_PYTHON=3.12 scripts/test.sh
# tests another interpreter.
source "$(dirname "$0")/env.sh"
cd "$root"
exec "$VENV_PYTHON" -m pytest -q tests "$@"

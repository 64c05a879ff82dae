#!/usr/bin/env bash
# Build vopo and run the whole test suite. VOPO_PYTHON=3.12 scripts/test.sh
# tests another interpreter.
# The build treats warnings as errors here, as in CI.
export VOPO_STRICT_WARNINGS="${VOPO_STRICT_WARNINGS:-ON}"
source "$(dirname "$0")/env.sh"
cd "$root"
exec "$VENV_PYTHON" -m pytest -q tests "$@"

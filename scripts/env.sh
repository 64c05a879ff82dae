# Shared set-up for the test and demo commands: pick an interpreter through
# pyenv, make sure a C++ compiler exists, and build vopo into a virtual
# environment. Source it; it leaves VENV_PYTHON pointing at the venv's python.
# VOPO_PYTHON selects the interpreter version (default 3.10);
# VOPO_STRICT_WARNINGS=ON builds with warnings as errors (the test script's
# default; a user's install never is).
set -euo pipefail

want="${VOPO_PYTHON:-3.10}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

ensure_compiler() {
  if ! command -v g++ >/dev/null 2>&1; then
    echo "vopo: installing a C++ compiler with apt-get" >&2
    apt-get update -qq && apt-get install -y -qq g++ >/dev/null
  fi
}

find_python() {
  local base candidate=""
  if command -v pyenv >/dev/null 2>&1; then
    base="$(pyenv root)/versions"
    candidate="$(ls -d "$base/$want".* "$base/$want" 2>/dev/null | sort -V | tail -n 1 || true)"
    if [ -z "$candidate" ]; then
      candidate="$(ls -d "$base"/3.* 2>/dev/null | grep -E '/3\.[0-9]+\.[0-9]+$' | sort -V | tail -n 1 || true)"
      if [ -n "$candidate" ]; then
        echo "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!" >&2
        echo "!!! vopo: CPython $want not found in pyenv; using $(basename "$candidate")" >&2
        echo "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!" >&2
      fi
    fi
  fi
  if [ -n "$candidate" ] && [ -x "$candidate/bin/python" ]; then
    echo "$candidate/bin/python"
  elif command -v "python$want" >/dev/null 2>&1; then
    command -v "python$want"
  else
    echo "!!! vopo: no pyenv CPython found; falling back to $(command -v python3)" >&2
    command -v python3
  fi
}

ensure_compiler
BASE_PYTHON="$(find_python)"
VENV="$root/.venv-$("$BASE_PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
if [ ! -x "$VENV/bin/python" ]; then
  "$BASE_PYTHON" -m venv "$VENV"
fi
VENV_PYTHON="$VENV/bin/python"
"$VENV_PYTHON" -m pip install -q --upgrade pip >/dev/null
strict="${VOPO_STRICT_WARNINGS:-OFF}"
"$VENV_PYTHON" -m pip install -q -C "cmake.define.VOPO_STRICT_WARNINGS=$strict" "$root" pytest msgpack

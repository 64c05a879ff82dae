#!/usr/bin/env bash
# Builds vopo once more with AddressSanitizer and UndefinedBehaviorSanitizer,
# in a build directory and virtual environment of its own (.venv-asan), and
# runs the native module's tests under them. The interpreter is not
# instrumented, so the compiler's libasan is preloaded (with libstdc++, so
# that its C++ exception interceptor finds the real one) and leak detection
# is off (CPython keeps memory alive until exit on purpose). The sanitizers
# report on the test process's stderr, which pytest captures, so a failing
# run is rerun with -s to see the report. The resident-memory test is left
# out: the sanitizer's quarantine holds freed memory on purpose.
# VOPO_PYTHON selects the interpreter version (default 3.12).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
want="${VOPO_PYTHON:-3.12}"
base="$(ls -d "$(pyenv root)/versions/$want".* 2>/dev/null | sort -V | tail -n 1)"
if [ -z "$base" ] || [ ! -x "$base/bin/python" ]; then
  echo "vopo: CPython $want not found in pyenv" >&2
  exit 1
fi
venv="$root/.venv-asan"
if [ ! -x "$venv/bin/python" ]; then
  "$base/bin/python" -m venv "$venv"
fi
flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g -O1"
"$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
"$venv/bin/python" -m pip install -q pytest msgpack
"$venv/bin/python" -m pip install -q "$root" \
  -C build-dir="$root/build/asan" \
  -C cmake.build-type=RelWithDebInfo \
  -C cmake.define.CMAKE_CXX_FLAGS="$flags" \
  -C cmake.define.CMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined"

preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)"
cd "$root"
LD_PRELOAD="$preload" \
  ASAN_OPTIONS=detect_leaks=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/native tests/plugins \
  --deselect tests/native/test_memory.py::test_register_and_build_in_a_loop_keeps_memory_flat "$@"

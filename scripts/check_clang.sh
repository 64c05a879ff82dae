#!/usr/bin/env bash
# Compiles every C++ source of the native module with Clang and the project's
# warning flags, so the build stays clean under both GCC and Clang.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if ! command -v clang++ >/dev/null 2>&1; then
  echo "vopo: installing clang with apt-get" >&2
  apt-get update -qq && apt-get install -y -qq clang >/dev/null
fi
python="${1:-python3}"
include="$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
status=0
for source in $(cd "$root" && git ls-files 'src/*.cpp'); do
  clang++ -std=c++20 -Wall -Wextra -Werror -fsyntax-only -I"$root/src" -I"$include" "$root/$source" || status=1
done
[ "$status" -eq 0 ] && echo "clang: all native sources compile without warnings"
exit "$status"

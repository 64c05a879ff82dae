#!/usr/bin/env bash
# Debian's Chromium and its WebDriver, for the viewer's browser tests. The
# tests use these two binaries directly; nothing is downloaded at test time.
set -euo pipefail
if [ -x /usr/bin/chromium ] && [ -x /usr/bin/chromedriver ]; then
  exit 0
fi
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
for attempt in 1 2 3 4 5; do
  if $sudo apt-get update -qq && $sudo apt-get install -y -qq --no-install-recommends chromium chromium-driver >/dev/null; then
    exit 0
  fi
  echo "vopo: apt-get failed (attempt $attempt); another apt-get may hold the lock, retrying" >&2
  sleep 20
done
exit 1

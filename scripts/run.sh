#!/usr/bin/env bash
# Sets up what is missing, builds, and starts the desktop program (offscreen when there is no
# display, which leaves the search running headless like the front end does).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: starting with QT_QPA_PLATFORM=offscreen"
  export QT_QPA_PLATFORM=offscreen
fi
exec build/bin/vontal

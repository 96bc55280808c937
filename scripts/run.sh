#!/usr/bin/env bash
# Sets everything up, builds, and starts K5320W_Utility on the default emulated backplane.
# Arguments go to the program (Qt's own options, such as -platform offscreen).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$root/build"
if [ -z "${QT_QPA_PLATFORM:-}" ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run: no display found; K5320W_Utility runs on Qt's offscreen platform and shows nothing" \
       "(Ctrl+C ends it). README.md tells how to see it without a display." >&2
  export QT_QPA_PLATFORM=offscreen
fi
exec "$root/build/utility/K5320W_Utility" "$@"

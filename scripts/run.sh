#!/usr/bin/env bash
# Sets everything up, builds, and runs the K5320 program on the default emulated backplane.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$root/build"
exec "$root/build/tools/k5320-probe/k5320-probe" "$@"

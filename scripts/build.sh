#!/usr/bin/env bash
# Configures and builds one tree. Usage: build.sh [DIR] [SANITIZER]   (SANITIZER: address | thread)
# K5320_WERROR=ON makes warnings errors (the test command sets it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-"$root/build"}
sanitize=${2:-}
cmake -S "$root" -B "$dir" -G Ninja -DK5320_SANITIZE="$sanitize" \
  -DK5320_WERROR="${K5320_WERROR:-OFF}" >/dev/null
cmake --build "$dir" -j "$(nproc)"

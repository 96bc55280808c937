#!/usr/bin/env bash
# Configures and builds one tree. Usage: build.sh [DIR] [SANITIZER]   (SANITIZER: address | thread)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-"$root/build"}
sanitize=${2:-}
cmake -S "$root" -B "$dir" -G Ninja -DK5320_SANITIZE="$sanitize" >/dev/null
cmake --build "$dir" -j "$(nproc)"

#!/usr/bin/env bash
# Sets everything up and runs every test: the normal build, then the ASan+UBSan and TSan builds,
# then each fuzz target for K5320_FUZZ_SECONDS (default 60) on its seed corpus.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
jobs=$(( $(nproc) * 2 ))
export K5320_WERROR=ON
start=$(date +%s)

run_tree() {
  local dir=$1 sanitize=$2
  echo "== build ${sanitize:-plain}"
  bash "$root/scripts/build.sh" "$dir" "$sanitize"
  echo "== test ${sanitize:-plain}"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300
}

run_tree "$root/build" ""
if [ "${K5320_QUICK:-0}" != "1" ]; then
  run_tree "$root/build-asan" address
  run_tree "$root/build-tsan" thread
  bash "$root/scripts/fuzz.sh" "${K5320_FUZZ_SECONDS:-60}"
fi
echo "== all tests passed in $(( $(date +%s) - start )) s"

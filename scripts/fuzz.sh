#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang and runs each for a while on a copy of its
# seed corpus (fuzz/corpus/TARGET), so a run never writes into the repository. Fails when a
# target finds a crash, a sanitizer report, a broken check, a hang or runaway memory; the input
# that did it is kept in DIR/artifacts/TARGET/.
# Usage: fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
#   SECONDS_PER_TARGET: default K5320_FUZZ_SECONDS, else 60. TARGETs: default all.
#   K5320_FUZZ_DIR: the build directory (default build-fuzz).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-${K5320_FUZZ_SECONDS:-60}}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(driver_fuzz config_fuzz utility_text_fuzz)
dir=${K5320_FUZZ_DIR:-"$root/build-fuzz"}
# A single run that takes longer than this is a hang (a normal one takes milliseconds).
unit_timeout=25

cc=clang-14 cxx=clang++-14
command -v "$cxx" >/dev/null || { cc=clang; cxx=clang++; }
CC=$cc CXX=$cxx cmake -S "$root" -B "$dir" -G Ninja -DK5320_FUZZ=ON \
  -DK5320_WERROR="${K5320_WERROR:-OFF}" >/dev/null
cmake --build "$dir" -j 2 --target "${targets[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=()
for target in "${targets[@]}"; do
  mkdir -p "$work/$target"
  cp -r "$root/fuzz/corpus/$target" "$work/$target/corpus"
  seeds=$(find "$work/$target/corpus" -type f | wc -l)
  log="$work/$target/log"
  echo "== fuzz $target: $seconds s on $seeds seeds"
  status=0
  # A fixed seed (K5320_FUZZ_SEED, default 1) makes a CI run repeatable; 0 lets libFuzzer choose.
  "$dir/fuzz/$target" "$work/$target/corpus" -max_total_time="$seconds" \
    -seed="${K5320_FUZZ_SEED:-1}" -timeout="$unit_timeout" -print_final_stats=1 -artifact_prefix="$work/$target/" \
    >"$log" 2>&1 || status=$?
  # libFuzzer's last coverage line and its statistics.
  grep -E '^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE|INITED)' "$log" | tail -1 || true
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' \
    "$log" | tr '\n' ' ' && echo
  if [ "$status" -ne 0 ]; then
    failed+=("$target")
    mkdir -p "$dir/artifacts/$target"
    find "$work/$target" -maxdepth 1 -type f \
      \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) \
      -exec cp {} "$dir/artifacts/$target/" \;
    echo "== fuzz $target FAILED (exit $status); inputs kept in $dir/artifacts/$target/"
    # The report from its first line on (sanitizer, failed check, deadly signal or time-out).
    # Every stage reads its input to the end: a stage that stopped early would end the script
    # (pipefail) before the other targets and the summary.
    first=$(grep -m1 -nE 'ERROR|fuzz( backplane)?:|deadly signal|[Tt]imeout|out-of-memory' "$log" \
      | cut -d: -f1 || true)
    sed -n "${first:-1},\$p" "$log" | { grep -vE '^(#[0-9]+|INFO:|stat::)' || true; } | sed -n 1,60p
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "== fuzz failed: ${failed[*]}"
  exit 1
fi
echo "== fuzz: ${#targets[@]} targets, $seconds s each, no fault found"

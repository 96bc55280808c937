#!/usr/bin/env bash
# What an idle `k5320 dump` costs: the CPU time of the dump (and of the backplane service
# serving it) over 10 seconds on a bus where nothing is sent, for a slot (polled as the
# receivers' policy says: every 10 ms when idle) and for a bus tap (blocked in
# the kernel). Measured from the scheduler's account of each thread; a figure to read, not a
# test. The floor beside it is what the policy's idle pace costs on this machine with nothing of
# ours in the way (bench_idle_floor), measured over the same seconds as the slot's dump.
#   bash bench/dump_idle_cpu.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
build=$(realpath "${1:-build}")
seconds=${2:-10}
tool=$build/tools/k5320/k5320
service=$build/backplane/k5320-backplaned
work=$(mktemp -d /tmp/k5320-idle-XXXXXX)
export TARN_BACKPLANE=service TARN_BACKPLANE_RUNTIME=$work/run TARN_BACKPLANE_STATE=$work/state
export TARN_BACKPLANE_CONFIG=$work/quiet.conf
printf 'bus can0 rate=125000\nslot 1 5320 bus=can0\nslot 2 5320 bus=can0\n' >"$work/quiet.conf"
trap '"$service" --stop >/dev/null 2>&1; rm -rf "$work"' EXIT
cpu_ns() { cat /proc/"$1"/task/*/schedstat | awk '{ ns += $1 } END { print ns }'; }

measure() {  # WHAT FLOOR ARGS...: runs k5320 dump ARGS, prints its share of a core and the
  # service's; with FLOOR=floor, the floor measured alongside
  local what=$1 floor=$2
  shift 2
  "$tool" dump "$@" -s 2 -T $(( (seconds + 5) * 1000 )) 2>/dev/null &
  local dumper=$!
  sleep 2  # past start-up and the 100 ms before the poll backs off
  local service_pid
  service_pid=$(cat "$work/run/backplaned.pid")
  local d0 s0 d1 s1
  local floor_output=$work/floor.txt
  [[ $floor == floor ]] && "$build/bench/bench_idle_floor" "$seconds" >"$floor_output" &
  d0=$(cpu_ns $dumper)
  s0=$(cpu_ns "$service_pid")
  sleep "$seconds"
  d1=$(cpu_ns $dumper)
  s1=$(cpu_ns "$service_pid")
  kill -INT $dumper
  wait
  awk -v what="$what" -v d=$((d1 - d0)) -v s=$((s1 - s0)) -v n="$seconds" \
    'BEGIN { printf "%-28s dump   %5.2f %% of a core, service  %5.2f %% (over %d s)\n", what, d / n / 1e7, s / n / 1e7, n }'
  [[ $floor == floor ]] && cat "$floor_output"
  return 0
}

"$tool" list >/dev/null  # starts the service
measure "idle dump of slot 2" floor 2
measure "idle dump of bus can0 (tap)" - can0
echo "load average while measuring: $(cut -d' ' -f1-3 /proc/loadavg)"

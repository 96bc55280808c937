#!/usr/bin/env bash
# What a frame costs on its whole way through the backplane service, and how many saturated buses
# the machine carries at once; a figure to read, not a test. CPU from /proc/PID/stat.
#  1. one 1 Mbit/s bus: `k5320 gen -g 0` on slot 1 saturates it, `k5320 dump 2` receives;
#     CPU per received frame of sender + service + receiver (goal: at most 25 us), and of each
#     of the service's threads (a module's is named "slot N", a bus's "bus NAME").
#  2. four 1 Mbit/s buses, each saturated by its own sender (slots 1..4, a demo node on each bus
#     acknowledges) and received by its own bus tap through the service (`k5320 dump busN`);
#     frames per second received beside the limit (goal: at least 0.95 of it).
#  3. seven modules on one 1 Mbit/s bus: slot 1 saturates it, slots 2..7 each receive with
#     `k5320 dump`; the share of the limit each receiver gets (goal: at least 0.98, and every
#     receiver the same frames).
# The frames are 11-bit 0x2AA with eight 0x55 bytes: 111 bits without stuff bits, so a bus
# carries at most 1,000,000 / 111 = 9,009 of them per second.
#   bash bench/service_path_cpu.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
build=$(realpath "${1:-build}")
seconds=${2:-10}
warm_up_seconds=2
tool=$build/tools/k5320/k5320
service=$build/backplane/k5320-backplaned
frame_bits=111
bit_rate=1000000
limit=$((bit_rate / frame_bits))
frame=(-I 2AA -L 8 -D 5555555555555555)
work=$(mktemp -d /tmp/k5320-path-XXXXXX)
export TARN_BACKPLANE=service TARN_BACKPLANE_RUNTIME=$work/run TARN_BACKPLANE_STATE=$work/state
ticks_per_second=$(getconf CLK_TCK)
children=()
stop_children() {
  for pid in "${children[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
  for pid in "${children[@]}"; do wait "$pid" 2>/dev/null || true; done
  children=()
}
trap 'stop_children; "$service" --stop >/dev/null 2>&1; rm -rf "$work"' EXIT
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
total_ticks() { local sum=0 pid; for pid in "$@"; do sum=$((sum + $(cpu_ticks "$pid"))); done; echo $sum; }
lines() { cat "$@" 2>/dev/null | wc -l; }
# Nanoseconds on a CPU of each named thread of PID ("slot 1", "bus can0", ...), a line each.
thread_ns() {
  local task
  for task in /proc/"$1"/task/*; do
    printf '%s\t%s\n' "$(cat "$task/comm")" "$(cut -d' ' -f1 "$task/schedstat")"
  done 2>/dev/null
}

start_service() {  # CONFIG_TEXT
  "$service" --stop >/dev/null 2>&1 || true
  printf '%b' "$1" >"$work/backplane.conf"
  export TARN_BACKPLANE_CONFIG=$work/backplane.conf
  "$tool" list >/dev/null  # starts the service
  cat "$work/run/backplaned.pid"
}

# Frames received per second, CPU ticks per second in all, and of each pid. The receivers write
# the log form with wall-clock stamps, and a frame counts when its stamp lies in the window: a
# receiver that is behind (or catches up) moves no frame in or out of it. After the window the
# receivers get a moment to write what they read late.
catch_up_seconds=2
measure() {  # OUTPUT_FILES... -- PIDS...
  local files=() pids=()
  while [[ $1 != -- ]]; do files+=("$1"); shift; done
  shift
  pids=("$@")
  sleep "$warm_up_seconds"
  local c0 t0 each0=() pid
  [[ -n ${split_threads_of:-} ]] && thread_ns "$split_threads_of" >"$work/threads0"
  t0=$EPOCHREALTIME
  c0=$(total_ticks "${pids[@]}")
  for pid in "${pids[@]}"; do each0+=("$(cpu_ticks "$pid")"); done
  sleep "$seconds"
  local i each=() c1 t1
  c1=$(total_ticks "${pids[@]}")
  for i in "${!pids[@]}"; do each+=($(($(cpu_ticks "${pids[$i]}") - each0[i]))); done
  t1=$EPOCHREALTIME
  [[ -n ${split_threads_of:-} ]] && thread_ns "$split_threads_of" >"$work/threads1"
  sleep "$catch_up_seconds"
  awk -v c=$((c1 - c0)) -v t0="$t0" -v t1="$t1" -v each="${each[*]}" \
    '{ stamp = substr($1, 2, length($1) - 2) + 0; if (stamp >= t0 && stamp < t1) ++f }
     END { n = split(each, e, " "); s = t1 - t0; printf "%f %f", f / s, c / s
           for (i = 1; i <= n; ++i) printf " %f", e[i] / s; printf "\n" }' "${files[@]}"
}

one_bus() {
  local service_pid
  service_pid=$(start_service "bus can0 rate=$bit_rate\nslot 1 5320 bus=can0\nslot 2 5320 bus=can0\n")
  "$tool" dump 2 -L -b 1M >"$work/one.out" 2>/dev/null &
  local receiver=$!
  children+=("$receiver")
  sleep 1
  "$tool" gen 1 -g 0 -b 1M "${frame[@]}" >/dev/null 2>&1 &
  local sender=$!
  children+=("$sender")
  read -r frames ticks sender_ticks service_ticks receiver_ticks < <(
    split_threads_of=$service_pid measure "$work/one.out" -- "$sender" "$service_pid" "$receiver")
  stop_children
  awk -v f="$frames" -v c="$ticks" -v t="$ticks_per_second" -v l="$limit" \
    -v s="$sender_ticks" -v b="$service_ticks" -v r="$receiver_ticks" \
    'BEGIN { per = f > 0 ? 1e6 / t / f : 0; us = c * per
             printf "one bus, slot to slot:  %8.0f frames/s (%.2f of %d), CPU per frame %6.1f us (goal <= 25): %s\n",
                    f, f / l, l, us, (f > 0 && us <= 25) ? "met" : "MISSED"
             printf "  of which sender %.1f us, service %.1f us, receiver %.1f us\n", s * per, b * per, r * per }'
  # Each frame sent is one command round trip between the sender and slot 1's thread.
  awk -F'\t' -v f="$frames" -v s="$seconds" \
    'NR == FNR { before[$1] += $2; next }
     { after[$1] += $2 }
     END { for (name in after)
             if (name ~ /^(slot|bus) / && f > 0)
               printf "%s\t%.1f\n", name, (after[name] - before[name]) / 1000 / s / f }' \
    "$work/threads0" "$work/threads1" | sort |
    awk -F'\t' '{ line = line (NR > 1 ? ", " : "") $1 " " $2 " us" }
                 END { print "  the service by thread: " line }'
}

four_buses() {
  local config="" bus
  for bus in 1 2 3 4; do config+="bus b$bus rate=$bit_rate demo\nslot $bus 5320 bus=b$bus\n"; done
  local service_pid files=() pids=()
  service_pid=$(start_service "$config")
  for bus in 1 2 3 4; do
    "$tool" dump "b$bus,2AA:7FF" -L >"$work/b$bus.out" 2>/dev/null &
    children+=($!)
    files+=("$work/b$bus.out")
  done
  sleep 1
  for bus in 1 2 3 4; do
    "$tool" gen "$bus" -g 0 -b 1M "${frame[@]}" >/dev/null 2>&1 &
    children+=($!)
  done
  pids=("${children[@]}" "$service_pid")
  read -r frames ticks _ < <(measure "${files[@]}" -- "${pids[@]}")
  stop_children
  awk -v f="$frames" -v c="$ticks" -v t="$ticks_per_second" -v l="$limit" \
    'BEGIN { share = f / (4 * l)
             printf "four buses, taps:       %8.0f frames/s (%.2f of 4 x %d, goal >= 0.95): %s; CPU %.0f %% of a core\n",
                    f, share, l, (share >= 0.95) ? "met" : "MISSED", 100 * c / t }'
}

seven_modules() {
  local config="bus can0 rate=$bit_rate\n" slot files=() pids=()
  for slot in 1 2 3 4 5 6 7; do config+="slot $slot 5320 bus=can0\n"; done
  local service_pid
  service_pid=$(start_service "$config")
  for slot in 2 3 4 5 6 7; do
    "$tool" dump "$slot" -L -b 1M >"$work/m$slot.out" 2>/dev/null &
    children+=($!)
    files+=("$work/m$slot.out")
  done
  sleep 1
  "$tool" gen 1 -g 0 -b 1M "${frame[@]}" >/dev/null 2>&1 &
  local sender=$!
  pids=("${children[@]}" "$sender" "$service_pid")
  read -r frames ticks _ < <(measure "${files[@]}" -- "${pids[@]}")
  # The sender first, then the receivers once the bus is quiet: each must then hold every frame.
  kill -INT "$sender"
  wait "$sender" 2>/dev/null || true
  sleep 1
  stop_children
  local counts
  counts=$(for f in "${files[@]}"; do lines "$f"; done | sort -u | wc -l)
  awk -v f="$frames" -v c="$ticks" -v t="$ticks_per_second" -v l="$limit" -v same="$counts" \
    'BEGIN { share = f / 6 / l
             printf "seven modules, 6 dumps: %8.0f frames/s each (%.2f of %d, goal >= 0.98): %s; every receiver every frame: %s; CPU %.0f %% of a core\n",
                    f / 6, share, l, (share >= 0.98) ? "met" : "MISSED", (same == 1) ? "yes" : "NO", 100 * c / t }'
}

one_bus
four_buses
seven_modules
echo "load average while measuring: $(cut -d' ' -f1-3 /proc/loadavg)"

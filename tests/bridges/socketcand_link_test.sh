#!/usr/bin/env bash
# Backplane services of the test's own (runtime, state and configuration each), as machines
# would run them: A serves its bus can0 by socketcand, B's can0 joins it. Frames sent on either
# side's module arrive on the other's exactly and in order; k5320 list shows the link and its
# counters; when A's service stops, B counts the frames it drops, and the link comes back by
# itself once A runs again. Then three services joined in a ring carry each frame once to each.
set -uo pipefail
tool=$(realpath "$1")
service="${tool%/*}/../../backplane/k5320-backplaned"
count=${2:-1000}
work=$(mktemp -d /tmp/k5320-link-test-XXXXXX)
mkdir "$work/a" "$work/b"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
on() {  # SIDE COMMAND...: runs the command against that side's service ("exec" may lead it)
  local side=$1
  shift
  TARN_BACKPLANE=service TARN_BACKPLANE_RUNTIME=$work/$side/run \
    TARN_BACKPLANE_STATE=$work/$side/state TARN_BACKPLANE_CONFIG=$work/$side.conf \
    TARN_BACKPLANE_GRACE_MS=600000 "$@"
}
dumper=
finish() {
  [ -n "$dumper" ] && kill $dumper 2>/dev/null
  for side in a b c; do on $side "$service" --stop >/dev/null 2>&1; done
  [ $failures -eq 0 ] && rm -rf "$work" || echo "kept $work"
}
trap finish EXIT
# Waits up to 30 s for a command to succeed, trying every 0.1 s.
eventually() {
  for _ in $(seq 300); do "$@" && return 0; sleep 0.1; done
  return 1
}
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
port=$(free_port)

# The ownership table of slots is one per user: A's module sits in slot 1, B's in slot 2.
printf 'bus can0 rate=1000000 socketcand=127.0.0.1:%s\nslot 1 5320 bus=can0\n' "$port" >"$work/a.conf"
printf 'bus can0 rate=1000000 socketcand-remote=127.0.0.1:%s\nslot 2 5320 bus=can0\n' "$port" \
  >"$work/b.conf"
link_line() { on b "$tool" list 2>/dev/null | grep "^link can0 -> 127.0.0.1:$port/can0: "; }
link_is() { link_line | grep -q "$1"; }

# Ids below 0x7F0 (standard) or with eight digits (extended); 7FE and 7FF mark the stream.
awk -v n="$count" 'BEGIN {
  for (i = 0; i < n; i++) {
    data = ""
    for (b = 0; b < i % 9; b++) data = data sprintf("%02X", (i + b) % 256)
    if (i % 3 == 0) printf "%08X#%s\n", 0x10000000 + i, data
    else printf "%03X#%s\n", 0x100 + i % 0x600, data
  }
}' >"$work/frames"

on a "$tool" list >/dev/null || fail "service A did not start"
on b "$tool" list >/dev/null || fail "service B did not start"
eventually link_is ": up, " || fail "the link did not come up: $(link_line)"

# cross NAME FROM_SIDE FROM_SLOT TARGET...: sends the frames on one side's module and checks that
# each TARGET (SIDE:SLOT, a module; SIDE:BUS, a tap on that side's bus) got exactly them, in
# order. Probes (7FF) until every dump takes frames; a last frame (7FE) ends the stream.
cross() {
  local name=$1 from=$2 from_slot=$3 target
  shift 3
  local targets=("$@")
  out_of() { echo "$work/$name-${1/:/-}"; }
  for target in "${targets[@]}"; do
    # exec: the dump is the background job itself, so that killing the job ends it.
    on "${target%%:*}" exec "$tool" dump "${target#*:}" -b 1M -L -T 60000 \
      >"$(out_of "$target").out" 2>"$(out_of "$target").err" &
    dumper="$dumper $!"
  done
  all_have() {
    for target in "${targets[@]}"; do grep -q " $1#" "$(out_of "$target").out" || return 1; done
  }
  probe() { on "$from" "$tool" send "$from_slot" -b 1M 7FF# && all_have 7FF; }
  eventually probe || fail "$name: no probe crossed"
  on "$from" "$tool" send "$from_slot" -b 1M $(cat "$work/frames") 7FE# || fail "$name: send failed"
  eventually all_have 7FE || fail "$name: the last frame did not cross"
  kill $dumper
  wait $dumper 2>/dev/null
  dumper=
  for target in "${targets[@]}"; do
    sed 's/.* //' "$(out_of "$target").out" | grep -v '^7F[EF]#' >"$(out_of "$target").frames"
    cmp -s "$work/frames" "$(out_of "$target").frames" ||
      fail "$name, $target: $(wc -l <"$(out_of "$target").frames") frames arrived, $(diff "$work/frames" "$(out_of "$target").frames" | grep -c '^[<>]') lines differ"
  done
}
cross a-to-b a 1 b:2
cross b-to-a b 2 a:1
# Nothing dropped on the way out; on the way in, a probe that arrives before the dump has started
# B's module finds nobody to acknowledge it, and counts.
link_is ", dropped out 0, in [0-9]*, connections 1$" || fail "counters after the crossings: $(link_line)"

# A goes away: the link notices, B's frames are acknowledged on B and counted as dropped.
on a "$service" --stop >/dev/null || fail "service A did not stop"
eventually link_is ": \(down\|connecting\), " || fail "the link did not notice: $(link_line)"
dropped_before=$(link_line | sed 's/.*dropped out \([0-9]*\),.*/\1/')
on b "$tool" send 2 -b 1M 123#01 123#02 123#03 || fail "B's module could not send with the link down"
link_is "dropped out $((dropped_before + 3)), " || fail "the frames were not counted: $(link_line)"
# A runs again: the link comes back by itself, and frames cross again.
on a "$tool" list >/dev/null || fail "service A did not start again"
eventually link_is ": up, .*connections 2$" || fail "the link did not come back: $(link_line)"
cross after-restart b 2 a:1
restarted=$(link_line)

# A ring of three: A joins B, B joins C, C joins A. Every frame of A's module reaches B's and C's
# modules once, and never comes back round to A's bus (its tap sees each frame once).
on a "$service" --stop >/dev/null
on b "$service" --stop >/dev/null
mkdir "$work/c"
port_b=$(free_port)
port_c=$(free_port)
ring_line() {  # SIDE SLOT OWN_PORT NEXT_PORT
  printf 'bus can0 rate=1000000 socketcand=127.0.0.1:%s socketcand-remote=127.0.0.1:%s\n' "$3" "$4"
  printf 'slot %s 5320 bus=can0\n' "$2"
}
ring_line a 1 "$port" "$port_b" >"$work/a.conf"
ring_line b 2 "$port_b" "$port_c" >"$work/b.conf"
ring_line c 3 "$port_c" "$port" >"$work/c.conf"
for side in a b c; do on $side "$tool" list >/dev/null || fail "service $side did not start"; done
ring_up() {
  for side in a b c; do on $side "$tool" list 2>/dev/null | grep -q "^link can0 .*: up, " || return 1; done
}
eventually ring_up || fail "the ring did not close"
cross ring a 1 b:2 c:3 a:can0
on c "$service" --stop >/dev/null 2>&1

[ $failures -eq 0 ] && echo "socketcand link: $count frames each way exact and in order; back after a restart: $restarted; a ring of three carried them once to each"
exit $failures

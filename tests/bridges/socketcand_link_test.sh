#!/usr/bin/env bash
# Two backplane services of the test's own (runtime, state and configuration each), as two
# machines would run them: A serves its bus can0 by socketcand, B's can0 joins it. Frames sent on
# either side's module arrive on the other's exactly and in order; k5320 list shows the link and
# its counters; when A's service stops, B counts the frames it drops, and the link comes back by
# itself once A runs again.
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
  [ -n "$dumper" ] && kill "$dumper" 2>/dev/null
  on a "$service" --stop >/dev/null 2>&1
  on b "$service" --stop >/dev/null 2>&1
  [ $failures -eq 0 ] && rm -rf "$work" || echo "kept $work"
}
trap finish EXIT
# Waits up to 30 s for a command to succeed, trying every 0.1 s.
eventually() {
  for _ in $(seq 300); do "$@" && return 0; sleep 0.1; done
  return 1
}
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

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

# cross FROM_SIDE FROM_SLOT TO_SIDE TO_SLOT NAME: sends the frames on one side's module and
# checks the other side's module got exactly them, in order. Probes (7FF) until the dump takes
# frames; a last frame (7FE) ends the stream.
cross() {
  local from=$1 from_slot=$2 to=$3 to_slot=$4 name=$5
  # exec: the dump is the background job itself, so that killing the job ends it.
  on "$to" exec "$tool" dump "$to_slot" -b 1M -L -T 60000 >"$work/$name.out" 2>"$work/$name.err" &
  dumper=$!
  probe() { on "$from" "$tool" send "$from_slot" -b 1M 7FF# && grep -q " 7FF#" "$work/$name.out"; }
  eventually probe || fail "$name: no probe crossed"
  on "$from" "$tool" send "$from_slot" -b 1M $(cat "$work/frames") 7FE# || fail "$name: send failed"
  eventually grep -q " 7FE#" "$work/$name.out" || fail "$name: the last frame did not cross"
  kill "$dumper"
  wait "$dumper" 2>/dev/null
  dumper=
  sed 's/.* //' "$work/$name.out" | grep -v '^7F[EF]#' >"$work/$name.frames"
  cmp -s "$work/frames" "$work/$name.frames" ||
    fail "$name: $(wc -l <"$work/$name.frames") frames arrived, $(diff "$work/frames" "$work/$name.frames" | grep -c '^[<>]') lines differ"
}
cross a 1 b 2 a-to-b
cross b 2 a 1 b-to-a
link_is ", dropped out 0, in 0, connections 1$" || fail "counters after the crossings: $(link_line)"

# A goes away: the link notices, B's frames are acknowledged on B and counted as dropped.
on a "$service" --stop >/dev/null || fail "service A did not stop"
eventually link_is ": \(down\|connecting\), " || fail "the link did not notice: $(link_line)"
dropped_before=$(link_line | sed 's/.*dropped out \([0-9]*\),.*/\1/')
on b "$tool" send 2 -b 1M 123#01 123#02 123#03 || fail "B's module could not send with the link down"
link_is "dropped out $((dropped_before + 3)), " || fail "the frames were not counted: $(link_line)"
# A runs again: the link comes back by itself, and frames cross again.
on a "$tool" list >/dev/null || fail "service A did not start again"
eventually link_is ": up, .*connections 2$" || fail "the link did not come back: $(link_line)"
cross b 2 a 1 after-restart

[ $failures -eq 0 ] && echo "socketcand link: $count frames each way exact and in order; back after a restart: $(link_line)"
exit $failures

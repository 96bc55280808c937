#!/usr/bin/env bash
# k5320 fault BUS: a stuck-dominant wire takes a sender bus-off, which it stays until the slot is
# configured again; a module off the wire is acknowledged by nobody; unknown buses are refused.
set -uo pipefail
tool=$(realpath "$1")
source "$(dirname "$0")/own_service.sh"
printf 'bus can0 rate=500000\nslot 1 5320 bus=can0\nslot 2 5320 bus=can0\n' >"$work/backplane.conf"
export TARN_BACKPLANE_CONFIG=$work/backplane.conf

"$tool" dump 2 -b 500k -T 6000 >"$work/dump" 2>&1 &
acknowledger=$!
for _ in $(seq 300); do "$tool" list 2>/dev/null | grep -q "^slot 2: .*in use" && break; sleep 0.02; done

"$tool" fault can0 stuck-dominant || fail "stuck-dominant exited with $?"
"$tool" send 1 -b 500k 123#11 >"$work/out" 2>&1 && fail "send on a stuck wire exited 0"
grep -q "bus-off" "$work/out" || fail "send on a stuck wire said: $(cat "$work/out")"
"$tool" fault can0 clear || fail "clear exited with $?"
"$tool" status 1 >"$work/out" 2>&1
grep -q "bus-off" "$work/out" || fail "slot 1 left bus-off by itself: $(cat "$work/out")"
# send configures the slot, which starts the controller again.
"$tool" send 1 -b 500k 123#22 >"$work/out" 2>&1 || fail "send after clear: $(cat "$work/out")"

"$tool" fault can0 disconnect 1 || fail "disconnect exited with $?"
"$tool" send 1 -b 500k 123#33 >"$work/out" 2>&1 && fail "send off the wire exited 0"
grep -q "nobody acknowledged" "$work/out" || fail "send off the wire said: $(cat "$work/out")"
"$tool" fault can0 connect 1 || fail "connect exited with $?"
"$tool" send 1 -b 500k 123#44 >"$work/out" 2>&1 || fail "send back on the wire: $(cat "$work/out")"

"$tool" fault nosuch clear 2>"$work/out" && fail "a fault on an unknown bus exited 0"
"$tool" fault can0 bit-errors 101 2>"$work/out" && fail "bit-errors 101 exited 0"
"$tool" fault can0 bit-errors 5 42 || fail "bit-errors 5 42 exited with $?"
"$tool" fault can0 clear

wait $acknowledger
grep -q "123   \[1\]  22" "$work/dump" || fail "slot 2 missed the frame after the restart: $(cat "$work/dump")"
grep -q "123   \[1\]  44" "$work/dump" || fail "slot 2 missed the frame back on the wire"
grep -q "123   \[1\]  33" "$work/dump" && fail "slot 2 heard a module off the wire"

[ $failures -eq 0 ] && echo "k5320 wire faults: all checks passed"
exit $failures

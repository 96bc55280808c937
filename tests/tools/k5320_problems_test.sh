#!/usr/bin/env bash
# What k5320 tells about a backplane that is not as it should be, through a service of the
# test's own: a refused configuration, a module left in its loader, an empty firmware file.
set -uo pipefail
tool=$1
source "$(dirname "$0")/own_service.sh"

# A refused configuration shows with its line, and list fails.
printf 'bus can0\nslot 1 5320 bus=nowhere\n' >"$work/bad.conf"
TARN_BACKPLANE_CONFIG=$work/bad.conf "$tool" list >"$work/out" 2>"$work/err"; rc=$?
[ $rc -eq 1 ] || fail "list on a refused configuration exited with $rc"
grep -q "k5320: .*bad.conf: line 2: slot 1: bus 'nowhere' is not declared" "$work/err" ||
  fail "list did not show the refusal: $(cat "$work/err")"
"$service" --stop >/dev/null

# A module whose flash holds no firmware (as after an interrupted download) says what to do.
mkdir -m 700 "$work/state"
echo "not a flash file" >"$work/state/slot-1.flash"
export TARN_BACKPLANE_CONFIG=
"$tool" list >"$work/out" 2>"$work/err" || fail "list exited with $?: $(cat "$work/err")"
grep -q "^slot 1: 5320, no firmware: run k5320 flash" "$work/out" ||
  fail "list on a module in its loader: $(cat "$work/out")"
"$tool" status 1 >"$work/out" 2>"$work/err"; rc=$?
[ $rc -eq 1 ] || fail "status on a module in its loader exited with $rc"
grep -q "slot 1: no firmware: run k5320 flash" "$work/err" ||
  fail "status on a module in its loader: $(cat "$work/err")"

# An empty firmware file is refused before the old firmware is touched.
: >"$work/empty.exe"
"$tool" flash 2 "$work/empty.exe" >"$work/out" 2>&1; rc=$?
[ $rc -eq 1 ] || fail "flash of an empty file exited with $rc"
grep -q "File is empty" "$work/out" || fail "flash of an empty file: $(cat "$work/out")"
"$tool" list >"$work/out" 2>&1
grep -q "^slot 2: 5320, firmware running" "$work/out" ||
  fail "slot 2 lost its firmware: $(cat "$work/out")"

# A real file goes in block by block, and the module runs it afterwards.
head -c 20000 /dev/urandom >"$work/new.exe"
"$tool" flash 2 "$work/new.exe" >"$work/out" 2>&1; rc=$?
[ $rc -eq 0 ] || fail "flash exited with $rc: $(cat "$work/out")"
grep -q "^Download OK!" "$work/out" || fail "flash said: $(cat "$work/out")"
"$tool" list >"$work/out" 2>&1
grep -q "^slot 2: 5320, firmware running.*new.exe, .*20000 bytes" "$work/out" ||
  fail "slot 2 after the flash: $(cat "$work/out")"

# Ctrl-C during a download waits for the block on its way and stops before the next: the module
# is left in its loader, and says so.
head -c 393152 /dev/urandom >"$work/full.exe"
"$tool" flash 2 "$work/full.exe" >"$work/out" 2>&1 &
flasher=$!
for _ in $(seq 500); do grep -q "^block 2 of" "$work/out" && break; sleep 0.01; done
kill -INT $flasher
wait $flasher; rc=$?
[ $rc -eq 1 ] || fail "flash stopped by SIGINT exited with $rc: $(cat "$work/out")"
grep -q "module left in its loader: run k5320 flash again" "$work/out" ||
  fail "flash stopped by SIGINT said: $(tail -2 "$work/out")"
"$tool" list >"$work/out" 2>&1
grep -q "^slot 2: 5320, no firmware: run k5320 flash" "$work/out" ||
  fail "slot 2 after a stopped flash: $(cat "$work/out")"
"$tool" flash 2 "$work/new.exe" >"$work/out" 2>&1 || fail "flash after a stop exited with $?"

[ $failures -eq 0 ] && echo "k5320 problems: all checks passed"
exit $failures

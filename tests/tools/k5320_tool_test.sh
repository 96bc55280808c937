#!/usr/bin/env bash
# End to end through a backplane service of the test's own: k5320 send on slot 1 reaches
# k5320 dump on slot 2, python-can reads dump's log back, and bad input ends with the
# documented exit codes.
set -uo pipefail
tool=$1
reader=$2
source "$(dirname "$0")/own_service.sh"

sent=(123#DEADBEEF 12345678#R3 7FF#0102 00000001#1122334455667788 000#)
# -f is kept as an alias of candump's filters; -L prints the log form, -s 0 prints beside -o.
timeout --preserve-status -s INT 4 \
  "$tool" dump 2 -f 000:000 -L -s 0 -o "$work/trace.log" >"$work/dump.out" 2>"$work/dump.err" &
dumper=$!
sleep 1.5
"$tool" send 1 "${sent[@]}" || fail "send exited with $?"
wait $dumper || fail "dump exited with $?: $(cat "$work/dump.err")"

# The demo node talks on the same bus: keep only our frames, in order.
grep -v -e 'k5320-2 100#' -e '18FF0001#' -e '321#' "$work/trace.log" | sed 's/.* //' >"$work/ours"
printf '%s\n' "${sent[@]}" >"$work/expected"
diff "$work/expected" "$work/ours" >/dev/null || fail "dump's log holds $(tr '\n' ' ' <"$work/ours")"
cmp -s "$work/dump.out" "$work/trace.log" || fail "printed frames and log differ"
grep -q "frames in .* bus load" "$work/dump.err" || fail "no summary: $(cat "$work/dump.err")"
/usr/bin/python3 "$reader" "$work/trace.log" >"$work/python" || fail "python-can could not read the log"
grep -v -e '^100#' -e '^18FF0001#' -e '^321#' "$work/python" >"$work/python-ours"
diff "$work/expected" "$work/python-ours" || fail "python-can read other frames"

"$tool" send 1 1234#00 2>/dev/null; [ $? -eq 2 ] || fail "a 4-digit id is not refused with 2"
"$tool" send 9 123#00 2>/dev/null; [ $? -eq 2 ] || fail "slot 9 is not refused with 2"
"$tool" dump 1 -b 33k -n 1 2>/dev/null; [ $? -eq 2 ] || fail "33k is not refused with 2"
"$tool" dump 1 -t 6 2>"$work/err"; [ $? -eq 2 ] || fail "dump -t 6 (a number) is not refused with 2"
grep -q "time-stamp type" "$work/err" || fail "dump -t 6 does not say what -t is now: $(cat "$work/err")"
"$tool" bogus 1 2>/dev/null; [ $? -eq 2 ] || fail "an unknown command is not refused with 2"
# Results are named in words; who holds a slot is said.
"$tool" status 3 2>"$work/err"; rc=$?
[ $rc -eq 3 ] && grep -q "no module in slot 3" "$work/err" || fail "status 3 gave $rc: $(cat "$work/err")"
# A library failure passes its result code on: the slot is owned by the holder.
"$tool" cyclic 1 100#01 --every 50 --count 40 >/dev/null 2>&1 &
holder=$!
sleep 1
"$tool" status 1 2>"$work/err"; rc=$?
[ $rc -eq 44 ] || fail "status on a slot owned by another process gave $rc, not 44"
grep -q "slot 1 is in use by process $holder (k5320 cyclic)" "$work/err" ||
  fail "status on a held slot said: $(cat "$work/err")"
wait $holder || fail "cyclic exited with $?"

# A frame nobody acknowledges (nothing else runs at 500k) ends send within seconds, with 1.
start=$(date +%s%N)
"$tool" send 1 -b 500k 123#00 2>"$work/err"; rc=$?
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
[ $rc -eq 1 ] || fail "an unacknowledged send exited with $rc"
grep -q "nobody acknowledged" "$work/err" || fail "an unacknowledged send said: $(cat "$work/err")"
[ $elapsed_ms -lt 5000 ] || fail "an unacknowledged send took $elapsed_ms ms"
# A log whose end cannot be written makes dump fail.
"$tool" dump 2 -n 1 -o /dev/full 2>"$work/err"; rc=$?
[ $rc -eq 1 ] || fail "dump to a full disk exited with $rc: $(cat "$work/err")"
grep -q "writing /dev/full failed" "$work/err" || fail "dump to a full disk said: $(cat "$work/err")"
out=$("$tool" mailbox 1 01 02 0304) || fail "mailbox exited with $?"
[ "$out" = "01 02 03 04" ] || fail "mailbox answered '$out'"
"$tool" status 1 | grep -q "^status 0x" || fail "status printed nothing"

# A fault set from outside reaches the service's module and ends with clear.
"$tool" fault 1 drop 0xD1 || fail "fault drop exited with $?"
seen=$("$tool" fault 1 seen 209)
"$tool" send 1 123#00 2>/dev/null; rc=$?
[ $rc -eq 23 ] || fail "a send whose command was dropped gave $rc, not 23"
[ "$("$tool" fault 1 seen 209)" -gt "$seen" ] || fail "the dropped send never reached the module"
"$tool" fault 1 clear || fail "fault clear exited with $?"
"$tool" send 1 123#00 || fail "send after clear exited with $?"
"$tool" fault 1 drop 256 2>/dev/null; [ $? -eq 2 ] || fail "command 256 is not refused with 2"
"$tool" fault 1 melt 2>/dev/null; [ $? -eq 2 ] || fail "an unknown fault is not refused with 2"
"$tool" fault 3 clear 2>/dev/null; [ $? -eq 1 ] || fail "a fault on an empty slot is not refused with 1"

[ $failures -eq 0 ] && echo "k5320 tool: all checks passed"
exit $failures

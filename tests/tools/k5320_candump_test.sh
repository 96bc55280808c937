#!/usr/bin/env bash
# k5320 beside the Linux CAN tools, through a backplane service of the test's own on a quiet
# 500 kbit/s bus: each option of dump against candump's meaning (can-utils' log2long formats the
# same frames for comparison), a dump -l log that can-utils' log2asc and python-can's LogReader
# read with today's date, the bus tap, -e on a slot and on a tap, and play of that log
# reproducing ids, data and gaps.
set -uo pipefail
tool=$(realpath "$1")
checks=$(realpath "$2")
source "$(dirname "$0")/own_service.sh"
printf 'bus can0 rate=500000\nslot 1 5320 bus=can0\nslot 2 5320 bus=can0\nslot 3 5320 bus=can0\n' \
  >"$work/backplane.conf"
export TARN_BACKPLANE_CONFIG=$work/backplane.conf
cd "$work" || exit 1

# Options as getopt_long parses them; usage per command; the version.
"$tool" --version | grep -q "^k5320 [0-9]" || fail "--version: $("$tool" --version 2>&1)"
for command in list dump send play gen busload status cyclic mailbox flash fault; do
  "$tool" $command --help | grep -q "^usage: k5320 $command" || fail "$command --help"
  "$tool" help $command | grep -q "^Example" || fail "help $command has no examples"
done
"$tool" dump 2 --bogus 2>/dev/null; [ $? -eq 2 ] || fail "an unknown long option is not refused with 2"
"$tool" dump 2 -n 2>/dev/null; [ $? -eq 2 ] || fail "-n without a value is not refused with 2"

# The dumps end after this much silence: long enough for a filtered dump to wait through the
# sends it does not show, even in a sanitized build where each send takes its time.
quiet=10000
sent=(123#DEADBEEF 12345678#R3 7FF#0102 00000001#1122334455667788 000# 456#11 123#01 200#AABB
      0ABCDEF0#CAFE 7FF#R 321#0102030405060708 100#)
"$tool" dump 2 -l -b500k -T "$quiet" 2>"$work/named.err" &                       # candump -l
d1=$!
"$tool" dump 3,123:7FF,12345678:1FFFFFFF --bitrate=500k -T"$quiet" -L >"$work/filtered" 2>/dev/null &
d2=$!
"$tool" dump can0 -T "$quiet" -o "$work/tap.log" -s 0 -ta -x >"$work/tap.out" 2>/dev/null &
d3=$!
"$tool" dump can0,7FF~7FF -T "$quiet" -tz >"$work/inverted" 2>/dev/null &
d4=$!
"$tool" dump can0,100:700,0:C0000000,j -td --timeout="$quiet" >"$work/joined" 2>/dev/null &
d5=$!
"$tool" dump can0 -n3 --timestamp=A >"$work/dated" 2>/dev/null &
d6=$!
sleep 1
gaps=(0.05 0.2 0.01 0.3 0.1 0.02 0.25 0.15 0.05 0.4 0.08)
for i in "${!sent[@]}"; do
  "$tool" send 1 -b 500k "${sent[$i]}" || fail "send ${sent[$i]} exited with $?"
  [ $i -lt ${#gaps[@]} ] && sleep "${gaps[$i]}"
done
for d in $d1 $d2 $d3 $d4 $d5 $d6; do wait $d || fail "a dump exited with $?"; done
printf '%s\n' "${sent[@]}" >"$work/expected"

# -l: candump's name with today's date, and the frames as sent.
log=$(ls candump-"$(date +%Y-%m-%d)"_*.log 2>/dev/null | head -1)
[ -n "$log" ] || fail "no candump-$(date +%Y-%m-%d)_hhmmss.log: $(ls) $(cat "$work/named.err")"
grep -q "Enabling Logfile '$log'" "$work/named.err" || fail "dump -l did not name its log"
sed 's/.* //' "$log" | diff -q "$work/expected" - >/dev/null || fail "the -l log holds $(cat "$log")"
# can-utils' log2asc dates the log today; python-can reads it with stamps of now.
log2asc -I "$log" k5320-2 >"$work/asc" || fail "log2asc could not read the log"
grep -q "^date .* $(date '+%b %e') .* $(date +%Y)$" "$work/asc" ||
  fail "log2asc dated the log: $(head -1 "$work/asc")"
[ "$(grep -c ' Rx ' "$work/asc")" -eq ${#sent[@]} ] || fail "log2asc wrote $(cat "$work/asc")"
/usr/bin/python3 "$checks" read "$log" >"$work/python" || fail "python-can: $(cat "$work/python")"
diff -q "$work/expected" "$work/python" >/dev/null || fail "python-can read $(cat "$work/python")"

# The tap saw the same frames; its columns are those can-utils' log2long gives for its log,
# -t a prints the log's stamps, -x candump's extra column.
sed 's/.* //' "$work/tap.log" | diff -q "$work/expected" - >/dev/null || fail "the tap logged $(cat "$work/tap.log")"
log2long <"$work/tap.log" | sed -E "s/^\([0-9.]+\)  can0  +//; s/  *'.*'\$//; s/ +\$//" >"$work/long"
sed -E 's/^ \([0-9.]+\)  can0  RX - -  //; s/ +$//' "$work/tap.out" >"$work/columns"
diff "$work/long" "$work/columns" >/dev/null || fail "columns differ from log2long's: $(diff "$work/long" "$work/columns")"
sed -E 's/^ (\([0-9.]+\)) .*/\1/' "$work/tap.out" | diff -q - <(sed 's/ .*//' "$work/tap.log") >/dev/null ||
  fail "-t a stamps are not the log's"
grep -q "^ ([0-9]\{10\}\.[0-9]\{6\})  can0  RX - -  123   \[4\]  DE AD BE EF$" "$work/tap.out" ||
  fail "-ta -x line: $(head -1 "$work/tap.out")"
# Filters as candump's: 7FF takes any id ending so, 8 digits an extended id; ~ the rest; j all.
[ "$(sed 's/.* //' "$work/filtered" | tr '\n' ' ')" = "123#DEADBEEF 12345678#R3 123#01 " ] ||
  fail "slot 3 with 123:7FF,12345678:1FFFFFFF showed $(sed 's/.* //' "$work/filtered" | tr '\n' ' ')"
grep -q " 7FF " "$work/inverted" && fail "7FF~7FF showed a 7FF frame"
[ "$(wc -l <"$work/inverted")" -eq 10 ] || fail "7FF~7FF showed $(wc -l <"$work/inverted") frames"
head -1 "$work/inverted" | grep -q "^ (000.000000)  can0  123   \[4\]" || fail "-tz starts $(head -1 "$work/inverted")"
[ "$(awk '{print $3}' "$work/joined" | tr '\n' ' ')" = "123 123 100 " ] ||
  fail "100:700,0:C0000000,j showed $(cat "$work/joined")"
head -1 "$work/joined" | grep -q "^ (000.000000)" || fail "-td starts $(head -1 "$work/joined")"
[ "$(wc -l <"$work/dated")" -eq 3 ] || fail "-n3 showed $(wc -l <"$work/dated") frames"
grep -q "^ ($(date +%Y-%m-%d) [0-9:]\{8\}\.[0-9]\{6\})  can0  " "$work/dated" ||
  fail "-t A: $(head -1 "$work/dated")"

# play reproduces the log: ids, data and gaps, seen on the tap; slot 2 acknowledges.
"$tool" dump 2 -b 500k -s 2 -T 3000 2>/dev/null &
d1=$!
"$tool" dump can0 -T 3000 -o "$work/replay.log" 2>/dev/null &
d2=$!
sleep 1
"$tool" play 1=k5320-2 -b 500k -I "$log" || fail "play exited with $?"
wait $d1 $d2
/usr/bin/python3 "$checks" gaps "$log" "$work/replay.log" >"$work/gaps" || fail "play: $(cat "$work/gaps")"
cat "$work/gaps"

# -e: a frame at 125 kbit/s, which nobody at 500k takes, shows as bus errors on the tap and as
# the error states of slot 2's module.
"$tool" dump can0 -e -n 1 -T 5000 >"$work/tap_errors" 2>/dev/null &
d1=$!
"$tool" dump 2 -b 500k -e -T 1500 >"$work/slot_errors" 2>/dev/null &
d2=$!
sleep 1
"$tool" send 1 -b 125k 123#00 2>"$work/err"; rc=$?
[ $rc -eq 1 ] || fail "a send at 125k on a 500k bus exited with $rc: $(cat "$work/err")"
wait $d1 $d2
grep -q "^  can0  20000088   \[8\]  00 00 04 00 00 00 00 00   ERRORFRAME$" "$work/tap_errors" ||
  fail "the tap's error frame: $(cat "$work/tap_errors")"
grep -q "protocol-violation{{bit-stuffing-error}{unspecified}}" "$work/tap_errors" ||
  fail "the tap's error description: $(cat "$work/tap_errors")"
grep -q "controller-problem{rx-error-warning}" "$work/slot_errors" ||
  fail "slot 2 did not show its error warning: $(cat "$work/slot_errors")"
grep -q "controller-problem{rx-error-passive}" "$work/slot_errors" ||
  fail "slot 2 did not show its error passive state: $(cat "$work/slot_errors")"

[ $failures -eq 0 ] && echo "k5320 beside can-utils: all checks passed"
exit $failures

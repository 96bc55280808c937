#!/usr/bin/env bash
# gen at full speed on a paced bus (how close to its limit it comes is reported), and busload
# reports the load computed from the frames sent: through a backplane service of the test's own,
# on a quiet 500 kbit/s bus where slot 2 acknowledges and busload taps the bus.
set -uo pipefail
tool=$(realpath "$1")
source "$(dirname "$0")/own_service.sh"
printf 'bus can0 rate=500000\nslot 1 5320 bus=can0\nslot 2 5320 bus=can0\n' >"$work/backplane.conf"
export TARN_BACKPLANE_CONFIG=$work/backplane.conf

# Every frame 123#1122334455667788: 112 bits on the wire, stuff bits included (can-utils'
# canframelen), so at most 4464 a second at 500 kbit/s.
count=20000
bits=112
"$tool" dump 2 -b 500k -s 2 -T 3000 2>/dev/null &
acknowledger=$!
"$tool" busload can0 -n 8 >"$work/load" 2>"$work/load.err" &
loader=$!
sleep 1
start=$(date +%s%N)
"$tool" gen 1 -g 0 -b 500k -I 123 -D 1122334455667788 -n $count || fail "gen exited with $?"
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
wait $loader || fail "busload exited with $? ($(cat "$work/load.err"))"
wait $acknowledger
cat "$work/load"

# Each line: frames, bits = frames x 112, payload = frames x 64, percent = bits / 5000, bar.
awk -v bits=$bits '
  NF < 6 { next }
  { frames += $2
    if ($3 != $2 * bits) { print "bits " $3 " for " $2 " frames"; bad = 1 }
    if ($4 != $2 * 64) { print "payload " $4 " for " $2 " frames"; bad = 1 }
    if ($5 + 0 != int($3 * 100 / 500000)) { print "load " $5 " for " $3 " bits"; bad = 1 }
    if (length($6) != 22 || $6 !~ /^\|X*\.*\|$/) { print "bar " $6; bad = 1 }
    if ($5 + 0 > top) top = $5 + 0 }
  END { print frames, top; exit bad }' "$work/load" >"$work/sums" || fail "busload lines: $(cat "$work/sums")"
read -r frames top < <(tail -1 "$work/sums")
[ "$frames" -eq $count ] || fail "busload counted $frames frames of the $count sent"
# How close gen came to the bus's limit depends on how busy the machine is: reported, not
# asserted (the frames and the load's arithmetic are).
rate=$(( count * 1000 / elapsed_ms ))

[ $failures -eq 0 ] && echo "gen and busload: $count frames at $rate frames/s, busload up to $top %"
exit $failures

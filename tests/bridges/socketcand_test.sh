#!/usr/bin/env bash
# python-can (interface "socketcand") against the socketcand server of a backplane service of the
# test's own: 1,000 frames from python reach k5320 dump on slot 2 exactly, 1,000 frames from
# k5320 send on slot 1 reach python exactly, and malformed lines are answered with errors while
# the bus goes on, with a second client seeing the frames of the first.
set -uo pipefail
tool=$1
peer=$2
python=/usr/bin/python3
count=1000
work=$(mktemp -d /tmp/k5320-socketcand-test-XXXXXX)
# A port of this run's own, away from the default one a user's service may hold.
port=$((30000 + $$ % 20000))
export TARN_BACKPLANE=service TARN_BACKPLANE_RUNTIME=$work/run TARN_BACKPLANE_STATE=$work/state
export TARN_BACKPLANE_CONFIG=$work/backplane.conf TARN_BACKPLANE_GRACE_MS=600000
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
finish() {
  "${tool%/*}/../../backplane/k5320-backplaned" --stop >/dev/null 2>&1
  [ $failures -eq 0 ] && rm -rf "$work" || echo "kept $work"
}
trap finish EXIT

cat >"$work/backplane.conf" <<CONF
bus can0 rate=1000000 socketcand=127.0.0.1:$port
slot 1 5320 bus=can0
slot 2 5320 bus=can0
CONF
"$python" "$peer" frames $count >"$work/frames"
"$tool" list >/dev/null || fail "the service did not start"
wait_for() {  # FILE: a client's ready mark
  for _ in $(seq 100); do [ -e "$1" ] && return 0; sleep 0.1; done
  fail "$1 did not appear"
}

# python -> driver.
"$tool" dump 2 -b 1M -L -n $count -T 60000 >"$work/dump.out" 2>"$work/dump.err" &
dumper=$!
sleep 2
"$python" "$peer" send $port "$work/frames" || fail "python could not send"
wait $dumper || fail "dump exited with $? ($(cat "$work/dump.err"))"
sed 's/.* //' "$work/dump.out" >"$work/dumped"
cmp -s "$work/frames" "$work/dumped" ||
  fail "slot 2 got $(wc -l <"$work/dumped") frames, $(diff "$work/frames" "$work/dumped" | grep -c '^[<>]') lines differ"

# driver -> python.
"$python" "$peer" recv $port $count "$work/received" "$work/ready" &
receiver=$!
wait_for "$work/ready"
sleep 0.2
"$tool" send 1 -b 1M $(cat "$work/frames") || fail "send exited with $?"
wait $receiver || fail "python received $(wc -l <"$work/received") of $count frames"
cmp -s "$work/frames" "$work/received" ||
  fail "python got $(wc -l <"$work/received") frames, $(diff "$work/frames" "$work/received" | grep -c '^[<>]') lines differ"

# Malformed lines and a client leaving mid-command: errors, and the bus goes on. The raw
# client's good frame reaches slot 2 and the python client; python's next frame reaches slot 2.
"$tool" dump 2 -b 1M -L -n 2 -T 30000 >"$work/dump2.out" 2>"$work/dump2.err" &
dumper=$!
"$python" "$peer" recv $port 1 "$work/other" "$work/ready2" &
receiver=$!
wait_for "$work/ready2"
sleep 1.5
"$python" "$peer" garbage $port || fail "malformed lines were not all refused"
wait $receiver || fail "the second client did not see the first one's frame"
[ "$(cat "$work/other" 2>/dev/null)" = "321#ABCD" ] || fail "the second client saw '$(cat "$work/other")'"
echo "7FF#0102" >"$work/last"
"$python" "$peer" send $port "$work/last" || fail "python could not send after the garbage"
wait $dumper || fail "dump after the garbage exited with $?"
[ "$(sed 's/.* //' "$work/dump2.out" | tr '\n' ' ')" = "321#ABCD 7FF#0102 " ] ||
  fail "slot 2 saw '$(sed 's/.* //' "$work/dump2.out" | tr '\n' ' ')' after the garbage"

[ $failures -eq 0 ] && echo "socketcand: $count frames each way exact; malformed input refused"
exit $failures

#!/usr/bin/env bash
# The benchmark relay's own check, inside a private network namespace: the
# delay of a ping-pong, the rate cap, end of stream in both directions, the
# byte counts, and the faults it injects. Only what a busy machine cannot
# break is checked: the delay and the cap are never undercut, and the bytes
# arrive intact; how close the relay comes to them is for make bench.
#   tests/relay_test.sh path/to/burrowlink_relay
# Needs socat; without it the test is skipped (exit 77).
set -euo pipefail

relay=$(realpath "${1:?usage: relay_test.sh RELAY}")
top=$(cd "$(dirname "$0")/.." && pwd)
if [[ "${RELAY_TEST_IN_NETNS:-}" != 1 ]]; then
  exec unshare --net -- env RELAY_TEST_IN_NETNS=1 bash -c \
    'ip link set lo up && exec "$0" "$@"' "$0" "$relay"
fi
source "$top/scripts/loopback-only.sh"
command -v socat > /dev/null || { echo "skipped: socat is not installed"; exit 77; }

work=$(mktemp -d "$bench_dir/burrowlink-relay.XXXXXX")
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# The far end listens on a fixed port: nothing else lives in this namespace.
far=9000
wait_listening() {
  for _ in $(seq 1 200); do
    ss -ltnH "sport = :$1" | grep -q . && return
    sleep 0.01
  done
  echo "nothing listens on $1" >&2; exit 1
}
# start_relay ARGS...: a relay to the far end; sets relay_pid and port.
start_relay() {
  : > "$work/relay.out"  # emptied here: the child's own redirection may come late
  "$relay" --listen 0 --to 127.0.0.1:$far "$@" >> "$work/relay.out" &
  relay_pid=$!
  for _ in $(seq 1 200); do
    port=$(awk '/^listening on/ {print $3}' "$work/relay.out")
    [[ -n "$port" ]] && return
    sleep 0.01
  done
  echo "the relay did not start" >&2; exit 1
}
stop_relay() { kill "$relay_pid"; wait "$relay_pid" || true; }
# ms FROM TO: milliseconds between two $EPOCHREALTIME readings.
ms() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f\n", (b - a) * 1000}'; }
within() { awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN {exit !(v >= lo && v <= hi)}'; }
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

head -c $((64 << 20)) /dev/urandom > "$work/big"
head -c 100000 /dev/urandom > "$work/small"

# Usage errors leave with status 2, before listening.
while read -r args; do
  set +e; "$relay" $args 2> /dev/null; status=$?; set -e
  [[ $status == 2 ]] || fail "'$args' ended with $status, not 2"
done <<'TABLE'
--to 127.0.0.1:1
--listen 0
--listen 0 --to 127.0.0.1:1 --delay-ms x
--listen 0 --to 127.0.0.1:1 --rate-mbit -3
--listen 0 --to 127.0.0.1:1 --drop-after 1 --stall-after 1
--listen 0 --to 127.0.0.1:1 --bogus 1
--listen 0 --to nowhere:1
TABLE
pass "usage errors"

# A 1-byte ping-pong takes at least two delays.
socat TCP-LISTEN:$far,reuseaddr,fork PIPE &
echo_pid=$!
wait_listening $far
while read -r delay low high; do
  start_relay --delay-ms "$delay" --rate-mbit 300
  exec 3<> "/dev/tcp/127.0.0.1/$port"
  : > "$work/rtt"
  for i in $(seq 0 7); do
    t0=$EPOCHREALTIME; printf x >&3; IFS= read -r -n1 _ <&3; t1=$EPOCHREALTIME
    [[ $i == 0 ]] || ms "$t0" "$t1" >> "$work/rtt"  # the first one connects
  done
  exec 3>&-
  stop_relay
  rtt=$(median < "$work/rtt")
  if within "$rtt" "$low" "$high"; then
    pass "ping-pong at $delay ms: $rtt ms"
  else
    fail "ping-pong at $delay ms took $rtt ms, not $low to $high"
  fi
done <<'TABLE'
1 2 1000
10 20 1000
TABLE
kill $echo_pid; wait $echo_pid 2> /dev/null || true

# 64 MiB intact and never faster than the cap (10 % for the first burst and
# the clocks); the count file holds what crossed.
while read -r rate; do
  socat -u TCP-LISTEN:$far,reuseaddr "OPEN:$work/got,creat,trunc" &
  sink=$!
  wait_listening $far
  start_relay --delay-ms 1 --rate-mbit "$rate" --count "$work/count"
  t0=$EPOCHREALTIME
  socat -u "OPEN:$work/big" TCP:127.0.0.1:$port
  wait $sink; t1=$EPOCHREALTIME
  stop_relay
  mbit=$(awk -v ms="$(ms "$t0" "$t1")" 'BEGIN {printf "%.0f", 64 * 1048576 * 8 / ms / 1000}')
  cmp -s "$work/big" "$work/got" || fail "64 MiB at $rate Mbit/s arrived different"
  if within "$mbit" 0 "$((rate * 11 / 10))"; then
    pass "64 MiB at a cap of $rate Mbit/s: $mbit Mbit/s"
  else
    fail "64 MiB at a cap of $rate Mbit/s went at $mbit Mbit/s"
  fi
  [[ $(cat "$work/count") == "1 67108864 0" ]] ||
    fail "count after 64 MiB: $(cat "$work/count")"
done <<'TABLE'
300
1000
TABLE

# End of stream crosses after the data, both ways: the far end answers only
# once it has seen the end, and the client ends only once the answer's end
# has come back. Two clients at once, so the count file holds two lines.
socat TCP-LISTEN:$far,reuseaddr,fork SYSTEM:'wc -c' &
wc_pid=$!
wait_listening $far
start_relay --delay-ms 10 --rate-mbit 300 --count "$work/count"
t0=$EPOCHREALTIME
clients=()
for i in 1 2; do
  timeout 5 socat -t 5 - TCP:127.0.0.1:$port < "$work/small" > "$work/answer$i" &
  clients+=($!)
done
for c in "${clients[@]}"; do wait "$c" || fail "a client ended with $?"; done
t1=$EPOCHREALTIME
# The relay writes a connection's count once both its ends have closed.
for _ in $(seq 1 500); do
  [[ $(wc -l < "$work/count") == 2 ]] && break
  sleep 0.01
done
stop_relay
kill $wc_pid; wait $wc_pid 2> /dev/null || true
elapsed=$(ms "$t0" "$t1")
for i in 1 2; do
  [[ $(tr -d ' ' < "$work/answer$i") == 100000 ]] ||
    fail "client $i heard '$(cat "$work/answer$i")', not 100000"
done
# At least the two delays; well under the clients' 5 s, which a lost end
# of stream would run into.
within "$elapsed" 20 4000 || fail "the two ends took $elapsed ms, not 20 to 4000"
[[ $(sort "$work/count") == $'1 100000 7\n2 100000 7' ]] ||
  fail "counts: $(tr '\n' ';' < "$work/count")"
pass "end of stream both ways, counts of two connections at once"

# sink: one connection's bytes into $work/got; sets sink. socat only warns
# of a reset (-d shows it) and ends with 0.
sink() {
  socat -d -u TCP-LISTEN:$far,reuseaddr "OPEN:$work/got,creat,trunc" \
    2> "$work/sink.err" &
  sink=$!
  wait_listening $far
}

# --flip-at flips one bit of the first connection only.
start_relay --flip-at 12345
for n in 1 2; do
  sink
  socat -u "OPEN:$work/small" TCP:127.0.0.1:$port
  wait $sink
  cmp -l "$work/small" "$work/got" > "$work/diff" || true
  if [[ $n == 1 ]]; then
    read -r at a b < "$work/diff" || true
    bit=$(( 8#${a:-0} ^ 8#${b:-0} ))
    [[ $(wc -l < "$work/diff") == 1 && $at == 12346 && $((bit & (bit - 1))) == 0 && $bit != 0 ]] ||
      fail "flip-at: $(head -3 "$work/diff" | tr '\n' ';')"
  else
    [[ ! -s "$work/diff" ]] || fail "flip-at changed the second connection"
  fi
done
stop_relay
pass "flip-at"

# --drop-after: exactly N bytes reach the far end, then both ends are reset.
start_relay --delay-ms 1 --rate-mbit 300 --drop-after 100000 --count "$work/count"
sink
sender=0
socat -u "OPEN:$work/big" TCP:127.0.0.1:$port 2> /dev/null || sender=$?
wait $sink
stop_relay
[[ $(stat -c %s "$work/got") == 100000 ]] ||
  fail "drop-after 100000 let $(stat -c %s "$work/got") bytes through"
[[ $sender != 0 ]] || fail "drop-after: the sender was not reset"
grep -q "reset by peer" "$work/sink.err" || fail "drop-after: the receiver was not reset"
[[ $(cat "$work/count") == "1 100000 0" ]] || fail "drop-after count: $(cat "$work/count")"
pass "drop-after"

# --stall-after: N bytes, then nothing, with both connections held open.
start_relay --delay-ms 1 --rate-mbit 300 --stall-after 50000 --count "$work/count"
sink
socat -u "OPEN:$work/big" TCP:127.0.0.1:$port 2> /dev/null &
sender=$!
for _ in $(seq 1 1000); do
  [[ $(stat -c %s "$work/got" 2> /dev/null) -ge 50000 ]] && break
  sleep 0.01
done
sleep 0.3  # a stall shows only as nothing more for a while
kill -0 $sink 2> /dev/null && kill -0 $sender 2> /dev/null ||
  fail "stall-after: a side ended while stalled"
[[ $(stat -c %s "$work/got") == 50000 ]] ||
  fail "stall-after 50000 let $(stat -c %s "$work/got") bytes through"
stop_relay
wait $sink 2> /dev/null || true
wait $sender 2> /dev/null || true
[[ $(cat "$work/count") == "1 50000 0" ]] || fail "stall-after count: $(cat "$work/count")"
pass "stall-after"

[[ $failures == 0 ]] || { echo "$failures failed" >&2; exit 1; }
echo "all relay checks passed"

#!/usr/bin/env bash
# Benchmark, inside a private network namespace, in four parts:
#  1. loopback: burrowlink against a raw verified pipe (socat + openssl) and
#     an rsync daemon, interleaved round by round so that drift cancels;
#  2. a shaped link: a veth pair into a second namespace, limited by tbf to
#     BENCH_RATE (1gbit), burrowlink against an rsync daemon, with the CPU
#     seconds per GiB of each side;
#  3. each burrowlink side alone against a near-free peer (sendfile/splice),
#     as a share of the one-core SHA-256 rate;
#  4. a Wi-Fi-like link: small files through the relay (a delay each way and
#     a rate cap), burrowlink against an rsync daemon, with the floor that
#     the link allows;
#  5. the encrypted channel (send --secure) against rsync over ssh, on
#     loopback, through the relay and on the shaped link (bench-secure.sh).
# It ends with one summary line of ratios, to compare a run with the last.
#   scripts/bench.sh build/burrowlink [rounds]    (BENCH_DIR picks the folder,
#   BENCH_RATE the link's rate, BENCH_LINK_ROUNDS its rounds,
#   BENCH_WIFI_ROUNDS the Wi-Fi part's, BENCH_SECURE_ROUNDS the encrypted
#   part's, BENCH_PARTS the parts to run: "loopback link alone wifi secure"
#   by default, BENCH_RELAY the relay program)
set -euo pipefail

bin=$(realpath "${1:-build/burrowlink}")
rounds=${2:-5}
peer=$(dirname "$bin")/burrowlink_bench_peer
relay=${BENCH_RELAY:-$(dirname "$bin")/burrowlink_relay}
parts=" ${BENCH_PARTS:-loopback link alone wifi secure} "
part() { [[ $parts == *" $1 "* ]]; }
for p in $parts; do
  [[ " loopback link alone wifi secure " == *" $p "* ]] || {
    echo "BENCH_PARTS: no part '$p' (loopback link alone wifi secure)" >&2; exit 1; }
done
# BENCH_TERMINAL=1: burrowlink runs on a pseudo-terminal, drawing its
# progress line, in the 1 GiB loopback runs.
on_terminal=$(realpath "$(dirname "$0")")/on-terminal
link_rate=${BENCH_RATE:-1gbit}
link_rounds=${BENCH_LINK_ROUNDS:-3}
wifi_rounds=${BENCH_WIFI_ROUNDS:-3}
secure_rounds=${BENCH_SECURE_ROUNDS:-3}
if { part wifi || part secure; } && [[ ! -x "$relay" ]]; then
  echo "no relay at $relay: build the burrowlink_relay target" >&2; exit 1
fi

# Never touch the real network: re-run inside a fresh namespace.
if [[ "${BENCH_IN_NETNS:-}" != 1 ]]; then
  exec unshare --net -- env BENCH_IN_NETNS=1 bash -c \
    'ip link set lo up && exec "$0" "$@"' "$0" "$bin" "$rounds"
fi
source "$(dirname "$0")/loopback-only.sh"
work=$(mktemp -d "$bench_dir/burrowlink-bench.XXXXXX")
netns=blbench$$
cleanup() {
  kill $(jobs -p) 2>/dev/null || true
  # sshd outlives the time command that watches it.
  kill $(cat "$work"/ssh/sshd.pid 2>/dev/null) 2>/dev/null || true
  ip netns pids "$netns" 2>/dev/null | xargs -r kill 2>/dev/null || true
  ip netns del "$netns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/src/small1" "$work/src/small2" "$work/home-r" "$work/home-s"
export HOME=$work/home-s

echo "preparing data in $work ..."
# Only what the chosen parts read: the 1 GiB file alone takes seconds.
if part loopback || part link || part alone || part secure; then
  head -c $((1024 * 1024 * 1024)) /dev/urandom > "$work/src/big.bin"
  big_bytes=$(stat -c %s "$work/src/big.bin")
  big_sum=$(openssl dgst -sha256 -r "$work/src/big.bin" | cut -d' ' -f1)
fi
for d in small1 small2; do
  for i in $(seq 1 1000); do head -c 4096 /dev/urandom > "$work/src/$d/f$i.bin"; done
done
# The folder case: 10,000 files of 4 KiB in 100 folders.
if part loopback || part wifi; then
  for i in $(seq -w 1 100); do
    mkdir -p "$work/src/tree/d$i"
    head -c $((100 * 4096)) /dev/urandom | split -b 4096 -d -a 3 - "$work/src/tree/d$i/f"
  done
  tree_sum=$(cd "$work/src" && find tree -type f | sort | xargs cat | openssl dgst -sha256 -r)
fi

now() { date +%s.%N; }
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
col_median() { awk -v c="$2" '{print $c}' "$1" | median; }
ratio() { printf '%.2f' "$(echo "$1" | bc -l)"; }
summary=()  # the summary line's pieces, one per part that ran
port=46000
next_port() { port=$((port + 1)); }
# /usr/bin/time -f "$time_format": wall seconds, user, system, peak RSS KiB.
time_format="%e %U %S %M"
peak_kb() { tail -1 "$1" | awk '{print $4}'; }
cpu_s() { tail -1 "$1" | awk '{print $2 + $3}'; }

fresh_out() { rm -rf "$work/out"; mkdir -p "$work/out"; sync; }

check_big() {
  local got
  got=$(openssl dgst -sha256 -r "$1" | cut -d' ' -f1)
  [[ "$got" == "$big_sum" ]] || { echo "MISMATCH in $1" >&2; exit 1; }
}

# Compares the received small files with the sources, in one hash each.
check_small() {
  local n list
  n=$(find "$work/out" -type f | wc -l)
  [[ "$n" == 2000 ]] || { echo "expected 2000 files, found $n" >&2; exit 1; }
  list=$(for d in small1 small2; do for i in $(seq 1 1000); do echo "$d/f$i.bin"; done; done)
  a=$(cd "$work/src" && cat $list | openssl dgst -sha256 -r)
  b=$(cd "$work/out" && cat $list | openssl dgst -sha256 -r)
  [[ "$a" == "$b" ]] || { echo "small files differ" >&2; exit 1; }
}

# Starts `receive --yes --once` under /usr/bin/time and waits until it listens.
# $2, when given, is the command that starts it elsewhere (in_far).
start_receiver() {
  next_port
  ${2:-} env HOME=$work/home-r /usr/bin/time -f "$time_format" \
    -o "$work/recv.time" "$on_terminal" "$bin" receive --dir "$work/out/$1" \
    --yes --once --port $port > "$work/recv.out" 2> "$work/recv.err" &
  recv_pid=$!
  for _ in $(seq 1 200); do
    grep -q Ready "$work/recv.err" "$work/recv.out" 2>/dev/null && return
    sleep 0.01
  done
  echo "receiver did not start" >&2; cat "$work/recv.err" >&2; exit 1
}

bl_big() {
  fresh_out; start_receiver ""
  local t0 t1; t0=$(now)
  /usr/bin/time -f "$time_format" -o "$work/send.time" \
    "$on_terminal" "$bin" send "$work/src/big.bin" --to 127.0.0.1:$port \
    > "$work/send.out" 2> "$work/send.err"
  wait $recv_pid; t1=$(now)
  check_big "$work/out/big.bin"
  echo "$(peak_kb "$work/send.time") $(peak_kb "$work/recv.time")" >> "$work/rss"
  echo "$(cpu_s "$work/send.time") $(cpu_s "$work/recv.time")" >> "$work/loop_cpu"
  echo "$t1 - $t0" | bc -l
}

# The 2000 small files in two offers to a receiver at address $1, started
# by start_receiver with $2; seconds.
send_small() {
  fresh_out
  local t0 t1 total=0 d
  for d in small1 small2; do
    mkdir -p "$work/out/$d"
    start_receiver "$d" "${2:-}"
    t0=$(now)
    "$bin" send "$work/src/$d"/*.bin --to "$1:$port" 2> "$work/send.err"
    wait $recv_pid; t1=$(now)
    total=$(echo "$total + $t1 - $t0" | bc -l)
  done
  check_small
  echo "$total"
}

bl_small() { send_small 127.0.0.1; }

pipe_big() {
  fresh_out; next_port
  (socat -u TCP-LISTEN:$port,reuseaddr STDOUT | tee "$work/out/big.bin" \
     | openssl dgst -sha256 -r > "$work/recv.sum") &
  local lpid=$! t0 t1
  sleep 0.2; t0=$(now)
  socat -u STDIN TCP:127.0.0.1:$port < "$work/src/big.bin" &
  openssl dgst -sha256 -r "$work/src/big.bin" > "$work/send.sum"
  wait; t1=$(now)
  check_big "$work/out/big.bin"
  echo "$t1 - $t0" | bc -l
}

pipe_small() {
  fresh_out; next_port
  (socat -u TCP-LISTEN:$port,reuseaddr STDOUT \
     | tee >(openssl dgst -sha256 -r > "$work/recv.sum") \
     | tar -xf - -C "$work/out") &
  local t0 t1
  sleep 0.2; t0=$(now)
  tar -cf - -C "$work/src" small1 small2 \
    | tee >(openssl dgst -sha256 -r > "$work/send.sum") \
    | socat -u STDIN TCP:127.0.0.1:$port
  wait; t1=$(now)
  check_small
  echo "$t1 - $t0" | bc -l
}

check_tree() {
  local got
  got=$(cd "$work/out" && find tree -type f | sort | xargs cat | openssl dgst -sha256 -r)
  [[ "$got" == "$tree_sum" ]] || { echo "the folder arrived different" >&2; exit 1; }
}

# The folder: ten offers of 1000, so the receiver serves until it is told to
# stop. Seconds from the start of send to its end; peak RSS of both sides.
bl_folder() {
  fresh_out; next_port
  HOME=$work/home-r /usr/bin/time -f "$time_format" -o "$work/recv.time" \
    "$bin" receive --dir "$work/out" --yes --port $port > /dev/null \
    2> "$work/recv.err" &
  local rpid=$! t0 t1
  for _ in $(seq 1 200); do grep -q Ready "$work/recv.err" && break; sleep 0.01; done
  t0=$(now)
  /usr/bin/time -f "$time_format" -o "$work/send.time" \
    "$bin" send -r "$work/src/tree" --to 127.0.0.1:$port 2> "$work/send.err"
  t1=$(now)
  pkill -TERM -P "$rpid" || true  # burrowlink, not the time command
  wait $rpid 2>/dev/null || true
  check_tree
  echo "$(peak_kb "$work/send.time") $(peak_kb "$work/recv.time")" >> "$work/folder_rss"
  echo "$t1 - $t0" | bc -l
}

rsync_folder() {
  fresh_out; start_rsyncd
  local t0 t1; t0=$(now)
  rsync -a --whole-file "$work/src/tree" rsync://127.0.0.1:$port/bench/
  t1=$(now); kill $rsyncd_pid; wait $rsyncd_pid 2>/dev/null || true
  check_tree
  echo "$t1 - $t0" | bc -l
}

write_rsyncd_conf() {
  cat > "$work/rsyncd.conf" <<CONF
use chroot = no
[bench]
path = $work/out
read only = no
uid = root
gid = root
CONF
}

start_rsyncd() {
  next_port
  write_rsyncd_conf
  rsync --daemon --no-detach --config="$work/rsyncd.conf" --address=127.0.0.1 \
    --port=$port &
  rsyncd_pid=$!
  sleep 0.3
}

rsync_big() {
  fresh_out; start_rsyncd
  local t0 t1; t0=$(now)
  rsync -a --whole-file "$work/src/big.bin" rsync://127.0.0.1:$port/bench/
  t1=$(now); kill $rsyncd_pid; wait $rsyncd_pid 2>/dev/null || true
  check_big "$work/out/big.bin"
  echo "$t1 - $t0" | bc -l
}

rsync_small() {
  fresh_out; start_rsyncd
  local t0 t1; t0=$(now)
  rsync -a --whole-file "$work/src/small1" "$work/src/small2" rsync://127.0.0.1:$port/bench/
  t1=$(now); kill $rsyncd_pid; wait $rsyncd_pid 2>/dev/null || true
  check_small
  echo "$t1 - $t0" | bc -l
}

# A virtual machine backs guest memory on first touch, which makes whoever
# writes first slow: touch enough of it once before timing anything.
if [[ -n "${big_bytes:-}" ]]; then
  head -c $((3 * big_bytes)) /dev/zero > "$work/warm"; rm -f "$work/warm"
fi

if part loopback; then
  declare -A times
  order=(bl pipe rsync)
  for r in $(seq 1 "$rounds"); do
    echo "round $r/$rounds"
    for k in 0 1 2; do  # a different tool goes first in each round
      tool=${order[$(((r + k) % 3))]}
      times[${tool}_big]+="$(${tool}_big) "
      times[${tool}_small]+="$(${tool}_small) "
      [[ $tool == pipe ]] || times[${tool}_folder]+="$(${tool}_folder) "
    done
  done

  printf '\n%-28s %12s %12s\n' "1 GiB file (median)" "seconds" "MB/s"
  declare -A mbs fps
  for tool in bl pipe rsync; do
    t=$(echo ${times[${tool}_big]} | tr ' ' '\n' | median)
    mbs[$tool]=$(echo "$big_bytes / $t / 1000000" | bc -l)
    printf '%-28s %12.3f %12.0f\n' "$tool" "$t" "${mbs[$tool]}"
  done
  printf '\n%-28s %12s %12s\n' "2000 x 4 KiB (median)" "seconds" "files/s"
  for tool in bl pipe rsync; do
    t=$(echo ${times[${tool}_small]} | tr ' ' '\n' | median)
    fps[$tool]=$(echo "2000 / $t" | bc -l)
    printf '%-28s %12.3f %12.0f\n' "$tool" "$t" "${fps[$tool]}"
  done
  printf '\n%-28s %12s %12s\n' "folder: 10000 x 4 KiB" "seconds" "files/s"
  declare -A folder_fps
  for tool in bl rsync; do
    t=$(echo ${times[${tool}_folder]} | tr ' ' '\n' | median)
    folder_fps[$tool]=$(echo "10000 / $t" | bc -l)
    printf '%-28s %12.3f %12.0f\n' "$tool" "$t" "${folder_fps[$tool]}"
  done
  printf 'peak RSS over the folder runs: send %s KiB, receive %s KiB\n' \
    "$(sort -n -k1 "$work/folder_rss" | tail -1 | cut -d' ' -f1)" \
    "$(sort -n -k2 "$work/folder_rss" | tail -1 | cut -d' ' -f2)"
  printf '\nburrowlink / pipe:  %.2fx throughput, %.2fx files/s\n' \
    "$(echo "${mbs[bl]} / ${mbs[pipe]}" | bc -l)" "$(echo "${fps[bl]} / ${fps[pipe]}" | bc -l)"
  printf 'burrowlink / rsync: %.2fx throughput, %.2fx files/s\n' \
    "$(echo "${mbs[bl]} / ${mbs[rsync]}" | bc -l)" "$(echo "${fps[bl]} / ${fps[rsync]}" | bc -l)"
  printf 'peak RSS over the 1 GiB runs: send %s KiB, receive %s KiB\n' \
    "$(sort -n -k1 "$work/rss" | tail -1 | cut -d' ' -f1)" \
    "$(sort -n -k2 "$work/rss" | tail -1 | cut -d' ' -f2)"
fi

# --- 2. A shaped link between two namespaces -----------------------------

# The receiving side lives in a second namespace, joined by a veth pair whose
# two ends are each limited to the link's rate. Made once, by the first part
# that needs it.
make_link() {
  [[ -z ${link_made:-} ]] || return 0
  link_made=1
  ip netns add "$netns"
  ip link add bl-send type veth peer name bl-recv netns "$netns"
  ip addr add 10.99.0.1/24 dev bl-send
  ip link set bl-send up
  ip netns exec "$netns" ip addr add 10.99.0.2/24 dev bl-recv
  ip netns exec "$netns" ip link set bl-recv up
  ip netns exec "$netns" ip link set lo up
  tc qdisc add dev bl-send root tbf rate "$link_rate" burst 512kb latency 50ms
  ip netns exec "$netns" tc qdisc add dev bl-recv root tbf rate "$link_rate" \
    burst 512kb latency 50ms
}
in_far() { ip netns exec "$netns" "$@"; }

# The 1 GiB file to a receiver across the link, with send's options $@:
# "seconds send-CPU receive-CPU".
link_bl() {
  fresh_out; next_port
  in_far env HOME=$work/home-r /usr/bin/time -f "$time_format" \
    -o "$work/recv.time" "$bin" receive --dir "$work/out" --yes --once \
    --port $port > /dev/null 2> "$work/recv.err" &
  local rpid=$!
  for _ in $(seq 1 200); do grep -q Ready "$work/recv.err" 2>/dev/null && break; sleep 0.01; done
  local t0 t1; t0=$(now)
  /usr/bin/time -f "$time_format" -o "$work/send.time" "$bin" send "$@" \
    "$work/src/big.bin" --to 10.99.0.2:$port 2> "$work/send.err"
  wait $rpid; t1=$(now)
  check_big "$work/out/big.bin"
  echo "$(echo "$t1 - $t0" | bc -l) $(cpu_s "$work/send.time") $(cpu_s "$work/recv.time")"
}

if part link; then
  make_link

  link_rsync() {
    fresh_out; next_port
    write_rsyncd_conf
    in_far /usr/bin/time -f "$time_format" -o "$work/rsyncd.time" \
      rsync --daemon --no-detach --config="$work/rsyncd.conf" \
      --address=10.99.0.2 --port=$port &
    local dpid=$!
    sleep 0.3
    local t0 t1; t0=$(now)
    /usr/bin/time -f "$time_format" -o "$work/send.time" \
      rsync -a --whole-file "$work/src/big.bin" rsync://10.99.0.2:$port/bench/
    t1=$(now)
    sleep 0.5  # lets the daemon reap its worker, whose CPU time is counted
    # The daemon alone, not the time command that watches it.
    in_far pkill -TERM -f "^rsync --daemon" || true
    wait $dpid 2>/dev/null || true
    check_big "$work/out/big.bin"
    echo "$(echo "$t1 - $t0" | bc -l) $(cpu_s "$work/send.time") $(cpu_s "$work/rsyncd.time")"
  }

  link_bl_small() { send_small 10.99.0.2 in_far; }

  link_rsync_small() {
    fresh_out; next_port
    write_rsyncd_conf
    in_far rsync --daemon --no-detach --config="$work/rsyncd.conf" \
      --address=10.99.0.2 --port=$port &
    local dpid=$! t0 t1
    sleep 0.3; t0=$(now)
    rsync -a --whole-file "$work/src/small1" "$work/src/small2" \
      rsync://10.99.0.2:$port/bench/
    t1=$(now)
    in_far pkill -TERM -f "^rsync --daemon" || true
    wait $dpid 2>/dev/null || true
    check_small
    echo "$t1 - $t0" | bc -l
  }

  # The 1 GiB file broken off at half by a relay that drops the connection,
  # then sent again: the seconds and bytes of the second attempt.
  link_resume() {
    fresh_out; next_port
    in_far env HOME=$work/home-r "$bin" receive --dir "$work/out" --yes \
      --port $port > /dev/null 2> "$work/recv.err" &
    local rpid=$! cut=$((port + 1000)) t0 t1
    for _ in $(seq 1 200); do grep -q Ready "$work/recv.err" 2>/dev/null && break; sleep 0.01; done
    "$relay" --listen $cut --to 10.99.0.2:$port --drop-after $((big_bytes / 2)) &
    local relay_pid=$!
    sleep 0.2
    "$bin" send "$work/src/big.bin" --to 127.0.0.1:$cut 2> /dev/null || true
    kill $relay_pid; wait $relay_pid 2>/dev/null || true
    "$relay" --listen $cut --to 10.99.0.2:$port --count "$work/resume.count" &
    relay_pid=$!
    sleep 0.2; t0=$(now)
    "$bin" send "$work/src/big.bin" --to 127.0.0.1:$cut 2> "$work/send.err"
    t1=$(now)
    kill $relay_pid; wait $relay_pid 2>/dev/null || true
    kill $rpid; wait $rpid 2>/dev/null || true
    grep -q Resuming "$work/send.err" || { echo "the second attempt did not resume" >&2; exit 1; }
    check_big "$work/out/big.bin"
    echo "$(echo "$t1 - $t0" | bc -l) $(awk '{n += $2} END {print n + 0}' "$work/resume.count")"
  }

  gib=$(echo "$big_bytes / 1073741824" | bc -l)
  : > "$work/link_bl"; : > "$work/link_rsync"; : > "$work/link_resume"
  : > "$work/link_bl_small"; : > "$work/link_rsync_small"
  for r in $(seq 1 "$link_rounds"); do
    echo "link round $r/$link_rounds ($link_rate)"
    link_bl >> "$work/link_bl"
    link_rsync >> "$work/link_rsync"
    link_bl_small >> "$work/link_bl_small"
    link_rsync_small >> "$work/link_rsync_small"
    [[ -x $relay ]] && link_resume >> "$work/link_resume"
  done
  printf '\n%-28s %10s %14s %14s\n' "1 GiB over $link_rate (median)" "MB/s" \
    "send CPU s/GiB" "recv CPU s/GiB"
  declare -A link_mbs link_send link_recv
  for tool in bl rsync; do
    f=$work/link_$tool
    link_mbs[$tool]=$(echo "$big_bytes / $(col_median "$f" 1) / 1000000" | bc -l)
    link_send[$tool]=$(echo "$(col_median "$f" 2) / $gib" | bc -l)
    link_recv[$tool]=$(echo "$(col_median "$f" 3) / $gib" | bc -l)
    printf '%-28s %10.0f %14.2f %14.2f\n' "$tool" "${link_mbs[$tool]}" \
      "${link_send[$tool]}" "${link_recv[$tool]}"
  done
  printf '\n%-28s %10s\n' "2000 x 4 KiB over $link_rate" "files/s"
  declare -A link_fps
  for tool in bl rsync; do
    link_fps[$tool]=$(echo "2000 / $(median < "$work/link_${tool}_small")" | bc -l)
    printf '%-28s %10.0f\n' "$tool" "${link_fps[$tool]}"
  done
  if [[ -s $work/link_resume ]]; then
    resume_time=$(col_median "$work/link_resume" 1)
    resume_gib=$(echo "$(col_median "$work/link_resume" 2) / 1073741824" | bc -l)
    resume_ratio=$(echo "$resume_time / $(col_median "$work/link_bl" 1)" | bc -l)
    printf '\n%-28s %10s %10s %14s\n' "1 GiB broken at half" "moved GiB" \
      "seconds" "of a whole"
    printf '%-28s %10.2f %10.2f %13.2fx\n' "second attempt (median)" \
      "$resume_gib" "$resume_time" "$resume_ratio"
  fi
  if part loopback; then
    loop_send=$(echo "$(col_median "$work/loop_cpu" 1) / $gib" | bc -l)
    loop_recv=$(echo "$(col_median "$work/loop_cpu" 2) / $gib" | bc -l)
    printf '%-28s %10s %14.2f %14.2f\n' "bl on loopback" "" "$loop_send" "$loop_recv"
  fi
fi

# --- 3. Each side alone against a near-free peer -------------------------

if part alone; then
  sha_kbs=$(openssl speed -evp sha256 -bytes 262144 -seconds 3 2>/dev/null \
    | awk '/^sha256/ {v=$NF} END {sub(/k$/, "", v); print v}')
  sha_mbs=$(echo "$sha_kbs / 1000" | bc -l)

  alone_receive() {
    fresh_out; start_receiver ""
    local t0 t1; t0=$(now)
    "$peer" send 127.0.0.1 $port "$work/src/big.bin" "$big_sum"
    wait $recv_pid; t1=$(now)
    check_big "$work/out/big.bin"
    echo "$big_bytes / ($t1 - $t0) / 1000000" | bc -l
  }

  alone_send() {
    next_port
    "$peer" receive $port > "$work/peer.out" &
    local ppid=$!
    for _ in $(seq 1 200); do grep -q listening "$work/peer.out" 2>/dev/null && break; sleep 0.01; done
    local t0 t1; t0=$(now)
    "$bin" send "$work/src/big.bin" --to 127.0.0.1:$port 2> "$work/send.err"
    wait $ppid; t1=$(now)
    echo "$big_bytes / ($t1 - $t0) / 1000000" | bc -l
  }

  : > "$work/alone_recv"; : > "$work/alone_send"
  for r in $(seq 1 "$rounds"); do
    alone_receive >> "$work/alone_recv"
    alone_send >> "$work/alone_send"
  done
  alone_recv=$(median < "$work/alone_recv")
  alone_send=$(median < "$work/alone_send")
  printf '\n%-28s %10s %12s\n' "one side alone (median)" "MB/s" "of SHA-256"
  printf '%-28s %10.0f %11.0f%%\n' "receive" "$alone_recv" "$(echo "100 * $alone_recv / $sha_mbs" | bc -l)"
  printf '%-28s %10.0f %11.0f%%\n' "send" "$alone_send" "$(echo "100 * $alone_send / $sha_mbs" | bc -l)"
  printf '%-28s %10.0f\n' "SHA-256 on one core" "$sha_mbs"
fi

# --- 4. A Wi-Fi-like link: the relay's delay and rate cap ----------------

# Both tools reach their receiver through the relay, which delivers every
# byte D ms after it read it and caps each direction's rate: one round trip
# per file costs 2 D. The floor is the data's time at the capped rate, two
# round trips and burrowlink's start-up (its own time for one file there).

# start_relay PORT DELAY_MS RATE_MBIT: a relay to 127.0.0.1:PORT, listening
# on the next port; its byte counts go to $work/relay.count.
start_relay() {
  local to=$1; next_port
  "$relay" --listen $port --to 127.0.0.1:$to --delay-ms "$2" --rate-mbit "$3" \
    --count "$work/relay.count" &
  relay_pid=$!
  for _ in $(seq 1 200); do
    ss -ltnH "sport = :$port" | grep -q . && return
    sleep 0.01
  done
  echo "the relay did not start" >&2; exit 1
}
# The relay counts a connection still open when it is stopped.
stop_relay() { kill $relay_pid; wait $relay_pid 2>/dev/null || true; }
wire_bytes() { awk '{n += $2 + $3} END {print n + 0}' "$work/relay.count"; }

check_small1() {
  local n a b
  n=$(find "$work/out" -type f | wc -l)
  [[ "$n" == 1000 ]] || { echo "expected 1000 files, found $n" >&2; exit 1; }
  a=$(cd "$work/src/small1" && cat $(seq -f 'f%g.bin' 1 1000) | openssl dgst -sha256 -r)
  b=$(cd "$work/out/small1" && cat $(seq -f 'f%g.bin' 1 1000) | openssl dgst -sha256 -r)
  [[ "$a" == "$b" ]] || { echo "small files differ" >&2; exit 1; }
}
check_one() {
  cmp -s "$work/src/small1/f1.bin" "$work/out/one/f1.bin" ||
    { echo "the one file arrived different" >&2; exit 1; }
}

if part wifi; then
  # wifi_bl DELAY RATE KIND, KIND being small (1000 files in one offer), tree
  # (send -r, ten offers) or one (a single file): "seconds wire-bytes".
  wifi_bl() {
    fresh_out
    local t0 t1 wire
    if [[ $3 == tree ]]; then
      next_port
      HOME=$work/home-r "$bin" receive --dir "$work/out" --yes --port $port \
        > /dev/null 2> "$work/recv.err" &
      recv_pid=$!
      for _ in $(seq 1 200); do grep -q Ready "$work/recv.err" && break; sleep 0.01; done
    else
      local dir=small1; [[ $3 == one ]] && dir=one
      mkdir -p "$work/out/$dir"
      start_receiver "$dir"
    fi
    start_relay $port "$1" "$2"
    t0=$(now)
    case $3 in
      small) "$bin" send "$work/src/small1"/*.bin --to 127.0.0.1:$port 2> "$work/send.err" ;;
      one) "$bin" send "$work/src/small1/f1.bin" --to 127.0.0.1:$port 2> "$work/send.err" ;;
      tree) "$bin" send -r "$work/src/tree" --to 127.0.0.1:$port 2> "$work/send.err" ;;
    esac
    if [[ $3 == tree ]]; then
      t1=$(now)
      kill -TERM $recv_pid
    fi
    wait $recv_pid 2>/dev/null || true
    [[ $3 == tree ]] || t1=$(now)
    stop_relay; wire=$(wire_bytes)
    case $3 in small) check_small1 ;; one) check_one ;; tree) check_tree ;; esac
    echo "$(echo "$t1 - $t0" | bc -l) $wire"
  }

  # wifi_rsync DELAY RATE KIND: the same through rsync -a to the daemon.
  wifi_rsync() {
    fresh_out; start_rsyncd
    start_relay $port "$1" "$2"
    local t0 t1 wire src=small1
    [[ $3 == tree ]] && src=tree
    t0=$(now)
    rsync -a --whole-file "$work/src/$src" rsync://127.0.0.1:$port/bench/
    t1=$(now)
    stop_relay; wire=$(wire_bytes)
    kill $rsyncd_pid; wait $rsyncd_pid 2>/dev/null || true
    case $3 in small) check_small1 ;; tree) check_tree ;; esac
    echo "$(echo "$t1 - $t0" | bc -l) $wire"
  }

  # delay (ms), rate (Mbit/s), kind, files
  wifi_cases=("1 300 small 1000" "5 300 small 1000" "1 1000 tree 10000")
  wifi_t0=$(now)
  for r in $(seq 1 "$wifi_rounds"); do
    echo "Wi-Fi round $r/$wifi_rounds"
    for i in "${!wifi_cases[@]}"; do
      read -r delay rate kind _ <<< "${wifi_cases[$i]}"
      order=(bl rsync)
      (( (r + i) % 2 )) && order=(rsync bl)  # who goes first alternates
      for tool in "${order[@]}"; do
        wifi_$tool "$delay" "$rate" "$kind" >> "$work/wifi_${tool}_$i"
      done
      wifi_bl "$delay" "$rate" one >> "$work/wifi_start_$i"
    done
  done
  wifi_seconds=$(echo "$(now) - $wifi_t0" | bc -l)

  printf '\n%-40s %9s %9s %9s\n' "Wi-Fi-like link (median of $wifi_rounds)" \
    "seconds" "files/s" "wire MB"
  wifi_ratios=()
  for i in "${!wifi_cases[@]}"; do
    read -r delay rate kind files <<< "${wifi_cases[$i]}"
    if [[ $kind == tree ]]; then what="$files x 4 KiB in 100 folders"
    else what="$files x 4 KiB"; fi
    printf '%s, %s ms each way, %s Mbit/s\n' "$what" "$delay" "$rate"
    declare -A wt
    for tool in bl rsync; do
      wt[$tool]=$(col_median "$work/wifi_${tool}_$i" 1)
      printf '  %-38s %9.3f %9.0f %9.2f\n' "$tool" "${wt[$tool]}" \
        "$(echo "$files / ${wt[$tool]}" | bc -l)" \
        "$(echo "$(col_median "$work/wifi_${tool}_$i" 2) / 1000000" | bc -l)"
    done
    start=$(col_median "$work/wifi_start_$i" 1)
    floor=$(echo "$files * 4096 * 8 / ($rate * 1000000) + 4 * $delay / 1000 + $start" | bc -l)
    printf '  %-38s %9.3f %9.0f\n' "floor (start-up $(printf '%.3f' "$start") s)" \
      "$floor" "$(echo "$files / $floor" | bc -l)"
    wifi_ratios+=("$(ratio "${wt[bl]} / ${wt[rsync]}")")
    printf '  %-38s %8.2fx\n' "burrowlink / rsync time" "${wifi_ratios[$i]}"
  done
  printf 'the Wi-Fi part took %.0f s\n' "$wifi_seconds"
  wifi_summary="wifi time ${wifi_ratios[0]}x rsync at 1 ms, ${wifi_ratios[1]}x at 5 ms, folder ${wifi_ratios[2]}x at 1 ms"
fi

# --- 5. The encrypted channel against rsync over ssh ---------------------

if part secure; then
  source "$(dirname "$0")/bench-secure.sh"
fi

# --- The summary: one line of ratios from the parts that ran ------------

if part link; then
  versus_loop_recv="" versus_loop_send=""
  if part loopback; then
    versus_loop_recv="$(ratio "${link_recv[bl]} / $loop_recv")x loopback, "
    versus_loop_send="$(ratio "${link_send[bl]} / $loop_send")x loopback, "
  fi
  summary+=("link recv CPU ${versus_loop_recv}$(ratio "${link_recv[bl]} / ${link_recv[rsync]}")x rsync")
  summary+=("link send CPU ${versus_loop_send}$(ratio "${link_send[bl]} / ${link_send[rsync]}")x rsync")
  summary+=("link $(ratio "${link_fps[bl]} / ${link_fps[rsync]}")x rsync files/s")
  [[ -n ${resume_ratio:-} ]] && summary+=("$(printf 'resume moved %.2f GiB in %.2fx a whole' "$resume_gib" "$resume_ratio")")
fi
if part alone; then
  summary+=("$(printf 'alone recv %.0f%%, send %.0f%% of SHA-256' \
    "$(echo "100 * $alone_recv / $sha_mbs" | bc -l)" \
    "$(echo "100 * $alone_send / $sha_mbs" | bc -l)")")
fi
if part loopback; then
  summary+=("loopback $(ratio "${mbs[bl]} / ${mbs[rsync]}")x rsync MB/s, $(ratio "${fps[bl]} / ${fps[rsync]}")x rsync files/s, folder $(ratio "${folder_fps[bl]} / ${folder_fps[rsync]}")x rsync files/s")
fi
if part wifi; then
  summary+=("$wifi_summary")
fi
[[ -z ${secure_summary:-} ]] || summary+=("$secure_summary")
line=${summary[0]:-}
for piece in "${summary[@]:1}"; do line+="; $piece"; done
printf '\nsummary: %s\n' "$line"

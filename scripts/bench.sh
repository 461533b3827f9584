#!/usr/bin/env bash
# Throughput benchmark over loopback, inside a private network namespace:
# burrowlink against a raw verified pipe (socat + openssl) and an rsync
# daemon, interleaved round by round so that machine drift cancels.
#   scripts/bench.sh build/burrowlink [rounds]    (BENCH_DIR picks the folder)
set -euo pipefail

bin=$(realpath "${1:-build/burrowlink}")
rounds=${2:-5}

# Never touch the real network: re-run inside a fresh namespace.
if [[ "${BENCH_IN_NETNS:-}" != 1 ]]; then
  exec unshare --net -- env BENCH_IN_NETNS=1 bash -c \
    'ip link set lo up && exec "$0" "$@"' "$0" "$bin" "$rounds"
fi
[[ $(readlink /proc/self/ns/net) != $(readlink /proc/1/ns/net) ]] || {
  echo "refusing to run outside a private network namespace" >&2; exit 1; }

# tmpfs by default, so that the file system's inode allocator (slow on a disk
# full of recently deleted files) does not drown the tools' own costs.
bench_dir=${BENCH_DIR:-/dev/shm}
[[ -d "$bench_dir" && -w "$bench_dir" ]] || bench_dir=${TMPDIR:-/tmp}
work=$(mktemp -d "$bench_dir/burrowlink-bench.XXXXXX")
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/src/small1" "$work/src/small2" "$work/home-r" "$work/home-s"
export HOME=$work/home-s

echo "preparing data in $work ..."
head -c $((1024 * 1024 * 1024)) /dev/urandom > "$work/src/big.bin"
for d in small1 small2; do
  for i in $(seq 1 1000); do head -c 4096 /dev/urandom > "$work/src/$d/f$i.bin"; done
done
big_bytes=$(stat -c %s "$work/src/big.bin")
big_sum=$(openssl dgst -sha256 -r "$work/src/big.bin" | cut -d' ' -f1)

now() { date +%s.%N; }
port=46000
next_port() { port=$((port + 1)); }
peak_kb() { awk -F: '/Maximum resident set size/ {gsub(/ /,"",$2); print $2}' "$1"; }

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
start_receiver() {
  next_port
  HOME=$work/home-r /usr/bin/time -v -o "$work/recv.time" \
    "$bin" receive --dir "$work/out/$1" --yes --once --port $port \
    > /dev/null 2> "$work/recv.err" &
  recv_pid=$!
  for _ in $(seq 1 200); do grep -q Ready "$work/recv.err" 2>/dev/null && return; sleep 0.01; done
  echo "receiver did not start" >&2; cat "$work/recv.err" >&2; exit 1
}

bl_big() {
  fresh_out; start_receiver ""
  local t0 t1; t0=$(now)
  /usr/bin/time -v -o "$work/send.time" "$bin" send "$work/src/big.bin" \
    --to 127.0.0.1:$port 2> "$work/send.err"
  wait $recv_pid; t1=$(now)
  check_big "$work/out/big.bin"
  echo "$(peak_kb "$work/send.time") $(peak_kb "$work/recv.time")" >> "$work/rss"
  echo "$t1 - $t0" | bc -l
}

bl_small() {
  fresh_out
  local t0 t1 total=0 d
  for d in small1 small2; do
    mkdir -p "$work/out/$d"
    start_receiver "$d"
    t0=$(now)
    "$bin" send "$work/src/$d"/*.bin --to 127.0.0.1:$port 2> "$work/send.err"
    wait $recv_pid; t1=$(now)
    total=$(echo "$total + $t1 - $t0" | bc -l)
  done
  check_small
  echo "$total"
}

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

start_rsyncd() {
  next_port
  cat > "$work/rsyncd.conf" <<CONF
use chroot = no
[bench]
path = $work/out
read only = no
uid = root
gid = root
CONF
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

median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# A virtual machine backs guest memory on first touch, which makes whoever
# writes first slow: touch enough of it once before timing anything.
head -c $((3 * big_bytes)) /dev/zero > "$work/warm"; rm -f "$work/warm"

declare -A times
order=(bl pipe rsync)
for r in $(seq 1 "$rounds"); do
  echo "round $r/$rounds"
  for k in 0 1 2; do  # a different tool goes first in each round
    tool=${order[$(((r + k) % 3))]}
    times[${tool}_big]+="$(${tool}_big) "
    times[${tool}_small]+="$(${tool}_small) "
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
printf '\nburrowlink / pipe:  %.2fx throughput, %.2fx files/s\n' \
  "$(echo "${mbs[bl]} / ${mbs[pipe]}" | bc -l)" "$(echo "${fps[bl]} / ${fps[pipe]}" | bc -l)"
printf 'burrowlink / rsync: %.2fx throughput, %.2fx files/s\n' \
  "$(echo "${mbs[bl]} / ${mbs[rsync]}" | bc -l)" "$(echo "${fps[bl]} / ${fps[rsync]}" | bc -l)"
printf 'peak RSS over the 1 GiB runs: send %s KiB, receive %s KiB\n' \
  "$(sort -n -k1 "$work/rss" | tail -1 | cut -d' ' -f1)" \
  "$(sort -n -k2 "$work/rss" | tail -1 | cut -d' ' -f2)"

#!/usr/bin/env bash
# A/B benchmark: the checkout's build against the build of another revision,
# run by run, interleaved, in a private network namespace, for 1000 files of
# 4 KiB (one offer) and one 1 GiB file on loopback. Prints, for each set,
# the median over the runs of (checkout time / base time) with its range:
# below 1 the checkout is faster.
#   scripts/bench-ab.sh BASE CHECKOUT_BINARY [runs]
# BASE is built from `git archive` under build-ab/<commit>/, so the checkout
# is never touched; a finished build there is reused. BENCH_DIR picks the
# data folder (tmpfs by default), BENCH_AB_SETS the sets ("small big").
set -euo pipefail

base_rev=${1:?usage: bench-ab.sh BASE CHECKOUT_BINARY [runs]}
new_bin=$(realpath "${2:?usage: bench-ab.sh BASE CHECKOUT_BINARY [runs]}")
runs=${3:-${BENCH_AB_RUNS:-11}}
top=$(cd "$(dirname "$0")/.." && pwd)

if [[ "${BENCH_IN_NETNS:-}" != 1 ]]; then
  commit=$(git -C "$top" rev-parse --verify "$base_rev^{commit}")
  ab=$top/build-ab/$commit
  if [[ ! -x "$ab/build/burrowlink" ]]; then
    echo "building $base_rev ($commit) in $ab ..."
    rm -rf "$ab" && mkdir -p "$ab/src"
    git -C "$top" archive "$commit" | tar -x -C "$ab/src"
    cmake -S "$ab/src" -B "$ab/build" -G Ninja \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$ab/configure.log"
    cmake --build "$ab/build" --target burrowlink > "$ab/build.log"
  fi
  # Never touch the real network: re-run inside a fresh namespace.
  exec unshare --net -- env BENCH_IN_NETNS=1 BENCH_AB_BASE="$base_rev" \
    bash -c 'ip link set lo up && exec "$0" "$@"' "$0" \
    "$ab/build/burrowlink" "$new_bin" "$runs"
fi
base_bin=$1
new_bin=$2
source "$top/scripts/loopback-only.sh"
work=$(mktemp -d "$bench_dir/burrowlink-ab.XXXXXX")
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/small" "$work/home"
export HOME=$work/home

sets=${BENCH_AB_SETS:-small big}
echo "preparing data in $work ..."
for i in $(seq 1 1000); do head -c 4096 /dev/urandom > "$work/small/f$i.bin"; done
small_sum=$(cat "$work"/small/f{1..1000}.bin | sha256sum)
if [[ $sets == *big* ]]; then
  head -c $((1024 * 1024 * 1024)) /dev/urandom > "$work/big.bin"
  big_sum=$(sha256sum < "$work/big.bin")
fi
# Guest memory is slow on first touch: touch it once before timing.
head -c $((3 * 1024 * 1024 * 1024)) /dev/zero > "$work/warm"; rm -f "$work/warm"

port=47000
# One transfer of `what` (small or big) with binary `bin`; prints seconds.
transfer() {
  local bin=$1 what=$2 t0 t1 rpid
  port=$((port + 1))
  rm -rf "$work/out" && mkdir "$work/out"
  "$bin" receive --dir "$work/out" --yes --once --port $port \
    > /dev/null 2> "$work/recv.err" &
  rpid=$!
  for _ in $(seq 1 500); do
    grep -q Ready "$work/recv.err" && break
    sleep 0.01
  done
  t0=$EPOCHREALTIME
  if [[ $what == small ]]; then
    "$bin" send "$work"/small/f{1..1000}.bin --to 127.0.0.1:$port 2> /dev/null
  else
    "$bin" send "$work/big.bin" --to 127.0.0.1:$port 2> /dev/null
  fi
  wait $rpid
  t1=$EPOCHREALTIME
  if [[ $what == small ]]; then
    [[ "$(cat "$work"/out/f{1..1000}.bin | sha256sum)" == "$small_sum" ]]
  else
    [[ "$(sha256sum < "$work/out/big.bin")" == "$big_sum" ]]
  fi || { echo "received data differs ($bin, $what)" >&2; exit 1; }
  echo "$t1 - $t0" | bc -l
}

: > "$work/times"
for r in $(seq 1 "$runs"); do
  # The build that goes first alternates, so that drift cancels.
  if ((r % 2)); then order="new base"; else order="base new"; fi
  for what in $sets; do
    for which in $order; do
      bin=$base_bin; [[ $which == new ]] && bin=$new_bin
      echo "$r $what $which $(transfer "$bin" "$what")" >> "$work/times"
    done
  done
  echo "run $r/$runs done"
done

median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
range() { sort -g | awk 'NR==1 {lo=$1} {hi=$1} END {printf "%.3f-%.3f", lo, hi}'; }
times_of() { awk -v w="$1" -v b="$2" '$2==w && $3==b {print $4}' "$work/times"; }
ratios_of() {
  awk -v w="$1" '$2==w {t[$1" "$3]=$4; r[$1]=1}
    END {for (k in r) print t[k" new"] / t[k" base"]}' "$work/times"
}

printf '\nA/B against %s, %d interleaved runs (seconds; ratio = checkout / base, lower is better)\n' \
  "${BENCH_AB_BASE:-base}" "$runs"
printf '%-18s %-22s %-22s %s\n' set "base median (range)" \
  "checkout median (range)" "ratio median (range)"
for what in $sets; do
  label="1000 x 4 KiB"; [[ $what == big ]] && label="1 GiB"
  printf '%-18s %-22s %-22s %s\n' "$label" \
    "$(times_of $what base | median | xargs printf '%.3f') ($(times_of $what base | range))" \
    "$(times_of $what new | median | xargs printf '%.3f') ($(times_of $what new | range))" \
    "$(ratios_of $what | median | xargs printf '%.2f') ($(ratios_of $what | range))"
done

#!/usr/bin/env bash
# Runs each fuzz target of a fuzz build (make fuzz) for FUZZ_SECONDS inside a
# private network namespace, starting from its seeds and saved crash inputs.
# The fuzzer grows a scratch corpus in the build folder, never the
# repository's; whatever it finds is copied into fuzz/regressions/<target>/
# and fails the run. Prints the executions of each target at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
seconds=${FUZZ_SECONDS:-180}
targets=(address beacon file_name offer secure unicode)

symbolizer=/usr/lib/llvm-14/bin/llvm-symbolizer
[[ -x $symbolizer ]] && export ASAN_SYMBOLIZER_PATH=$symbolizer

failed=()
summary=()
for target in "${targets[@]}"; do
  corpus=$build/fuzz-corpus/$target
  artifacts=$build/fuzz-artifacts/$target
  log=$build/fuzz-$target.log
  rm -rf "$artifacts"
  mkdir -p "$corpus" "$artifacts"
  for seeds in "$root/fuzz/corpus/$target" "$root/fuzz/regressions/$target"; do
    find "$seeds" -maxdepth 1 -type f ! -name '.*' ! -name 'README*' \
      -exec cp -n -t "$corpus" {} +
  done
  options=(-max_total_time="$seconds" -timeout=10 -print_final_stats=1
           -artifact_prefix="$artifacts/")
  [[ -f $root/fuzz/$target.dict ]] && options+=(-dict="$root/fuzz/$target.dict")

  echo "fuzzing $target for ${seconds}s (log: $log)"
  status=0
  "$root/tests/netns.sh" "$build/fuzz_$target" "${options[@]}" "$corpus" \
    >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)

  found=0
  for artifact in "$artifacts"/*; do
    [[ -f $artifact ]] || continue
    cp "$artifact" "$root/fuzz/regressions/$target/"
    echo "  saved fuzz/regressions/$target/$(basename "$artifact")"
    found=$((found + 1))
  done
  if ((status != 0 || found > 0)); then
    tail -n 60 "$log"
    failed+=("$target")
    summary+=("$(printf '%-10s %12s  FAILED (status %d)' "$target" "${runs:-?}" "$status")")
  else
    summary+=("$(printf '%-10s %12s  ok' "$target" "${runs:-?}")")
  fi
done

printf '\n%-10s %12s\n' target executions
printf '%s\n' "${summary[@]}"
if ((${#failed[@]} > 0)); then
  echo "fuzzing found problems in: ${failed[*]}" >&2
  exit 1
fi

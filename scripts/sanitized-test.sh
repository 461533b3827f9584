#!/usr/bin/env bash
# Runs the whole test suite of a sanitizer build (make test-sanitize,
# make test-tsan) and fails on any sanitizer report, whether from a test
# binary or from a burrowlink process that a test started. Reports go to
# files, since the end-to-end tests read the tool's standard error.
set -euo pipefail
build=$(cd "$1" && pwd)
reports=$build/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"

common="log_path=$reports/report:halt_on_error=1"
symbolizer=/usr/lib/llvm-14/bin/llvm-symbolizer
[[ -x $symbolizer ]] && common+=":external_symbolizer_path=$symbolizer"
export ASAN_OPTIONS="$common:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="$common:print_stacktrace=1"
export TSAN_OPTIONS="$common:second_deadlock_stack=1"

status=0
(cd "$build" && ctest --output-on-failure) || status=$?

shopt -s nullglob
found=("$reports"/report*)
if ((${#found[@]} > 0)); then
  for report in "${found[@]}"; do
    echo "=== $report"
    cat "$report"
  done
  echo "sanitizer reports: ${#found[@]} (in $reports)" >&2
  exit 1
fi
exit "$status"

#!/usr/bin/env bash
# Formats the C++ sources with clang-format 14 and the repository's
# .clang-format. With --check it changes nothing, lists every file that
# differs and fails if there is one.
set -euo pipefail
cd "$(dirname "$0")/.."
format=$(command -v clang-format-14 || command -v clang-format)
mapfile -t files < <(git ls-files -- '*.cc' '*.h' '*.h.in' | grep -v '\.in$')
if [[ "${1:-}" == --check ]]; then
  differ=()
  for f in "${files[@]}"; do
    "$format" --dry-run -Werror "$f" > /dev/null 2>&1 || differ+=("$f")
  done
  if [[ ${#differ[@]} -gt 0 ]]; then
    echo "not formatted (run make format):" >&2
    printf '  %s\n' "${differ[@]}" >&2
    exit 1
  fi
  echo "all ${#files[@]} source files formatted"
else
  "$format" -i "${files[@]}"
fi

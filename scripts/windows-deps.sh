#!/usr/bin/env bash
# Prepares the Windows cross-build in the folder $1 (build-windows): the
# MinGW-w64 and Wine packages and libgcrypt's Windows build, utf8proc's
# source from Debian's source package at the version the Linux build uses,
# and a Wine prefix for the tests. apt's own configuration is left unchanged: the
# source entries and their lists live under $1/deps/apt.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath -m "${1:-build-windows}")
deps=$build/deps
scripts/install-deps.sh --windows
mkdir -p "$deps"

# utf8proc, the same version as the Linux build's.
version=$(dpkg-query -W -f='${source:Version}' libutf8proc-dev)
src=$deps/utf8proc-$version
if [[ ! -f "$src/utf8proc.c" ]]; then
  apt_dir=$deps/apt
  mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" \
    "$apt_dir/cache/archives/partial"
  : > "$apt_dir/sources.list"
  # The same archives apt already uses, as source entries.
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -f "$f" ]] && sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f" \
      >> "$apt_dir/sources.list"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [[ -f "$f" ]] || continue
    sed 's/^Types:.*\bdeb\b.*$/Types: deb-src/' "$f" \
      > "$apt_dir/sources.list.d/$(basename "$f")"
  done
  apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list"
            -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
            -o "Dir::State::Lists=$apt_dir/lists"
            -o "Dir::Cache=$apt_dir/cache"
            -o "APT::Sandbox::User=root")
  apt-get "${apt_opts[@]}" update -qq
  rm -rf "$deps/fetch" && mkdir -p "$deps/fetch"
  (cd "$deps/fetch" && apt-get "${apt_opts[@]}" source -qq --only-source \
    "utf8proc=$version" > /dev/null)
  rm -rf "$src"
  mv "$deps/fetch"/utf8proc-*/ "$src"
  rm -rf "$deps/fetch"
fi
echo "$src" > "$deps/utf8proc-dir"


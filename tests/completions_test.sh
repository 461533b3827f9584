#!/usr/bin/env bash
# Asks the shell completions what they offer, in a folder of known files:
# bash always, fish and zsh when installed.
set -euo pipefail
export LC_ALL=C
completions=$(cd "$(dirname "$0")/../completions" && pwd)
cd "$(mktemp -d)"
trap 'rm -rf "$PWD"' EXIT
touch 'a file.txt' b.txt
mkdir folder
failures=0

check() {  # what a shell offered, what it should have, the command line
  if [[ $1 != "$2" ]]; then
    printf 'FAIL %s\n  got:  %s\n  want: %s\n' "$3" "$1" "$2"
    failures=$((failures + 1))
  fi
}

source "$completions/burrowlink.bash"
compopt() { :; }  # only works inside real completion
bash_offers() {
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  _burrowlink
  printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd' '
}
check "$(bash_offers burrowlink '')" \
  '--help --version -V -h help list receive send' 'bash: burrowlink'
check "$(bash_offers burrowlink rec)" 'receive' 'bash: burrowlink rec'
check "$(bash_offers burrowlink list -)" '--seconds' 'bash: list -'
check "$(bash_offers burrowlink send '')" 'a file.txt b.txt folder' 'bash: send'
check "$(bash_offers burrowlink send b.txt --)" '--name --recursive --text --to' \
  'bash: send b.txt --'
check "$(bash_offers burrowlink send --to '')" '' 'bash: send --to'
check "$(bash_offers burrowlink receive --)" \
  '--dir --name --once --port --yes' 'bash: receive --'
check "$(bash_offers burrowlink receive --yes --dir '')" 'folder' \
  'bash: receive --dir'

if command -v fish >/dev/null; then
  fish_offers() {
    fish -c "source $completions/burrowlink.fish; complete -C '$1'" |
      cut -f1 | sort | paste -sd' '
  }
  check "$(fish_offers 'burrowlink ')" 'help list receive send' 'fish: burrowlink'
  check "$(fish_offers 'burrowlink send ')" 'a file.txt b.txt folder/' 'fish: send'
  check "$(fish_offers 'burrowlink receive --dir ')" 'folder/' 'fish: --dir'
  check "$(fish_offers 'burrowlink list --')" '--seconds' 'fish: list --'
else
  echo "fish is not installed: its completion was not tried"
fi

if command -v zsh >/dev/null; then
  zsh -n "$completions/_burrowlink" || failures=$((failures + 1))
else
  echo "zsh is not installed: its completion was not parsed"
fi

if ((failures > 0)); then exit 1; fi
echo "completions offer what they should"

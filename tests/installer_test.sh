#!/usr/bin/env bash
# The Windows packages. The zip holds the program with the DLLs it loads,
# the README and the licences; under Wine the msi installs them into Program
# Files\burrowlink and appends that folder to the system PATH, so that a
# new Command Prompt runs burrowlink by name, and its removal leaves no
# file, PATH entry or registration behind. Run through tests/wine-netns.sh,
# for a private network namespace and Wine prefix:
#   tests/wine-netns.sh tests/installer_test.sh MSI ZIP VERSION EXE
set -euo pipefail
msi=$1 zip=$2 version=$3 exe=$4
if [[ "${BURROWLINK_IN_NETNS:-}" != 1 ]]; then
  echo "run through tests/wine-netns.sh, which gives Wine no network" >&2
  exit 1
fi
for f in "$msi" "$zip"; do
  [[ -f $f ]] || { echo "no $f: make windows-package builds it" >&2; exit 1; }
done
msi=$(realpath "$msi") zip=$(realpath "$zip") exe=$(realpath "$exe")
# The DLLs the build put beside the program, the ones its tests loaded.
built=$(dirname "$exe")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# cmd looks in the current folder before the PATH: not in the build folder.
cd "$work"
failures=0

check() {  # what is, what should be, what it is about
  if [[ $1 != "$2" ]]; then
    echo "FAIL $3 (< wanted, > got):"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$1") | sed 's/^/  /' || true
    failures=$((failures + 1))
  fi
}
same_file() { cmp -s "$1" "$2" && echo same || echo different; }
shipped='LGPL-2.1.txt LICENSE.txt README.md THIRD-PARTY.txt burrowlink.exe'
shipped+=' libgcrypt-20.dll libgpg-error-0.dll'
# FOLDER WHERE: the program and DLLs are the ones built, the LGPL Debian's
# text, and THIRD-PARTY.txt names both libraries' versions.
check_shipped() {
  for f in burrowlink.exe libgcrypt-20.dll libgpg-error-0.dll; do
    check "$(same_file "$1/$f" "$built/$f")" same "$f $2"
  done
  check "$(same_file "$1/LGPL-2.1.txt" /usr/share/common-licenses/LGPL-2.1)" \
    same "LGPL-2.1.txt $2"
  check "$(grep -cE '^  lib(gcrypt-20|gpg-error-0)\.dll +lib[a-z-]+ [0-9.]+, ' \
    "$1/THIRD-PARTY.txt")" 2 "both libraries' versions in THIRD-PARTY.txt $2"
}

# The zip: the files, as built.
check "$(cmake -E tar tf "$zip" | sort | paste -sd' ')" "$shipped" \
  'files in the zip'
mkdir unzipped && (cd unzipped && cmake -E tar xf "$zip")
check_shipped unzipped 'in the zip'

# Wine's services start with its first program: started here with nothing
# of ours open, they cannot keep the test's output open.
wine cmd /c exit < /dev/null > /dev/null 2>&1

# Each wine command is a new process tree whose environment Wine builds from
# the registry, as a new Command Prompt gets the PATH an installer changed.
run() { wine "$@" < /dev/null 2> /dev/null | tr -d '\r'; }
# The unzipped program loads its DLLs from its own folder.
check "$(run unzipped/burrowlink.exe --version)" "burrowlink $version" \
  'burrowlink --version run from the unzipped folder'
path_entries() {  # the system PATH in the registry, one entry a line
  run reg query 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
    /v PATH | sed -n 's/^ *PATH *REG_[A-Z_]* *//p' | tr ';' '\n' | sed '/^$/d'
}
products() {
  run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
}
# Every file and folder of drive C:, but for the installer cache's folder
# (there on every Windows; a package left in it still shows).
files() {
  (cd "$WINEPREFIX/drive_c" && find . | grep -vx './windows/Installer' | sort)
}
msiexec() {  # /i or /x
  local status=0
  wine msiexec "$1" "$(winepath -w "$msi")" /qn \
    /l*v "$(winepath -w "$work/msiexec$1.log")" < /dev/null \
    > "$work/msiexec.out" 2>&1 || status=$?
  if ((status != 0)); then
    echo "FAIL msiexec $1 exited with $status; the end of its log:"
    tr -d '\0\r' < "$work/msiexec$1.log" | tail -n 30
    exit 1
  fi
}

path_before=$(path_entries)
products_before=$(products)
files_before=$(files)
folder="$WINEPREFIX/drive_c/Program Files/burrowlink"

msiexec /i
check "$(path_entries)" "$path_before"$'\n''C:\Program Files\burrowlink\' \
  'system PATH once installed: the folder added once, at the end'
check "$(cd "$folder" && ls | paste -sd' ')" "$shipped" 'files installed'
check_shipped "$folder" installed
check "$(run cmd /c burrowlink --version)" "burrowlink $version" \
  'burrowlink --version in a new cmd, found through the PATH'

# Wine leaves an empty entry where the removed one was last (path_entries
# drops it); Windows removes the separator too.
msiexec /x
check "$(path_entries)" "$path_before" 'system PATH once removed'
check "$(products)" "$products_before" 'installed programs once removed'
check "$(files)" "$files_before" 'files on drive C: once removed'
check "$(run cmd /c burrowlink --version)" '' \
  'burrowlink --version in a new cmd once removed'

if ((failures > 0)); then exit 1; fi
echo "the installer installs, puts burrowlink on the PATH and removes all"

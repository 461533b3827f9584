#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests, the benchmark, the
# packages and their checks, and the sanitizer and fuzz builds call. As root
# it uses apt-get; otherwise it prints the exact command to run and fails, so
# that make stops before CMake does.
set -euo pipefail

packages=(
  make cmake ninja-build g++ pkg-config
  libssl-dev libgcrypt20-dev libutf8proc-dev libgtest-dev
  iproute2 util-linux
  socat  # the relay's own test
  scdoc man-db  # the manual page, and its check for warnings
)
case "${1:-}" in
  # openssh-server: rsync over ssh, the anchor of the encrypted cases.
  --bench) packages+=(socat rsync openssl time bc procps openssh-server) ;;
  --windows) packages+=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64
                        dpkg-dev googletest libgcrypt-mingw-w64-dev) ;;
  # The Windows installer: wixl writes it, msibuild adds what wixl cannot
  # (the PATH entry). cmake writes the zip. base-files holds the LGPL text
  # shipped with the DLLs.
  --windows-package) packages+=(wixl msitools base-files) ;;
  --package) packages+=(dpkg-dev file) ;;
  # The package and Debian's own checker of it.
  --test-package) packages+=(dpkg-dev file lintian) ;;
  --format) packages+=(clang-format-14 git) ;;
  # Sanitizer and fuzz builds: the runtimes, and llvm-symbolizer for reports.
  --clang) packages+=(clang-14 libclang-rt-14-dev llvm-14) ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -eq 0 ]]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  {
    echo "burrowlink needs Debian packages that are not installed: ${missing[*]}"
    echo "Install them as root, then run make again:"
    echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}"
  } >&2
  exit 1
fi

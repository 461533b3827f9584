#!/usr/bin/env bash
# Runs a test program inside a fresh private network namespace with loopback
# and a port-less test bridge t0 (10.77.0.1/24, default route), with a Wine
# prefix of its own whose wineserver starts inside that namespace: a
# wineserver started outside would give Windows programs the host's network.
#   tests/wine-netns.sh PROGRAM [ARGS...]   (a .exe runs under Wine)
# WINE_TEMPLATE names a prepared prefix (default: build-windows/wine-template
# beside this script's repository); each run works on a hard-linked clone
# with its own registry.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

if [[ "${BURROWLINK_IN_NETNS:-}" != 1 ]]; then
  template=${WINE_TEMPLATE:-$here/build-windows/wine-template}
  if [[ ! -f "$template/system.reg" ]]; then
    # First use: make the prefix once, also without a network and without
    # the Mono and Gecko installers (which would download), then let its
    # server stop.
    rm -rf "$template" && mkdir -p "$template"
    WINEPREFIX=$template WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
      unshare --net -- bash -c 'wineboot -i > /dev/null 2>&1; wineserver -w'
  fi
  WINEPREFIX=$template wineserver -k 2> /dev/null || true
  run=$(mktemp -d "${TMPDIR:-/tmp}/burrowlink-wine.XXXXXX")
  trap 'rm -rf "$run"' EXIT
  cp -al "$template" "$run/prefix"
  # wineserver writes a registry file that has other links in place: each
  # run gets copies, so that none changes the template's registry.
  for reg in "$template"/*.reg; do
    rm "$run/prefix/${reg##*/}" && cp "$reg" "$run/prefix/"
  done
  BURROWLINK_IN_NETNS=1 WINEPREFIX=$run/prefix WINE_TEMPLATE=$template \
    unshare --net --mount --propagation private -- "$0" "$@"
  exit $?
fi

# Inside the namespace: nothing but loopback and our bridge may be visible.
ip link set lo up
ip link add t0 type bridge
ip addr add 10.77.0.1/24 brd + dev t0
ip link set t0 up
ip route add default dev t0
for link in $(ip -o link show | awk -F': ' '{print $2}' | cut -d@ -f1); do
  case "$link" in
    lo | t[0-9] | bl-*) ;;
    *) echo "refusing to run: interface $link is visible" >&2; exit 1 ;;
  esac
done

export LANG=C.UTF-8 WINEDEBUG=${WINEDEBUG:--all} BURROWLINK_PRIVATE_MOUNTS=1
wineserver -p 2> /dev/null || true
status=0
if [[ "$1" == *.exe ]]; then
  wine "$@" || status=$?
else
  "$@" || status=$?
fi
wineserver -k 2> /dev/null || true
exit $status

#!/usr/bin/env bash
# Runs a test binary inside a fresh private network namespace with only
# loopback up, so that nothing a test sends can leave this machine.
set -euo pipefail
exec unshare --net -- bash -c 'ip link set lo up && exec "$@"' netns "$@"

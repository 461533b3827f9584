#!/usr/bin/env bash
# Runs a test binary inside a fresh private network namespace with only
# loopback up, so that nothing a test sends can leave this machine, and in a
# private mount namespace, so that the small file systems tests mount (a
# full disk, a read-only folder) vanish with it.
set -euo pipefail
exec unshare --net --mount --propagation private -- \
  env BURROWLINK_PRIVATE_MOUNTS=1 bash -c 'ip link set lo up && exec "$@"' netns "$@"

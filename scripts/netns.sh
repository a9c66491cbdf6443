#!/usr/bin/env bash
# Runs a command inside a fresh private network namespace with only loopback up.
# Usage: scripts/netns.sh command [args...]
set -euo pipefail
if [ "${VELMARINE_IN_NETNS:-}" = "1" ]; then
  exec "$@"
fi
exec unshare --net --mount-proc=/proc --fork --pid -- env VELMARINE_IN_NETNS=1 bash -c 'ip link set lo up && exec "$@"' netns "$@"

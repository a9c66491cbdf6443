#!/usr/bin/env bash
# The main job against the virtual lab, inside a private network namespace.
set -euo pipefail
BUILD=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
exec "$root/scripts/netns.sh" bash "$root/scripts/demo_inner.sh" "$BUILD"

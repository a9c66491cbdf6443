#!/usr/bin/env bash
# The main job against the virtual lab, inside a private network namespace of its
# own (always a fresh one, also when called from inside another, so that discovery
# sees this demo's lab and nothing else).
# Usage: scripts/demo.sh [build dir]   (default: build; relative to the repository)
set -euo pipefail
BUILD=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
case "$BUILD" in /*) ;; *) BUILD="$root/$BUILD" ;; esac
exec env -u VELMARINE_IN_NETNS "$root/scripts/netns.sh" bash "$root/scripts/demo_inner.sh" "$BUILD"

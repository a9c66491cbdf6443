#!/usr/bin/env bash
# Runs the whole ctest suite inside a private network namespace.
set -euo pipefail
BUILD=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
exec "$here/netns.sh" ctest --test-dir "$BUILD" --output-on-failure -j "$(nproc)" --timeout 300

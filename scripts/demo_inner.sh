#!/usr/bin/env bash
set -euo pipefail
BUILD=${1:-build}
UPDATER="$BUILD/app/Updater"
store=$(mktemp -d)
trap 'rm -rf "$store"' EXIT
echo "== Updater (version and usage)"
"$UPDATER" || true
echo "== Updater -L -d 40F5849A -i $store"
"$UPDATER" -L -d 40F5849A -i "$store" || true

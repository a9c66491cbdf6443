#!/usr/bin/env bash
# Demo part: recovery of an LPC module through its boot ROM. A simulated LPC17xx boot
# ROM waits on a pseudo-terminal, paced at 115200 baud; the reference update server on
# loopback maps its fingerprint to a device and a recovery build. Runs inside the
# demo's private network namespace (scripts/demo.sh).
set -euo pipefail
BUILD=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
UPDATER="$BUILD/app/Updater"
LPCSIM="$BUILD/sim/lpc/velmarine-lpc-sim"
SERVER="$BUILD/tools/update_server/update_server"
FP="0x0400A001,0x55AA55AA,0xFFFFFFFF,0x00000007"
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Starts a boot ROM; prints its pseudo-terminal.
start_chip() {
  "$LPCSIM" --pace --serial "$FP" --dump "$work/flash.$1.bin" > "$work/chip.$1.log" &
  pids+=($!)
  for _ in $(seq 100); do [ "$(sed -n 2p "$work/chip.$1.log")" = ready ] && break; sleep 0.05; done
  sed -n 1p "$work/chip.$1.log"
}

mkdir -p "$work/catalog/0A0B0C0D"
/usr/bin/python3 "$root/bench/lpc_recovery/make_image.py" "$work/image.bin" "$work/catalog/0A0B0C0D/7.bird" \
  $((24 * 1024)) 0A0B0C0D "$FP" 7
echo "0400A001 55AA55AA FFFFFFFF 00000007 0A0B0C0D 7" > "$work/catalog/fingerprints"
"$SERVER" --catalog "$work/catalog" --port 0 > "$work/server.out" 2> "$work/server.log" &
pids+=($!)
for _ in $(seq 100); do grep -q listening "$work/server.out" && break; sleep 0.05; done
url=$(sed -n 's/^listening on //p' "$work/server.out")

pty=$(start_chip probe)
echo "== Updater -N -s $pty   (simulated LPC boot ROM)"
"$UPDATER" -N -s "$pty" -i "$work/store" || true

pty=$(start_chip recover)
echo "== Updater -U -t RECOVER -s $pty -o 57600 -u $url"
"$UPDATER" -U -t RECOVER -s "$pty" -o 57600 -i "$work/store" -u "$url" || true
sleep 0.2
echo "== What the boot ROM saw (simulator events, RAM writes and copies left out)"
grep -v -e "^event write" -e "^event copy" -e "^event prepare" "$work/chip.recover.log" | sed -n '3,$p' | sed 's/^/    /'
kill -TERM "${pids[-1]}"; wait "${pids[-1]}" 2>/dev/null || true
if cmp -s -n $((24 * 1024)) "$work/image.bin" "$work/flash.recover.bin"; then
  echo "== The chip's flash now holds the decoded firmware"
else
  echo "== The chip's flash does NOT hold the firmware"
fi

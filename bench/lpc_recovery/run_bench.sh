#!/usr/bin/env bash
# Recovery of a 256 KiB image into the simulated LPC boot ROM paced at 115200 baud,
# compared in one run with the time the same ISP traffic needs on the line and with
# lpc21isp programming the same image into the same paced simulator.
# Usage: bench/lpc_recovery/run_bench.sh [build dir]   (runs itself in a private network namespace)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
if [ "${VELMARINE_IN_NETNS:-}" != "1" ]; then exec "$root/scripts/netns.sh" "$0" "$build"; fi

SIM="$build/sim/lpc/velmarine-lpc-sim"
UPDATER="$build/app/Updater"
[ -x "$UPDATER" ] || UPDATER="$build/Updater"
SIZE=$((256 * 1024))
BAUD=115200
SERIAL=0A0B0C0D
FP="0x11111111,0x22222222,0x33333333,0x44444444"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 "$here/make_image.py" "$work/image.bin" "$work/image.bird" "$SIZE" "$SERIAL" "$FP"

# Starts a paced simulator; sets SIM_PID, SIM_PTY, SIM_OUT.
start_sim() {
    SIM_OUT="$work/sim.$1.log"
    "$SIM" --pace --serial "$FP" --dump "$work/flash.$1.bin" > "$SIM_OUT" &
    SIM_PID=$!
    for _ in $(seq 100); do [ "$(sed -n 2p "$SIM_OUT")" = ready ] && break; sleep 0.05; done
    SIM_PTY=$(sed -n 1p "$SIM_OUT")
}
stop_sim() { kill -TERM "$SIM_PID"; wait "$SIM_PID" || true; }
now() { date +%s.%N; }

start_sim updater
t0=$(now)
"$UPDATER" -U -t RECOVER -s "$SIM_PTY" -o "$BAUD" -f "$work/image.bird" -d "$SERIAL" -i "$work/store" > "$work/updater.log" 2>&1 || { cat "$work/updater.log"; exit 1; }
t1=$(now)
stop_sim
cmp -n "$SIZE" "$work/image.bin" "$work/flash.updater.bin" || { echo "updater: flash differs"; exit 1; }

have_peer=0
if command -v lpc21isp > /dev/null; then
    have_peer=1
    start_sim peer
    t2=$(now)
    lpc21isp -bin "$work/image.bin" "$SIM_PTY" "$BAUD" 14746 > "$work/peer.log" 2>&1 || { tail "$work/peer.log"; exit 1; }
    t3=$(now)
    stop_sim
    cmp -n "$SIZE" "$work/image.bin" "$work/flash.peer.bin" || { echo "lpc21isp: flash differs"; exit 1; }
fi

/usr/bin/python3 - "$SIZE" "$BAUD" "$t0" "$t1" "${t2:-0}" "${t3:-0}" "$have_peer" <<'PY'
import sys
size, baud = int(sys.argv[1]), int(sys.argv[2])
t0, t1, t2, t3 = map(float, sys.argv[3:7])
have_peer = sys.argv[7] == "1"
# What the chip has to receive for the image, at ten bit times a character: every 45
# bytes travel as one UU line of 61 characters plus CR LF, and every 20 lines (and the
# last) end with a checksum line of up to 7 digits plus CR LF.
lines = -(-size // 45)
chars = lines * 63 + -(-lines // 20) * 9
line_time = chars * 10 / baud
ours = t1 - t0
print(f"image {size} bytes at {baud} baud: {chars} characters on the line")
print(f"line time (physical limit)  {line_time:8.2f} s")
print(f"Updater recovery            {ours:8.2f} s   {ours / line_time:5.3f} x line time (goal <= 1.15)")
if have_peer:
    peer = t3 - t2
    print(f"lpc21isp                    {peer:8.2f} s   {peer / line_time:5.3f} x line time")
    print(f"Updater / lpc21isp          {ours / peer:8.3f}     (goal <= 1.10)")
PY

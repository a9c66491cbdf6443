#!/usr/bin/env bash
# Demo part: recovery of an LPC module through its boot ROM. A simulated LPC17xx boot
# ROM waits on a pseudo-terminal, paced at the line's character time; the update
# server maps its fingerprint to the module's serial number and recovery build.
#
# Sourced by scripts/demo_inner.sh (lpc_catalog, lpc_steps, lpc_cleanup). Run on its
# own it starts its own update server; it must run inside a private network
# namespace: scripts/netns.sh bash scripts/demo_lpc.sh [build dir]

LPCSIM="$BUILD/sim/lpc/velmarine-lpc-sim"
LPC_FP="0x0400A001,0x55AA55AA,0xFFFFFFFF,0x00000007"
LPC_SERIAL=0A0B0C0D
LPC_SIZE=$((24 * 1024))
lpc_pids=()

lpc_cleanup() {
  local p
  for p in "${lpc_pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  lpc_pids=()
}

# lpc_catalog DIR: the recovery build (7) of the module, encoded for the chip's
# fingerprint, and the fingerprint's entry. The raw image is kept in lpc-image.bin.
lpc_catalog() {
  mkdir -p "$1/$LPC_SERIAL" &&
  /usr/bin/python3 "$root/bench/lpc_recovery/make_image.py" lpc-image.bin "$1/$LPC_SERIAL/7.bird" \
    "$LPC_SIZE" "$LPC_SERIAL" "$LPC_FP" 7 &&
  echo "0400A001 55AA55AA FFFFFFFF 00000007 $LPC_SERIAL 7" >> "$1/fingerprints"
}

# lpc_chip NAME: starts a boot ROM whose flash is dumped to lpc-flash.NAME.bin when it
# ends; sets lpc_pty to its pseudo-terminal.
lpc_chip() {
  lpc_pty=""
  "$LPCSIM" --pace --serial "$LPC_FP" --dump "lpc-flash.$1.bin" > "lpc-chip.$1.log" 2>&1 &
  lpc_pids+=($!)
  for _ in $(seq 100); do
    if [ "$(sed -n 2p "lpc-chip.$1.log")" = ready ]; then
      lpc_pty=$(sed -n 1p "lpc-chip.$1.log")
      return 0
    fi
    sleep 0.05
  done
  fail "the simulated LPC boot ROM did not start"
  return 1
}

# lpc_stop_chip: ends the last chip started, which writes its flash dump.
lpc_stop_chip() {
  local p=${lpc_pids[-1]}
  kill -TERM "$p" 2>/dev/null
  for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
  wait "$p" 2>/dev/null
}

lpc_steps() {
  step "Fingerprint of an LPC chip" \
    "An LPC module without firmware sits in its boot ROM on a serial line (here a" \
    "simulated one on a pseudo-terminal). -N reads the chip's identification words."
  if lpc_chip probe; then
    run 20 Updater -N -s "$lpc_pty" -i store
    expect_status 0
    expect_line "[ 0400A001 55AA55AA FFFFFFFF 00000007 ]"
  fi
  step_done

  step "Recover an LPC module" \
    "The server maps the fingerprint to module $LPC_SERIAL and its recovery build;" \
    "the image is decoded with the fingerprint and written sector by sector at 57600."
  if lpc_chip recover; then
    run 60 Updater -U -t RECOVER -s "$lpc_pty" -o 57600 -i store -u "$URL"
    expect_status 0
    expect_line "Recovering firmware with build: 7"
    lpc_stop_chip
    check "the boot ROM erased, wrote and started the flash at 57600 baud" \
      bash -c 'grep -qx "event baud 57600" "$1" && grep -qx "event erase 0 29" "$1" && grep -q "^event go 0" "$1"' \
      _ lpc-chip.recover.log
    check "the chip's flash holds the decoded firmware" \
      cmp -s -n "$LPC_SIZE" lpc-image.bin lpc-flash.recover.bin
  fi
  step_done
}

# On its own: an update server of its own, the two steps and a verdict.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -uo pipefail
  BUILD=${1:-build}
  here=$(cd "$(dirname "$0")" && pwd)
  root=$(cd "$here/.." && pwd)
  case "$BUILD" in /*) ;; *) BUILD="$root/$BUILD" ;; esac
  LPCSIM="$BUILD/sim/lpc/velmarine-lpc-sim"
  export PATH="$BUILD/app:$PATH"
  work=$(mktemp -d /tmp/velmarine-demo-lpc.XXXXXX)
  DEMO_OUT="$work/last-output"
  server_pid=""
  trap 'lpc_cleanup; [ -z "$server_pid" ] || { kill "$server_pid"; wait "$server_pid"; } 2>/dev/null; rm -rf "$work"' EXIT
  source "$here/demo_steps.sh"
  cd "$work" || exit 1
  started=$SECONDS
  lpc_catalog catalog > /dev/null || exit 1
  "$BUILD/tools/update_server/update_server" --catalog catalog --port 0 > server.out 2> server.log &
  server_pid=$!
  for _ in $(seq 100); do grep -q '^listening on ' server.out && break; sleep 0.05; done
  URL=$(sed -n 's/^listening on //p' server.out)
  lpc_steps
  summary $((SECONDS - started))
fi

#!/usr/bin/env bash
# Demo part: recovery of an i.MX module through its boot ROM on USB-HID. The USB lab
# (velmarine-usbsim) holds the chip's ROM in serial download mode; the recovery
# loader the updater writes into it starts and shows up on USB as a module that
# reports the chip's fingerprint and takes the firmware through its upgrade entity.
# The update server holds the default recovery image (the loader, filed under
# DEADDEAD, the serial number of a module without one of its own), the fingerprint's
# entry and the module's recovery build.
#
# Sourced by scripts/demo_inner.sh (imx_catalog, imx_steps). Run on its own it starts
# its own update server; it must run inside a private network namespace:
#   scripts/netns.sh bash scripts/demo_imx.sh [build dir]

IMX_SERIAL=0C0FFEE0
IMX_BUILD=5
# What the started loader reports for subindexes 0 to 3; the fingerprint is shown
# and looked up word 0 first, which is subindex 3.
IMX_WORDS="11110001,22220002,33330003,44440004"
IMX_FINGERPRINT="44440004 33330003 22220002 11110001"

# imx_catalog DIR: the default recovery image (build 1 of DEADDEAD: a loader at
# 0x20000000, started at 0x20000400), the fingerprint's entry and the module's
# recovery build, made for its serial number. The firmware is kept in imx-firmware.bin.
imx_catalog() {
  mkdir -p "$1/DEADDEAD" "$1/$IMX_SERIAL" &&
  head -c 3000 /dev/urandom > imx-loader.bin &&
  head -c 8192 /dev/urandom > imx-firmware.bin &&
  "$BUILD/tools/birdtool/birdtool" create -o "$1/DEADDEAD/1.bird" --loader 0x20000000:imx-loader.bin \
    --loader-start 0x20000400 --build 1 --version 1.0.0 --serial DEADDEAD --model VM-Recovery &&
  "$BUILD/tools/birdtool/birdtool" create -o "$1/$IMX_SERIAL/$IMX_BUILD.bird" --firmware 0:imx-firmware.bin \
    --build "$IMX_BUILD" --version 2.11.0 --serial "$IMX_SERIAL" --model VM-Temp-4 &&
  echo "$IMX_FINGERPRINT $IMX_SERIAL $IMX_BUILD" >> "$1/fingerprints"
}

# imx_lab NAME ARGV...: runs ARGV (shown as typed) in a USB lab holding a fresh i.MX
# chip in its boot ROM; the lab's events go to imx-events.NAME.log.
imx_lab() {
  local name=$1
  shift
  mkdir -p "imx-flash.$name"
  run_shown 60 "$*" "$BUILD/sim/usb/velmarine-usbsim" --events "imx-events.$name.log" \
    --imx "fingerprint=01234567,89ABCDEF loader=DEADDEAD" \
    --usb "serial=DEADDEAD product=0x13 in_loader fingerprint=$IMX_WORDS uei_data flash_dir=$PWD/imx-flash.$name" \
    -- "$@"
}

imx_steps() {
  step "Fingerprint of an i.MX chip" \
    "An i.MX module without firmware shows up as the chip's boot ROM on USB-HID." \
    "-N -s USB writes the recovery loader (the server's default recovery image)" \
    "into it, starts it and reads the chip's fingerprint; below, the ROM's log."
  imx_lab probe Updater -N -s USB -i store -u "$URL"
  expect_status 0
  expect_line "[ $IMX_FINGERPRINT ]"
  sed -n 's/^1FC90130 rom /   rom: /p' imx-events.probe.log
  check "the ROM took the loader and jumped into it; the loader was reset after" \
    bash -c 'grep -q "rom jump 20000400" "$1" && grep -q "^DEADDEAD call 11" "$1"' _ imx-events.probe.log
  step_done

  step "Recover an i.MX module" \
    "The server maps the fingerprint to module $IMX_SERIAL and its recovery build; the" \
    "started loader takes the firmware through its upgrade entity, then reboots."
  imx_lab recover Updater -U -t RECOVER -s USB -i store -u "$URL"
  expect_status 0
  expect_line "Recovering firmware with build: $IMX_BUILD"
  expect_line "Transferred 1 blocks, 8196 total bytes"
  check "the module's flash holds the recovery build's firmware" \
    cmp -s imx-firmware.bin imx-flash.recover/DEADDEAD-00000000.bin
  step_done
}

# On its own: an update server of its own, the two steps and a verdict.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -uo pipefail
  BUILD=${1:-build}
  here=$(cd "$(dirname "$0")" && pwd)
  root=$(cd "$here/.." && pwd)
  case "$BUILD" in /*) ;; *) BUILD="$root/$BUILD" ;; esac
  export PATH="$BUILD/app:$PATH"
  work=$(mktemp -d /tmp/velmarine-demo-imx.XXXXXX)
  DEMO_OUT="$work/last-output"
  server_pid=""
  trap '[ -z "$server_pid" ] || { kill "$server_pid"; wait "$server_pid"; } 2>/dev/null; rm -rf "$work"' EXIT
  source "$here/demo_steps.sh"
  cd "$work" || exit 1
  started=$SECONDS
  imx_catalog catalog > /dev/null || exit 1
  "$BUILD/tools/update_server/update_server" --catalog catalog --port 0 > server.out 2> server.log &
  server_pid=$!
  for _ in $(seq 100); do grep -q '^listening on ' server.out && break; sleep 0.05; done
  URL=$(sed -n 's/^listening on //p' server.out)
  imx_steps
  summary $((SECONDS - started))
fi

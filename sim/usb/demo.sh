#!/usr/bin/env bash
# Lists modules on emulated USB with plain `Updater -D`: two modules, a device
# with a product id that is not a module's (never opened), and a module another
# program holds (its row shows the error). Usage: sim/usb/demo.sh [build dir]
set -euo pipefail
BUILD=${1:-build}
USBSIM="$BUILD/sim/usb/velmarine-usbsim"
UPDATER="$BUILD/app/Updater"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== Updater -D with modules on emulated USB (velmarine-usbsim)"
"$USBSIM" --events "$work/events.log" \
  --usb "serial=40F5849A product=0x13 version=2.10.4 build=1001 name=\"Bench supply\"" \
  --usb "serial=3C5A1B20 product=0x04 version=2.10.3 build=998" \
  --usb "serial=11110001 product=0x8001" \
  --usb "serial=22220003 product=0x04 held" \
  -- "$UPDATER" -D -i "$work/store" || true
echo "== What the emulated devices saw (first lines of the event log)"
head -n 12 "$work/events.log" | sed 's/^/    /'

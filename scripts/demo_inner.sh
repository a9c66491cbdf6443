#!/usr/bin/env bash
# The demo's tour of the main job, run by scripts/demo.sh inside a private network
# namespace of its own (this namespace is the "host side" where Updater runs):
#   - the reference update server on 127.0.0.1, with builds for the lab's modules and
#     the recovery catalogue;
#   - the virtual lab: simulated modules on TCP/IP in a second namespace joined by a
#     veth pair, modules on emulated USB, and boot ROMs on pseudo-terminals.
# Usage: scripts/demo_inner.sh BUILD_DIR
set -uo pipefail
BUILD=$1
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
case "$BUILD" in /*) ;; *) BUILD="$root/$BUILD" ;; esac
started=$SECONDS

SIM="$BUILD/sim/module/velmarine-sim"
USBSIM="$BUILD/sim/usb/velmarine-usbsim"
BIRDTOOL="$BUILD/tools/birdtool/birdtool"
SERVER="$BUILD/tools/update_server/update_server"
export PATH="$BUILD/app:$PATH"   # so every command reads as the user types it

work=$(mktemp -d /tmp/velmarine-demo.XXXXXX)
DEMO_OUT="$work/last-output"
tag=$(printf '%08x' $((RANDOM * 32768 + RANDOM)))
LAB_NS="vmlab-demo-$tag"
ROUTER=52A0C0DE
TARGET=40F5849A
USB_TARGET=2181F0EE
sim_pid=""
server_pid=""

# shellcheck source=demo_steps.sh
source "$here/demo_steps.sh"
# shellcheck source=demo_lpc.sh
source "$here/demo_lpc.sh"
# shellcheck source=demo_imx.sh
source "$here/demo_imx.sh"

stop_pid() {
  [ -n "$1" ] || return 0
  kill "$1" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
cleanup() {
  lpc_cleanup
  stop_pid "$server_pid"
  stop_pid "$sim_pid"
  ip netns del "$LAB_NS" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

for tool in "$BUILD/app/Updater" "$SIM" "$USBSIM" "$BIRDTOOL" "$SERVER" "$LPCSIM"; do
  if [ ! -x "$tool" ]; then echo "demo: $tool is missing; build first (make demo does)"; exit 1; fi
done
cd "$work" || exit 1

# Builds on the update server: two releases for the bench supply (2.10.9 and 2.11.0,
# generic images that get the module's serial number patched in at 256 and 512), the
# newer one also for the module on USB.
make_catalog() {
  mkdir -p catalog/$TARGET
  head -c 100 /dev/urandom > loader.bin
  head -c 4096 /dev/urandom > firmware-1100.bin
  head -c 4096 /dev/urandom > firmware.bin
  "$BIRDTOOL" create -o catalog/$TARGET/1100.bird --loader 0x10000000:loader.bin \
    --firmware 0:firmware-1100.bin --build 1100 --version 2.10.9 --model VM-Temp-4 --serial-offsets 256:512 &&
  "$BIRDTOOL" create -o catalog/$TARGET/1200.bird --loader 0x10000000:loader.bin \
    --firmware 0:firmware.bin --build 1200 --version 2.11.0 --model VM-Temp-4 --serial-offsets 256:512 &&
  mkdir -p catalog/$USB_TARGET && cp catalog/$TARGET/1200.bird catalog/$USB_TARGET/ &&
  lpc_catalog catalog &&
  imx_catalog catalog
}

start_server() {
  "$SERVER" --catalog catalog --port 0 > server.out 2> server.log &
  server_pid=$!
  for _ in $(seq 100); do
    grep -q '^listening on ' server.out && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  URL=$(sed -n 's/^listening on //p' server.out | head -1)
  [ -n "$URL" ]
}

# The TCP/IP lab: two modules (one with firmware too old to report its name) and a
# routing module with two modules on its I2C bus, in a namespace of their own.
start_lab() {
  cat > lab.conf <<LAB
module serial=$TARGET model=19 version=2.10.4 build=1001 name="Bench supply" transport=tcp uei_data build_after_update=1200 version_after_update=2.11.0
module serial=3C5A1B20 model=13 version=2.10.3 build=998 name="Old firmware" transport=tcp
router serial=$ROUTER model=5 version=2.10.4 build=1001 address=4 name="Bus router" transport=tcp
bus serial=1B0B0010 model=14 version=2.10.4 build=1001 address=0x10
bus serial=1B0B0024 model=15 version=2.10.3 build=998 address=0x24
LAB
  ip netns add "$LAB_NS" || return 1
  ip link add "vd${tag}h" type veth peer name "vd${tag}s" || return 1
  ip link set "vd${tag}s" netns "$LAB_NS" &&
  ip addr add 10.213.200.1/24 dev "vd${tag}h" &&
  ip link set "vd${tag}h" up &&
  ip -n "$LAB_NS" addr add 10.213.200.2/24 dev "vd${tag}s" &&
  ip -n "$LAB_NS" link set "vd${tag}s" up &&
  ip -n "$LAB_NS" link set lo up || return 1
  mkdir -p flash
  ip netns exec "$LAB_NS" "$SIM" --config lab.conf --events events.log --flash-dir flash \
    > endpoints 2> sim.err &
  sim_pid=$!
  for _ in $(seq 100); do
    grep -qx ready endpoints && return 0
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat sim.err
  return 1
}

printf 'Velmarine Updater demo: the main job against the virtual lab.\n'
printf 'Everything runs in a private network namespace; nothing leaves this machine.\n'

step "The update server and the virtual lab" \
  "The reference update server answers on 127.0.0.1; simulated modules answer" \
  "TCP/IP discovery on a veth pair (10.213.200.2) in a namespace of their own."
if make_catalog > catalog.log 2>&1 && start_server; then
  printf '   update server: %s\n' "$URL"
  sed -n 's/^\([0-9A-F]\{8\}\)\/\([0-9]*\)\.bird$/   build \2 for \1/p' < <(cd catalog && ls -d */*.bird)
else
  cat catalog.log server.log 2>/dev/null
  fail "the update server did not start"
fi
if start_lab; then
  awk '$1 == "tcp" { printf "   lab: module %s on TCP port %s\n", $2, $3 }
       $1 == "bus" { printf "   lab: module %s on the I2C bus of %s at %s\n", $2, $3, $4 }' endpoints
else
  fail "the virtual lab did not come up"
fi
if [ "$demo_step_ok" != 1 ]; then summary $((SECONDS - started)); exit 1; fi
step_done

step "Version and short usage" \
  "With no command, Updater prints its version, copyright and short usage."
run 10 Updater
expect_status 0
expect_line "Application Usage:"
step_done

step "Modules on USB" \
  "velmarine-usbsim puts four devices on emulated USB and runs the command among" \
  "them: two modules, a device that is not a module (not listed) and a module that" \
  "another program holds (its row shows the error)."
run_shown 20 "Updater -D -i store" \
  "$USBSIM" --events usb-events.log \
  --usb "serial=$USB_TARGET product=0x13 version=2.10.4 build=1001 name=\"Scope front end\"" \
  --usb "serial=0D15EA5E product=0x04 version=2.10.3 build=998" \
  --usb "serial=11110001 product=0x8001" \
  --usb "serial=22220003 product=0x04 held" \
  -- Updater -D -i store
expect_status 0
expect_line "Discovered Devices: (USB)"
expect_line "2181F0EE  02       02      VM-Temp-4      2.10.4 (      1001)         Scope front end"
expect_line "0D15EA5E  02       02"
expect_line "22220003  [Error (25): Is someone else connected to this device?]"
if grep -q 11110001 "$DEMO_OUT"; then fail "the device that is not a module was listed"; fi
step_done

step "Modules on TCP/IP" \
  "Discovery asks by multicast on every interface; the lab answers. Look at the" \
  "IP address column and the name the old firmware (2.10.3) cannot report."
run 20 Updater -D -t TCPIP -i store
expect_status 0
expect_line "Discovered Devices: (TCPIP)"
expect_line "$TARGET  02       02      VM-Temp-4      2.10.4 (      1001)        [10.213.200.2]     Bench supply"
expect_line "3C5A1B20  02"
expect_line "$ROUTER  04       04"
step_done

step "Modules behind a routing module" \
  "The router $ROUTER is asked to route to the host, then every address on its" \
  "I2C bus is probed; the Module column shows the bus address of each module."
run 30 Updater -D -r $ROUTER -i store
expect_status 0
expect_line "1B0B0010  10       04      VM-Analog-8"
expect_line "1B0B0024  24       04      VM-Analog-16"
check "the router was told to route to the host and back" \
  grep -qx "$ROUTER forceroute 0" events.log
step_done

step "Builds on the update server" \
  "The server lists the builds it holds for the bench supply, newest version first."
run 20 Updater -B -d $TARGET -i store -u "$URL"
expect_status 0
expect_line "Build List for device [$TARGET]:"
expect_line "$(printf '%-15s\t%s' 1100 2.10.9)"
expect_line "$(printf '%-15s\t%s' 1200 2.11.0)"
step_done

step "Download the latest build" \
  "-G asks the server for the latest build, checks it against the build list and" \
  "stores it under store/updater/$TARGET, with a record of the download."
run 30 Updater -G -d $TARGET -i store -u "$URL"
expect_status 0
expect_line "Build 1200 is valid"
check "store/updater/$TARGET/1200.bird is the server's file" \
  cmp -s catalog/$TARGET/1200.bird store/updater/$TARGET/1200.bird
check "the device's record says LATEST_DOWNLOAD=1200.bird" \
  grep -qx "LATEST_DOWNLOAD=1200.bird" store/updater/$TARGET/.settings
step_done

step "Update the module" \
  "-U takes the latest build from the store, patches the module's serial number" \
  "into it, loads the loader, then the firmware, and the module reboots into it."
run 60 Updater -U -d $TARGET -i store -u "$URL"
expect_status 0
expect_line "Updating firmware with build: 1200"
expect_line "Update time:"
flash_file="flash/$TARGET-00000000.bin"
check "the module's flash holds build 1200 with its own serial number patched in" \
  bash -c "[ \$(stat -c %s '$flash_file') = 4096 ] && [ \$(cmp -l firmware.bin '$flash_file' | wc -l) -le 20 ]"
check "the device's record says LATEST_TRANSFER=1200.bird" \
  grep -qx "LATEST_TRANSFER=1200.bird" store/updater/$TARGET/.settings
step_done

step "The new version" \
  "Listing the TCP/IP modules again: the bench supply now runs 2.11.0, build 1200."
run 20 Updater -D -t TCPIP -i store
expect_status 0
expect_line "$TARGET  02       02      VM-Temp-4      2.11.0 (      1200)"
step_done

step "Download and update a module on USB" \
  "-G -U in one go: download the latest build, then update the module with it." \
  "Both commands run in one emulated-USB session, so the listing after the update" \
  "shows the module that was just updated, once it is back on the bus (it leaves" \
  "and re-enumerates when it reboots into the new firmware)."
run_shown 60 "" "$USBSIM" --events usb-update-events.log \
  --usb "serial=$USB_TARGET product=0x13 version=2.10.4 build=1001 name=\"Scope front end\" uei_data build_after_update=1200 version_after_update=2.11.0" \
  -- bash -c 'shown() { printf "$ %s\n" "$*"; "$@"; }
    shown Updater -G -U -d "$1" -i store -u "$2"; status=$?
    for _ in $(seq 50); do grep -q "^$1 usb-plug" "$3" && break; sleep 0.1; done
    shown Updater -D -i store
    exit $status' demo "$USB_TARGET" "$URL" usb-update-events.log
expect_status 0
expect_line "Build 1200 is valid"
expect_line "Update time:"
expect_line "$USB_TARGET  02       02      VM-Temp-4      2.11.0 (      1200)         Scope front end"
check "the module went through its loader and rebooted (it re-enumerated)" \
  grep -q "^$USB_TARGET usb-reenumerate" usb-update-events.log
step_done

lpc_steps
imx_steps

summary $((SECONDS - started))

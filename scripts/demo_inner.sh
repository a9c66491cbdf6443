#!/usr/bin/env bash
set -euo pipefail
BUILD=${1:-build}
UPDATER="$BUILD/app/Updater"
SIM="$BUILD/sim/module/velmarine-sim"
PROBE="$BUILD/sim/probe/velmarine-probe"
BIRDTOOL="$BUILD/tools/birdtool/birdtool"
SERVER="$BUILD/tools/update_server/update_server"
store=$(mktemp -d)
lab_dir=$(mktemp -d)
tag=$(printf '%08x' $((RANDOM * 32768 + RANDOM)))
HOST_NS="vmhost-demo-$tag"
LAB_NS="vmlab-demo-$tag"
ROUTER=52A0C0DE
sim_pid=""
server_pid=""

cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  ip netns del "$LAB_NS" 2>/dev/null || true
  ip netns del "$HOST_NS" 2>/dev/null || true
  rm -rf "$store" "$lab_dir"
}
trap cleanup EXIT

# The lab: two modules on TCP/IP (one with firmware too old to report its name)
# and a routing module with two modules on its I2C bus. The simulator runs in a
# namespace of its own, joined by a veth pair to the host side's namespace where
# the updater runs; discovery there sees this lab and nothing else.
start_lab() {
  cat > "$lab_dir/lab.conf" <<'LAB'
module serial=40F5849A model=19 version=2.10.4 build=1001 name="Bench supply" transport=tcp uei_data features=0x80000000 build_after_update=1200 version_after_update=2.11.0
module serial=3C5A1B20 model=13 version=2.10.3 build=998 name="Old firmware" transport=tcp
router serial=52A0C0DE model=5 version=2.10.4 build=1001 address=4 name="Bus router" transport=tcp
bus serial=1B0B0010 model=14 version=2.10.4 build=1001 address=0x10
bus serial=1B0B0024 model=15 version=2.10.3 build=998 address=0x24
LAB
  ip netns add "$HOST_NS"
  ip netns add "$LAB_NS"
  ip link add "vl${tag}h" type veth peer name "vl${tag}s"
  ip link set "vl${tag}s" netns "$LAB_NS"
  ip link set "vl${tag}h" netns "$HOST_NS"
  ip -n "$HOST_NS" addr add 10.213.200.1/24 dev "vl${tag}h"
  ip -n "$HOST_NS" link set "vl${tag}h" up
  ip -n "$HOST_NS" link set lo up
  ip -n "$LAB_NS" addr add 10.213.200.2/24 dev "vl${tag}s"
  ip -n "$LAB_NS" link set "vl${tag}s" up
  ip -n "$LAB_NS" link set lo up
  mkdir -p "$lab_dir/flash"
  ip netns exec "$LAB_NS" "$SIM" --config "$lab_dir/lab.conf" --events "$lab_dir/events.log" \
    --flash-dir "$lab_dir/flash" \
    > "$lab_dir/endpoints" 2> "$lab_dir/sim.err" &
  sim_pid=$!
  for _ in $(seq 100); do
    grep -qx ready "$lab_dir/endpoints" && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -qx ready "$lab_dir/endpoints"; then
    echo "the lab did not come up:"; cat "$lab_dir/sim.err"; return 1
  fi
  echo "== Virtual lab at 10.213.200.2 (simulator endpoints)"
  sed 's/^/    /' "$lab_dir/endpoints"
}

# Shows the lab answering discovery from the host side.
show_lab() {
  echo "== Discovery request from the host side (velmarine-probe)"
  ip netns exec "$HOST_NS" "$PROBE" --timeout 1500 | sed 's/^/    /'
}

# The device listings against the lab, run on the host side.
list_lab_devices() {
  echo "== Updater -D -t TCPIP"
  ip netns exec "$HOST_NS" "$UPDATER" -D -t TCPIP -i "$store" || true
  echo "== Updater -D -r $ROUTER"
  ip netns exec "$HOST_NS" "$UPDATER" -D -r "$ROUTER" -i "$store" || true
  echo "== What the routing module was told (simulator event log)"
  grep "^$ROUTER " "$lab_dir/events.log" | grep -v i2c-write | sed 's/^/    /' || true
}

# A firmware update of the bench supply from the reference update server, which
# runs on the host side (its 127.0.0.1 is the updater's): the generic image gets the
# module's serial number patched in, and the module comes back with build 1200.
update_lab_module() {
  local catalog="$lab_dir/catalog" serial=40F5849A
  mkdir -p "$catalog/$serial"
  head -c 100 /dev/urandom > "$lab_dir/loader.bin"
  head -c 4096 /dev/urandom > "$lab_dir/firmware.bin"
  "$BIRDTOOL" create -o "$catalog/$serial/1200.bird" --loader "0x10000000:$lab_dir/loader.bin" \
    --firmware "0:$lab_dir/firmware.bin" --build 1200 --version 2.11.0 --model VM-Temp-4 --serial-offsets 256:512
  ip netns exec "$HOST_NS" "$SERVER" --catalog "$catalog" --port 0 > "$lab_dir/server.out" 2> "$lab_dir/server.err" &
  server_pid=$!
  for _ in $(seq 100); do
    grep -q '^listening on ' "$lab_dir/server.out" && break
    sleep 0.1
  done
  local url
  url=$(sed -n 's/^listening on //p' "$lab_dir/server.out" | head -1)
  echo "== Updater -G -U -d $serial (update server at $url)"
  ip netns exec "$HOST_NS" "$UPDATER" -G -U -d "$serial" -u "$url" -i "$store" || true
  echo "== The module's flash after the update (written at its reboot)"
  ls -l "$lab_dir/flash" | sed 's/^/    /'
  echo "== The store's record for $serial"
  grep -E '^(LATEST_DOWNLOAD|LATEST_TRANSFER)=' "$store/updater/$serial/.settings" | sed 's/^/    /' || true
  echo "== Updater -D -t TCPIP after the update"
  ip netns exec "$HOST_NS" "$UPDATER" -D -t TCPIP -i "$store" || true
  kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; server_pid=""
}

echo "== Updater (version and usage)"
"$UPDATER" || true
echo "== Updater -L -d 40F5849A -i $store"
"$UPDATER" -L -d 40F5849A -i "$store" || true

start_lab
show_lab
list_lab_devices
update_lab_module

# Recovery of an LPC module through its boot ROM.
bash "$(dirname "$0")/demo_lpc.sh" "$BUILD"

# Plain -D against modules on emulated USB.
bash "$(dirname "$0")/../sim/usb/demo.sh" "$BUILD"

#!/usr/bin/env bash
set -euo pipefail
BUILD=${1:-build}
UPDATER="$BUILD/app/Updater"
SIM="$BUILD/sim/module/velmarine-sim"
PROBE="$BUILD/sim/probe/velmarine-probe"
store=$(mktemp -d)
lab_dir=$(mktemp -d)
tag=$(printf '%08x' $((RANDOM * 32768 + RANDOM)))
HOST_NS="vmhost-demo-$tag"
LAB_NS="vmlab-demo-$tag"
ROUTER=52A0C0DE
sim_pid=""

cleanup() {
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
module serial=40F5849A model=19 version=2.10.4 build=1001 name="Bench supply" transport=tcp
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
  ip netns exec "$LAB_NS" "$SIM" --config "$lab_dir/lab.conf" --events "$lab_dir/events.log" \
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

echo "== Updater (version and usage)"
"$UPDATER" || true
echo "== Updater -L -d 40F5849A -i $store"
"$UPDATER" -L -d 40F5849A -i "$store" || true

start_lab
show_lab
list_lab_devices

# Recovery of an LPC module through its boot ROM.
bash "$(dirname "$0")/demo_lpc.sh" "$BUILD"

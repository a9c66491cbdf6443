#!/usr/bin/env bash
# Download benchmark: "Updater -G" of a 16 MiB BIRD file from the reference update
# server, against curl of the same URL piped through "base64 -d" into a file, measured
# side by side in one run inside a private network namespace (loopback only).
# Prints the wall-time ratio (Updater / curl) and the peak memory of both.
#
# Usage: bench/download/run.sh [build-dir] [rounds]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
if [ "${VELMARINE_IN_NETNS:-}" != "1" ]; then
  exec "$repo/scripts/netns.sh" "$0" "$@"
fi
build=$(cd "${1:-$repo/build}" && pwd)
rounds=${2:-5}
updater="$build/app/Updater"
server="$build/tools/update_server/update_server"
birdtool="$build/tools/birdtool/birdtool"
for b in "$updater" "$server" "$birdtool"; do
  [ -x "$b" ] || { echo "missing $b (build the Updater, update_server and birdtool targets)" >&2; exit 2; }
done
[ -x /usr/bin/time ] || { echo "missing /usr/bin/time (Debian package time)" >&2; exit 2; }

work=$(mktemp -d)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

serial=40F5849A
build_no=5210
mkdir -p "$work/catalog/$serial"
# Random bytes do not compress, so the BIRD file is as large as its image.
head -c $((16 * 1024 * 1024 - 128)) /dev/urandom > "$work/image.bin"
"$birdtool" create -o "$work/catalog/$serial/$build_no.bird" --firmware "0:$work/image.bin" \
  --build $build_no --version 2.15.1 --serial $serial --model HUB
bird="$work/catalog/$serial/$build_no.bird"
size=$(stat -c %s "$bird")

"$server" --catalog "$work/catalog" --port 0 > "$work/port" 2> "$work/server.log" &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
base=$(sed -n 's/^listening on //p' "$work/port")
[ -n "$base" ] || { echo "server did not start" >&2; exit 1; }
url="$base?bld=$build_no&fw=2.15.1&no_cal=false&op=bird&sn=$serial&"

# measure NAME CMD...: appends "seconds kilobytes" to $work/NAME
measure() {
  local name=$1; shift
  /usr/bin/time -f "%e %M" -o "$work/$name.one" "$@" > /dev/null 2>&1 || { echo "$name failed" >&2; exit 1; }
  cat "$work/$name.one" >> "$work/$name"
}

run_updater() {
  rm -rf "$work/root"
  measure updater "$updater" -G -d $serial -b $build_no -u "$base" -i "$work/root"
  cmp -s "$work/root/updater/$serial/$build_no.bird" "$bird" || { echo "Updater stored a different file" >&2; exit 1; }
}
run_curl() {
  rm -f "$work/curl.bird"
  measure curl bash -c "curl -sf '$url' | tail -n +2 | base64 -d > '$work/curl.bird'"
  cmp -s "$work/curl.bird" "$bird" || { echo "curl pipeline produced a different file" >&2; exit 1; }
}

# One warm-up of each (server caches, page cache), then alternate.
run_updater; run_curl; : > "$work/updater"; : > "$work/curl"
for _ in $(seq "$rounds"); do run_updater; run_curl; done

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
u_time=$(awk '{print $1}' "$work/updater" | median)
c_time=$(awk '{print $1}' "$work/curl" | median)
u_mem=$(awk '{print $2}' "$work/updater" | sort -n | tail -1)
c_mem=$(awk '{print $2}' "$work/curl" | sort -n | tail -1)

awk -v ut="$u_time" -v ct="$c_time" -v um="$u_mem" -v cm="$c_mem" -v size="$size" -v rounds="$rounds" 'BEGIN {
  ratio = (ct > 0) ? ut / ct : 0
  mem_ratio = um * 1024 / size
  printf "file: %.1f MiB BIRD, %d rounds, median wall time\n", size / 1048576, rounds
  printf "Updater -G:          %6.2f s   peak %7.1f MiB\n", ut, um / 1024
  printf "curl | base64 -d:    %6.2f s   peak %7.1f MiB (largest process of the pipeline)\n", ct, cm / 1024
  printf "wall-time ratio (Updater / curl): %.2f  (target <= 1.5)\n", ratio
  printf "Updater peak memory / file size:  %.2f  (target <= 4)\n", mem_ratio
}'

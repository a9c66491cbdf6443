#!/usr/bin/env bash
# The test run of `make test`: the whole suite against an AddressSanitizer +
# UndefinedBehaviorSanitizer build (the programs the end-to-end tests start are
# built the same way, so they are checked too), then the threaded parts against a
# ThreadSanitizer build. Any sanitizer report fails the run (scripts/run_tests.sh).
# Usage: scripts/run_sanitizers.sh [asan-build-dir] [tsan-build-dir]
set -euo pipefail
ASAN_BUILD=${1:-build-asan}
TSAN_BUILD=${2:-build-tsan}
JOBS=${JOBS:-$(nproc)}
here=$(cd "$(dirname "$0")" && pwd)
cd "$here/.."

# The threaded parts: the link engine, packet FIFOs, streams, packet log, network
# server and client links (unit_common); Module and Link with stream subscriptions
# and their callback worker (unit_object); the simulators, which serve several
# connections and stream samples from their own threads (unit_sim). Each folder's
# tests run against the simulators of the same build.
TSAN_FOLDERS=${TSAN_FOLDERS:-tests/unit/common tests/unit/object tests/unit/sim}

# -O1 and line tables only: quicker to build than the default -O2 -g, still fast
# enough at run time, and every report still names file and line.
configure() {  # build-dir sanitizers
  if [ ! -f "$1/build.ninja" ]; then
    cmake -S . -B "$1" -G Ninja -DSANITIZE="$2" -DUPDATER_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
      ${CMAKE_ARGS:-} >/dev/null
  fi
}

status=0
started=$(date +%s)
configure "$ASAN_BUILD" address,undefined
cmake --build "$ASAN_BUILD" -j "$JOBS"
echo "sanitizers: address,undefined build ready after $(( $(date +%s) - started )) s"
bash "$here/run_tests.sh" "$ASAN_BUILD" || status=1
echo "sanitizers: address,undefined suite done after $(( $(date +%s) - started )) s"

configure "$TSAN_BUILD" thread
targets=()
for f in $TSAN_FOLDERS; do targets+=("unit_$(basename "$f")"); done
cmake --build "$TSAN_BUILD" --target "${targets[@]}" -j "$JOBS"
bash "$here/run_tests.sh" "$TSAN_BUILD" $TSAN_FOLDERS || status=1
echo "sanitizers: thread suite done after $(( $(date +%s) - started )) s"
exit $status

#!/usr/bin/env bash
# Runs every libFuzzer harness (or the ones named) for a longer time each, one after
# the other, at low priority and inside a private network namespace. Inputs that
# reach new code are kept in <build-dir>/fuzz-work/<name> across runs (not in the
# repository); copy the worthwhile ones into fuzz/<name>/corpus by hand. A finding
# stops that harness and leaves its crashing input in the work folder.
# Usage: scripts/fuzz_long.sh [seconds-per-harness] [build-dir] [name...]
set -euo pipefail
SECONDS_EACH=${1:-1800}
BUILD=${2:-build-fuzz}
shift $(( $# > 2 ? 2 : $# ))
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
case "$BUILD" in /*) ;; *) BUILD="$root/$BUILD" ;; esac
if [ ! -f "$BUILD/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DUPDATER_BUILD_FUZZERS=ON -DUPDATER_BUILD_TESTS=OFF >/dev/null
fi
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for dir in fuzz/*/; do
    [ -f "$dir/CMakeLists.txt" ] && names+=("$(basename "$dir")")
  done
fi
targets=()
for name in "${names[@]}"; do targets+=("fuzz_$name"); done
nice -n 19 cmake --build "$BUILD" --target "${targets[@]}" -j 1 >/dev/null
# Undefined behaviour is a finding, not a warning in the log.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
status=0
for name in "${names[@]}"; do
  bin="$BUILD/fuzz/$name/fuzz_$name"
  work="$BUILD/fuzz-work/$name"
  mkdir -p "$work/corpus" "$work/findings"
  log="$work/last.log"
  started=$(date +%s)
  if nice -n 19 "$root/scripts/netns.sh" "$bin" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$work/findings/" "$work/corpus" "fuzz/$name/corpus" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz: $name ok, $(( $(date +%s) - started )) s, ${runs:-?} runs, corpus $(ls "$work/corpus" | wc -l) inputs"
  else
    echo "fuzz: $name FINDING after $(( $(date +%s) - started )) s (log $log, input in $work/findings/)"
    grep -m1 -A12 'ERROR\|==ERROR\|deadly signal\|leak' "$log" || tail -n 20 "$log"
    status=1
  fi
done
exit $status

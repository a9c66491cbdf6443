#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang and runs each for a bounded time
# against the corpus kept in fuzz/<name>/corpus.
# Usage: scripts/run_fuzzers.sh [build-dir] [seconds-per-harness]
set -euo pipefail
BUILD=${1:-build-fuzz}
SECONDS_EACH=${2:-10}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
if ! ls fuzz/*/CMakeLists.txt >/dev/null 2>&1; then
  echo "fuzz: no harnesses yet"
  exit 0
fi
if [ ! -f "$BUILD/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DUPDATER_BUILD_FUZZERS=ON -DUPDATER_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$BUILD" -j "$(nproc)" >/dev/null
# Undefined behaviour is a finding, not a warning in the log.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
status=0
for dir in fuzz/*/; do
  name=$(basename "$dir")
  bin="$BUILD/fuzz/$name/fuzz_$name"
  [ -x "$bin" ] || continue
  mkdir -p "$dir/corpus"
  work=$(mktemp -d)
  if "$root/scripts/netns.sh" "$bin" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$work/" "$work" "$dir/corpus" >"$work/log" 2>&1; then
    echo "fuzz: $name ok ($(grep -m1 '^Done' "$work/log" | cut -c1-60))"
  else
    echo "fuzz: $name FAILED"; tail -n 40 "$work/log"; status=1
  fi
  rm -rf "$work"
done
exit $status

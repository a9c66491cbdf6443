#!/usr/bin/env bash
# Runs ctest inside a private network namespace: the whole suite of a build, or
# only the tests of some of its folders.
# Usage: scripts/run_tests.sh [build-dir] [test-folder...]   (folders relative to the build, e.g. tests/unit/common)
#
# In a sanitizer build every report fails the run, including one from a program a
# test started and whose exit status the test does not look at (a simulator, the
# update server): each process writes its reports to a file of its own in a scratch
# folder, which is checked and printed when ctest is done.
set -euo pipefail
BUILD=${1:-build}
shift $(( $# > 0 ? 1 : 0 ))
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
case "$BUILD" in /*) ;; *) BUILD="$root/$BUILD" ;; esac
JOBS=${JOBS:-$(nproc)}

reports=$(mktemp -d /tmp/sanitizer-reports.XXXXXX)
trap 'rm -rf "$reports"' EXIT
common="log_path=$reports/report:exitcode=66:print_stacktrace=1"
# The emulated-USB lab preloads umockdev ahead of the sanitizer runtime; the order
# does not matter for what is checked. A log_path here makes programs in that lab
# crash at start, so AddressSanitizer reports go to standard error with their own
# exit status, which fails the test that ran the program.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}exitcode=66:print_stacktrace=1:verify_asan_link_order=0:check_initialization_order=1"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}$common:halt_on_error=1"
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$root/scripts/sanitizers/lsan.supp:print_suppressions=0"
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}$common:halt_on_error=1:second_deadlock_stack=1:suppressions=$root/scripts/sanitizers/tsan.supp"

dirs=("$@")
[ ${#dirs[@]} -gt 0 ] || dirs=(.)
status=0
for d in "${dirs[@]}"; do
  "$here/netns.sh" ctest --test-dir "$BUILD/$d" --output-on-failure -j "$JOBS" --timeout 300 || status=1
done

found=$(find "$reports" -type f -size +0 | sort)
if [ -n "$found" ]; then
  echo "sanitizers: $(echo "$found" | wc -l) report(s) in $BUILD:"
  for f in $found; do
    echo "---- ${f##*/}"
    head -n 60 "$f"
  done
  status=1
fi
exit $status

#!/bin/bash
# Builds the Debian package in BUILD_DIR, unpacks it into a scratch directory (never into the
# system) and checks that the unpacked Updater runs, the man page renders and the completion
# and udev rules are in place. Needs the installed programs built already in BUILD_DIR.
# Usage: check_deb.sh BUILD_DIR
set -eu
build=$(cd "${1:?usage: check_deb.sh BUILD_DIR}" && pwd)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail=0
bad() { echo "FAIL: $*" >&2; fail=1; }

(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls -t "$build"/velmarine-updater_*.deb | head -1)
echo "package: $deb"
dpkg-deb -f "$deb" Package Version Depends
dpkg-deb -x "$deb" "$root"

for p in Updater birdtool velmarine-update-server velmarine-sim velmarine-lpc-sim velmarine-usbsim; do
    [ -x "$root/usr/bin/$p" ] || bad "/usr/bin/$p missing"
done
# -h touches neither the network nor the store.
out=$("$root/usr/bin/Updater" -h 2>&1) || bad "Updater -h exited with $?"
grep -q "^Updater (Version: " <<<"$out" || bad "no version line from Updater -h"
grep -q "Sample usage:" <<<"$out" || bad "Updater -h printed no full usage"

man=$root/usr/share/man/man1/Updater.1
if command -v man >/dev/null 2>&1; then
    MANWIDTH=80 man -l "$man" 2>/dev/null | grep -q "EXIT STATUS" || bad "man page does not render"
fi
[ -f "$root/usr/share/bash-completion/completions/Updater" ] || bad "bash completion missing"
[ -f "$root/usr/share/doc/velmarine-updater/README.md" ] || bad "README missing"
rules=$root/usr/lib/udev/rules.d/70-velmarine.rules
[ -f "$rules" ] || bad "udev rules missing"
bash "$(dirname "$0")/check_files.sh" "$(dirname "$0")" >/dev/null || bad "packaging files check"

[ $fail -eq 0 ] && echo "Debian package OK"
exit $fail

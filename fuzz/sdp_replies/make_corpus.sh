#!/usr/bin/env bash
# Writes the seeds: a mode byte, a probe byte, then the chip's answer to each read
# (serial: [n][bytes]; HID: [k] then k reports [len][bytes]). Usage: make_corpus.sh
set -euo pipefail
out=$(cd "$(dirname "$0")" && pwd)/corpus
mkdir -p "$out"

# hex "0A 0B ..." -> the bytes
hex() { for b in "$@"; do printf "\\x$b"; done; }
zeros() { head -c "$1" /dev/zero; }
# One HID read: report 3 (security word), report 4 (status or data word, 64 bytes).
hid_reply() {
  hex 02 05 03 12 34 56 78 41 04 "$@"
  zeros $((64 - $#))
}
# One serial read: security word, then the data word.
serial_reply() { hex 08 12 34 56 78 "$@"; }

{ hex 00 00; hid_reply F0 F0 F0 F0; hid_reply 11 22 33 44; hid_reply 55 66 77 88; } >"$out/hid-fingerprint"
{ hex 2A 03; hid_reply F0 F0 F0 F0; hex 00; hid_reply 88 88 88 88; } >"$out/hid-loader"
{ hex 2A 00; hid_reply F0 F0 F0 F0; hex 01 05 03 00 00 00 00; } >"$out/hid-answer-during-data"
{ hex 01 01; serial_reply F0 F0 F0 F0; serial_reply 11 22 33 44; serial_reply 55 66 77 88; } >"$out/serial-fingerprint"
{ hex 7B 00; serial_reply F0 F0 F0 F0; hex 00 00 00; serial_reply 88 88 88 88; } >"$out/serial-loader"
{ hex 01 0F; serial_reply F0 F0 F0 F0; hex 07 12 34 56 78 11 22 33; } >"$out/serial-short-word"
hex 00 00 >"$out/silent-chip"

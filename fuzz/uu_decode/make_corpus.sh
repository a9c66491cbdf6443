#!/usr/bin/env bash
# Writes the seed lines: the first byte picks the room the caller offers (modulo 64),
# the rest is the line. Usage: make_corpus.sh
set -euo pipefail
out=$(cd "$(dirname "$0")" && pwd)/corpus
mkdir -p "$out"
printf '\055M86QL;&\\@=V]R;&0A(0$\r\n' >"$out/hello-world"        # room 45, 13 bytes
printf '\055#86)C\r\n' >"$out/three-bytes"
printf '\002M86QL;&\\@=V]R;&0A\r\n' >"$out/room-too-small"
printf '\055M86QL\r\n' >"$out/line-too-short"
printf '\000`\r\n' >"$out/empty-line"
printf '\077M````````````````````````````````````````````````````````````\r\n' >"$out/full-zeros"

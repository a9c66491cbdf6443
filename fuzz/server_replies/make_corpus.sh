#!/usr/bin/env bash
# Writes the seed replies: one of each kind the reference update server sends,
# plus a few broken ones. Usage: make_corpus.sh
set -euo pipefail
out=$(cd "$(dirname "$0")" && pwd)/corpus
mkdir -p "$out"
printf 'ok\n' >"$out/ping"
printf 'ok\n1234\n1.4.2\n' >"$out/query"
printf 'ok\r\n1234\r\n1.4.2\r\n' >"$out/query-crlf"
printf 'ok\nYmlyZAEBeJzLSM3JyVcozy/KSVEEAB0JBF8=\n' >"$out/bird"
printf 'ok\n1234;1.4.2\n1200;1.3.10\n1100;1.3.9\nxx\n999;notaversion\n77\n' >"$out/builds"
printf 'ok\n0A1B2C3D\n1234\n' >"$out/recovery"
printf 'ok\n0A1B2C3D\n0x4d2\n' >"$out/recovery-hex"
printf 'ok\neyJhbGciOiJIUzI1NiJ9.eyJzbiI6IjBBMUIyQzNEIn0.c2lnbmF0dXJl\n' >"$out/token"
printf 'ok\na.b.c\n' >"$out/token-short"
printf 'error: unknown serial number\n' >"$out/error"
printf '\n\nok' >"$out/blank-lines"

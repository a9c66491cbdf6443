#!/usr/bin/env bash
# Writes the seed byte streams. Usage: make_corpus.sh
set -euo pipefail
out=$(cd "$(dirname "$0")" && pwd)/corpus
mkdir -p "$out"
printf '\004\003\001\102\003' >"$out/uei-get"
printf '\004\000\006\002\001\002' >"$out/two-packets"
printf '\000\000\004\035\004\002\011\011' >"$out/noise-then-packet"
printf '\004\034AAAAAAAAAAAAAAAAAAAAAAAAAAAA\004\001\377' >"$out/largest"

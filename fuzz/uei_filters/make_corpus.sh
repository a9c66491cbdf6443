#!/usr/bin/env bash
# Writes the seeds: four bytes of the awaited reply (module, command, option,
# specifier), then packets [address, size, data...]. Usage: make_corpus.sh
set -euo pipefail
out=$(cd "$(dirname "$0")" && pwd)/corpus
mkdir -p "$out"
printf '\004\003\001\002' >"$out/header-only"
printf '\004\003\001\002\004\004\003\001\002\011' >"$out/byte-reply"
printf '\004\003\001\002\004\005\003\001\002\001\002\004\007\003\001\002\001\002\003\004' >"$out/short-and-int"
printf '\004\003\001\002\004\004\003\001\202\015' >"$out/error-reply"
printf '\004\003\001\002\004\034\003\001\002AAAAAAAAAAAAAAAAAAAAAAAA\201' >"$out/bytes-chunk"
printf '\004\003\001\002\006\004\003\001\002\011\004\003\003\001\002' >"$out/other-module"
# Top bits of the fourth byte give the reads a 281-byte buffer: two chunks, the second last.
printf '\004\003\001\342\004\034\003\001\002AAAAAAAAAAAAAAAAAAAAAAAA\200\004\010\003\001\002BBBB\001' >"$out/two-chunks"

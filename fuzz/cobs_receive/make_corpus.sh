#!/usr/bin/env bash
# Writes the seeds: line bytes with framed packets (COBS of address, size, data, CRC-8,
# then a zero), noise and broken frames. The harness also writes each input as packet
# bytes, so plain packets are useful seeds too. Usage: make_corpus.sh
set -euo pipefail
out=$(cd "$(dirname "$0")" && pwd)/corpus
mkdir -p "$out"
printf '\004\004\003\001\102\003\000' >"$out/packet-bytes"
printf 'boot text\r\n\000\001\001\000' >"$out/noise"
printf '\377%.0s' $(seq 1 40) >"$out/overflow"
printf '\004\003\001\102\003\004\000\006\002\001\002' >"$out/two-packets"

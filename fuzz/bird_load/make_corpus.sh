#!/usr/bin/env bash
# Regenerates the seed corpus with birdtool. Usage: make_corpus.sh path/to/birdtool
set -euo pipefail
tool=${1:?path to birdtool}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'LOADER-IMAGE-0123456789abcdef' >"$work/loader.bin"
# A 64-byte vector table followed by code-like bytes, serial slots at 0x20 and 0x30.
head -c 160 /dev/zero | tr '\0' '\252' >"$work/fw.bin"
printf '\377%.0s' $(seq 1 200) >"$work/pad.bin"
common=(--build 1234 --version 1.4.2 --serial 0A1B2C3D --model HUB)
"$tool" create -o "$here/corpus/full.bird" "${common[@]}" --loader 0x10000000:"$work/loader.bin" --flags 2 \
  --firmware 0:"$work/fw.bin" --serial-offsets 0x24:0x30 --loader-start 0x20000400
"$tool" create -o "$here/corpus/full.payload" --payload-only "${common[@]}" --loader 0x10000000:"$work/loader.bin" \
  --firmware 0:"$work/fw.bin" --serial-offsets 0x24:0x30 --loader-start 0x20000400
"$tool" create -o "$here/corpus/two-firmware.payload" --payload-only --model SENSOR \
  --firmware 0x1000:"$work/fw.bin" --firmware 0:"$work/pad.bin" --flags 7 --block-count 3
"$tool" create -o "$here/corpus/descriptor-only.bird" "${common[@]}"
"$tool" create -o "$here/corpus/raw-block.payload" --payload-only --raw 9:"$work/loader.bin" --block-count 0

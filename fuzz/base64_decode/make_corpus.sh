#!/usr/bin/env bash
# Writes the seed texts. Usage: make_corpus.sh
set -euo pipefail
out=$(cd "$(dirname "$0")" && pwd)/corpus
mkdir -p "$out"
printf 'TWFu' >"$out/three"
printf 'TWE=' >"$out/two"
printf 'TQ==' >"$out/one"
printf 'YmlyZAEBeJzLSM3JyVcozy/KSVEEAB0JBF8=' >"$out/bird"
printf 'TQ=A' >"$out/padding-inside"
printf 'TWFu\n' >"$out/line-break"
printf '////++++' >"$out/high-symbols"

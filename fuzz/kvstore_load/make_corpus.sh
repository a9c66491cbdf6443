#!/usr/bin/env bash
# Writes the seed attributes files. Usage: make_corpus.sh
set -euo pipefail
out=$(cd "$(dirname "$0")" && pwd)/corpus
mkdir -p "$out"
printf 'CREATED_TIME=Thu Dec 10 09:00:00 2026\nUPDATED_TIME=Fri Dec 11 06:00:00 2026\nBUILD=1234\nSERIAL=0x0A1B2C3D\nVERSION=1.4.2\nSUCCESS=1\nRATE=0.250000\n' >"$out/device"
printf '# comment\n  KEY = value with = sign  \r\nEMPTY=\nNOEQUALS\n=novalue\nab\n' >"$out/odd-lines"
{ printf 'A=1\n'; head -c 5000 /dev/zero | tr '\0' 'x'; printf '\nB=2\n'; } >"$out/overlong-line"
printf 'LAST=no newline at end' >"$out/no-final-newline"

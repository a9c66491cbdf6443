#!/usr/bin/python3
"""Writes the benchmark's firmware: a raw image (for lpc21isp) and the same image as an
LPC recovery BIRD file encoded for one chip's fingerprint (for the Updater).
Usage: make_image.py RAW BIRD SIZE SERIAL W0,W1,W2,W3 [BUILD]"""
import random
import struct
import sys
import zlib

raw_path, bird_path, size, serial = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4], 16)
fingerprint = [int(w, 0) for w in sys.argv[5].split(",")]
build = sys.argv[6] if len(sys.argv) > 6 else "1"

rng = random.Random(1)
image = bytearray(rng.getrandbits(8) for _ in range(size))
# A bootable vector table: entries 0-7 sum to zero, as lpc21isp would make them.
words = list(struct.unpack("<8I", image[:32]))
words[7] = (-sum(words[:7])) & 0xFFFFFFFF
image[:32] = struct.pack("<8I", *words)
open(raw_path, "wb").write(image)

key = b"".join(struct.pack(">I", w) for w in fingerprint)
encoded = bytearray(len(image))
previous = 0
for i, b in enumerate(image):
    encoded[i] = b ^ key[i % 16] ^ previous
    previous = b


def field(text):
    return text.encode().ljust(16, b" ")


descriptor = field(build) + field("1.0.0") + field("%08X" % serial) + field("LPC-BENCH")
blocks = [(4, descriptor), (1, struct.pack(">I", 0) + bytes(encoded))]
payload = struct.pack(">I", len(blocks))
for kind, data in blocks:
    payload += struct.pack(">BI", kind, len(data)) + data
payload += struct.pack(">I", 0)
open(bird_path, "wb").write(b"bird\x01\x01" + zlib.compress(payload))

#!/usr/bin/env bash
# Saves the screen of an X display, or one window of it, as a PNG: a look at
# the application started with run-app.sh on a virtual display.
# Usage: screenshot.sh OUT.png [WINDOW-ID]  (uses $DISPLAY)
set -euo pipefail
out=$1
if [ $# -gt 1 ]; then what=(-id "$2"); else what=(-root); fi
xwd "${what[@]}" -silent | python3 -c '
import struct, sys, zlib
d = sys.stdin.buffer.read()
# The dump header: 25 big-endian 32-bit fields, then the window name.
h = struct.unpack(">25I", d[:100])
header_size, fmt, depth, width, height = h[0], h[2], h[3], h[4], h[5]
byte_order, bpp, bytes_per_line, ncolors = h[7], h[11], h[12], h[19]
red_mask, green_mask, blue_mask = h[14], h[15], h[16]
if fmt != 2 or depth != 24 or bpp not in (24, 32):
    sys.exit("screenshot: only 24-bit true-colour screens are handled")
pixels = d[header_size + 12 * ncolors:]
size = bpp // 8
def shift(mask):
    return (mask & -mask).bit_length() - 1
rs, gs, bs = shift(red_mask), shift(green_mask), shift(blue_mask)
rows = []
for y in range(height):
    line = pixels[y * bytes_per_line:y * bytes_per_line + size * width]
    px = [int.from_bytes(line[i:i + size], "little" if byte_order == 0 else "big") for i in range(0, size * width, size)]
    row = bytearray(1 + 3 * width)
    row[1::3] = bytes((p >> rs) & 255 for p in px)
    row[2::3] = bytes((p >> gs) & 255 for p in px)
    row[3::3] = bytes((p >> bs) & 255 for p in px)
    rows.append(bytes(row))
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
sys.stdout.buffer.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                        + chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))
' > "$out"

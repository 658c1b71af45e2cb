#!/usr/bin/env python3
"""Writes the two footer logos (tarnlogo.gif, tarnbig.gif): a blue tarn under a hill
with the letter T, drawn from code. Run once; the GIF files are committed."""
import struct, sys, os

PALETTE = [(255, 255, 255), (0, 61, 132), (90, 140, 60), (149, 0, 0)]  # white, blue, green, red

def draw(w, h):
    px = [[0] * w for _ in range(h)]
    for y in range(h):
        for x in range(w):
            hill = h * 0.55 - (w / 2 - abs(x - w / 2)) * 0.6
            if y > h * 0.7:
                px[y][x] = 1                      # the tarn
            elif y > hill and y > h * 0.25:
                px[y][x] = 2                      # the hill
    t = max(1, w // 16)                           # the letter T
    for y in range(h // 8, h // 8 + t):
        for x in range(w // 3, w - w // 3):
            px[y][x] = 3
    for y in range(h // 8, int(h * 0.7)):
        for x in range(w // 2 - t // 2 - 1, w // 2 + t // 2 + 1):
            px[y][x] = 3
    return px

def lzw(pixels):
    # Code size 3 (2-bit colours): a clear code every two pixels keeps every code 3 bits.
    clear, eoi, bits, nbits, out = 4, 5, 0, 0, bytearray()
    def emit(code):
        nonlocal bits, nbits
        bits |= code << nbits
        nbits += 3
        while nbits >= 8:
            out.append(bits & 0xFF)
            bits >>= 8
            nbits -= 8
    for i, p in enumerate(pixels):
        if i % 2 == 0:
            emit(clear)
        emit(p)
    emit(eoi)
    if nbits:
        out.append(bits & 0xFF)
    return bytes(out)

def gif(w, h):
    px = draw(w, h)
    data = lzw([c for row in px for c in row])
    out = bytearray(b"GIF89a" + struct.pack("<HHBBB", w, h, 0x81, 0, 0))
    for r, g, b in PALETTE:
        out += bytes((r, g, b))
    out += b"\x2c" + struct.pack("<HHHHB", 0, 0, w, h, 0) + b"\x02"
    for i in range(0, len(data), 255):
        chunk = data[i:i + 255]
        out += bytes((len(chunk),)) + chunk
    out += b"\x00\x3b"
    return bytes(out)

here = os.path.dirname(os.path.abspath(sys.argv[0]))
with open(os.path.join(here, "tarnlogo.gif"), "wb") as f:
    f.write(gif(48, 32))
with open(os.path.join(here, "tarnbig.gif"), "wb") as f:
    f.write(gif(120, 80))

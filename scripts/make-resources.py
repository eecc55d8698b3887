#!/usr/bin/env python3
"""Draws the client's pictures, cursor and sounds into a folder (the build puts them beside the
program): the pane status pictures, the PTZ arrows, the login background, the zoom cursor, the
alarm and snapshot sounds. Everything is drawn here from simple shapes; nothing is copied."""
import math
import os
import random
import struct
import sys
import wave


def bmp(path, width, height, pixel):
    """24-bit bottom-up BMP; pixel(x, y) gives (r, g, b) with y counted from the top."""
    row = (width * 3 + 3) & ~3
    data = bytearray()
    for y in range(height - 1, -1, -1):
        line = bytearray()
        for x in range(width):
            r, g, b = pixel(x, y)
            line += bytes((b, g, r))
        line += b"\0" * (row - width * 3)
        data += line
    header = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + data)


def inside_circle(x, y, cx, cy, r):
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def status_picture(kind):
    size = 48
    bg = (0, 0, 0)

    def pixel(x, y):
        if kind == "Recording":
            return (220, 30, 30) if inside_circle(x, y, 24, 24, 14) else bg
        if kind == "Talking":  # a loudspeaker with two waves
            if 10 <= x <= 18 and 18 <= y <= 30:
                return (240, 240, 240)
            if 18 <= x <= 26 and abs(y - 24) <= (x - 18) + 6:
                return (240, 240, 240)
            d = math.hypot(x - 26, y - 24)
            if x > 28 and (abs(d - 10) < 1.5 or abs(d - 16) < 1.5) and abs(y - 24) < 12:
                return (80, 200, 80)
            return bg
        if kind == "Audioing":  # a microphone
            if 18 <= x <= 30 and 8 <= y <= 28 and (y > 14 or inside_circle(x, y, 24, 14, 6)):
                return (240, 240, 240)
            d = math.hypot(x - 24, y - 24)
            if abs(d - 11) < 1.5 and y > 24:
                return (80, 160, 240)
            if 23 <= x <= 25 and 35 <= y <= 40 or 16 <= x <= 32 and 40 <= y <= 41:
                return (80, 160, 240)
            return bg
        return bg

    return size, size, pixel


def arrow(direction):
    size = 32

    def pixel(x, y):
        # an upward triangle, turned for the other directions
        u, v = {"up": (x, y), "down": (x, size - 1 - y), "left": (y, x), "right": (y, size - 1 - x)}[direction]
        if 6 <= v <= 26 and abs(u - 15.5) <= (v - 6) * 0.6:
            return (60, 120, 200)
        return (235, 238, 242)

    return size, size, pixel


def background():
    width, height = 480, 320

    def pixel(x, y):
        t = y / height
        r, g, b = int(20 + 30 * t), int(60 + 60 * t), int(110 + 80 * t)
        # a lens: two rings in the middle
        d = math.hypot(x - width / 2, y - height / 2.6)
        if abs(d - 46) < 4 or abs(d - 26) < 3:
            return (230, 236, 245)
        if d < 14:
            return (120, 190, 250)
        return (r, g, b)

    return width, height, pixel


def cursor(path):
    """A 32x32 magnifier cursor (.cur: an icon directory with the hot spot, one 32-bit DIB)."""
    size = 32
    pixels = bytearray()
    for y in range(size - 1, -1, -1):
        for x in range(size):
            d = math.hypot(x - 12, y - 12)
            on_ring = 7 <= d <= 10
            on_handle = x >= 18 and y >= 18 and abs(x - y) <= 2 and x <= 29
            plus = (abs(x - 12) <= 4 and abs(y - 12) <= 0.5) or (abs(y - 12) <= 4 and abs(x - 12) <= 0.5)
            if on_ring or on_handle:
                pixels += bytes((20, 20, 20, 255))
            elif plus:
                pixels += bytes((20, 20, 20, 255))
            elif d < 7:
                pixels += bytes((255, 255, 255, 160))
            else:
                pixels += bytes((0, 0, 0, 0))
    mask = b"\0" * (size * size // 8)
    dib = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0) + pixels + mask
    directory = struct.pack("<HHH", 0, 2, 1) + struct.pack("<BBBBHHII", size, size, 0, 0, 12, 12, len(dib), 22)
    with open(path, "wb") as f:
        f.write(directory + dib)


def sound(path, seconds, sample):
    rate = 16000
    frames = bytearray()
    for i in range(int(rate * seconds)):
        value = max(-1.0, min(1.0, sample(i / rate)))
        frames += struct.pack("<h", int(value * 30000))
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(bytes(frames))


def alarm(t):
    # two alternating tones, 4 per second, faded at the ends
    tone = 880 if int(t * 4) % 2 == 0 else 660
    fade = min(1.0, t / 0.02, (1.2 - t) / 0.02)
    return 0.5 * fade * math.sin(2 * math.pi * tone * t)


_noise = random.Random(7)


def snap(t):
    # a shutter: a short noise burst, then a softer second one
    envelope = math.exp(-t * 60) + 0.6 * math.exp(-max(0.0, t - 0.08) * 70) * (t >= 0.08)
    return 0.7 * envelope * (_noise.random() * 2 - 1)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    os.makedirs(out, exist_ok=True)
    for kind in ("Talking", "Audioing", "Recording"):
        bmp(os.path.join(out, kind + "@3x.bmp"), *status_picture(kind))
    for direction in ("up", "down", "left", "right"):
        bmp(os.path.join(out, direction + ".bmp"), *arrow(direction))
    bmp(os.path.join(out, "background.bmp"), *background())
    cursor(os.path.join(out, "zoom-cursor.cur"))
    sound(os.path.join(out, "Alarm.wav"), 1.2, alarm)
    sound(os.path.join(out, "snap.wav"), 0.25, snap)


if __name__ == "__main__":
    main()

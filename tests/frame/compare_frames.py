#!/usr/bin/env python3
"""Compares the frame the GDI canvas composed (Windows build, under Wine) with
the one the software canvas composed (Linux build) for the same launcher state.

Text is left out: the two builds use different faces and rasterisers, so the
boxes text is drawn in (entry fields with their caret, button labels, status
line, footer) are not compared. Everywhere else a pixel differs when any
channel differs by more than CHANNEL_TOLERANCE, and the run fails when the
share of differing pixels exceeds SHARE_TOLERANCE.

Usage: compare_frames.py SOFT.bmp GDI.bmp [--diff DIFF.bmp]
Python 3 standard library only; reads and writes 24-bit uncompressed BMPs.
"""
import struct
import sys

WIDTH, HEIGHT = 1280, 853

# Gradients, alpha blends and the halftone-free copy are exact integer rules
# on both sides; a few units of rounding (GradientFill's 16-bit vertex
# arithmetic, AlphaBlend's /255 against a shift) are not a fault.
CHANNEL_TOLERANCE = 8

# What legitimately differs is the edge of curved shapes: GDI rasterises
# RoundRect corners, elliptic regions and the rounded clip of the progress
# fill with its own integer ellipse algorithm and wide pens with its own
# end caps, so a corner or the rim of the status dot may sit a pixel
# further in or out. Those edges are a few hundred pixels of the 1.09
# million compared; 0.1 % (about 1090 pixels) leaves room for them while a
# single misplaced element (a button is 7200 pixels, the progress fill
# 2800, one glowing mote up to 324) would fail.
SHARE_TOLERANCE = 0.001

# Boxes that hold text, (left, top, right, bottom), right and bottom
# excluded, with the colour the text shows in (the hovered label under the
# white highlight). The entry fields' boxes also hold the caret, whose x
# follows the measured text width. Button labels are centred in their
# button, so the middle of each button is left out; its outline, corners
# and both ends of its gradient are still compared.
TEXT_BOXES = [
    ("user field text", (476, 439, 832, 477), (220, 230, 255)),
    ("masked field text", (476, 489, 832, 527), (220, 230, 255)),
    ("CHECK FILES label", (454, 653, 614, 684), (255, 233, 182)),
    ("PATCH FILES label", (661, 653, 821, 684), (242, 208, 138)),
    ("status line", (356, 690, 918, 712), (143, 230, 255)),
    ("footer text", (24, 823, 896, 845), (140, 150, 188)),
]
# Pixels of about the text colour that show a box's text was drawn at all;
# the stand-in background has none of these colours.
TEXT_COLOUR_TOLERANCE = 24
TEXT_PIXELS_MIN = 30

# Where differences are reported, to tell a rounded edge from a real fault.
AREAS = [
    ("particle band", (0, 0, 1280, 290)),
    ("entry fields", (460, 435, 845, 531)),
    ("buttons", (430, 646, 845, 690)),
    ("status dot", (40, 490, 65, 513)),
    ("progress bar", (352, 712, 922, 730)),
    ("tab underline", (340, 780, 980, 792)),
    ("footer band", (10, 815, 904, 853)),
]

def read_bmp(path):
    """Returns rows top-down of (r, g, b) bytes, or exits with a message."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"BM" or len(data) < 54:
        sys.exit(f"{path}: not a BMP file")
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height, _planes, bits, compression = struct.unpack_from("<iiHHI", data, 18)
    if (width, abs(height)) != (WIDTH, HEIGHT) or bits != 24 or compression != 0:
        sys.exit(f"{path}: want a {WIDTH}x{HEIGHT} 24-bit uncompressed BMP, "
                 f"got {width}x{height} {bits}-bit compression {compression}")
    stride = (WIDTH * 3 + 3) & ~3
    rows = []
    for y in range(HEIGHT):
        source_row = HEIGHT - 1 - y if height > 0 else y
        start = offset + source_row * stride
        row = data[start:start + WIDTH * 3]
        if len(row) != WIDTH * 3:
            sys.exit(f"{path}: pixel data cut short")
        rows.append(row)  # B, G, R per pixel
    return rows


def write_bmp(path, rows):
    stride = WIDTH * 3
    header = struct.pack("<2sIHHI", b"BM", 54 + stride * HEIGHT, 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, WIDTH, -HEIGHT, 1, 24, 0, stride * HEIGHT, 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + b"".join(rows))


def excluded_mask():
    mask = [bytearray(WIDTH) for _ in range(HEIGHT)]
    for _name, (left, top, right, bottom), _colour in TEXT_BOXES:
        for y in range(top, bottom):
            mask[y][left:right] = b"\x01" * (right - left)
    return mask


def text_pixels(rows, box, colour):
    left, top, right, bottom = box
    count = 0
    for y in range(top, bottom):
        row = rows[y]
        for x in range(left, right):
            i = x * 3
            if (abs(row[i + 2] - colour[0]) <= TEXT_COLOUR_TOLERANCE
                    and abs(row[i + 1] - colour[1]) <= TEXT_COLOUR_TOLERANCE
                    and abs(row[i] - colour[2]) <= TEXT_COLOUR_TOLERANCE):
                count += 1
    return count


def area_of(x, y):
    for name, (left, top, right, bottom) in AREAS:
        if left <= x < right and top <= y < bottom:
            return name
    return "elsewhere"


def main(argv):
    if len(argv) not in (3, 5) or (len(argv) == 5 and argv[3] != "--diff"):
        sys.exit(__doc__)
    soft = read_bmp(argv[1])
    gdi = read_bmp(argv[2])
    mask = excluded_mask()

    # A frame of one colour means the painter drew nothing; two such frames
    # would compare equal and prove nothing.
    for name, rows in (("soft", soft), ("gdi", gdi)):
        if len({bytes(row[i:i + 3]) for row in rows[::16] for i in range(0, WIDTH * 3, 48)}) < 8:
            sys.exit(f"{name} frame is (nearly) one colour: nothing was painted")

    # Text is not compared, but it must be there on both sides.
    failed = False
    for name, rows in (("soft", soft), ("gdi", gdi)):
        for box_name, box, colour in TEXT_BOXES:
            if text_pixels(rows, box, colour) < TEXT_PIXELS_MIN:
                print(f"FAIL: {name} frame shows no text in the {box_name} box")
                failed = True

    compared = differing = 0
    areas = {}
    diff_rows = []
    for y in range(HEIGHT):
        a, b, m = soft[y], gdi[y], mask[y]
        diff_row = bytearray(WIDTH * 3)
        for x in range(WIDTH):
            if m[x]:
                diff_row[x * 3:x * 3 + 3] = b"\x40\x40\x40"
                continue
            compared += 1
            i = x * 3
            if (abs(a[i] - b[i]) > CHANNEL_TOLERANCE or abs(a[i + 1] - b[i + 1]) > CHANNEL_TOLERANCE
                    or abs(a[i + 2] - b[i + 2]) > CHANNEL_TOLERANCE):
                differing += 1
                area = area_of(x, y)
                areas[area] = areas.get(area, 0) + 1
                diff_row[i:i + 3] = b"\x00\x00\xff"
            else:
                diff_row[i:i + 3] = bytes(v // 4 for v in a[i:i + 3])
        diff_rows.append(bytes(diff_row))

    share = differing / compared
    print(f"frames: {differing} of {compared} compared pixels differ ({share * 100:.4f} %; "
          f"channel tolerance {CHANNEL_TOLERANCE}, allowed share {SHARE_TOLERANCE * 100:.2f} %)")
    for area, count in sorted(areas.items(), key=lambda item: -item[1]):
        print(f"  {count:6d} in {area}")
    if len(argv) == 5:
        write_bmp(argv[4], diff_rows)
        print(f"difference image (red: differs, grey: text, not compared): {argv[4]}")
    if share > SHARE_TOLERANCE:
        print("FAIL: the GDI and software frames differ outside the text boxes")
        failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

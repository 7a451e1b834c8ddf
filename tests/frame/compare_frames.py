#!/usr/bin/env python3
"""Compares the frame the GDI canvas composed (Windows build, under Wine) with
the one the software canvas composed (Linux build) for the same launcher state.

Text is left out: the two builds use different faces and rasterisers, so the
boxes text is drawn in (entry fields with their caret, button labels, status
line, footer) are not compared; each must merely show some text on both
sides. Everywhere else a pixel differs when any channel differs by more than
CHANNEL_TOLERANCE. The run fails when the share of differing pixels exceeds
SHARE_TOLERANCE, or when one element has more differing pixels than its
budget (its rim): a share alone would let a small element in the wrong
place or colour through.

Usage: compare_frames.py SOFT.bmp GDI.bmp [--diff DIFF.bmp]
Python 3 standard library only; reads and writes 24-bit uncompressed BMPs.
"""
import struct
import sys

WIDTH, HEIGHT = 1280, 853

# Gradients, copies and blends are integer rules on both sides; a few units
# of rounding (GradientFill's 16-bit vertex arithmetic, AlphaBlend's
# division by 255) are no fault.
CHANNEL_TOLERANCE = 8

# GDI rasterises curved shapes with its own integer algorithms: its rounded
# and elliptic regions end one pixel short of the right and bottom edges of
# RoundRect's outline, so the progress fill leaves the track's bottom row
# showing and the status dot is a pixel smaller; RoundRect corners may sit a
# pixel apart; 2-pixel pens get end caps; and AlphaBlend picks other source
# pixels when it shrinks the 20 x 20 glow to a mote. All of that lies on
# the rims of the shapes listed in AREAS, at most about 1100 pixels
# together, 0.1 % of the roughly 1.02 million compared. Measured under
# Wine 8 against the software canvas: 449 pixels, 0.044 %.
SHARE_TOLERANCE = 0.001

# Elements and the differing pixels each may have, (left, top, right,
# bottom) with right and bottom excluded; the first area holding a pixel
# counts it. A budget is the rim that may legitimately differ.
AREAS = [
    # 50 motes up to 18 px wide; a shrunk sprite sampled one source pixel
    # apart changes a few pixels per mote.
    ("particle band", (0, 0, 1280, 290), 400),
    # The fill's bottom row (up to the track width, 562) and right column
    # under the one-pixel-smaller rounded clip, plus the four corners.
    ("progress bar", (352, 712, 922, 730), 600),
    # Rim of a 13 x 13 disc: 2 * (13 + 13).
    ("status dot", (40, 490, 65, 513), 52),
    # End caps of a 2-pixel line: 2 x 2 pixels at each end.
    ("tab underline", (340, 780, 980, 792), 8),
    # Eight corners of 8 x 8 rounded outlines.
    ("buttons", (430, 646, 845, 690), 64),
    # Plain rectangles, copies and blends: nothing may differ.
    ("entry fields", (460, 435, 845, 531), 0),
    ("footer band", (10, 815, 904, 853), 0),
    ("elsewhere", (0, 0, WIDTH, HEIGHT), 0),
]

# Boxes that hold text, with the colour the text shows in (the hovered
# label under the white highlight). The entry fields' boxes also hold the
# caret, whose x follows the measured text width. Button labels are centred
# in their button, so the middle of each button is left out; its outline,
# corners and both ends of its gradient are still compared.
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


def read_bmp(path):
    """Rows top-down, each bytes B, G, R per pixel; exits on a wrong file."""
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
        start = offset + (HEIGHT - 1 - y if height > 0 else y) * stride
        row = data[start:start + WIDTH * 3]
        if len(row) != WIDTH * 3:
            sys.exit(f"{path}: pixel data cut short")
        rows.append(row)
    return rows


def write_bmp(path, rows):
    size = WIDTH * 3 * HEIGHT
    header = struct.pack("<2sIHHI", b"BM", 54 + size, 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, WIDTH, -HEIGHT, 1, 24, 0, size, 2835, 2835, 0, 0)
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
    for name, (left, top, right, bottom), _budget in AREAS:
        if left <= x < right and top <= y < bottom:
            return name
    return "elsewhere"


def main(argv):
    if len(argv) not in (3, 5) or (len(argv) == 5 and argv[3] != "--diff"):
        sys.exit(__doc__)
    soft = read_bmp(argv[1])
    gdi = read_bmp(argv[2])
    failed = False

    # Text is not compared, but it must be there on both sides.
    for name, rows in (("soft", soft), ("gdi", gdi)):
        for box_name, box, colour in TEXT_BOXES:
            if text_pixels(rows, box, colour) < TEXT_PIXELS_MIN:
                print(f"FAIL: the {name} frame shows no text in the {box_name} box")
                failed = True

    mask = excluded_mask()
    compared = differing = 0
    per_area = {name: 0 for name, _box, _budget in AREAS}
    diff_rows = []
    for y in range(HEIGHT):
        a, b, m = soft[y], gdi[y], mask[y]
        diff_row = bytearray(WIDTH * 3)
        for x in range(WIDTH):
            i = x * 3
            if m[x]:
                diff_row[i:i + 3] = b"\x40\x40\x40"
                continue
            compared += 1
            if (abs(a[i] - b[i]) > CHANNEL_TOLERANCE or abs(a[i + 1] - b[i + 1]) > CHANNEL_TOLERANCE
                    or abs(a[i + 2] - b[i + 2]) > CHANNEL_TOLERANCE):
                differing += 1
                per_area[area_of(x, y)] += 1
                diff_row[i:i + 3] = b"\x00\x00\xff"
            else:
                diff_row[i:i + 3] = bytes(v // 4 for v in a[i:i + 3])
        diff_rows.append(bytes(diff_row))

    share = differing / compared
    print(f"frames: {differing} of {compared} compared pixels differ ({share * 100:.4f} %; "
          f"channel tolerance {CHANNEL_TOLERANCE}, allowed {SHARE_TOLERANCE * 100:.2f} %)")
    for name, _box, budget in AREAS:
        over = per_area[name] > budget
        if per_area[name] or over:
            print(f"  {per_area[name]:6d} in {name} (budget {budget}){'  FAIL' if over else ''}")
        failed = failed or over
    if len(argv) == 5:
        write_bmp(argv[4], diff_rows)
        print(f"difference image (red: differs, grey: text, not compared): {argv[4]}")
    if share > SHARE_TOLERANCE:
        print("FAIL: the GDI and software frames differ outside the text boxes")
        failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/env python3
"""Checks the artwork that tools/make_artwork.py draws.

The background must line up with the hotspot rectangles the launcher hit-tests
and leave the areas the painter fills (entry fields, action buttons, status
line, progress bar, footer, tab underlines) calm, and the files must be in the
forms LoadImageW, windres and SDL_LoadBMP accept. The files are parsed here
by hand, not through the generator's own code.

Usage: python3 tests/integration/test_artwork.py
"""

import os
import struct
import subprocess
import sys
import tempfile
import unittest

try:
    import PIL  # noqa: F401  (used for the cross-check of the icon file)
except ImportError:
    system_python = "/usr/bin/python3"
    if os.path.exists(system_python) and os.path.realpath(sys.executable) != os.path.realpath(system_python):
        os.execv(system_python, [system_python] + sys.argv)
    PIL = None

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
GENERATOR = os.path.join(REPO, "tools", "make_artwork.py")
FILES = ("bg.bmp", "launcher.ico", "icon.bmp")

MENU_ROWS = [(952, 439, 1266, 477), (952, 489, 1266, 528), (952, 540, 1266, 579), (952, 591, 1266, 631),
             (952, 643, 1266, 682)]
TOP_ICONS = [(22, 20, 60, 50), (70, 20, 112, 50), (120, 20, 162, 50), (172, 20, 216, 50)]
WINDOW_BUTTONS = [(1214, 18, 1250, 52), (1252, 18, 1280, 52)]
FIELD_BANDS = [(434, 439, 840, 477), (434, 489, 840, 527)]
PLAY = (434, 569, 840, 640)
TABS = [(340, 478), (500, 670), (686, 815), (838, 978)]
TAB_UNDERLINE_Y = 786
# Areas the painter fills or writes into, which the background must leave plain.
PLAIN = {
    "user field interior": (468, 443, 836, 473),
    "password field interior": (468, 493, 836, 523),
    "CHECK FILES button": (434, 650, 634, 686),
    "PATCH FILES button": (642, 650, 840, 686),
    "status line and progress bar": (356, 688, 918, 728),
    "footer band": (14, 819, 900, 849),
}


def run_generator(out):
    subprocess.run([sys.executable, GENERATOR, "--out", out], check=True, timeout=300)


def is_gold(rgb):
    r, g, b = rgb
    return r >= 120 and r >= g and r - b >= 50 and g - b >= 20


class Bmp:
    """Minimal reader for the uncompressed BMPs the launcher loads."""

    def __init__(self, data):
        magic, size, _, _, offset = struct.unpack_from("<2sIHHI", data, 0)
        if magic != b"BM":
            raise ValueError("not a BMP")
        self.file_size, self.offset = size, offset
        (self.header_size, self.width, self.height, self.planes, self.bpp, self.compression,
         self.image_size) = struct.unpack_from("<IiiHHII", data, 14)
        self.masks = struct.unpack_from("<IIII", data, 54) if self.header_size >= 108 else None
        self.stride = (self.width * self.bpp // 8 + 3) & ~3
        self.data = data

    def pixel(self, x, y):
        """(r, g, b, a) at design coordinates (top-left origin)."""
        row = self.height - 1 - y if self.height > 0 else y
        o = self.offset + row * self.stride + x * self.bpp // 8
        b, g, r = self.data[o], self.data[o + 1], self.data[o + 2]
        a = self.data[o + 3] if self.bpp == 32 else 255
        return r, g, b, a

    def pixels(self, box):
        l, t, r, b = box
        return [self.pixel(x, y)[:3] for y in range(t, b) for x in range(l, r)]


def stats(pixels):
    n = float(len(pixels))
    out = []
    for c in range(3):
        values = [p[c] for p in pixels]
        mean = sum(values) / n
        out.append((mean, (sum((v - mean) ** 2 for v in values) / n) ** 0.5))
    return out


def gold_count(pixels):
    return sum(1 for p in pixels if is_gold(p))


class ArtworkTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.first = os.path.join(cls.tmp.name, "first")
        cls.second = os.path.join(cls.tmp.name, "second")
        run_generator(cls.first)
        run_generator(cls.second)
        cls.files = {}
        for name in FILES:
            with open(os.path.join(cls.first, name), "rb") as f:
                cls.files[name] = f.read()
        cls.bg = Bmp(cls.files["bg.bmp"])

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_every_run_writes_the_same_bytes(self):
        for name in FILES:
            with open(os.path.join(self.second, name), "rb") as f:
                self.assertEqual(f.read(), self.files[name], name + " differs between two runs")

    def test_background_is_a_bottom_up_24_bit_bmp_of_the_design_size(self):
        bg = self.bg
        self.assertEqual((bg.width, bg.height), (1280, 853))  # positive height: rows bottom-up
        self.assertEqual((bg.header_size, bg.planes, bg.bpp, bg.compression), (40, 1, 24, 0))
        self.assertEqual(bg.file_size, len(self.files["bg.bmp"]))
        self.assertEqual(bg.offset + bg.stride * 853, len(self.files["bg.bmp"]))

    def test_painted_areas_are_left_plain_and_dark(self):
        for name, box in PLAIN.items():
            pixels = self.bg.pixels(box)
            for channel, (mean, deviation) in zip("RGB", stats(pixels)):
                self.assertLess(deviation, 3.0, "%s: channel %s varies (sd %.2f)" % (name, channel, deviation))
                self.assertLess(mean, 48, "%s: channel %s too bright for the painter's text" % (name, channel))

    def test_tab_underline_rows_are_clear_below_each_label(self):
        for l, r in TABS:
            strip = self.bg.pixels((l + 10, TAB_UNDERLINE_Y - 3, r - 10, TAB_UNDERLINE_Y + 4))
            self.assertEqual(gold_count(strip), 0, "art under the underline of the tab at x %d" % l)

    def test_each_tab_has_a_gold_label_low_in_its_band(self):
        for l, r in TABS:
            label = self.bg.pixels((l, 740, r, 783))
            self.assertGreater(gold_count(label), 60, "no label in the tab at x %d" % l)
            # Labels stay clear of the status line and progress bar above them.
            self.assertEqual(gold_count(self.bg.pixels((l, 706, r, 740))), 0)

    def test_entry_field_frames_follow_the_field_bands(self):
        for l, t, r, b in FIELD_BANDS:
            top = self.bg.pixels((l + 20, t, r - 20, t + 1))
            bottom = self.bg.pixels((l + 20, b - 1, r - 20, b))
            left = self.bg.pixels((l, t + 10, l + 1, b - 10))
            right = self.bg.pixels((r - 1, t + 10, r, b - 10))
            for edge, name in ((top, "top"), (bottom, "bottom"), (left, "left"), (right, "right")):
                self.assertGreater(gold_count(edge), 0.9 * len(edge), "band at y %d: %s edge" % (t, name))
            # Just outside the band there is no frame line.
            outside = self.bg.pixels((l + 20, t - 3, r - 20, t - 2)) + self.bg.pixels((l + 20, b + 2, r - 20, b + 3))
            self.assertEqual(gold_count(outside), 0, "band at y %d: frame drawn outside it" % t)
            # The field's glyph sits left of the area the painter fills.
            self.assertGreater(gold_count(self.bg.pixels((l + 4, t + 6, 466, b - 6))), 30)

    def test_play_area_is_a_gold_button_with_a_dark_label(self):
        pixels = self.bg.pixels(PLAY)
        self.assertGreater(gold_count(pixels), 0.6 * len(pixels))
        centre = self.bg.pixels((560, 585, 714, 625))
        dark = sum(1 for p in centre if sum(p) < 200)
        self.assertGreater(dark, 400, "no label in the PLAY area")

    def test_side_menu_rows_have_a_frame_and_a_label(self):
        for l, t, r, b in MENU_ROWS:
            top = self.bg.pixels((l + 20, t, r - 20, t + 1))
            self.assertGreater(gold_count(top), 0.9 * len(top), "row at y %d: frame" % t)
            label = self.bg.pixels((l + 60, t + 6, l + 200, b - 6))
            self.assertGreater(gold_count(label), 60, "row at y %d: label" % t)
            gaps = self.bg.pixels((l + 60, t - 5, l + 200, t - 2))
            self.assertEqual(gold_count(gaps), 0, "row at y %d: art above the row" % t)

    def test_icons_and_window_buttons_have_gold_glyphs(self):
        for l, t, r, b in TOP_ICONS + WINDOW_BUTTONS:
            glyph = self.bg.pixels((l + 4, t + 4, r - 4, b - 4))
            self.assertGreater(gold_count(glyph), 20, "no glyph in (%d, %d)" % (l, t))

    def test_server_label_sits_beside_the_status_dot(self):
        self.assertGreater(gold_count(self.bg.pixels((66, 494, 140, 509))), 40)
        # The socket under the dot the painter draws stays dark.
        socket = self.bg.pixels((48, 497, 57, 506))
        self.assertTrue(all(sum(p) < 60 for p in socket))

    def test_title_is_large_and_gold_above_the_fields(self):
        self.assertGreater(gold_count(self.bg.pixels((300, 200, 980, 350))), 6000)

    def check_emblem_pixels(self, size, pixel):
        self.assertEqual(pixel(0, 0)[3], 0, "%d px: corner not transparent" % size)
        self.assertEqual(pixel(size // 2, size // 2)[3], 255, "%d px: centre not opaque" % size)
        # About a fifth of the square is gold rim and letter; at 16 px the
        # edges are partly transparent, hence the lower bound of an eighth.
        solid_gold = sum(1 for y in range(size) for x in range(size)
                         if pixel(x, y)[3] >= 128 and is_gold(pixel(x, y)[:3]))
        self.assertGreater(solid_gold, size * size // 8, "%d px: emblem missing" % size)

    def test_icon_file_holds_six_32_bit_sizes(self):
        data = self.files["launcher.ico"]
        reserved, kind, count = struct.unpack_from("<HHH", data, 0)
        self.assertEqual((reserved, kind, count), (0, 1, 6))
        sizes = []
        for i in range(count):
            w, h, colours, _, planes, bpp, length, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
            size = w or 256
            sizes.append(size)
            self.assertEqual((h or 256, colours, planes, bpp), (size, 0, 1, 32))
            self.assertLessEqual(offset + length, len(data))
            blob = data[offset:offset + length]
            if blob.startswith(b"\x89PNG\r\n\x1a\n"):
                width, height, depth, colour_type = struct.unpack_from(">IIBB", blob, 16)
                self.assertEqual((width, height, depth, colour_type), (size, size, 8, 6))  # 8-bit RGBA
                continue
            header, width, height, _, bits = struct.unpack_from("<IiiHH", blob, 0)
            self.assertEqual((header, width, height, bits), (40, size, 2 * size, 32))  # height counts the mask
            mask_stride = ((size + 31) // 32) * 4
            self.assertEqual(length, 40 + size * size * 4 + mask_stride * size)

            def pixel(x, y, blob=blob, size=size):
                o = 40 + ((size - 1 - y) * size + x) * 4
                return blob[o + 2], blob[o + 1], blob[o], blob[o + 3]
            self.check_emblem_pixels(size, pixel)
        self.assertEqual(sorted(sizes), [16, 24, 32, 48, 64, 256])

    @unittest.skipIf(PIL is None, "Pillow is not installed")
    def test_pillow_reads_all_six_icon_sizes(self):
        from PIL import Image
        with Image.open(os.path.join(self.first, "launcher.ico")) as image:
            self.assertEqual(sorted(image.info["sizes"]), [(s, s) for s in (16, 24, 32, 48, 64, 256)])
            image.size = (256, 256)
            big = image.convert("RGBA")
        self.check_emblem_pixels(256, lambda x, y: big.getpixel((x, y)))

    def test_linux_icon_is_a_32_bit_bmp_with_an_alpha_mask(self):
        icon = Bmp(self.files["icon.bmp"])
        self.assertGreaterEqual(icon.header_size, 108)  # V4 or V5: masks in the header
        self.assertEqual((icon.bpp, icon.compression), (32, 3))  # BI_BITFIELDS
        self.assertEqual(icon.masks, (0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000))
        self.assertGreater(icon.height, 0)
        self.assertEqual(icon.offset + icon.stride * icon.height, len(self.files["icon.bmp"]))
        self.assertIn(icon.width, (64, 256))
        self.check_emblem_pixels(icon.width, icon.pixel)


if __name__ == "__main__":
    unittest.main()

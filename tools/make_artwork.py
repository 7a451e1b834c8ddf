#!/usr/bin/env python3
"""Draws the launcher's default artwork, entirely from code.

Writes into the output folder:
  bg.bmp        1280 x 853 background, 24-bit bottom-up BMP (what LoadImageW and
                SDL_LoadBMP read). It carries the art of every hotspot the
                painter does not draw itself: entry field frames, the PLAY
                button, the side menu, the top-left icons, the window buttons,
                the tab labels, the SERVER label and the title.
  launcher.ico  window icon, 16/24/32/48/64 px as 32-bit DIBs and 256 px as PNG
  icon.bmp      the same emblem, 256 x 256, 32-bit BMP with a BITMAPV5 header
                and an explicit alpha mask (the Linux window's icon)

The output is byte-for-byte deterministic: fixed seeds, no timestamps, and
only Pillow and the DejaVu fonts of fonts-dejavu-core.

Usage: make_artwork.py --out DIR
"""

import argparse
import io
import math
import os
import random
import struct
import sys

try:
    from PIL import Image, ImageChops, ImageDraw, ImageFilter, ImageFont
except ImportError:
    # A python3 from outside Debian (pyenv, venv) may lack Pillow; Debian's has it.
    system_python = "/usr/bin/python3"
    if os.path.exists(system_python) and os.path.realpath(sys.executable) != os.path.realpath(system_python):
        os.execv(system_python, [system_python] + sys.argv)
    sys.exit("make_artwork.py: Pillow is missing (Debian package python3-pil, see scripts/install-deps.sh)")

W, H = 1280, 853
SS = 4  # supersampling factor of the vector masks

FONT_DIR = "/usr/share/fonts/truetype/dejavu"

# Palette. The two golds are the ones the painter uses for the action
# buttons (outline and label), so painted and background parts match.
GOLD_DARK = (138, 109, 42)
GOLD = (242, 208, 138)
GOLD_LIGHT = (255, 232, 176)
GOLD_DEEP = (170, 126, 50)
NIGHT = (2, 5, 14)
STARLIGHT = (214, 226, 255)

# Regions the painter fills or writes into; nothing but smooth dark may lie
# there. (left, top, right, bottom), right and bottom excluded.
USER_BAND = (434, 439, 840, 477)
PASSWORD_BAND = (434, 489, 840, 527)
PLAY_AREA = (434, 569, 840, 640)
BUTTONS = (434, 650, 840, 686)
STATUS_AREA = (356, 688, 918, 728)
FOOTER = (14, 819, 900, 849)
MENU_ROWS = [
    ((952, 439, 1266, 477), "WEBSITE", "globe"),
    ((952, 489, 1266, 528), "COMMUNITY", "bubble"),
    ((952, 540, 1266, 579), "SUPPORT", "envelope"),
    ((952, 591, 1266, 631), "PATCH", "download"),
    ((952, 643, 1266, 682), "EXIT", "power"),
]
TOP_ICONS = [
    ((22, 20, 60, 50), "globe"),
    ((70, 20, 112, 50), "house"),
    ((120, 20, 162, 50), "bubble"),
    ((172, 20, 216, 50), "video"),
]
MINIMISE = (1214, 18, 1250, 52)
CLOSE = (1252, 18, 1280, 52)
TABS = [((340, 478), "NEWS"), ((500, 670), "UPDATES"), ((686, 815), "EVENTS"), ((838, 978), "GUIDES")]
TAB_BASELINE = 776
STATUS_DOT = (46, 495, 59, 508)
CENTRE_X = 637  # centre of the login column (x 434 to 840)

ICON_SIZES = (16, 24, 32, 48, 64, 256)
SEED = 1


# ---------------------------------------------------------------------------
# Small drawing kit: anti-aliased coverage masks in design coordinates, and
# fills of colours or gradients through them.

def font(name, size):
    path = os.path.join(FONT_DIR, name)
    if not os.path.exists(path):
        sys.exit("make_artwork.py: %s is missing (Debian package fonts-dejavu-core)" % path)
    basic = getattr(ImageFont, "Layout", None)
    engine = basic.BASIC if basic is not None else ImageFont.LAYOUT_BASIC
    return ImageFont.truetype(path, size, layout_engine=engine)


def lerp(a, b, t):
    if isinstance(a, int):
        return int(round(a + (b - a) * t))
    return tuple(int(round(x + (y - x) * t)) for x, y in zip(a, b))


def ramp(stops, t):
    """Colour at t in 0..1 of a multi-stop ramp [(position, colour), ...]."""
    if t <= stops[0][0]:
        return stops[0][1]
    for (p0, c0), (p1, c1) in zip(stops, stops[1:]):
        if t <= p1:
            return lerp(c0, c1, (t - p0) / (p1 - p0) if p1 > p0 else 1.0)
    return stops[-1][1]


def vgradient(w, h, stops, mode="RGB"):
    column = Image.new(mode, (1, h))
    column.putdata([ramp(stops, (y + 0.5) / h) for y in range(h)])
    return column.resize((w, h), Image.NEAREST)


def hgradient(w, h, stops, mode="RGB"):
    row = Image.new(mode, (w, 1))
    row.putdata([ramp(stops, (x + 0.5) / w) for x in range(w)])
    return row.resize((w, h), Image.NEAREST)


def scaled(mask, factor):
    if factor >= 1.0:
        return mask
    return mask.point(lambda v: int(v * factor + 0.5))


class Shapes:
    """Coverage mask of a box of the canvas, drawn at SS times the resolution
    in design coordinates and averaged down, so edges are anti-aliased."""

    def __init__(self, box, ss=SS):
        self.box = box
        self.ss = ss
        l, t, r, b = box
        self.img = Image.new("L", ((r - l) * ss, (b - t) * ss), 0)
        self.d = ImageDraw.Draw(self.img)

    def p(self, x, y):
        return ((x - self.box[0]) * self.ss, (y - self.box[1]) * self.ss)

    def r(self, x0, y0, x1, y1):
        a, b = self.p(x0, y0), self.p(x1, y1)
        return [a[0], a[1], b[0] - 1, b[1] - 1]

    def w(self, width):
        return max(1, int(round(width * self.ss)))

    def rect(self, x0, y0, x1, y1, v=255):
        self.d.rectangle(self.r(x0, y0, x1, y1), fill=v)

    def rrect(self, x0, y0, x1, y1, radius, v=255):
        self.d.rounded_rectangle(self.r(x0, y0, x1, y1), radius=radius * self.ss, fill=v)

    def rrect_ring(self, x0, y0, x1, y1, radius, width):
        self.rrect(x0, y0, x1, y1, radius)
        self.rrect(x0 + width, y0 + width, x1 - width, y1 - width, max(0, radius - width), 0)

    def ellipse(self, x0, y0, x1, y1, v=255):
        self.d.ellipse(self.r(x0, y0, x1, y1), fill=v)

    def circle(self, cx, cy, radius, v=255):
        self.ellipse(cx - radius, cy - radius, cx + radius, cy + radius, v)

    def ring(self, cx, cy, radius, width, v=255):
        self.d.ellipse(self.r(cx - radius, cy - radius, cx + radius, cy + radius), outline=v, width=self.w(width))

    def ellipse_ring(self, x0, y0, x1, y1, width, v=255):
        self.d.ellipse(self.r(x0, y0, x1, y1), outline=v, width=self.w(width))

    def arc(self, cx, cy, radius, start, end, width, v=255):
        self.d.arc(self.r(cx - radius, cy - radius, cx + radius, cy + radius), start, end, fill=v, width=self.w(width))

    def poly(self, points, v=255):
        self.d.polygon([self.p(x, y) for x, y in points], fill=v)

    def line(self, points, width, v=255, round_caps=True):
        pts = [self.p(x, y) for x, y in points]
        self.d.line(pts, fill=v, width=self.w(width), joint="curve")
        if round_caps:
            half = self.w(width) / 2.0
            for x, y in (pts[0], pts[-1]):
                self.d.ellipse([x - half, y - half, x + half, y + half], fill=v)

    def diamond(self, cx, cy, rx, ry, v=255):
        self.poly([(cx, cy - ry), (cx + rx, cy), (cx, cy + ry), (cx - rx, cy)], v)

    def mask(self):
        l, t, r, b = self.box
        return self.img.resize((r - l, b - t), Image.BOX)


def paint(canvas, box, mask, fill, opacity=1.0):
    """Blends a colour or an image of the box's size through a mask."""
    mask = scaled(mask, opacity)
    if isinstance(fill, tuple):
        layer = Image.new("RGB", mask.size, fill)
    else:
        layer = fill
    # Clip to the canvas: boxes near the edges may reach outside it.
    l, t, r, b = box
    cl, ct, cr, cb = max(l, 0), max(t, 0), min(r, canvas.width), min(b, canvas.height)
    if cl >= cr or ct >= cb:
        return
    crop = (cl - l, ct - t, cr - l, cb - t)
    canvas.paste(layer.crop(crop), (cl, ct, cr, cb), mask.crop(crop))


def paint_shapes(canvas, shapes, fill, opacity=1.0):
    paint(canvas, shapes.box, shapes.mask(), fill, opacity)


def soft(canvas, shapes, colour, radius, opacity, offset=(0, 0)):
    """Blurred copy of a mask: drop shadows and glows."""
    l, t, r, b = shapes.box
    pad = int(radius * 3) + 2
    big = Image.new("L", (r - l + 2 * pad, b - t + 2 * pad), 0)
    big.paste(shapes.mask(), (pad, pad))
    big = big.filter(ImageFilter.GaussianBlur(radius))
    box = (l - pad + offset[0], t - pad + offset[1], r + pad + offset[0], b + pad + offset[1])
    paint(canvas, box, big, colour, opacity)


def radial_mask(w, h, power=2.0):
    """255 at the centre falling smoothly to 0 at the ellipse's edge."""
    g = Image.radial_gradient("L").resize((w, h), Image.BICUBIC)
    return g.point(lambda v: int(255 * max(0.0, 1.0 - v / 255.0) ** power + 0.5))


def light(canvas, cx, cy, rx, ry, colour, opacity, power=2.0):
    box = (int(cx - rx), int(cy - ry), int(cx + rx), int(cy + ry))
    paint(canvas, box, radial_mask(box[2] - box[0], box[3] - box[1], power), colour, opacity)


class Text:
    """One line of text with optional letter spacing, as a coverage mask
    placed by its baseline."""

    def __init__(self, text, fnt, tracking=0.0):
        self.text, self.fnt = text, fnt
        self.advances = []
        x = 0.0
        for ch in text:
            self.advances.append(x)
            x += fnt.getlength(ch) + tracking
        self.width = x - tracking if text else 0.0
        self.cap = -fnt.getbbox("H", anchor="ls")[1]
        self.ascent, self.descent = fnt.getmetrics()

    def mask_at(self, x, baseline, pad=24, stroke=0):
        """(box, mask) with the text's left edge at x; stroke widens the
        glyphs by that many pixels all round (for outlines)."""
        x = int(round(x))
        pad += stroke
        box = (x - pad, baseline - self.ascent - pad, x + int(math.ceil(self.width)) + pad,
               baseline + self.descent + pad)
        m = Image.new("L", (box[2] - box[0], box[3] - box[1]), 0)
        d = ImageDraw.Draw(m)
        for ch, adv in zip(self.text, self.advances):
            d.text((pad + int(round(adv)), baseline - box[1]), ch, font=self.fnt, fill=255, anchor="ls",
                   stroke_width=stroke, stroke_fill=255)
        return box, m


def draw_text(canvas, text, fnt, x, baseline, fill, tracking=0.0, align="left", shadow=None, glow=None,
              outline=None):
    """Draws text; fill is a colour or a ramp applied from cap height to
    baseline. shadow = (colour, radius, opacity, (dx, dy)); glow = (colour,
    radius, opacity); outline = (colour, width, opacity). Returns the text's
    (left, right)."""
    t = Text(text, fnt, tracking)
    left = x - t.width / 2.0 if align == "center" else x
    box, m = t.mask_at(left, baseline)
    if glow is not None:
        g = m.filter(ImageFilter.GaussianBlur(glow[1]))
        paint(canvas, box, g, glow[0], glow[2])
    if shadow is not None:
        colour, radius, opacity, (dx, dy) = shadow
        s = m.filter(ImageFilter.GaussianBlur(radius)) if radius > 0 else m
        paint(canvas, (box[0] + dx, box[1] + dy, box[2] + dx, box[3] + dy), s, colour, opacity)
    if outline is not None:
        obox, om = t.mask_at(left, baseline, stroke=outline[1])
        paint(canvas, obox, om, outline[0], outline[2])
    if isinstance(fill, tuple):
        paint(canvas, box, m, fill)
    else:
        h = box[3] - box[1]
        top = baseline - t.cap - box[1]
        stops = [((top + p * t.cap) / h, c) for p, c in fill]
        paint(canvas, box, m, vgradient(box[2] - box[0], h, stops))
    return left, left + t.width


GOLD_RAMP = [(0.0, GOLD_LIGHT), (0.45, GOLD), (1.0, GOLD_DEEP)]


# ---------------------------------------------------------------------------
# Glyphs, drawn into a Shapes mask around a centre with a nominal size s.

def glyph_globe(sh, cx, cy, s, stroke):
    r = s * 0.5
    sh.ring(cx, cy, r, stroke)
    sh.ellipse_ring(cx - r * 0.42, cy - r, cx + r * 0.42, cy + r, stroke)
    sh.line([(cx - r, cy), (cx + r, cy)], stroke * 0.9, round_caps=False)
    chord = r * math.sqrt(1 - 0.52 ** 2)
    for dy in (-0.52 * r, 0.52 * r):
        sh.line([(cx - chord, cy + dy), (cx + chord, cy + dy)], stroke * 0.8, round_caps=False)


def glyph_house(sh, cx, cy, s, stroke):
    sh.poly([(cx - s * 0.62, cy - s * 0.02), (cx, cy - s * 0.56), (cx + s * 0.62, cy - s * 0.02)])
    sh.rect(cx + s * 0.24, cy - s * 0.50, cx + s * 0.38, cy - s * 0.20)  # chimney
    sh.rect(cx - s * 0.42, cy - s * 0.06, cx + s * 0.42, cy + s * 0.46)
    sh.rect(cx - s * 0.62, cy - s * 0.06, cx + s * 0.62, cy + s * 0.02, 0)  # eave gap
    sh.rect(cx - s * 0.11, cy + s * 0.14, cx + s * 0.11, cy + s * 0.46, 0)  # door


def glyph_bubble(sh, cx, cy, s, stroke):
    sh.rrect(cx - s * 0.62, cy - s * 0.48, cx + s * 0.62, cy + s * 0.26, s * 0.2)
    sh.poly([(cx - s * 0.36, cy + s * 0.2), (cx - s * 0.44, cy + s * 0.56), (cx - s * 0.04, cy + s * 0.22)])
    for dx in (-0.3, 0.0, 0.3):
        sh.circle(cx + dx * s, cy - s * 0.11, s * 0.085, 0)


def glyph_video(sh, cx, cy, s, stroke):
    sh.rrect(cx - s * 0.72, cy - s * 0.48, cx + s * 0.72, cy + s * 0.48, s * 0.2)
    sh.poly([(cx - s * 0.17, cy - s * 0.25), (cx - s * 0.17, cy + s * 0.25), (cx + s * 0.27, cy)], 0)


def glyph_envelope(sh, cx, cy, s, stroke):
    x0, y0, x1, y1 = cx - s * 0.6, cy - s * 0.4, cx + s * 0.6, cy + s * 0.4
    sh.rrect(x0, y0, x1, y1, s * 0.06)
    sh.line([(x0 + stroke, y0 + stroke), (cx, cy + s * 0.06), (x1 - stroke, y0 + stroke)], stroke, 0)


def glyph_download(sh, cx, cy, s, stroke):
    sh.rect(cx - stroke / 2, cy - s * 0.55, cx + stroke / 2, cy + s * 0.05)
    sh.poly([(cx - s * 0.3, cy - s * 0.05), (cx + s * 0.3, cy - s * 0.05), (cx, cy + s * 0.28)])
    sh.line([(cx - s * 0.55, cy + s * 0.12), (cx - s * 0.55, cy + s * 0.5), (cx + s * 0.55, cy + s * 0.5),
             (cx + s * 0.55, cy + s * 0.12)], stroke)


def glyph_power(sh, cx, cy, s, stroke):
    sh.arc(cx, cy + s * 0.05, s * 0.46, -58, 238, stroke)
    sh.line([(cx, cy - s * 0.55), (cx, cy - s * 0.02)], stroke)


def glyph_person(sh, cx, cy, s, stroke):
    sh.circle(cx, cy - s * 0.26, s * 0.22)
    sh.ellipse(cx - s * 0.44, cy + s * 0.04, cx + s * 0.44, cy + s * 0.9)
    sh.rect(cx - s * 0.5, cy + s * 0.47, cx + s * 0.5, cy + s * 0.95, 0)
    sh.ring(cx, cy - s * 0.26, s * 0.22 + stroke * 0.9, stroke * 0.9, 0)  # neck gap


def glyph_lock(sh, cx, cy, s, stroke):
    sh.arc(cx, cy - s * 0.2, s * 0.25, 180, 360, stroke)
    sh.rect(cx - s * 0.25, cy - s * 0.2, cx - s * 0.25 + stroke, cy)
    sh.rect(cx + s * 0.25 - stroke, cy - s * 0.2, cx + s * 0.25, cy)
    sh.rrect(cx - s * 0.38, cy - s * 0.06, cx + s * 0.38, cy + s * 0.46, s * 0.06)
    sh.circle(cx, cy + s * 0.13, s * 0.08, 0)
    sh.rect(cx - s * 0.03, cy + s * 0.14, cx + s * 0.03, cy + s * 0.32, 0)


GLYPHS = {
    "globe": glyph_globe, "house": glyph_house, "bubble": glyph_bubble, "video": glyph_video,
    "envelope": glyph_envelope, "download": glyph_download, "power": glyph_power,
    "person": glyph_person, "lock": glyph_lock,
}


# ---------------------------------------------------------------------------
# The emblem: a gold heater shield with a stylised Z, on transparency.

def _bezier(p0, p1, p2, p3, n=48):
    out = []
    for i in range(n + 1):
        t = i / n
        u = 1 - t
        out.append((u ** 3 * p0[0] + 3 * u * u * t * p1[0] + 3 * u * t * t * p2[0] + t ** 3 * p3[0],
                    u ** 3 * p0[1] + 3 * u * u * t * p1[1] + 3 * u * t * t * p2[1] + t ** 3 * p3[1]))
    return out


def shield_outline(scale, cx=0.5, cy=0.5):
    """The shield in unit coordinates, scaled about (cx, cy)."""
    top = _bezier((0.08, 0.10), (0.30, 0.05), (0.70, 0.05), (0.92, 0.10))
    right = _bezier((0.92, 0.10), (0.93, 0.52), (0.80, 0.80), (0.50, 0.97))
    left = _bezier((0.50, 0.97), (0.20, 0.80), (0.07, 0.52), (0.08, 0.10))
    return [(cx + (x - cx) * scale, cy + (y - cy) * scale) for x, y in top + right[1:] + left[1:]]


# The letter: a top bar wider than the bottom one, so the Z narrows with
# the shield, and a diagonal as thick as the bars.
Z_SHAPE = [(0.28, 0.19), (0.72, 0.19), (0.72, 0.315), (0.50, 0.555), (0.70, 0.555), (0.70, 0.68),
           (0.32, 0.68), (0.32, 0.555), (0.54, 0.315), (0.28, 0.315)]


def emblem(size):
    """RGBA emblem of size x size pixels."""
    k = 8 if size < 256 else 4
    n = size * k

    def pts(points):
        return [(x * n, y * n) for x, y in points]

    def layer_mask(draw_fn):
        m = Image.new("L", (n, n), 0)
        draw_fn(ImageDraw.Draw(m))
        return m

    img = Image.new("RGBA", (n, n), (0, 0, 0, 0))
    # Dark edge, gold rim, night-blue field.
    edge = layer_mask(lambda d: d.polygon(pts(shield_outline(1.0)), fill=255))
    rim = layer_mask(lambda d: d.polygon(pts(shield_outline(0.95)), fill=255))
    field = layer_mask(lambda d: d.polygon(pts(shield_outline(0.84, cy=0.47)), fill=255))
    img.paste((40, 26, 6, 255), (0, 0), edge)
    img.paste(vgradient(n, n, [(0.0, GOLD_LIGHT), (0.5, GOLD), (1.0, (150, 108, 38))], "RGB").convert("RGBA"),
              (0, 0), rim)
    img.paste(vgradient(n, n, [(0.0, (22, 44, 100)), (0.6, (8, 18, 50)), (1.0, (3, 8, 24))], "RGB").convert("RGBA"),
              (0, 0), field)
    # A soft glow behind the letter, then its dark edge and the gold letter;
    # the small sizes get the plain letter, which stays crisp.
    zc = (0.5, 0.435)
    z_edge = layer_mask(lambda d: d.polygon(pts([(zc[0] + (x - zc[0]) * 1.08, zc[1] + (y - zc[1]) * 1.08)
                                                 for x, y in Z_SHAPE]), fill=255))
    z = layer_mask(lambda d: d.polygon(pts(Z_SHAPE), fill=255))
    if size > 24:
        glow = ImageChops.multiply(z_edge.filter(ImageFilter.GaussianBlur(n * 0.03)), field)
        img.paste((90, 140, 230, 255), (0, 0), scaled(glow, 0.55))
        img.paste((34, 20, 4, 255), (0, 0), ImageChops.multiply(z_edge, field))
    img.paste(vgradient(n, n, [(0.2, (255, 246, 214)), (0.5, GOLD), (0.75, (196, 150, 64))], "RGB").convert("RGBA"),
              (0, 0), z)
    # Alpha comes from the outline only; everything else is opaque inside it.
    img.putalpha(edge)
    return img.resize((size, size), Image.BOX)


# ---------------------------------------------------------------------------
# The background.

def midpoint_ridge(rng, x0, x1, base, amplitude, roughness, step=4):
    """Fractal ridge line: [(x, y), ...] every `step` pixels."""
    count = 1
    while count * step < (x1 - x0):
        count *= 2
    heights = [0.0] * (count + 1)
    heights[0] = rng.uniform(-1, 1)
    heights[count] = rng.uniform(-1, 1)
    span, scale = count, 1.0
    while span > 1:
        half = span // 2
        for i in range(half, count, span):
            heights[i] = (heights[i - half] + heights[i + half]) / 2 + rng.uniform(-1, 1) * scale
        span, scale = half, scale * roughness
    width = (x1 - x0) / count
    return [(x0 + i * width, base - heights[i] * amplitude) for i in range(count + 1)]


def mountain_ridge(rng, base, peaks, detail, roughness=0.6):
    """Ridge with a few named peaks [(x, height, half width), ...] and
    fractal detail on top."""
    noise = midpoint_ridge(rng, -8, W + 8, 0, detail, roughness, step=3)
    peaks = list(peaks)
    for px, ph, pw in list(peaks):  # shoulders, so each peak reads as a range
        for _ in range(3):
            side = rng.choice((-1, 1))
            peaks.append((px + side * pw * rng.uniform(0.25, 0.75), ph * rng.uniform(0.35, 0.7),
                          pw * rng.uniform(0.3, 0.55)))
    out = []
    for x, dy in noise:
        lift = 0.0
        for px, ph, pw in peaks:
            f = max(0.0, 1.0 - abs(x - px) / pw)
            lift = max(lift, ph * f ** 1.3)
        out.append((x, base - lift + dy * (0.5 + lift / 100.0)))
    return out


def ridge_y(ridge, x):
    for (xa, ya), (xb, yb) in zip(ridge, ridge[1:]):
        if xa <= x <= xb:
            return ya + (yb - ya) * (x - xa) / (xb - xa)
    return ridge[-1][1]


def fill_ridge(canvas, ridge, stops, rim=None, ss=2):
    """Fills below a ridge line; rim = (colour, opacity) lights its crest."""
    top = int(min(y for _, y in ridge)) - 2
    sh = Shapes((0, top, W, H), ss)
    sh.poly(ridge + [(W + 1, H), (-1, H)])
    paint_shapes(canvas, sh, vgradient(W, H - top, stops))
    if rim is not None:
        crest = Shapes(sh.box, ss)
        crest.line(ridge, 1.2, round_caps=False)
        paint_shapes(canvas, crest, rim[0], rim[1])
    return top


def box_gradient(box, top, stops):
    """The vertical ramp of a layer filled from y = top to the bottom of the
    canvas, cut to box, so a shape painted with it blends into that layer."""
    l, t, r, b = box
    span = float(H - top)
    local = [((top + p * span - t) / (b - t), c) for p, c in stops]
    return vgradient(r - l, b - t, local)


def value_noise(rng, w, h, cells_x, cells_y, blur):
    grid = Image.new("L", (cells_x, cells_y))
    grid.putdata([int(rng.random() * 255) for _ in range(cells_x * cells_y)])
    return grid.resize((w, h), Image.BICUBIC).filter(ImageFilter.GaussianBlur(blur))


def mist_band(canvas, rng, y_centre, height, colour, opacity):
    noise = value_noise(rng, W, H, 24, 10, 18)
    band = vgradient(W, H, [(0.0, 0), ((y_centre - height) / H, 0), (y_centre / H, 255),
                            ((y_centre + height) / H, 0), (1.0, 0)], "L")
    paint(canvas, (0, 0, W, H), ImageChops.multiply(noise, band), colour, opacity)


def castle(canvas, ground_x, ground_y, layer_top, layer_stops):
    """Silhouette of a keep with towers, and a few lit windows."""
    g = ground_y
    sh = Shapes((int(ground_x - 90), int(g - 110), int(ground_x + 90), int(g + 40)))
    x = ground_x

    def tower(xc, half, top, roof):
        sh.rect(xc - half, top, xc + half, g + 40)
        sh.poly([(xc - half - 3, top + 1), (xc, top - roof), (xc + half + 3, top + 1)])

    def battlements(x0, x1, top, merlon=5):
        sh.rect(x0, top, x1, g + 40)
        xx = x0
        while xx + merlon <= x1:
            sh.rect(xx, top - 5, xx + merlon, top)
            xx += merlon * 2

    battlements(x - 72, x + 72, g - 30)
    tower(x - 64, 9, g - 58, 22)
    tower(x + 64, 9, g - 54, 20)
    sh.rect(x - 26, g - 70, x + 26, g + 40)  # keep
    battlements(x - 30, x + 30, g - 72, 6)
    tower(x - 12, 7, g - 86, 18)
    tower(x + 16, 6, g - 80, 16)
    sh.rect(x + 15.5, g - 104, x + 16.5, g - 94)  # pennant staff
    sh.poly([(x + 16.5, g - 104), (x + 26, g - 101), (x + 16.5, g - 98)])
    paint_shapes(canvas, sh, box_gradient(sh.box, layer_top, layer_stops))

    windows = Shapes(sh.box)
    for wx, wy in ((x - 64, g - 44), (x + 64, g - 40), (x - 12, g - 74), (x - 6, g - 52), (x + 8, g - 52),
                   (x + 16, g - 68), (x - 40, g - 18), (x + 44, g - 18)):
        windows.rrect(wx - 1.5, wy - 2.5, wx + 1.5, wy + 2.5, 1.2)
    soft(canvas, windows, (255, 170, 80), 4, 0.7)
    paint_shapes(canvas, windows, (255, 214, 140))


def background(seed):
    # Separate generators, so changing the sky leaves the mountains as they are.
    rng = random.Random(seed)
    land = random.Random(seed + 1)
    canvas = vgradient(W, H, [(0.0, (2, 4, 14)), (0.30, (6, 13, 36)), (0.66, (20, 40, 88)),
                              (0.80, (10, 20, 48)), (1.0, (2, 5, 14))])
    # Moonlight and a faint blue haze behind the title.
    light(canvas, 640, 250, 620, 300, (26, 50, 110), 0.55, 1.6)
    light(canvas, 1088, 168, 260, 230, (52, 84, 150), 0.45, 2.2)

    # A faint band of the galaxy rising from the left towards the moon.
    band = Shapes((0, 0, W, H), 1)
    band.poly([(-40, 470), (-40, 330), (1300, -60), (1300, 90)])
    band_mask = band.mask().filter(ImageFilter.GaussianBlur(60))
    cloud = ImageChops.multiply(value_noise(rng, W, H, 40, 26, 10), band_mask)
    paint(canvas, (0, 0, W, H), cloud, (80, 104, 190), 0.28)

    # Stars, thinning towards the horizon and denser in the band, kept off
    # the centre column.
    stars = Image.new("L", (W, H), 0)
    placed = 0
    while placed < 620:
        x = rng.randrange(W)
        y = int(620 * rng.random() ** 1.35)
        if rng.random() * 255 > 90 + band_mask.getpixel((x, y)):
            continue
        v = int(40 + 215 * rng.random() ** 3.2)
        stars.putpixel((x, y), max(stars.getpixel((x, y)), v))
        placed += 1
    bright = Shapes((0, 0, W, H), 2)
    glints = Shapes((0, 0, W, H), 2)
    for _ in range(22):
        x, y = rng.uniform(10, W - 10), 70 + 460 * rng.random() ** 1.2
        r = rng.uniform(0.9, 1.6)
        bright.circle(x, y, r)
        if rng.random() < 0.45:
            glints.line([(x - r * 5, y), (x + r * 5, y)], 0.6, round_caps=False)
            glints.line([(x, y - r * 5), (x, y + r * 5)], 0.6, round_caps=False)
    stars = ImageChops.lighter(stars, bright.mask())
    stars = ImageChops.lighter(stars, scaled(glints.mask(), 0.6))
    keep_off = Shapes((0, 0, W, H), 1)
    keep_off.rect(0, 0, W, H)
    keep_off.rrect(300, 70, 980, 860, 60, 0)
    keep_off.circle(1088, 168, 70, 0)
    allowed = keep_off.mask().filter(ImageFilter.GaussianBlur(24))
    paint(canvas, (0, 0, W, H), ImageChops.multiply(stars, allowed), STARLIGHT)

    # Crescent moon.
    moon = Shapes((1020, 100, 1160, 240))
    moon.circle(1088, 168, 44)
    moon.circle(1106, 156, 41, 0)
    soft(canvas, moon, (150, 180, 240), 14, 0.6)
    paint_shapes(canvas, moon, vgradient(140, 140, [(0.0, (250, 246, 230)), (1.0, (200, 208, 230))]))

    # Mountains in three layers with mist between them, a castle on the left.
    far = mountain_ridge(land, 610, [(70, 200, 210), (290, 120, 150), (470, 70, 140), (820, 80, 160),
                                    (1010, 150, 170), (1200, 235, 200)], 18)
    fill_ridge(canvas, far, [(0.0, (26, 44, 90)), (0.35, (12, 24, 56)), (1.0, (6, 12, 30))], ((70, 100, 170), 0.5))
    mist_band(canvas, land, 610, 70, (80, 110, 180), 0.32)
    mid = mountain_ridge(land, 690, [(205, 62, 150), (620, 30, 260), (1080, 90, 190), (1270, 60, 120)], 12)
    mid_stops = [(0.0, (11, 22, 50)), (0.4, (6, 13, 32)), (1.0, (3, 7, 18))]
    mid_top = fill_ridge(canvas, mid, mid_stops, ((40, 64, 120), 0.4))
    castle(canvas, 205, ridge_y(mid, 205) + 6, mid_top, mid_stops)
    mist_band(canvas, land, 705, 55, (60, 90, 160), 0.26)
    near = mountain_ridge(land, 772, [(0, 50, 260), (1280, 60, 300)], 10)
    fill_ridge(canvas, near, [(0.0, (5, 10, 26)), (0.3, (3, 6, 16)), (1.0, (1, 3, 9))])

    # Vignette.
    shade = Image.radial_gradient("L").resize((W, H), Image.BICUBIC)
    shade = shade.point(lambda v: int(255 * max(0.0, (v / 255.0 - 0.45) / 0.55) ** 1.5 * 0.75 + 0.5) if v > 115 else 0)
    paint(canvas, (0, 0, W, H), shade, (0, 0, 4))
    return canvas


# ---------------------------------------------------------------------------
# The interface art, in design coordinates.

def panels(canvas):
    # A dark column behind the login, status line, progress bar and tabs, with
    # no hard edge, so the painted parts sit on a calm ground.
    column = Shapes((260, 340, 1060, 880), 1)
    column.rrect(330, 396, 990, 830, 60)
    paint(canvas, column.box, column.mask().filter(ImageFilter.GaussianBlur(40)), NIGHT, 0.84)

    # Header strip with a gold hairline.
    paint(canvas, (0, 0, W, 68), vgradient(W, 68, [(0.0, 230), (1.0, 160)], "L"), (1, 3, 10))
    shadow = vgradient(W, 14, [(0.0, 120), (1.0, 0)], "L")
    paint(canvas, (0, 68, W, 82), shadow, (0, 0, 0))
    hairline = hgradient(W, 1, [(0.0, 40), (0.2, 255), (0.8, 255), (1.0, 40)], "L")
    paint(canvas, (0, 67, W, 68), hairline, GOLD_DARK)

    # Bottom strip that the footer band settles into.
    paint(canvas, (0, 800, W, H), vgradient(W, H - 800, [(0.0, 0), (0.35, 200), (1.0, 235)], "L"), (1, 3, 10))


def hline_ornament(canvas, x0, x1, y, centre_diamond=True, colour=GOLD_DARK):
    fade = hgradient(x1 - x0, 1, [(0.0, 0), (0.25, 255), (0.75, 255), (1.0, 0)], "L")
    paint(canvas, (x0, y, x1, y + 1), fade, colour)
    if centre_diamond:
        cx = (x0 + x1) / 2.0
        d = Shapes((int(cx) - 10, y - 8, int(cx) + 11, y + 9))
        d.diamond(cx, y + 0.5, 6, 4.5)
        d.diamond(cx, y + 0.5, 3, 2, 0)
        paint_shapes(canvas, d, GOLD)


def title(canvas):
    mark = emblem(96)
    glow = Image.new("L", (200, 200), 0)
    glow.paste(mark.getchannel("A"), (52, 52))
    paint(canvas, (CENTRE_X - 100, 40, CENTRE_X + 100, 240), glow.filter(ImageFilter.GaussianBlur(14)),
          (200, 150, 60), 0.35)
    canvas.paste(mark.convert("RGB"), (CENTRE_X - 48, 92), mark)

    big = font("DejaVuSerif-Bold.ttf", 84)
    draw_text(canvas, "ZENTHARA", big, CENTRE_X, 296, [(0.0, (255, 244, 212)), (0.5, GOLD), (1.0, (168, 120, 44))],
              tracking=7, align="center", glow=((210, 150, 60), 16, 0.35),
              shadow=((0, 0, 0), 3, 0.9, (0, 4)), outline=((40, 24, 4), 2, 1.0))
    small = font("DejaVuSerif-Bold.ttf", 24)
    left, right = draw_text(canvas, "ONLINE", small, CENTRE_X, 338, GOLD_RAMP, tracking=16, align="center",
                            shadow=((0, 0, 0), 2, 0.8, (0, 2)))
    for x0, x1 in ((int(left) - 190, int(left) - 18), (int(right) + 18, int(right) + 190)):
        fade = [(0.0, 0), (1.0, 255)] if x0 < left else [(0.0, 255), (1.0, 0)]
        paint(canvas, (x0, 329, x1, 330), hgradient(x1 - x0, 1, fade, "L"), GOLD_DARK)
        d = Shapes((x0 - 8, 320, x1 + 8, 340))
        d.diamond(x1 + 2 if x0 < left else x0 - 2, 329.5, 4, 4)
        paint_shapes(canvas, d, GOLD)


def entry_fields(canvas):
    label = font("DejaVuSans-Bold.ttf", 11)
    draw_text(canvas, "ACCOUNT", label, CENTRE_X, 424, GOLD_DARK, tracking=5, align="center")
    hline_ornament(canvas, 434, 580, 419, False)
    hline_ornament(canvas, 694, 840, 419, False)
    for (l, t, r, b), glyph, interior in ((USER_BAND, "person", (3, 11, 26)), (PASSWORD_BAND, "lock", (3, 9, 23))):
        body = Shapes((l - 12, t - 12, r + 12, b + 12))
        body.rrect(l, t, r, b, 6)
        soft(canvas, body, (0, 0, 0), 5, 0.8, (0, 2))
        paint_shapes(canvas, body, interior)
        cell = Shapes((l, t, l + 34, b))
        cell.rrect(l, t, l + 40, b, 6)
        cell.rect(l + 33, t, l + 40, b, 0)
        paint_shapes(canvas, cell, vgradient(34, b - t, [(0.0, (24, 34, 64)), (1.0, (8, 14, 34))]))
        frame = Shapes((l, t, r, b))
        frame.rrect_ring(l, t, r, b, 6, 1)
        paint_shapes(canvas, frame, GOLD_DARK)
        inner = Shapes((l, t, r, b))
        inner.rrect_ring(l + 1, t + 1, r - 1, b - 1, 5, 1)
        paint_shapes(canvas, inner, (0, 0, 0), 0.6)
        paint(canvas, (l + 33, t + 6, l + 34, b - 6), Image.new("L", (1, b - t - 12), 255), GOLD_DARK, 0.8)
        g = Shapes((l, t, l + 33, b))
        GLYPHS[glyph](g, l + 16.5, (t + b) / 2.0, 17, 1.8)
        paint_shapes(canvas, g, GOLD)


def play_button(canvas):
    l, t, r, b = PLAY_AREA
    body = Shapes((l, t, r, b))
    body.rrect(l, t, r, b, 10)
    # Glow kept above the action buttons, which the painter draws from y 650.
    halo = Shapes((l - 30, t - 30, r + 30, b + 30))
    halo.rrect(l, t, r, b, 10)
    big = Image.new("L", (r - l + 60, b - t + 60), 0)
    big.paste(halo.mask(), (0, 0))
    big = big.filter(ImageFilter.GaussianBlur(9))
    big.paste(0, (0, 648 - (t - 30), big.width, big.height))
    paint(canvas, halo.box, big, (230, 170, 70), 0.45)

    paint(canvas, body.box, body.mask(), vgradient(r - l, b - t, [
        (0.0, (255, 240, 196)), (0.42, (240, 202, 122)), (0.52, (206, 158, 68)), (1.0, (150, 106, 34))]))
    sheen = Shapes((l, t, r, b))
    sheen.rrect(l + 4, t + 3, r - 4, t + 30, 8)
    paint(canvas, sheen.box, sheen.mask(), vgradient(r - l, b - t, [(0.0, (255, 252, 236)), (0.4, (250, 226, 168))]),
          0.35)
    edge = Shapes((l, t, r, b))
    edge.rrect_ring(l, t, r, b, 10, 2)
    paint_shapes(canvas, edge, (86, 58, 14))
    inner = Shapes((l, t, r, b))
    inner.rrect_ring(l + 5, t + 5, r - 5, b - 5, 6, 1)
    paint_shapes(canvas, inner, (120, 84, 24), 0.55)
    hilite = Shapes((l, t, r, b))
    hilite.rrect_ring(l + 2, t + 2, r - 2, b - 2, 8, 1)
    hilite.rect(l, t + 20, r, b, 0)
    paint_shapes(canvas, hilite, (255, 248, 220), 0.7)

    # Ornaments either side of the label, and the label itself, engraved.
    cy = (t + b) / 2.0
    orn = Shapes((l, t, r, b))
    for side in (-1, 1):
        x = CENTRE_X + side * 112
        orn.line([(x, cy), (x + side * 70, cy)], 1.4)
        orn.diamond(x + side * 78, cy, 5, 5)
        orn.diamond(x - side * 4, cy, 3, 3)
    paint_shapes(canvas, orn, (96, 64, 16), 0.85)
    label = font("DejaVuSerif-Bold.ttf", 36)
    baseline = int(round(cy + Text("PLAY", label).cap / 2.0))
    draw_text(canvas, "PLAY", label, CENTRE_X, baseline, (58, 34, 6), tracking=12, align="center",
              shadow=((255, 244, 210), 0, 0.55, (0, 1)))


def divider(canvas):
    hline_ornament(canvas, 470, 804, 547)


def side_menu(canvas):
    panel = Shapes((930, 413, 1280, 708))
    panel.rrect(942, 425, 1276, 696, 10)
    soft(canvas, panel, (0, 0, 0), 8, 0.8, (0, 3))
    paint_shapes(canvas, panel, (3, 7, 20), 0.9)
    ring = Shapes(panel.box)
    ring.rrect_ring(942, 425, 1276, 696, 10, 1)
    paint_shapes(canvas, ring, GOLD_DARK, 0.9)
    corners = Shapes(panel.box)
    for x, y in ((942, 425), (1276, 425), (942, 696), (1276, 696)):
        corners.diamond(x, y, 4, 4)
    paint_shapes(canvas, corners, GOLD)

    label = font("DejaVuSans-Bold.ttf", 15)
    for (l, t, r, b), text, glyph in MENU_ROWS:
        row = Shapes((l, t, r, b))
        row.rrect(l, t, r, b, 6)
        paint_shapes(canvas, row, vgradient(r - l, b - t, [(0.0, (20, 32, 62)), (1.0, (6, 12, 30))]))
        edge = Shapes((l, t, r, b))
        edge.rrect_ring(l, t, r, b, 6, 1)
        paint_shapes(canvas, edge, GOLD_DARK)
        cy = (t + b) / 2.0
        g = Shapes((l, t, l + 52, b))
        GLYPHS[glyph](g, l + 26, cy, 18, 1.7)
        paint_shapes(canvas, g, GOLD)
        paint(canvas, (l + 48, t + 8, l + 49, b - 8), Image.new("L", (1, b - t - 16), 255), GOLD_DARK, 0.7)
        baseline = int(round(cy + Text(text, label).cap / 2.0))
        draw_text(canvas, text, label, l + 64, baseline, GOLD, tracking=2.5, shadow=((0, 0, 0), 1, 0.8, (0, 1)))
        chevron = Shapes((r - 30, t, r, b))
        chevron.line([(r - 20, cy - 5), (r - 15, cy), (r - 20, cy + 5)], 1.6)
        paint_shapes(canvas, chevron, GOLD_DARK)


def top_icons(canvas):
    for (l, t, r, b), glyph in TOP_ICONS:
        plate = Shapes((l, t, r, b))
        plate.rrect(l, t, r, b, 6)
        paint_shapes(canvas, plate, vgradient(r - l, b - t, [(0.0, (20, 30, 60)), (1.0, (6, 11, 28))]), 0.9)
        edge = Shapes((l, t, r, b))
        edge.rrect_ring(l, t, r, b, 6, 1)
        paint_shapes(canvas, edge, GOLD_DARK, 0.8)
        g = Shapes((l, t, r, b))
        GLYPHS[glyph](g, (l + r) / 2.0, (t + b) / 2.0, 18, 1.8)
        paint_shapes(canvas, g, GOLD)


def window_buttons(canvas):
    # Plates like the top-left icons'; the close plate runs off the right edge.
    for l, t, r, b in (MINIMISE, (CLOSE[0], CLOSE[1], CLOSE[2] + 12, CLOSE[3])):
        plate = Shapes((l, t, min(r, W), b))
        plate.rrect(l, t, r, b, 6)
        paint_shapes(canvas, plate, vgradient(plate.box[2] - l, b - t, [(0.0, (20, 30, 60)), (1.0, (6, 11, 28))]), 0.9)
        edge = Shapes(plate.box)
        edge.rrect_ring(l, t, r, b, 6, 1)
        paint_shapes(canvas, edge, GOLD_DARK, 0.8)
    l, t, r, b = MINIMISE
    g = Shapes((l, t, r, b))
    g.line([((l + r) / 2.0 - 7, 40), ((l + r) / 2.0 + 7, 40)], 2.2)
    paint_shapes(canvas, g, GOLD)
    l, t, r, b = CLOSE
    cx, cy = (l + r) / 2.0 + 1, (t + b) / 2.0
    g = Shapes((l, t, r, b))
    g.line([(cx - 6, cy - 6), (cx + 6, cy + 6)], 2.2)
    g.line([(cx - 6, cy + 6), (cx + 6, cy - 6)], 2.2)
    paint_shapes(canvas, g, GOLD)


def server_label(canvas):
    box = Shapes((20, 474, 170, 530))
    box.rrect(34, 485, 152, 518, 16.5)
    soft(canvas, box, (0, 0, 0), 5, 0.7, (0, 2))
    paint_shapes(canvas, box, (3, 7, 20), 0.9)
    edge = Shapes(box.box)
    edge.rrect_ring(34, 485, 152, 518, 16.5, 1)
    paint_shapes(canvas, edge, GOLD_DARK, 0.9)
    # A socket for the status dot the painter fills in (46, 495)-(59, 508).
    cx, cy = (STATUS_DOT[0] + STATUS_DOT[2]) / 2.0, (STATUS_DOT[1] + STATUS_DOT[3]) / 2.0
    socket = Shapes((36, 485, 70, 518))
    socket.circle(cx, cy, 9.5)
    paint_shapes(canvas, socket, (1, 2, 8))
    rim = Shapes(socket.box)
    rim.ring(cx, cy, 10, 1.3)
    paint_shapes(canvas, rim, GOLD_DARK)
    label = font("DejaVuSans-Bold.ttf", 12)
    baseline = int(round(501 + Text("SERVER", label).cap / 2.0))
    draw_text(canvas, "SERVER", label, 70, baseline, GOLD, tracking=2.6)


def tabs(canvas):
    label = font("DejaVuSans-Bold.ttf", 15)
    for (l, r), text in TABS:
        draw_text(canvas, text, label, (l + r) / 2.0, TAB_BASELINE, GOLD_RAMP, tracking=3, align="center",
                  shadow=((0, 0, 0), 1, 0.8, (0, 1)))
    seps = Shapes((470, 755, 840, 785))
    for (_, r0), (l1, _) in zip([t[0] for t in TABS], [t[0] for t in TABS[1:]]):
        seps.diamond((r0 + l1) / 2.0, 770.5, 3, 3)
    paint_shapes(canvas, seps, GOLD_DARK)
    hline_ornament(canvas, 330, 990, 797)


def draw_background():
    canvas = background(SEED)
    panels(canvas)
    title(canvas)
    entry_fields(canvas)
    divider(canvas)
    play_button(canvas)
    side_menu(canvas)
    top_icons(canvas)
    window_buttons(canvas)
    server_label(canvas)
    tabs(canvas)
    return canvas


# ---------------------------------------------------------------------------
# File writers. Written by hand so the headers are exactly what the loaders
# expect and nothing variable (such as a timestamp) gets in.

def bmp24(img):
    w, h = img.size
    raw = img.convert("RGB").tobytes("raw", "BGR")
    stride = (w * 3 + 3) & ~3
    pad = b"\0" * (stride - w * 3)
    rows = b"".join(raw[y * w * 3:(y + 1) * w * 3] + pad for y in range(h - 1, -1, -1))
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
    head = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(rows), 0, 0, 14 + len(info))
    return head + info + rows


def bmp32_v5(img):
    """32-bit BGRA, bottom-up, BITMAPV5HEADER with BI_BITFIELDS masks
    including the alpha mask, so loaders keep the alpha channel."""
    w, h = img.size
    raw = img.convert("RGBA").tobytes("raw", "BGRA")
    rows = b"".join(raw[y * w * 4:(y + 1) * w * 4] for y in range(h - 1, -1, -1))
    info = struct.pack("<IiiHHIIiiII", 124, w, h, 1, 32, 3, len(rows), 2835, 2835, 0, 0)
    info += struct.pack("<IIII", 0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000)
    info += struct.pack("<I", 0x73524742)  # LCS_sRGB
    info += bytes(36 + 12)  # endpoints, gamma: unused with sRGB
    info += struct.pack("<IIII", 4, 0, 0, 0)  # LCS_GM_IMAGES, no profile
    head = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(rows), 0, 0, 14 + len(info))
    return head + info + rows


def ico(images):
    """ICO with one entry per image: 32-bit DIBs (with an AND mask) below
    256 px, PNG at 256 px, as Windows expects."""
    blobs = []
    for img in images:
        w, h = img.size
        if w >= 256:
            out = io.BytesIO()
            img.save(out, "PNG", optimize=False)
            blobs.append(out.getvalue())
            continue
        raw = img.tobytes("raw", "BGRA")
        xor = b"".join(raw[y * w * 4:(y + 1) * w * 4] for y in range(h - 1, -1, -1))
        mask_stride = ((w + 31) // 32) * 4
        alpha = img.getchannel("A").tobytes()
        and_rows = []
        for y in range(h - 1, -1, -1):
            row = bytearray(mask_stride)
            for x in range(w):
                if alpha[y * w + x] == 0:
                    row[x // 8] |= 0x80 >> (x % 8)
            and_rows.append(bytes(row))
        body = xor + b"".join(and_rows)
        info = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, len(body), 0, 0, 0, 0)
        blobs.append(info + body)
    head = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for img, blob in zip(images, blobs):
        w, h = img.size
        entries += struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    return head + entries + b"".join(blobs)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Draws bg.bmp, launcher.ico and icon.bmp.")
    parser.add_argument("--out", required=True, help="output folder")
    parser.add_argument("--preview", help="also write the background as this PNG (for looking at it)")
    args = parser.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)

    bg = draw_background()
    icons = [emblem(s) for s in ICON_SIZES]
    files = {
        "bg.bmp": bmp24(bg),
        "launcher.ico": ico(icons),
        "icon.bmp": bmp32_v5(icons[-1]),
    }
    for name, data in files.items():
        path = os.path.join(args.out, name)
        tmp = path + ".tmp"
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, path)
    if args.preview:
        bg.save(args.preview)
    return 0


if __name__ == "__main__":
    sys.exit(main())

// Software canvas text: single-line layout with kerning, UTF-16 decoding,
// centring and end ellipsis, and the glyph cache per font. Drawing and
// measuring share one layout, so measured widths are what is drawn.
// Platform-neutral: faces and glyph bitmaps come from the glyph seam
// (fontconfig and FreeType on Linux).
// Leaves out: per-glyph font fallback, LCD subpixel rendering, shaping.
// User-interface thread only; fonts are never released.
#include <cstring>

#include "platform/glyphs.h"
#include "render/canvas_soft_internal.h"

constexpr int MaxCanvasFonts = 16;          // fonts made over the process's life
constexpr int GlyphSlotsPerFont = 256;      // direct-mapped by code point
constexpr int GlyphPoolBytes = 64 * 1024;   // coverage bytes cached per font
constexpr int MaxLineGlyphs = 512;          // code points laid out per text; the rest is dropped
constexpr int DefaultFontPx = 16;           // text drawn with a null font
constexpr uint32_t NoCodePoint = 0xFFFFFFFFu;

struct CachedGlyph {
    uint32_t codePoint;      // NoCodePoint when the slot is empty
    uint32_t glyphIndex;     // in the face; 0 is the face's missing-glyph shape
    int advance;             // px, rounded
    int left, top;           // bitmap's top-left from the pen on the baseline (px, top counts up)
    int width, rows;         // bitmap (px); 0 when nothing is drawn
    const uint8_t *coverage; // width x rows bytes 0-255 in the pool, rows top-down
};

struct CanvasFont {
    int pixelHeight, weight; // as asked for: asking again gives the same font
    GlyphFace *face;
    int ascent, descent;     // px above and below the baseline; their sum is the line height
    bool kerning;            // the face has kerning pairs
    CachedGlyph glyphs[GlyphSlotsPerFont];
    uint8_t pool[GlyphPoolBytes];
    int poolUsed;            // bytes
};

// One line of text as laid out: code points and pen positions.
struct TextLine {
    int count;
    uint32_t codePoints[MaxLineGlyphs];
    int penX[MaxLineGlyphs];  // px from the start of the line
    int width;                // px, the sum of advances and kerning
};

// Every font ever made, and the default one for text drawn without a font.
struct SoftTextState {
    CanvasFont fonts[MaxCanvasFonts];
    int fontCount;
    CanvasFont *defaultFont;
    bool defaultFontTried;
};
static SoftTextState s_text;

static void FlushGlyphs(CanvasFont *font) {
    for (CachedGlyph &glyph : font->glyphs) glyph.codePoint = NoCodePoint;
    font->poolUsed = 0;
}

// Fonts are never released, so a second request for the same height and
// weight shares the first font (callers that make their fonts more than
// once cannot run out of slots). nullptr when the glyph seam has no face
// for it, or MaxCanvasFonts different fonts exist already.
CanvasFont *CreateCanvasFont(int pixelHeight, int weight) {
    for (int i = 0; i < s_text.fontCount; i++)
        if (s_text.fonts[i].pixelHeight == pixelHeight && s_text.fonts[i].weight == weight) return &s_text.fonts[i];
    if (pixelHeight <= 0 || s_text.fontCount >= MaxCanvasFonts) return nullptr;
    CanvasFont *font = &s_text.fonts[s_text.fontCount];
    font->face = OpenGlyphFace(pixelHeight, weight, &font->ascent, &font->descent, &font->kerning);
    if (font->face == nullptr) return nullptr;
    font->pixelHeight = pixelHeight;
    font->weight = weight;
    FlushGlyphs(font);
    s_text.fontCount++;
    return font;
}

static CanvasFont *FontOrDefault(const CanvasFont *font) {
    if (font == nullptr) {
        if (!s_text.defaultFontTried) {
            s_text.defaultFontTried = true;
            s_text.defaultFont = CreateCanvasFont(DefaultFontPx, 400);
        }
        return s_text.defaultFont;
    }
    // The glyph cache changes under a const font; every font lives in the
    // writable s_text.fonts table.
    return const_cast<CanvasFont *>(font);
}

// Copies the rendered bitmap into the pool, one coverage byte per pixel,
// rows tight.
static void StoreCoverage(CanvasFont *font, CachedGlyph *glyph, const RenderedGlyph &bitmap) {
    int width = bitmap.width, rows = bitmap.rows, size = width * rows;
    if (size == 0 || size > GlyphPoolBytes) return;  // blank, or too large to draw at all
    if (font->poolUsed + size > GlyphPoolBytes) {
        uint32_t codePoint = glyph->codePoint;
        FlushGlyphs(font);
        glyph->codePoint = codePoint;
    }
    uint8_t *target = font->pool + font->poolUsed;
    for (int y = 0; y < rows; y++) {
        const uint8_t *source = bitmap.bits + y * bitmap.pitch;
        for (int x = 0; x < width; x++)
            target[y * width + x] = bitmap.bitMask ? ((source[x >> 3] >> (7 - (x & 7))) & 1 ? 255 : 0) : source[x];
    }
    font->poolUsed += size;
    glyph->coverage = target;
    glyph->width = width;
    glyph->rows = rows;
}

// The cached glyph of codePoint, rendered on first use. The pointer is
// valid until the next FindGlyph on the same font (the slot may be reused).
// A glyph the face cannot load has no advance and no bitmap.
static const CachedGlyph *FindGlyph(CanvasFont *font, uint32_t codePoint) {
    CachedGlyph *glyph = &font->glyphs[(codePoint * 2654435761u) >> 24];
    if (glyph->codePoint == codePoint) return glyph;
    std::memset(glyph, 0, sizeof *glyph);
    glyph->codePoint = codePoint;
    RenderedGlyph rendered;
    RenderGlyph(font->face, codePoint, &rendered);
    glyph->glyphIndex = rendered.glyphIndex;
    glyph->advance = rendered.advance;
    glyph->left = rendered.left;
    glyph->top = rendered.top;
    StoreCoverage(font, glyph, rendered);
    return glyph;
}

static int KerningPx(CanvasFont *font, uint32_t previousIndex, uint32_t index) {
    if (!font->kerning || previousIndex == 0 || index == 0) return 0;
    return GlyphKerningPx(font->face, previousIndex, index);
}

// UTF-16 to code points; an unpaired surrogate becomes U+FFFD.
static void DecodeText(const WideChar *text, TextLine *line) {
    line->count = 0;
    for (int i = 0; text[i] != 0 && line->count < MaxLineGlyphs; i++) {
        uint32_t unit = uint16_t(text[i]), codePoint = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            uint32_t next = uint16_t(text[i + 1]);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                codePoint = 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
                i++;
            } else {
                codePoint = 0xFFFD;
            }
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            codePoint = 0xFFFD;
        }
        line->codePoints[line->count++] = codePoint;
    }
}

// Pen positions: each glyph starts where the previous one's rounded advance
// and the pair's kerning put the pen; the width is where the pen ends.
static void LayOutLine(CanvasFont *font, TextLine *line) {
    int pen = 0;
    uint32_t previousIndex = 0;
    for (int i = 0; i < line->count; i++) {
        const CachedGlyph *glyph = FindGlyph(font, line->codePoints[i]);
        pen += KerningPx(font, previousIndex, glyph->glyphIndex);
        line->penX[i] = pen;
        pen += glyph->advance;
        previousIndex = glyph->glyphIndex;
    }
    line->width = pen;
}

// Too wide for the box: keep the longest start that fits together with
// "..." (whole code points; none at all if even "..." alone is too wide).
static void CutWithEllipsis(CanvasFont *font, TextLine *line, int boxWidth) {
    if (line->width <= boxWidth) return;
    static TextLine dots;
    dots.count = 3;
    dots.codePoints[0] = dots.codePoints[1] = dots.codePoints[2] = '.';
    LayOutLine(font, &dots);
    uint32_t dotIndex = FindGlyph(font, '.')->glyphIndex;
    int keep = 0;
    for (int n = line->count - 1; n > 0; n--) {
        const CachedGlyph *last = FindGlyph(font, line->codePoints[n - 1]);
        int width = line->penX[n - 1] + last->advance + KerningPx(font, last->glyphIndex, dotIndex) + dots.width;
        if (width <= boxWidth) {
            keep = n;
            break;
        }
    }
    if (keep > MaxLineGlyphs - 3) keep = MaxLineGlyphs - 3;
    line->count = keep + 3;
    for (int i = keep; i < keep + 3; i++) line->codePoints[i] = '.';
    LayOutLine(font, line);
}

// Lays the glyph's coverage over the frame in colour, inside the box and
// the canvas clip.
static void DrawGlyph(Canvas *canvas, const CachedGlyph *glyph, int x, int y, int boxLeft, int boxTop,
                      int boxRight, int boxBottom, Rgb colour) {
    for (int row = 0; row < glyph->rows; row++) {
        int py = y + row;
        if (py < boxTop || py >= boxBottom) continue;
        int x0 = x > boxLeft ? x : boxLeft;
        int x1 = x + glyph->width < boxRight ? x + glyph->width : boxRight;
        if (x0 >= x1 || !ClipSpan(canvas, py, &x0, &x1)) continue;
        const uint8_t *coverage = glyph->coverage + row * glyph->width;
        uint32_t *target = canvas->pixels + size_t(py) * FrameWidthPx;
        for (int px = x0; px < x1; px++) {
            int alpha = coverage[px - x];
            if (alpha != 0) target[px] = BlendCoverage(target[px], colour, alpha);
        }
    }
}

// Horizontal: left edge, or (left + right - width) / 2 centred. Vertical:
// the line box (ascent + descent) at the top, or at
// top + height / 2 - lineHeight / 2 centred; the baseline is ascent below
// the line box's top. Everything is clipped to the box.
void DrawTextInBox(Canvas *canvas, const CanvasFont *font, const WideChar *text, int left, int top, int right,
                   int bottom, Rgb colour, int flags) {
    CanvasFont *face = FontOrDefault(font);
    if (canvas == nullptr || face == nullptr || text == nullptr) return;
    static TextLine line;
    DecodeText(text, &line);
    LayOutLine(face, &line);
    if (flags & TextEndEllipsis) CutWithEllipsis(face, &line, right - left);
    int x = (flags & TextCenter) ? (left + right - line.width) / 2 : left;
    int lineTop = (flags & TextVCenter) ? top + (bottom - top) / 2 - (face->ascent + face->descent) / 2 : top;
    int baseline = lineTop + face->ascent;
    for (int i = 0; i < line.count; i++) {
        const CachedGlyph *glyph = FindGlyph(face, line.codePoints[i]);
        if (glyph->coverage == nullptr) continue;
        DrawGlyph(canvas, glyph, x + line.penX[i] + glyph->left, baseline - glyph->top, left, top, right, bottom,
                  colour);
    }
}

int MeasureText(Canvas *, const CanvasFont *font, const WideChar *text) {
    CanvasFont *face = FontOrDefault(font);
    if (face == nullptr || text == nullptr) return 0;
    static TextLine line;
    DecodeText(text, &line);
    LayOutLine(face, &line);
    return line.width;
}

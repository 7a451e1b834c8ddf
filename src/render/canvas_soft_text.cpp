// Software canvas text (Linux): fonts chosen by fontconfig as the face
// closest to "Segoe UI" at the asked weight, glyphs rendered by FreeType
// with grayscale anti-aliasing and cached per font, and single-line layout
// with kerning, UTF-16 decoding, centring and end ellipsis. Drawing and
// measuring share one layout, so measured widths are what is drawn.
// Leaves out: per-glyph font fallback, LCD subpixel rendering, shaping.
// User-interface thread only; fonts are never released.
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_SYNTHESIS_H

#include <cstring>

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
    FT_Face face;
    int ascent, descent;     // px above and below the baseline; their sum is the line height
    FT_Int32 loadFlags;      // hinting as fontconfig asks for it
    bool embolden;           // fontconfig asks for synthetic bold (no face that heavy)
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

static FT_Library s_library;
static bool s_libraryTried;
static CanvasFont s_fonts[MaxCanvasFonts];
static int s_fontCount;
static CanvasFont *s_defaultFont;
static bool s_defaultFontTried;

static bool LibraryReady() {
    if (!s_libraryTried) {
        s_libraryTried = true;
        if (FT_Init_FreeType(&s_library) != 0) s_library = nullptr;
        if (s_library != nullptr && !FcInit()) {
            FT_Done_FreeType(s_library);
            s_library = nullptr;
        }
    }
    return s_library != nullptr;
}

static void FlushGlyphs(CanvasFont *font) {
    for (CachedGlyph &glyph : font->glyphs) glyph.codePoint = NoCodePoint;
    font->poolUsed = 0;
}

// The face fontconfig prefers for "Segoe UI" at this weight and size, with
// its hinting and synthetic-bold advice. Fonts are never released, so a
// second request for the same height and weight shares the first font
// (callers that make their fonts more than once cannot run out of slots).
// nullptr when there is no face, it is not scalable to the pixel height, or
// MaxCanvasFonts different fonts exist already.
CanvasFont *CreateCanvasFont(int pixelHeight, int weight) {
    for (int i = 0; i < s_fontCount; i++)
        if (s_fonts[i].pixelHeight == pixelHeight && s_fonts[i].weight == weight) return &s_fonts[i];
    if (pixelHeight <= 0 || s_fontCount >= MaxCanvasFonts || !LibraryReady()) return nullptr;
    FcPattern *pattern = FcPatternCreate();
    if (pattern == nullptr) return nullptr;
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8 *>("Segoe UI"));
    FcPatternAddInteger(pattern, FC_WEIGHT, FcWeightFromOpenType(weight));
    FcPatternAddInteger(pattern, FC_SLANT, FC_SLANT_ROMAN);
    FcPatternAddDouble(pattern, FC_PIXEL_SIZE, pixelHeight);
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result;
    FcPattern *match = FcFontMatch(nullptr, pattern, &result);
    FcPatternDestroy(pattern);
    if (match == nullptr) return nullptr;

    CanvasFont *font = &s_fonts[s_fontCount];
    FcChar8 *file = nullptr;
    int index = 0, hintStyle = FC_HINT_SLIGHT;
    FcBool hinting = FcTrue, autohint = FcFalse, embolden = FcFalse;
    FcPatternGetInteger(match, FC_INDEX, 0, &index);
    FcPatternGetInteger(match, FC_HINT_STYLE, 0, &hintStyle);
    FcPatternGetBool(match, FC_HINTING, 0, &hinting);
    FcPatternGetBool(match, FC_AUTOHINT, 0, &autohint);
    FcPatternGetBool(match, FC_EMBOLDEN, 0, &embolden);
    bool opened = FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch &&
                  FT_New_Face(s_library, reinterpret_cast<const char *>(file), index, &font->face) == 0;
    FcPatternDestroy(match);
    if (!opened) return nullptr;
    if (!FT_IS_SCALABLE(font->face) || FT_Set_Pixel_Sizes(font->face, 0, FT_UInt(pixelHeight)) != 0) {
        FT_Done_Face(font->face);
        return nullptr;
    }
    font->loadFlags = FT_LOAD_DEFAULT | FT_LOAD_NO_BITMAP;
    if (!hinting || hintStyle == FC_HINT_NONE) {
        font->loadFlags |= FT_LOAD_NO_HINTING;
    } else if (hintStyle == FC_HINT_SLIGHT) {
        font->loadFlags |= FT_LOAD_TARGET_LIGHT;
    }
    if (autohint) font->loadFlags |= FT_LOAD_FORCE_AUTOHINT;
    font->pixelHeight = pixelHeight;
    font->weight = weight;
    font->embolden = embolden;
    font->kerning = FT_HAS_KERNING(font->face);
    const FT_Size_Metrics &metrics = font->face->size->metrics;
    font->ascent = int((metrics.ascender + 63) >> 6);
    font->descent = int((-metrics.descender + 63) >> 6);
    FlushGlyphs(font);
    s_fontCount++;
    return font;
}

static CanvasFont *FontOrDefault(const CanvasFont *font) {
    if (font == nullptr) {
        if (!s_defaultFontTried) {
            s_defaultFontTried = true;
            s_defaultFont = CreateCanvasFont(DefaultFontPx, 400);
        }
        return s_defaultFont;
    }
    // The glyph cache changes under a const font; every font lives in the
    // writable s_fonts table.
    return const_cast<CanvasFont *>(font);
}

// Copies the rendered bitmap into the pool, 8 bits per pixel, tightly.
static void StoreCoverage(CanvasFont *font, CachedGlyph *glyph, const FT_Bitmap &bitmap) {
    bool mono = bitmap.pixel_mode == FT_PIXEL_MODE_MONO;
    if ((!mono && bitmap.pixel_mode != FT_PIXEL_MODE_GRAY) || bitmap.pitch < 0) return;
    int width = int(bitmap.width), rows = int(bitmap.rows), size = width * rows;
    if (size == 0 || size > GlyphPoolBytes) return;  // blank, or too large to draw at all
    if (font->poolUsed + size > GlyphPoolBytes) {
        uint32_t codePoint = glyph->codePoint;
        FlushGlyphs(font);
        glyph->codePoint = codePoint;
    }
    uint8_t *target = font->pool + font->poolUsed;
    for (int y = 0; y < rows; y++) {
        const uint8_t *source = bitmap.buffer + y * bitmap.pitch;
        for (int x = 0; x < width; x++)
            target[y * width + x] = mono ? ((source[x >> 3] >> (7 - (x & 7))) & 1 ? 255 : 0) : source[x];
    }
    font->poolUsed += size;
    glyph->coverage = target;
    glyph->width = width;
    glyph->rows = rows;
}

// The cached glyph of codePoint, rendered on first use. The pointer is
// valid until the next FindGlyph on the same font (the slot may be reused).
// A glyph FreeType cannot load has no advance and no bitmap.
static const CachedGlyph *FindGlyph(CanvasFont *font, uint32_t codePoint) {
    CachedGlyph *glyph = &font->glyphs[(codePoint * 2654435761u) >> 24];
    if (glyph->codePoint == codePoint) return glyph;
    std::memset(glyph, 0, sizeof *glyph);
    glyph->codePoint = codePoint;
    glyph->glyphIndex = FT_Get_Char_Index(font->face, codePoint);
    FT_GlyphSlot slot = font->face->glyph;
    if (FT_Load_Glyph(font->face, glyph->glyphIndex, font->loadFlags) != 0) return glyph;
    if (font->embolden) FT_GlyphSlot_Embolden(slot);
    glyph->advance = int((slot->advance.x + 32) >> 6);
    if (FT_Render_Glyph(slot, FT_RENDER_MODE_NORMAL) != 0) return glyph;
    glyph->left = slot->bitmap_left;
    glyph->top = slot->bitmap_top;
    StoreCoverage(font, glyph, slot->bitmap);
    return glyph;
}

static int KerningPx(CanvasFont *font, uint32_t previousIndex, uint32_t index) {
    if (!font->kerning || previousIndex == 0 || index == 0) return 0;
    FT_Vector delta;
    if (FT_Get_Kerning(font->face, previousIndex, index, FT_KERNING_DEFAULT, &delta) != 0) return 0;
    return int((delta.x + 32) >> 6);
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

// Glyph seam: font faces and rendered glyphs for the software canvas, which
// lays out, caches and draws text itself.
// Backend: posix/glyphs_freetype.cpp (fontconfig picks the face, FreeType
// renders it with grayscale anti-aliasing). The GDI canvas on Windows draws
// its text with GDI and needs none of this.
// Everything runs on the user-interface thread; faces are never closed.
#pragma once
#include <cstdint>

struct GlyphFace;  // one face at one pixel size

// The face closest to "Segoe UI" at the weight (400 normal, 600 semibold,
// 700 bold), upright, sized to an em of pixelHeight px. Its line metrics go
// to ascent and descent (px above and below the baseline, rounded up);
// kerning says whether it has kerning pairs. nullptr when there is no face,
// or it cannot be scaled to that size.
GlyphFace *OpenGlyphFace(int pixelHeight, int weight, int *ascent, int *descent, bool *kerning);

// One rendered glyph, valid until the next RenderGlyph on the same face.
struct RenderedGlyph {
    uint32_t glyphIndex;  // in the face; 0 is the face's missing-glyph shape
    int advance;          // px, rounded; 0 when the glyph could not be loaded
    int left, top;        // bitmap's top-left from the pen on the baseline (px, top counts up)
    int width, rows;      // bitmap size (px); 0 when there is nothing to draw
    int pitch;            // bytes from one row to the next, rows top-down
    bool bitMask;         // rows are bit masks, most significant bit first, instead of
                          // one coverage byte (0-255) per pixel
    const uint8_t *bits;  // the first row
};

// Renders codePoint's glyph (with the face's hinting and any synthetic bold
// the face asks for). Always fills glyph: a glyph that cannot be loaded has
// no advance and nothing to draw.
void RenderGlyph(GlyphFace *face, uint32_t codePoint, RenderedGlyph *glyph);

// The kerning between two glyphs, px, rounded; 0 when there is none.
int GlyphKerningPx(GlyphFace *face, uint32_t leftIndex, uint32_t rightIndex);

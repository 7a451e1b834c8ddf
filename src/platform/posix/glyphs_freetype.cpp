// Glyph backend for Linux: the glyph seam over fontconfig and FreeType.
// Implemented:
//  [X] the face fontconfig prefers for "Segoe UI" at a weight and pixel size,
//      with the hinting and synthetic-bold advice it gives for that face
//  [X] grayscale (or one-bit) glyph bitmaps, metrics and kerning
// Leaves out: per-glyph font fallback, LCD subpixel rendering, shaping,
// colour and bitmap-only faces. User-interface thread only; faces are
// never closed.
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_SYNTHESIS_H

#include "platform/glyphs.h"

constexpr int MaxGlyphFaces = 16;  // faces opened over the process's life

struct GlyphFace {
    FT_Face face;
    FT_Int32 loadFlags;  // hinting as fontconfig asks for it
    bool embolden;       // fontconfig asks for synthetic bold (no face that heavy)
};

// Everything this backend keeps.
struct FreeTypeGlyphState {
    FT_Library library;           // nullptr when FreeType or fontconfig could not start
    bool libraryTried;            // the start was tried (once per process)
    GlyphFace faces[MaxGlyphFaces];
    int faceCount;
};
static FreeTypeGlyphState s_glyphs;

static bool LibraryReady() {
    if (!s_glyphs.libraryTried) {
        s_glyphs.libraryTried = true;
        if (FT_Init_FreeType(&s_glyphs.library) != 0) s_glyphs.library = nullptr;
        if (s_glyphs.library != nullptr && !FcInit()) {
            FT_Done_FreeType(s_glyphs.library);
            s_glyphs.library = nullptr;
        }
    }
    return s_glyphs.library != nullptr;
}

// fontconfig's best match for the request; nullptr when it has none.
static FcPattern *MatchFace(int pixelHeight, int weight) {
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
    return match;
}

GlyphFace *OpenGlyphFace(int pixelHeight, int weight, int *ascent, int *descent, bool *kerning) {
    if (pixelHeight <= 0 || s_glyphs.faceCount >= MaxGlyphFaces || !LibraryReady()) return nullptr;
    FcPattern *match = MatchFace(pixelHeight, weight);
    if (match == nullptr) return nullptr;

    GlyphFace *face = &s_glyphs.faces[s_glyphs.faceCount];
    FcChar8 *file = nullptr;
    int index = 0, hintStyle = FC_HINT_SLIGHT;
    FcBool hinting = FcTrue, autohint = FcFalse, embolden = FcFalse;
    FcPatternGetInteger(match, FC_INDEX, 0, &index);
    FcPatternGetInteger(match, FC_HINT_STYLE, 0, &hintStyle);
    FcPatternGetBool(match, FC_HINTING, 0, &hinting);
    FcPatternGetBool(match, FC_AUTOHINT, 0, &autohint);
    FcPatternGetBool(match, FC_EMBOLDEN, 0, &embolden);
    bool opened = FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch &&
                  FT_New_Face(s_glyphs.library, reinterpret_cast<const char *>(file), index, &face->face) == 0;
    FcPatternDestroy(match);
    if (!opened) return nullptr;
    if (!FT_IS_SCALABLE(face->face) || FT_Set_Pixel_Sizes(face->face, 0, FT_UInt(pixelHeight)) != 0) {
        FT_Done_Face(face->face);
        return nullptr;
    }
    face->loadFlags = FT_LOAD_DEFAULT | FT_LOAD_NO_BITMAP;
    if (!hinting || hintStyle == FC_HINT_NONE) {
        face->loadFlags |= FT_LOAD_NO_HINTING;
    } else if (hintStyle == FC_HINT_SLIGHT) {
        face->loadFlags |= FT_LOAD_TARGET_LIGHT;
    }
    if (autohint) face->loadFlags |= FT_LOAD_FORCE_AUTOHINT;
    face->embolden = embolden;
    const FT_Size_Metrics &metrics = face->face->size->metrics;
    *ascent = int((metrics.ascender + 63) >> 6);
    *descent = int((-metrics.descender + 63) >> 6);
    *kerning = FT_HAS_KERNING(face->face);
    s_glyphs.faceCount++;
    return face;
}

void RenderGlyph(GlyphFace *face, uint32_t codePoint, RenderedGlyph *glyph) {
    *glyph = RenderedGlyph{};
    glyph->glyphIndex = FT_Get_Char_Index(face->face, codePoint);
    FT_GlyphSlot slot = face->face->glyph;
    if (FT_Load_Glyph(face->face, glyph->glyphIndex, face->loadFlags) != 0) return;
    if (face->embolden) FT_GlyphSlot_Embolden(slot);
    glyph->advance = int((slot->advance.x + 32) >> 6);
    if (FT_Render_Glyph(slot, FT_RENDER_MODE_NORMAL) != 0) return;
    const FT_Bitmap &bitmap = slot->bitmap;
    bool bitMask = bitmap.pixel_mode == FT_PIXEL_MODE_MONO;
    // Only top-down grayscale or one-bit bitmaps are handed on.
    if ((!bitMask && bitmap.pixel_mode != FT_PIXEL_MODE_GRAY) || bitmap.pitch < 0) return;
    glyph->left = slot->bitmap_left;
    glyph->top = slot->bitmap_top;
    glyph->width = int(bitmap.width);
    glyph->rows = int(bitmap.rows);
    glyph->pitch = bitmap.pitch;
    glyph->bitMask = bitMask;
    glyph->bits = bitmap.buffer;
}

int GlyphKerningPx(GlyphFace *face, uint32_t leftIndex, uint32_t rightIndex) {
    FT_Vector delta;
    if (FT_Get_Kerning(face->face, leftIndex, rightIndex, FT_KERNING_DEFAULT, &delta) != 0) return 0;
    return int((delta.x + 32) >> 6);
}

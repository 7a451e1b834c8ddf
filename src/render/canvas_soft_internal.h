// Pieces shared by the software canvas files (canvas_soft.cpp draws shapes,
// images and presents; canvas_soft_text.cpp draws text): the frame record,
// the clip test every operation writes through, and the per-channel blend
// of glyph coverage. Not for use outside src/render/canvas_soft*.cpp.
#pragma once
#include <cstdint>

#include "base/state.h"
#include "platform/canvas.h"

constexpr int FrameWidthPx = DesignWidthPx;
constexpr int FrameHeightPx = DesignHeightPx;

struct Canvas {
    uint32_t *pixels;                 // FrameWidthPx x FrameHeightPx, 0x00RRGGBB, rows top-down
    bool clipped;                     // a rounded-rect clip is in force
    int16_t clipLeft[FrameHeightPx];  // per row, first x inside the clip (px)
    int16_t clipRight[FrameHeightPx]; // per row, first x after the clip (px); <= clipLeft: row clipped out
};

// Narrows the span [*x0, *x1) of row y to the frame and the clip region
// (one span per row: the clip shapes are convex). False when nothing of it
// is left, or y is outside the frame.
inline bool ClipSpan(const Canvas *canvas, int y, int *x0, int *x1) {
    if (y < 0 || y >= FrameHeightPx) return false;
    int left = *x0 < 0 ? 0 : *x0;
    int right = *x1 > FrameWidthPx ? FrameWidthPx : *x1;
    if (canvas->clipped) {
        if (left < canvas->clipLeft[y]) left = canvas->clipLeft[y];
        if (right > canvas->clipRight[y]) right = canvas->clipRight[y];
    }
    *x0 = left;
    *x1 = right;
    return left < right;
}

inline uint32_t PackRgb(int r, int g, int b) {
    return uint32_t(r) << 16 | uint32_t(g) << 8 | uint32_t(b);
}

// Glyph coverage (0-255) laid over d in colour c, per channel:
// d + (c - d) * coverage / 255, the division truncating toward zero, so
// full coverage gives exactly c and none leaves d.
inline uint32_t BlendCoverage(uint32_t d, Rgb c, int coverage) {
    int dr = int(d >> 16 & 0xFF), dg = int(d >> 8 & 0xFF), db = int(d & 0xFF);
    dr += (int(c.r) - dr) * coverage / 255;
    dg += (int(c.g) - dg) * coverage / 255;
    db += (int(c.b) - db) * coverage / 255;
    return PackRgb(dr, dg, db);
}

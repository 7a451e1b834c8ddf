// Pieces shared by the software canvas files (canvas_soft.cpp draws shapes
// and images, canvas_soft_text.cpp text, canvas_soft_present.cpp filters a
// frame to another client size): the frame record, the base layer,
// the clip test every operation writes through (which also notes the tiles
// it lets a write reach), and the per-channel blend of glyph coverage. Not
// for use outside src/render/canvas_soft*.cpp.
#pragma once
#include <cstdint>

#include "base/state.h"
#include "platform/canvas.h"
#include "render/present_tiles.h"

constexpr int FrameWidthPx = DesignWidthPx;
constexpr int FrameHeightPx = DesignHeightPx;
constexpr int MaxPresentSidePx = 16384;  // larger client areas are presented at this size

// The frame is split into square tiles (render/present_tiles.h); the
// present re-filters only what lies over tiles drawn on after the base
// layer.

struct Canvas {
    uint32_t *pixels;                 // FrameWidthPx x FrameHeightPx, 0x00RRGGBB, rows top-down
    bool clipped;                     // a rounded-rect clip is in force
    bool clearPending;                // the frame counts as black but is not cleared yet
    bool touchedAny;                  // some tile is marked in touched
    int16_t clipLeft[FrameHeightPx];  // per row, first x inside the clip (px)
    int16_t clipRight[FrameHeightPx]; // per row, first x after the clip (px); <= clipLeft: row clipped out
    uint8_t touched[TileRows][TileColumns];  // 1: written since the base layer
};

// A base layer: what every pixel of a frame is before any tile is touched.
// It is BeginFrame's black, or what a first operation that covers the whole
// frame unclipped leaves: one colour, or an image copied at (0, 0) (images
// never change, so the image stands for its pixels).
struct BaseLayer {
    const CanvasImage *image;  // null: every pixel is colour
    uint32_t colour;
};
inline bool SameBase(BaseLayer a, BaseLayer b) {
    return a.image == b.image && (a.image != nullptr || a.colour == b.colour);
}

// The present of frame (the canvas's, laid on base), canvas_soft_present.cpp.
// Following a present at the same size and on the same base, only tiles
// touched in either frame can differ: the scaled present compares those
// with the frame it kept and filters anew only what really differs. Both record the client
// rectangles that changed (PresentedChanges); NoPresentChanges records none.
//  - PresentScaled: at width x height (not the design size) into out,
//    width x height pixels, which must hold the last present at that size.
//  - PresentAtDesignSize: returns the present, which is frame itself.
void PresentScaled(const Canvas *canvas, BaseLayer base, const uint32_t *frame, uint32_t *out, int width,
                   int height);
const uint32_t *PresentAtDesignSize(const Canvas *canvas, BaseLayer base, const uint32_t *frame);
void NoPresentChanges();

// Clears a frame whose clear BeginFrame left pending (canvas_soft.cpp).
void ClearFrameNow(Canvas *canvas);

// Narrows the span [*x0, *x1) of row y to the frame and the clip region
// (one span per row: the clip shapes are convex). False when nothing of it
// is left, or y is outside the frame. Every write goes through here, so a
// span that is left is about to be written: the frame is cleared first if
// that is still pending, and the span's tiles are marked as touched.
inline bool ClipSpan(Canvas *canvas, int y, int *x0, int *x1) {
    if (y < 0 || y >= FrameHeightPx) return false;
    int left = *x0 < 0 ? 0 : *x0;
    int right = *x1 > FrameWidthPx ? FrameWidthPx : *x1;
    if (canvas->clipped) {
        if (left < canvas->clipLeft[y]) left = canvas->clipLeft[y];
        if (right > canvas->clipRight[y]) right = canvas->clipRight[y];
    }
    *x0 = left;
    *x1 = right;
    if (left >= right) return false;
    if (canvas->clearPending) ClearFrameNow(canvas);
    uint8_t *tiles = canvas->touched[y >> TileShift];
    for (int t = left >> TileShift; t <= (right - 1) >> TileShift; t++) tiles[t] = 1;
    canvas->touchedAny = true;
    return true;
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

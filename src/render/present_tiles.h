// What changed between two frames, and where that lies on the window: the
// frame is cut into square tiles, a tile changed when any of its pixels
// did, and each run of changed tiles in a tile row becomes one rectangle
// of client pixels. Shared by the presents of both canvases (the software
// one in canvas_soft_present.cpp, the GDI one in the Windows backend),
// which keep the frame they presented last and send the window only what
// differs from it. Platform-neutral, header-only (the backends' build
// lists stay as they are); user-interface thread only.
#pragma once
#include <cstdint>
#include <cstring>

#include "base/state.h"

// Tiles of TilePx x TilePx frame pixels; the last column and row are cut
// by the frame's edges.
constexpr int TileShift = 4;
constexpr int TilePx = 1 << TileShift;
constexpr int TileColumns = (DesignWidthPx + TilePx - 1) / TilePx;
constexpr int TileRows = (DesignHeightPx + TilePx - 1) / TilePx;

// One flag per tile, by tile row then tile column.
typedef uint8_t TileMap[TileRows][TileColumns];

// A rectangle of client pixels (a present may be scaled to any client size).
struct PresentRect {
    int x, y, width, height;  // client px
};

// Marks in changed the tiles of candidates whose pixels differ between
// frame and shown, and copies those tiles from frame into shown, so that
// shown becomes frame wherever frame can differ. Tiles that are not
// candidates are taken to be alike.
inline void FindChangedTiles(const uint32_t *frame, uint32_t *shown, const TileMap candidates, TileMap changed) {
    for (int t = 0; t < TileRows; t++) {
        int y0 = t * TilePx, y1 = (y0 + TilePx < DesignHeightPx) ? y0 + TilePx : DesignHeightPx;
        for (int c = 0; c < TileColumns; c++) {
            changed[t][c] = 0;
            if (!candidates[t][c]) continue;
            int x0 = c * TilePx;
            size_t bytes = size_t(((x0 + TilePx < DesignWidthPx) ? x0 + TilePx : DesignWidthPx) - x0) * 4;
            for (int y = y0; y < y1; y++) {
                size_t at = size_t(y) * DesignWidthPx + x0;
                if (std::memcmp(frame + at, shown + at, bytes) == 0) continue;
                changed[t][c] = 1;
                for (; y < y1; y++) {
                    at = size_t(y) * DesignWidthPx + x0;
                    std::memcpy(shown + at, frame + at, bytes);
                }
            }
        }
    }
}

// The client pixels [*first, *end) along an axis (frame size source shown at
// size target) whose footprint meets the frame pixels [from, to): pixel d
// covers [d * source / target, (d + 1) * source / target).
inline void ClientSpan(int from, int to, int source, int target, int *first, int *end) {
    *first = int(int64_t(from) * target / source);
    *end = int((int64_t(to) * target + source - 1) / source);
    if (*end > target) *end = target;
}

// The client rectangles over the tiles marked in changed, for a present at
// width x height: one per run of marked tiles in a tile row, in rows from
// the top. Returns their count, or -1 when there are more than capacity
// (the caller then sends the whole present).
inline int ChangedClientRects(const TileMap changed, int width, int height, PresentRect *rects, int capacity) {
    int count = 0;
    for (int t = 0; t < TileRows; t++) {
        for (int c = 0; c < TileColumns; c++) {
            if (!changed[t][c]) continue;
            int first = c;
            while (c < TileColumns && changed[t][c]) c++;
            if (count == capacity) return -1;
            int right = c * TilePx < DesignWidthPx ? c * TilePx : DesignWidthPx;
            int bottom = (t + 1) * TilePx < DesignHeightPx ? (t + 1) * TilePx : DesignHeightPx;
            int x0, x1, y0, y1;
            ClientSpan(first * TilePx, right, DesignWidthPx, width, &x0, &x1);
            ClientSpan(t * TilePx, bottom, DesignHeightPx, height, &y0, &y1);
            rects[count++] = {x0, y0, x1 - x0, y1 - y0};
        }
    }
    return count;
}

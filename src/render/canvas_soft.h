// Software canvas extras (Linux): where the composed and the presented
// pixels can be read, for the SDL window that shows them and for the tests
// that check them. The drawing operations themselves are the canvas seam
// (platform/canvas.h), implemented in canvas_soft.cpp and
// canvas_soft_text.cpp on a 1280 x 853 array of 0x00RRGGBB values.
#pragma once
#include <cstdint>

#include "render/present_tiles.h"  // PresentRect

// The frame being (or last) composed: 1280 x 853 values 0x00RRGGBB, rows
// top-down. BeginFrame clears it to black; EndFrame leaves it as it is, so
// a test can read the last frame after it was presented.
const uint32_t *FramePixels();

// What the last EndFrame presented: *width x *height values 0x00RRGGBB,
// rows top-down, the frame box-filtered to the client size. At the design
// size it is the frame itself, so it is valid until the next BeginFrame;
// otherwise until the next EndFrame. A present to an empty client area (a
// minimised window) keeps the one before; before the first present it is
// the frame itself at 1280 x 853, so the pointer is never null.
const uint32_t *PresentedPixels(int *width, int *height);

// Where the last present can differ from the one before it, in client
// pixels. False when all of it may (the first present, a new client size or
// base layer, or too many pieces to list); otherwise *count rectangles
// (none: nothing changed, or nothing was presented) that lie inside the
// present; neighbours may share a row or column. At the design size they
// may also cover tiles that were painted again alike. Valid until the next
// EndFrame.
bool PresentedChanges(const PresentRect **rects, int *count);

// Software canvas extras (Linux): where the composed and the presented
// pixels can be read, for the SDL window that shows them and for the tests
// that check them. The drawing operations themselves are the canvas seam
// (platform/canvas.h), implemented in canvas_soft.cpp and
// canvas_soft_text.cpp on a 1280 x 853 array of 0x00RRGGBB values.
#pragma once
#include <cstdint>

// The frame being (or last) composed: 1280 x 853 values 0x00RRGGBB, rows
// top-down. BeginFrame clears it to black; EndFrame leaves it as it is, so
// a test can read the last frame after it was presented.
const uint32_t *FramePixels();

// What the last EndFrame presented: *width x *height values 0x00RRGGBB,
// rows top-down, the frame box-filtered to the client size. A present to an
// empty client area (a minimised window) keeps the one before; before the
// first present it is the frame itself at 1280 x 853, so the pointer is
// never null. Valid until the next EndFrame.
const uint32_t *PresentedPixels(int *width, int *height);

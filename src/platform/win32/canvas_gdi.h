// Windows-only additions to the canvas seam: reading back the frame that was
// composed without a window, so a program with no visible window (the frame
// comparison test) can paint a frame through GDI and look at its pixels.
// With a window the frame goes to the screen and nothing is kept.
#pragma once
#include <cstdint>

// Copies the last frame composed while g_state.mainWindow was null into
// pixels: 1280 x 853 values 0x00RRGGBB, rows top-down. False when no such
// frame exists yet or GetDIBits fails (pixels then undefined).
bool ReadLastFramePixels(uint32_t *pixels);

// Test hooks of the backends: one setting and two read-backs that exist for
// tests and test runs only. Nothing the launcher does depends on them, and
// no seam header carries them.
// Defined by: the HTTP backends (the timeout setting), the media backends
// (the command count) and the GDI canvas (the frame read-back, Windows only).
#pragma once
#include <cstdint>

// When above 0, every HTTP time limit (platform/http.h) is this many ms:
// connecting (30 s), silence (60 s), the response head (30 s) and the
// body's rate window (60 s), whose floor stays 1 KiB/s of the window (60 KiB
// shipped), so tests of stalled and trickling servers need not wait a
// minute. The head's size limit stays. launcher-patch takes it from
// LAUNCHER_PATCH_TIMEOUT_MS.
extern int g_httpTimeoutOverrideMs;

// When above 0, every wait between two attempts of a download is at most
// this many ms instead of 1 s, 2 s or the server's Retry-After.
// launcher-patch takes it from LAUNCHER_PATCH_BACKOFF_MS. Defined by the
// engine (patch/transfers.cpp).
extern int g_retryBackOffOverrideMs;

// Media commands sent so far in this process, whatever their result; shows
// that nothing was sent.
int MediaCommandsSent();

// Windows only: copies the last frame the GDI canvas composed with no window
// (MainWindowHandle() was nullptr) into pixels: 1280 x 853 values
// 0x00RRGGBB, rows top-down. False when there is no such frame yet or it
// cannot be read (pixels then undefined).
bool ReadLastFramePixels(uint32_t *pixels);

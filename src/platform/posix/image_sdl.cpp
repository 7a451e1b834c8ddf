// Picture files for the software canvas on Linux: LoadImageFile of the
// canvas seam, decoding BMP files with SDL2 and handing the pixels to the
// canvas through CreateImage.
// Implemented: every BMP form SDL_LoadBMP reads (bottom-up or top-down,
// 24 or 32 bits, palettes), converted to 0xAARRGGBB.
// Leaves out: other file formats. The fourth byte is dropped (set to 0),
// since a loaded picture is only ever copied, never blended.
#include <SDL2/SDL.h>

#include <cstring>

#include "platform/canvas.h"

// Missing, truncated or corrupt files give nullptr, as does a picture the
// canvas refuses (too large).
CanvasImage *LoadImageFile(const WideChar *path) {
    char utf8Path[4096];
    if (path == nullptr || !TextToUtf8(path, utf8Path, sizeof utf8Path)) return nullptr;
    SDL_Surface *loaded = SDL_LoadBMP(utf8Path);
    if (loaded == nullptr) return nullptr;
    SDL_Surface *surface = SDL_ConvertSurfaceFormat(loaded, SDL_PIXELFORMAT_ARGB8888, 0);
    SDL_FreeSurface(loaded);
    if (surface == nullptr) return nullptr;
    CanvasImage *image = nullptr;
    if (SDL_LockSurface(surface) == 0) {
        // Rows are made tight in place (a pitch is never below the row size)
        // and the fourth byte cleared, so the canvas gets plain pixels.
        uint8_t *bytes = static_cast<uint8_t *>(surface->pixels);
        size_t rowBytes = size_t(surface->w) * sizeof(uint32_t);
        for (int y = 0; y < surface->h; y++) {
            uint32_t *row = reinterpret_cast<uint32_t *>(bytes + size_t(y) * rowBytes);
            std::memmove(row, bytes + size_t(y) * surface->pitch, rowBytes);
            for (int x = 0; x < surface->w; x++) row[x] &= 0x00FFFFFFu;
        }
        image = CreateImage(surface->w, surface->h, reinterpret_cast<const uint32_t *>(bytes));
        SDL_UnlockSurface(surface);
    }
    SDL_FreeSurface(surface);
    return image;
}

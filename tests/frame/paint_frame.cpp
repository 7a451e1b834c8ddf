// Paints one fixed launcher screen through the platform's canvas and writes
// the 1280 x 853 frame as a 24-bit BMP, so the GDI frame (Windows build, run
// under Wine) can be compared with the software canvas's (Linux build).
// The state, the background picture and the particles are fixed here rather
// than random, so both builds paint the same scene. No window is opened.
// Usage: paint_frame OUT.bmp   (ASCII path; bg.bmp is written beside it)
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/state.h"
#include "base/text.h"
#include "render/painter.h"
#include "render/particles.h"

#ifdef _WIN32
#include "platform/test_hooks.h"
#else
#include "render/canvas_soft.h"
#endif

constexpr int Width = DesignWidthPx, Height = DesignHeightPx;

// Writes rows top-down of 0x00RRGGBB as a bottom-up 24-bit BMP (the form
// every reader takes). The row length, 3840 bytes, needs no padding.
static bool WriteBmp(const char *path, const uint32_t *pixels) {
    const uint32_t rowBytes = Width * 3, dataBytes = rowBytes * Height;
    unsigned char header[54] = {'B', 'M'};
    auto put32 = [&](int at, uint32_t value) {
        for (int i = 0; i < 4; i++) header[at + i] = (unsigned char)(value >> (8 * i));
    };
    put32(2, 54 + dataBytes);
    put32(10, 54);
    put32(14, 40);
    put32(18, Width);
    put32(22, Height);
    header[26] = 1;   // planes
    header[28] = 24;  // bits per pixel
    put32(34, dataBytes);
    std::FILE *file = std::fopen(path, "wb");
    if (file == nullptr) return false;
    bool ok = std::fwrite(header, 1, sizeof header, file) == sizeof header;
    std::vector<unsigned char> row(rowBytes);
    for (int y = Height - 1; ok && y >= 0; y--) {
        for (int x = 0; x < Width; x++) {
            uint32_t p = pixels[y * Width + x];
            row[x * 3] = (unsigned char)p;
            row[x * 3 + 1] = (unsigned char)(p >> 8);
            row[x * 3 + 2] = (unsigned char)(p >> 16);
        }
        ok = std::fwrite(row.data(), 1, rowBytes, file) == rowBytes;
    }
    return std::fclose(file) == 0 && ok;
}

// The stand-in background: smooth ramps in red and green with a blue
// checkerboard of 64 px squares, so blends and copies land on varied
// colours and a shifted copy would show.
static uint32_t BackgroundPixel(int x, int y) {
    uint32_t r = uint32_t(x * 160 / (Width - 1));
    uint32_t g = uint32_t(y * 120 / (Height - 1));
    uint32_t b = ((x / 64 + y / 64) % 2) ? 90 : 30;
    return r << 16 | g << 8 | b;
}

// Fifty motes at fixed places: spread over the band, two cut by the left
// and right edges, some above the top edge, some below the band (skipped),
// every size from 7 to 18 and varied pulse phases and brightness.
static void PlaceFixedParticles() {
    for (int i = 0; i < ParticleCount; i++) {
        Particle &p = g_particles[i];
        p.x = float((i * 263 + 40) % 1280);
        p.y = float((i * 71) % 290 - 14);
        p.speed = 0.5f;
        p.drift = 0.0f;
        p.phase = float((i * 37) % 628);
        p.size = float(7 + i % 12);
        p.brightness = 0.3f + 0.04f * float(i % 10);
    }
    g_particles[0].x = 3.0f;
    g_particles[1].x = 1277.0f;
    g_state.particlesReady = 1;
}

static void SetFixedState(const char *folder) {
    ResetLauncherState(&g_state);
    Utf8ToText(folder, g_state.programDir, ProgramDirUnits);
    g_state.clientWidth = Width;
    g_state.clientHeight = Height;
    SetStatusText(&g_state, WTEXT("Downloaded 3 file(s). Ready."));
    g_state.progress = 50;
    g_state.serverState = 1;
    g_state.focusField = 1;
    CopyText(g_state.userName, UserNameUnits, WTEXT("Ada"));
    CopyText(g_state.password, PasswordUnits, WTEXT("secret"));
    g_state.hoverIndex = 3;  // CHECK FILES
    g_state.selectedTab = 2;
    g_state.tick = 9;        // caret in its visible half
}

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: paint_frame OUT.bmp\n");
        return 2;
    }
    // bg.bmp goes into the output's folder, which becomes the program folder.
    char folder[1024];
    std::snprintf(folder, sizeof folder, "%s", argv[1]);
    char *cut = nullptr;
    for (char *c = folder; *c != 0; c++)
        if (*c == '/' || *c == '\\') cut = c;
    if (cut != nullptr) *cut = 0;
    else std::snprintf(folder, sizeof folder, ".");
    char backgroundPath[1100];
    std::snprintf(backgroundPath, sizeof backgroundPath, "%s/bg.bmp", folder);

    std::vector<uint32_t> pixels(size_t(Width) * Height);
    for (int y = 0; y < Height; y++)
        for (int x = 0; x < Width; x++) pixels[y * Width + x] = BackgroundPixel(x, y);
    if (!WriteBmp(backgroundPath, pixels.data())) {
        std::fprintf(stderr, "paint_frame: cannot write %s\n", backgroundPath);
        return 1;
    }

    SetFixedState(folder);
    CreateFrameResources();
    PlaceFixedParticles();
    if (GlowSprite() == nullptr) {
        std::fprintf(stderr, "paint_frame: no glow sprite\n");
        return 1;
    }
    PaintFrame();

#ifdef _WIN32
    if (!ReadLastFramePixels(pixels.data())) {
        std::fprintf(stderr, "paint_frame: the GDI frame cannot be read\n");
        return 1;
    }
#else
    std::memcpy(pixels.data(), FramePixels(), pixels.size() * sizeof(uint32_t));
#endif
    // Right of the play area and below the particle band nothing is drawn
    // over the picture: a different pixel there means the picture was not
    // loaded or not copied unscaled.
    const int probes[][2] = {{1279, 300}, {1000, 420}, {1279, 852}, {930, 600}};
    for (const auto &probe : probes) {
        uint32_t got = pixels[probe[1] * Width + probe[0]], want = BackgroundPixel(probe[0], probe[1]);
        if (got != want) {
            std::fprintf(stderr, "paint_frame: background at (%d, %d) is %06x, not %06x\n", probe[0], probe[1],
                         unsigned(got), unsigned(want));
            return 1;
        }
    }
    if (!WriteBmp(argv[1], pixels.data())) {
        std::fprintf(stderr, "paint_frame: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}

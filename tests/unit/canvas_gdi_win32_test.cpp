// The GDI canvas's present at the design size against a whole repaint: a
// real window of 1280 x 853 client pixels, painted by the launcher's own
// painter tick after tick (moving particles, the caret's blink, hover and
// focus changes, new status text), shows after every present exactly the
// frame the painter composes whole with no window. The window's pixels are
// read back from its DC. Windows only; it needs a display (under Wine an X
// server) at least as large as the window: without one the case is skipped,
// unless LAUNCHER_NEED_WINDOW=1 (tests/frame/run.sh, which runs it on a
// private Xvfb) makes that a failure.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/state.h"
#include "platform/test_hooks.h"
#include "render/painter.h"
#include "render/particles.h"
#include "test_files.h"
#include "window_recording.h"

namespace {

constexpr int W = DesignWidthPx, H = DesignHeightPx;

// The window's paint is the launcher's: the painter composes and presents.
LRESULT CALLBACK PaintingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
        PaintFrame();
        return 0;
    }
    if (message == WM_ERASEBKGND) return 1;
    return DefWindowProcW(window, message, wParam, lParam);
}

// A 24-bit bottom-up BMP of ramps and 64 px squares, as bg.bmp.
std::string BackgroundBmp() {
    std::string file(54 + size_t(W) * 3 * H, '\0');
    auto put32 = [&](int at, uint32_t value) {
        for (int i = 0; i < 4; i++) file[at + i] = char(value >> (8 * i));
    };
    file[0] = 'B', file[1] = 'M';
    put32(2, uint32_t(file.size()));
    put32(10, 54), put32(14, 40), put32(18, W), put32(22, H), put32(26, 1 | 24 << 16);
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) {
            char *p = &file[54 + size_t(H - 1 - y) * W * 3 + size_t(x) * 3];
            p[0] = char((x / 64 + y / 64) % 2 ? 90 : 30), p[1] = char(y * 120 / H), p[2] = char(x * 160 / W);
        }
    return file;
}

// What the window shows, 0x00RRGGBB rows top-down.
std::vector<uint32_t> WindowPixels(HWND window) {
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof info.bmiHeader, W, -H, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void *bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC memory = CreateCompatibleDC(nullptr), screen = GetDC(window);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, W, H, screen, 0, 0, SRCCOPY);
    GdiFlush();
    std::vector<uint32_t> pixels(static_cast<uint32_t *>(bits), static_cast<uint32_t *>(bits) + size_t(W) * H);
    for (uint32_t &p : pixels) p &= 0x00FFFFFFu;
    SelectObject(memory, old);
    ReleaseDC(window, screen);
    DeleteDC(memory);
    DeleteObject(bitmap);
    return pixels;
}

// The frame of the present state composed whole, with no window.
std::vector<uint32_t> ComposedWhole(HWND window) {
    std::vector<uint32_t> pixels(size_t(W) * H);
    SetRecordedWindowHandle(nullptr);
    PaintFrame();
    EXPECT_TRUE(ReadLastFramePixels(pixels.data()));
    SetRecordedWindowHandle(window);
    return pixels;
}

// The 16 x 16 pixels at (880, 320), right of the play area and below the
// particles: nothing is ever drawn over the picture there.
const RECT Untouched = {880, 320, 896, 336};

bool InUntouched(size_t at) {
    int x = int(at % W), y = int(at / W);
    return x >= Untouched.left && x < Untouched.right && y >= Untouched.top && y < Untouched.bottom;
}

// Presents the next frame as the window does and compares it with the whole
// composition, pixel for pixel; with scribbled set, the untouched square
// must still show the scribble (the present sent only what changed).
void ExpectWholeFrameShown(HWND window, int tick, bool scribbled = false) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    RedrawWindow(window, nullptr, nullptr, RDW_INTERNALPAINT | RDW_UPDATENOW);
    std::vector<uint32_t> shown = WindowPixels(window), whole = ComposedWhole(window);
    size_t differing = 0, first = 0;
    for (size_t i = 0; i < shown.size(); i++) {
        bool same = scribbled && InUntouched(i) ? shown[i] == 0x00FF00FFu : shown[i] == whole[i];
        if (!same && differing++ == 0) first = i;
    }
    EXPECT_EQ(differing, 0u) << "tick " << tick << ": first at (" << first % W << ", " << first / W << "), shown "
                             << std::hex << shown[first] << ", whole " << whole[first];
}

TEST(GdiPresent, ChangedTilesShowWhatAWholeRepaintShowsTickAfterTick) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = PaintingProcedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"GdiPresentTest";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"present", WS_POPUP, 0, 0, W, H, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
    // Under Wine a window shows only what lies on the screen of the session's
    // desktop, which may have been started without this display.
    int screenWidth = GetSystemMetrics(SM_CXSCREEN), screenHeight = GetSystemMetrics(SM_CYSCREEN);
    if (window == nullptr || screenWidth < W || screenHeight < H) {
        if (window != nullptr) DestroyWindow(window);
        const char *need = std::getenv("LAUNCHER_NEED_WINDOW");
        if (need != nullptr && std::strcmp(need, "1") == 0)
            FAIL() << "no window on a screen of at least " << W << " x " << H << " (screen " << screenWidth << " x "
                   << screenHeight << ")";
        GTEST_SKIP() << "no display to show a " << W << " x " << H << " window on";
    }
    WideString folder = MakeScratchFolder();
    WriteBytes(JoinPath(folder, "bg.bmp"), BackgroundBmp());
    ResetLauncherState(&g_state);
    CopyText(g_state.programDir, ProgramDirUnits, folder.c_str());
    g_state.clientWidth = W, g_state.clientHeight = H;
    CreateFrameResources();
    for (int i = 0; i < ParticleCount; i++)
        g_particles[i] = {float((i * 263 + 40) % W), float((i * 71) % 290 - 14), 0.5f + 0.1f * float(i % 7),
                          0.3f, float((i * 37) % 628), float(7 + i % 12), 0.3f + 0.04f * float(i % 10)};
    g_state.particlesReady = 1;
    g_state.focusField = 1;
    SetRecordedWindowHandle(window);
    ShowWindow(window, SW_SHOWNOACTIVATE);

    for (int tick = 0; tick < 60; tick++) {
        g_state.tick = tick;
        if (tick % 17 != 16) StepParticles();  // and now and then the same frame again
        if (tick == 5) g_state.hoverIndex = 3;      // CHECK FILES
        if (tick == 9) g_state.hoverIndex = 4;      // PATCH FILES
        if (tick == 12) g_state.hoverIndex = 5;     // a side menu row: its highlight alone
        if (tick == 14) g_state.hoverIndex = -1;
        if (tick == 20) CopyText(g_state.userName, UserNameUnits, WTEXT("Ada"));
        if (tick == 26) g_state.focusField = 2;
        if (tick == 30) SetStatusText(&g_state, WTEXT("Checking files..."));
        if (tick == 34) g_state.progress = 40;
        if (tick == 38) g_state.serverState = 1;
        if (tick == 41) SetStatusText(&g_state, WTEXT("")), g_state.progress = -1;
        if (tick == 48) g_state.userName[0] = 0, g_state.focusField = 0;  // the field draws nothing
        if (tick == 44) {
            // Something drew over a part of the window: until the system asks
            // for that part again, the present leaves it alone.
            HDC screen = GetDC(window);
            HBRUSH brush = CreateSolidBrush(RGB(255, 0, 255));
            FillRect(screen, &Untouched, brush);
            DeleteObject(brush);
            ReleaseDC(window, screen);
            ExpectWholeFrameShown(window, tick, true);
            InvalidateRect(window, &Untouched, FALSE);
        }
        ExpectWholeFrameShown(window, tick);
    }
    SetRecordedWindowHandle(nullptr);
    DestroyWindow(window);
    RemoveTree(folder);
}

}  // namespace

// The GDI present against a whole repaint: a real 1280 x 853 window painted
// by the launcher's painter over the build's bg.bmp, tick after tick, shows
// (read back from its DC) exactly the frame composed whole with no window.
// Windows only; needs a display at least that large: skipped without one,
// failed under LAUNCHER_NEED_WINDOW=1 (set by tests/frame/run.sh's Xvfb run).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "base/state.h"
#include "platform/test_hooks.h"
#include "render/painter.h"
#include "render/particles.h"
#include "window_recording.h"

namespace {

constexpr int W = DesignWidthPx, H = DesignHeightPx;
// Right of the play area and below the particles: nothing is drawn there.
const RECT Untouched = {880, 320, 896, 336};

LRESULT CALLBACK PaintingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) PaintFrame();
    return message == WM_PAINT || message == WM_ERASEBKGND ? 1 : DefWindowProcW(window, message, wParam, lParam);
}

// Paints as the window does, then compares what it shows with the whole
// frame; with scribbled, the untouched square keeps the scribble.
void ExpectWholeFrameShown(HWND window, int tick, bool scribbled = false) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    RedrawWindow(window, nullptr, nullptr, RDW_INTERNALPAINT | RDW_UPDATENOW);
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof info.bmiHeader, W, -H, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    uint32_t *shown = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, reinterpret_cast<void **>(&shown), nullptr, 0);
    HDC memory = CreateCompatibleDC(nullptr), screen = GetDC(window);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, W, H, screen, 0, 0, SRCCOPY);
    GdiFlush();
    std::vector<uint32_t> whole(size_t(W) * H);
    SetRecordedWindowHandle(nullptr);
    PaintFrame();
    EXPECT_TRUE(ReadLastFramePixels(whole.data()));
    SetRecordedWindowHandle(window);
    for (size_t i = 0; i < whole.size(); i++) {
        POINT at = {LONG(i % W), LONG(i / W)};
        uint32_t want = scribbled && PtInRect(&Untouched, at) ? 0xFFFFFFu : whole[i];
        if ((shown[i] & 0xFFFFFFu) == want) continue;
        ADD_FAILURE() << "tick " << tick << " at (" << at.x << ", " << at.y << "): " << std::hex << shown[i] << ", not "
                      << want;
        break;
    }
    SelectObject(memory, old);
    ReleaseDC(window, screen);
    DeleteDC(memory);
    DeleteObject(bitmap);
}

TEST(GdiPresent, ChangedTilesShowWhatAWholeRepaintShowsTickAfterTick) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = PaintingProcedure;
    windowClass.lpszClassName = L"GdiPresentTest";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", WS_POPUP, 0, 0, W, H, nullptr, nullptr, nullptr,
                                  nullptr);
    // Under Wine the window shows only what lies on the session's screen.
    int screenWidth = GetSystemMetrics(SM_CXSCREEN), screenHeight = GetSystemMetrics(SM_CYSCREEN);
    if (window == nullptr || screenWidth < W || screenHeight < H) {
        if (window != nullptr) DestroyWindow(window);
        const char *need = std::getenv("LAUNCHER_NEED_WINDOW");
        ASSERT_FALSE(need && std::string(need) == "1") << "no window, or a screen of " << screenWidth << " x "
                                                        << screenHeight;
        GTEST_SKIP() << "no display for a " << W << " x " << H << " window";
    }
    // The build's own artwork (bg.bmp) lies in the folder above this program's.
    ResetLauncherState(&g_state);
    GetModuleFileNameW(nullptr, g_state.programDir, ProgramDirUnits);
    for (int cut = 0; cut < 2; cut++) *wcsrchr(g_state.programDir, L'\\') = 0;
    g_state.clientWidth = W, g_state.clientHeight = H;
    CreateFrameResources();
    for (int i = 0; i < ParticleCount; i++)
        g_particles[i] = {float((i * 263 + 40) % W), float((i * 71) % 290 - 14), 0.5f + 0.1f * float(i % 7),
                          0.3f, float((i * 37) % 628), float(7 + i % 12), 0.3f + 0.04f * float(i % 10)};
    g_state.particlesReady = 1, g_state.focusField = 1;
    SetRecordedWindowHandle(window);
    ShowWindow(window, SW_SHOWNOACTIVATE);
    for (int tick = 0; tick < 60; tick++) {
        g_state.tick = tick;
        if (tick % 17 != 16) StepParticles();  // and now and then the same frame again
        if (tick == 5 || tick == 9 || tick == 12 || tick == 14)
            g_state.hoverIndex = tick == 5 ? 3 : tick == 9 ? 4 : tick == 12 ? 5 : -1;  // the two buttons, a menu row
        if (tick == 20) CopyText(g_state.userName, UserNameUnits, WTEXT("Ada"));
        if (tick == 26) g_state.focusField = 2;
        if (tick == 30) SetStatusText(&g_state, WTEXT("Checking files...")), g_state.progress = 40;
        if (tick == 38) g_state.serverState = 1;
        if (tick == 41) SetStatusText(&g_state, WTEXT("")), g_state.progress = -1;
        if (tick == 48) g_state.userName[0] = 0, g_state.focusField = 0;  // the field draws nothing
        if (tick == 44) {  // drawn over from outside: left alone until the system asks for it
            HDC screen = GetDC(window);
            FillRect(screen, &Untouched, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));  // DC brush: white by default
            ReleaseDC(window, screen);
            ExpectWholeFrameShown(window, tick, true);
            InvalidateRect(window, &Untouched, FALSE);
        }
        ExpectWholeFrameShown(window, tick);
    }
    SetRecordedWindowHandle(nullptr);
    DestroyWindow(window);
}

}  // namespace

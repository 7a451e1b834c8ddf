// The hotspot table, the hit test and the window size and position rules.
// Platform-neutral. The table is the whole geometry of the clickable parts;
// their artwork lives in the background picture, not here.
#include "render/layout.h"

#include <algorithm>

const Hotspot HotspotTable[HotspotCount] = {
    {434, 439, 840, 477, UserField},
    {434, 489, 840, 527, PasswordField},
    {434, 569, 840, 640, PlayArea},
    {434, 650, 634, 686, CheckFilesButton},
    {642, 650, 840, 686, PatchFilesButton},
    // Side menu rows are 38, 39, 39, 40 and 39 units high.
    {952, 439, 1266, 477, MenuWebsite},
    {952, 489, 1266, 528, MenuCommunity},
    {952, 540, 1266, 579, MenuSupport},
    {952, 591, 1266, 631, MenuPatch},
    {952, 643, 1266, 682, MenuExit},
    // Top-left icons, in the order fourth, second, first, third from the left.
    {172, 20, 216, 50, IconVideo},
    {70, 20, 112, 50, IconWebsiteB},
    {22, 20, 60, 50, IconWebsiteA},
    {120, 20, 162, 50, IconCommunity},
    {1214, 18, 1250, 52, WindowMinimize},
    {1252, 18, 1280, 52, WindowClose},
    {340, 706, 478, 790, Tab0},
    {500, 706, 670, 790, Tab1},
    {686, 706, 815, 790, Tab2},
    {838, 706, 978, 790, Tab3},
};

int32_t HitTestHotspot(int32_t x, int32_t y) {
    // Mouse positions are 16-bit, so the products stay far inside 32 bits.
    int32_t dx = g_state.clientWidth > 0 ? x * DesignWidth / g_state.clientWidth : x;
    int32_t dy = g_state.clientHeight > 0 ? y * DesignHeight / g_state.clientHeight : y;
    for (int32_t i = 0; i < HotspotCount; i++) {
        const Hotspot &h = HotspotTable[i];
        if (dx >= h.left && dx < h.right && dy >= h.top && dy < h.bottom) return i;
    }
    return -1;
}

void ClientSizeForScreen(int screenWidth, int screenHeight, int *clientWidth, int *clientHeight) {
    double scale = std::min(screenWidth * 0.96 / DesignWidth, screenHeight * 0.9 / DesignHeight);
    if (scale > 1) {
        *clientWidth = DesignWidth;
        *clientHeight = DesignHeight;
        return;
    }
    // Rounded by adding a half and truncating.
    *clientWidth = int(scale * DesignWidth + 0.5);
    *clientHeight = int(scale * DesignHeight + 0.5);
}

void WindowPositionForScreen(int screenWidth, int screenHeight, int outerWidth, int outerHeight, int *x, int *y) {
    *x = (screenWidth - outerWidth) / 2;
    *y = (screenHeight - outerHeight) / 2;
    // The caption must stay reachable; the sides may hang off the screen.
    if (*y < 0) *y = 0;
}

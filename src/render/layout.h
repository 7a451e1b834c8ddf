// Design space and hotspots: the fixed 1280 x 853 layout every frame is
// drawn in, the 20 clickable rectangles on it, the hit test that maps a
// client-area point back to one of them, and the window size and position
// rules. Platform-neutral; reads clientWidth/clientHeight of g_state only.
#pragma once
#include <cstdint>

#include "base/state.h"

constexpr int DesignWidth = DesignWidthPx;    // px of the frame, one per design unit
constexpr int DesignHeight = DesignHeightPx;  // px

// Kind of a hotspot; in the table every entry's kind equals its index.
// Kinds below PlayArea are the entry fields (I-beam cursor), all others
// take the hand cursor.
enum HotspotKind {
    UserField = 0,
    PasswordField = 1,
    PlayArea = 2,
    CheckFilesButton = 3,
    PatchFilesButton = 4,
    MenuWebsite = 5,
    MenuCommunity = 6,
    MenuSupport = 7,
    MenuPatch = 8,
    MenuExit = 9,
    IconVideo = 10,
    IconWebsiteB = 11,
    IconWebsiteA = 12,
    IconCommunity = 13,
    WindowMinimize = 14,
    WindowClose = 15,
    Tab0 = 16,
    Tab1 = 17,
    Tab2 = 18,
    Tab3 = 19,
};

// A rectangle in design units: left/top inside, right/bottom outside.
struct Hotspot {
    int32_t left;    // design units, inside
    int32_t top;     // design units, inside
    int32_t right;   // design units, outside
    int32_t bottom;  // design units, outside
    int32_t kind;    // a HotspotKind
};

constexpr int HotspotCount = 20;
extern const Hotspot HotspotTable[HotspotCount];

// Index (0-19) of the hotspot under the client-area point (x, y), or -1.
// Each axis is scaled on its own: x' = x * 1280 / clientWidth and
// y' = y * 853 / clientHeight (truncating); an axis whose stored size is not
// positive is used unscaled.
int32_t HitTestHotspot(int32_t x, int32_t y);

// Client size for a screen of screenWidth x screenHeight px: the design
// size scaled down to fit 96 % of the width and 90 % of the height, never
// scaled up.
void ClientSizeForScreen(int screenWidth, int screenHeight, int *clientWidth, int *clientHeight);

// Top-left corner of an outer window of outerWidth x outerHeight px centred
// on the screen. A window taller than the screen is put at y 0; one wider
// than the screen keeps its negative x, so its middle stays centred.
void WindowPositionForScreen(int screenWidth, int screenHeight, int outerWidth, int outerHeight, int *x, int *y);

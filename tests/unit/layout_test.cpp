// Hotspot geometry and hit test, and the window size and position rules
// for a range of screens.
#include <gtest/gtest.h>

#include "base/state.h"
#include "render/layout.h"

static void SetClientSize(int width, int height) {
    g_state.clientWidth = width;
    g_state.clientHeight = height;
}

TEST(Layout, HitTestKeepsLeftTopEdgesAndScalesEachAxisOnItsOwn) {
    SetClientSize(1280, 853);
    EXPECT_EQ(HitTestHotspot(434, 439), 0);
    EXPECT_EQ(HitTestHotspot(839, 476), 0);
    EXPECT_EQ(HitTestHotspot(840, 477), -1);  // right and bottom edges are outside
    EXPECT_EQ(HitTestHotspot(1279, 30), 15);  // close button reaches the right edge
    EXPECT_EQ(HitTestHotspot(637, 660), -1);  // gap between the action buttons
    EXPECT_EQ(HitTestHotspot(600, 720), 17);  // tab row under the progress bar
    EXPECT_EQ(HitTestHotspot(490, 720), -1);  // between two tabs

    SetClientSize(1037, 691);
    EXPECT_EQ(HitTestHotspot(500, 400), 1);  // (617, 493): the masked field
    EXPECT_EQ(HitTestHotspot(1036, 690), -1);
    SetClientSize(640, 853);  // only x doubles
    EXPECT_EQ(HitTestHotspot(217, 439), 0);
    EXPECT_EQ(HitTestHotspot(216, 439), -1);
    EXPECT_EQ(HitTestHotspot(420, 476), -1);
    SetClientSize(1280, 426);  // only y scales: 220 -> 440, 219 -> 438
    EXPECT_EQ(HitTestHotspot(434, 220), 0);
    EXPECT_EQ(HitTestHotspot(434, 219), -1);

    // A size that is not positive leaves that axis unscaled.
    SetClientSize(0, 691);
    EXPECT_EQ(HitTestHotspot(1279, 25), 15);  // y 25 -> 30
    SetClientSize(1037, -5);
    EXPECT_EQ(HitTestHotspot(1036, 30), 15);
    SetClientSize(1280, 853);
}

// Every entry's kind is its index, each rectangle lies in the design space,
// none overlaps another, and its corners hit it.
TEST(Layout, HotspotTableIsDisjointAndEveryEntryHitsItself) {
    SetClientSize(1280, 853);
    for (int i = 0; i < HotspotCount; i++) {
        const Hotspot &a = HotspotTable[i];
        EXPECT_EQ(a.kind, i);
        EXPECT_TRUE(a.left >= 0 && a.left < a.right && a.right <= DesignWidth) << i;
        EXPECT_TRUE(a.top >= 0 && a.top < a.bottom && a.bottom <= DesignHeight) << i;
        for (int j = i + 1; j < HotspotCount; j++) {
            const Hotspot &b = HotspotTable[j];
            bool apart = a.right <= b.left || b.right <= a.left || a.bottom <= b.top || b.bottom <= a.top;
            EXPECT_TRUE(apart) << "entries " << i << " and " << j;
        }
        EXPECT_EQ(HitTestHotspot(a.left, a.top), i);
        EXPECT_EQ(HitTestHotspot(a.right - 1, a.bottom - 1), i);
    }
}

TEST(Layout, WindowShrinksToFitTheScreenNeverGrowsAndIsCentred) {
    const struct { int screenWidth, screenHeight, width, height; } cases[] = {
        {1920, 1080, 1280, 853},  // would grow: kept at the design size
        {1366, 768, 1037, 691},   // height decides
        {1280, 720, 972, 648},
        {1024, 768, 983, 655},    // width decides
        {2560, 948, 1280, 853},   // s just above 1
    };
    for (const auto &c : cases) {
        int width = 0, height = 0;
        ClientSizeForScreen(c.screenWidth, c.screenHeight, &width, &height);
        EXPECT_EQ(width, c.width) << c.screenWidth << "x" << c.screenHeight;
        EXPECT_EQ(height, c.height) << c.screenWidth << "x" << c.screenHeight;
    }

    int x = 0, y = 0;
    WindowPositionForScreen(1921, 1080, 1286, 882, &x, &y);
    EXPECT_EQ(x, 317);  // 635 / 2, truncated
    EXPECT_EQ(y, 99);
    WindowPositionForScreen(1024, 600, 1000, 700, &x, &y);
    EXPECT_EQ(y, 0);  // taller than the screen: top edge at 0
    WindowPositionForScreen(801, 600, 1000, 500, &x, &y);
    EXPECT_EQ(x, -99);  // wider: negative, truncated toward zero
}

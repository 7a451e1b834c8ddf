// Software canvas: the pixel rules the painter relies on, read back from the
// frame and the presented pixels. Known pixels of fills, gradients, shapes,
// lines, clip and blends; the box-filtered present; text layout against its
// own measure (DejaVu Sans through fontconfig); BMP files written here.
// Linux only (the Windows canvas is GDI).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/canvas.h"
#include "render/canvas_soft.h"
#include "test_files.h"

// fontconfig 2.14 loses a few bytes while parsing its configuration files;
// LeakSanitizer (when built with it) is told to ignore that library's leaks.
extern "C" const char *__lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

constexpr int W = 1280, H = 853;

uint32_t Pixel(int x, int y) { return FramePixels()[y * W + x]; }
uint32_t Value(int r, int g, int b) { return uint32_t(r) << 16 | uint32_t(g) << 8 | uint32_t(b); }
uint32_t Value(Rgb c) { return Value(c.r, c.g, c.b); }

std::vector<uint32_t> Snapshot() { return std::vector<uint32_t>(FramePixels(), FramePixels() + W * H); }

// Bounding box of the pixels that differ from background inside (l, t)-(r, b).
struct Ink {
    int left = 1 << 30, top = 1 << 30, right = -1, bottom = -1;  // right/bottom excluded
    bool any() const { return right >= 0; }
};
Ink FindInk(uint32_t background, int l, int t, int r, int b) {
    Ink ink;
    for (int y = t; y < b; y++)
        for (int x = l; x < r; x++)
            if (Pixel(x, y) != background) {
                ink.left = std::min(ink.left, x);
                ink.right = std::max(ink.right, x + 1);
                ink.top = std::min(ink.top, y);
                ink.bottom = std::max(ink.bottom, y + 1);
            }
    return ink;
}

const Rgb Black = {0, 0, 0};
const Rgb Navy = {6, 8, 20};

TEST(CanvasSoft, FillsAndGradientsKeepToTheirEdges) {
    Canvas *canvas = BeginFrame();
    EXPECT_EQ(Pixel(640, 400), 0u) << "a new frame starts black";

    FillRect(canvas, 10, 20, 30, 25, {200, 100, 50});
    EXPECT_EQ(Pixel(10, 20), Value(200, 100, 50));
    EXPECT_EQ(Pixel(29, 24), Value(200, 100, 50));
    EXPECT_EQ(Pixel(30, 22), 0u) << "right edge excluded";
    EXPECT_EQ(Pixel(15, 25), 0u) << "bottom edge excluded";
    EXPECT_EQ(Pixel(9, 22), 0u);
    FillRect(canvas, 50, 50, 50, 60, {1, 2, 3});  // empty
    FillRect(canvas, 60, 60, 55, 70, {1, 2, 3});  // inverted
    EXPECT_EQ(Pixel(50, 55), 0u);
    EXPECT_EQ(Pixel(57, 65), 0u);
    FillRect(canvas, -100, 840, 5000, 5000, {9, 9, 9});  // reaches past the frame
    EXPECT_EQ(Pixel(0, 852), Value(9, 9, 9));
    EXPECT_EQ(Pixel(1279, 840), Value(9, 9, 9));

    // The normal action button: 36 rows from (18, 28, 56) to (6, 12, 30).
    // The far edge is outside the rectangle, so the last row is one 16-bit
    // step short of it: red 1536 + 3072/36 = 1621 -> 6.
    FillGradientVertical(canvas, 434, 650, 634, 686, {18, 28, 56}, {6, 12, 30});
    EXPECT_EQ(Pixel(434, 650), Value(18, 28, 56));
    EXPECT_EQ(Pixel(633, 650), Value(18, 28, 56));
    EXPECT_EQ(Pixel(500, 668), Value(12, 20, 43)) << "half way: (4608+1536)/2 = 3072 -> 12, ...";
    EXPECT_EQ(Pixel(500, 685), Value(6, 12, 30));
    EXPECT_EQ(Pixel(500, 686), 0u);
    EXPECT_EQ(Pixel(634, 660), 0u);
    // Hovered: blue from 80 ends at (20480 + 35*7680)/36 = 8035 -> 31, not 30.
    FillGradientVertical(canvas, 642, 650, 840, 686, {28, 42, 80}, {6, 12, 30});
    EXPECT_EQ(Pixel(700, 650), Value(28, 42, 80));
    EXPECT_EQ(Pixel(700, 685), Value(6, 12, 31));

    // Progress at 1 %: five columns from (42, 138, 208) towards
    // (143, 240, 255); column 4 is (1*42 + 4*143)/5 in 16 bits: 31436 -> 122.
    FillGradientHorizontal(canvas, 356, 716, 361, 726, {42, 138, 208}, {143, 240, 255});
    EXPECT_EQ(Pixel(356, 716), Value(42, 138, 208));
    EXPECT_EQ(Pixel(360, 725), Value(122, 219, 245));
    EXPECT_EQ(Pixel(361, 720), 0u);
    EXPECT_EQ(Pixel(358, 726), 0u);

    // A gradient starting above the frame still runs from its own edge:
    // row 0 is position 10 of 20 between 0 and 200 -> 100.
    FillGradientVertical(canvas, 700, -10, 710, 10, {0, 0, 0}, {200, 200, 200});
    EXPECT_EQ(Pixel(705, 0), Value(100, 100, 100));
    FillGradientHorizontal(canvas, -10, 300, 10, 301, {0, 0, 0}, {200, 200, 200});
    EXPECT_EQ(Pixel(0, 300), Value(100, 100, 100));
    EXPECT_EQ(Pixel(9, 300), Value(190, 190, 190));
    EndFrame(canvas, W, H);
}

TEST(CanvasSoft, ShapesLinesAndClipRegions) {
    Canvas *canvas = BeginFrame();
    const Rgb dot = {26, 203, 107};
    FillEllipse(canvas, 46, 495, 59, 508, dot);
    EXPECT_EQ(Pixel(52, 501), Value(dot)) << "centre";
    EXPECT_EQ(Pixel(46, 501), Value(dot)) << "left end of the middle row";
    EXPECT_EQ(Pixel(58, 501), Value(dot)) << "right end of the middle row";
    EXPECT_EQ(Pixel(52, 495), Value(dot));
    EXPECT_EQ(Pixel(52, 507), Value(dot));
    for (int corner = 0; corner < 4; corner++) {
        int x = corner & 1 ? 58 : 46, y = corner & 2 ? 507 : 495;
        EXPECT_EQ(Pixel(x, y), 0u) << "corner " << x << "," << y;
    }
    Ink ink = FindInk(0, 40, 490, 70, 515);
    EXPECT_EQ(ink.left, 46);
    EXPECT_EQ(ink.right, 59);
    EXPECT_EQ(ink.top, 495);
    EXPECT_EQ(ink.bottom, 508);
    for (int y = 495; y < 508; y++)
        for (int x = 46; x < 59; x++) {
            EXPECT_EQ(Pixel(x, y), Pixel(104 - x, y)) << "mirrored left-right at " << x << "," << y;
            EXPECT_EQ(Pixel(x, y), Pixel(x, 1002 - y)) << "mirrored top-bottom at " << x << "," << y;
        }

    // Progress track: 1-pixel outline inside the rectangle, filled inside.
    const Rgb outline = {42, 56, 96}, inside = {6, 10, 24};
    DrawRoundRect(canvas, 356, 716, 918, 726, 5, 5, outline, 1, &inside);
    EXPECT_EQ(Pixel(356, 721), Value(outline));
    EXPECT_EQ(Pixel(917, 721), Value(outline));
    EXPECT_EQ(Pixel(600, 716), Value(outline));
    EXPECT_EQ(Pixel(600, 725), Value(outline));
    EXPECT_EQ(Pixel(357, 721), Value(inside));
    EXPECT_EQ(Pixel(600, 717), Value(inside));
    EXPECT_EQ(Pixel(600, 724), Value(inside));
    EXPECT_EQ(Pixel(918, 721), 0u);
    EXPECT_EQ(Pixel(600, 726), 0u);
    EXPECT_EQ(Pixel(356, 716), 0u) << "rounded corner";
    EXPECT_EQ(Pixel(917, 725), 0u) << "rounded corner";
    // Hollow: the button outline leaves what is inside alone.
    FillRect(canvas, 434, 650, 634, 686, Navy);
    DrawRoundRect(canvas, 434, 650, 634, 686, 8, 8, {138, 109, 42}, 1, nullptr);
    EXPECT_EQ(Pixel(434, 668), Value(138, 109, 42));
    EXPECT_EQ(Pixel(633, 668), Value(138, 109, 42));
    EXPECT_EQ(Pixel(534, 685), Value(138, 109, 42));
    EXPECT_EQ(Pixel(435, 668), Value(Navy));
    EXPECT_EQ(Pixel(534, 651), Value(Navy));
    EXPECT_EQ(Pixel(434, 650), Value(Navy)) << "the corner outside the outline keeps its colour";
    for (int y = 652; y < 684; y++) {
        EXPECT_EQ(Pixel(434, y), Value(138, 109, 42)) << y;
        EXPECT_EQ(Pixel(633, y), Value(138, 109, 42)) << y;
    }
    // Round corners: the outline stays closed where the curve steps by
    // several pixels a row, so no fill pixel touches the outside.
    const Rgb pen = {255, 0, 0}, fill = {0, 0, 255};
    DrawRoundRect(canvas, 200, 300, 260, 340, 30, 30, pen, 1, &fill);
    int filled = 0;
    for (int y = 300; y < 340; y++)
        for (int x = 200; x < 260; x++) {
            if (Pixel(x, y) != Value(fill)) continue;
            filled++;
            const int next[4][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
            for (const auto &n : next) EXPECT_NE(Pixel(x + n[0], y + n[1]), 0u) << x << "," << y;
        }
    EXPECT_GT(filled, 58 * 38 - 4 * 15 * 15);

    // Tab underline (2 pixels, second row above) and caret (second column
    // left); neither covers its end point.
    const Rgb gold = {242, 208, 138};
    DrawLine(canvas, 350, 786, 468, 786, 2, gold);
    EXPECT_EQ(Pixel(350, 786), Value(gold));
    EXPECT_EQ(Pixel(350, 785), Value(gold));
    EXPECT_EQ(Pixel(467, 786), Value(gold));
    EXPECT_EQ(Pixel(467, 785), Value(gold));
    EXPECT_EQ(Pixel(468, 786), 0u);
    EXPECT_EQ(Pixel(349, 786), 0u);
    EXPECT_EQ(Pixel(400, 787), 0u);
    EXPECT_EQ(Pixel(400, 784), 0u);
    DrawLine(canvas, 478, 447, 478, 469, 2, {143, 230, 255});
    EXPECT_EQ(Pixel(478, 447), Value(143, 230, 255));
    EXPECT_EQ(Pixel(477, 447), Value(143, 230, 255));
    EXPECT_EQ(Pixel(478, 468), Value(143, 230, 255));
    EXPECT_EQ(Pixel(478, 469), 0u);
    EXPECT_EQ(Pixel(479, 455), 0u);
    EXPECT_EQ(Pixel(476, 455), 0u);
    EXPECT_EQ(FindInk(0, 470, 440, 490, 475).bottom, 469);
    // Diagonals, both directions: one pixel per step, end point excluded.
    DrawLine(canvas, 10, 10, 15, 15, 1, gold);
    DrawLine(canvas, 40, 15, 35, 10, 1, gold);
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(Pixel(10 + i, 10 + i), Value(gold)) << i;
        EXPECT_EQ(Pixel(40 - i, 15 - i), Value(gold)) << i;
    }
    EXPECT_EQ(Pixel(15, 15), 0u);
    EXPECT_EQ(Pixel(35, 10), 0u);
    DrawLine(canvas, 100, 100, 100, 100, 2, gold);  // no length, nothing
    EXPECT_EQ(FindInk(0, 95, 95, 105, 105).any(), false);

    // Clip to the progress fill at 50 %: a fill over everything lands only
    // in the rounded rectangle; cleared, it lands everywhere again.
    ClipRoundRect(canvas, 356, 716, 637, 726, 5, 5);
    FillRect(canvas, 0, 0, W, H, {1, 2, 3});
    FillGradientHorizontal(canvas, 0, 0, W, H, {1, 2, 3}, {1, 2, 3});
    EXPECT_EQ(Pixel(500, 720), Value(1, 2, 3));
    EXPECT_EQ(Pixel(356, 721), Value(1, 2, 3));
    EXPECT_EQ(Pixel(636, 721), Value(1, 2, 3));
    EXPECT_EQ(Pixel(637, 721), Value(inside));
    EXPECT_EQ(Pixel(356, 716), 0u);
    EXPECT_EQ(Pixel(636, 725), Value(outline)) << "the clip's corner is cut";
    EXPECT_EQ(Pixel(534, 685), Value(138, 109, 42));
    EXPECT_EQ(Pixel(0, 0), 0u);
    ClearClip(canvas);
    FillRect(canvas, 0, 0, 2, 2, {4, 5, 6});
    EXPECT_EQ(Pixel(0, 0), Value(4, 5, 6));
    // EndFrame drops the clip, so the next frame is not clipped.
    ClipRoundRect(canvas, 0, 0, 1, 1, 0, 0);
    EndFrame(canvas, W, H);
    canvas = BeginFrame();
    FillRect(canvas, 5, 5, 6, 6, {7, 7, 7});
    EXPECT_EQ(Pixel(5, 5), Value(7, 7, 7));
    EndFrame(canvas, W, H);
}

TEST(CanvasSoft, ImagesAreCopiedCroppedAndBlended) {
    // Premultiplied pixels: transparent, the glow centre (a 204), opaque, half.
    const uint32_t sprite[4] = {0x00000000u, 0xCCB0BECCu, 0xFF112233u, 0x80402010u};
    CanvasImage *image = CreateImage(2, 2, sprite);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(CreateImage(0, 2, sprite), nullptr);

    Canvas *canvas = BeginFrame();
    // Nearest pixel, 2 x 2 stretched over 6 x 4: quadrants of 3 x 2.
    FillRect(canvas, 0, 0, 100, 100, {10, 20, 30});
    BlendImage(canvas, image, 10, 10, 6, 4, 0, 0, 2, 2, 255, true);
    EXPECT_EQ(Pixel(10, 10), Value(10, 20, 30)) << "transparent leaves the destination";
    EXPECT_EQ(Pixel(12, 11), Value(10, 20, 30));
    EXPECT_EQ(Pixel(13, 10), Value(176 + 10 * 51 / 255, 190 + 20 * 51 / 255, 204 + 30 * 51 / 255));
    EXPECT_EQ(Pixel(10, 12), Value(0x11, 0x22, 0x33)) << "opaque replaces";
    EXPECT_EQ(Pixel(15, 13), Value(0x40 + 10 * 127 / 255, 0x20 + 20 * 127 / 255, 0x10 + 30 * 127 / 255));
    EXPECT_EQ(Pixel(16, 12), Value(10, 20, 30));
    EXPECT_EQ(Pixel(12, 14), Value(10, 20, 30));

    // Scaled down, a sprite symmetric about its centre lines stays so
    // (each destination pixel samples the source pixel under its centre).
    uint32_t glow[20 * 20];
    for (int r = 0; r < 20; r++)
        for (int c = 0; c < 20; c++) {
            int d2 = (2 * c - 19) * (2 * c - 19) + (2 * r - 19) * (2 * r - 19);
            uint32_t a = d2 < 1600 ? uint32_t(255 - d2 * 255 / 1600) : 0;
            glow[r * 20 + c] = a << 24 | a << 16 | a << 8 | a;
        }
    CanvasImage *glowImage = CreateImage(20, 20, glow);
    ASSERT_NE(glowImage, nullptr);
    for (int size : {7, 12, 18}) {
        FillRect(canvas, 600, 600, 640, 640, Black);
        BlendImage(canvas, glowImage, 610, 610, size, size, 0, 0, 20, 20, 181, true);
        Ink square = FindInk(0, 600, 600, 640, 640);  // the middle row and column reach the edges
        EXPECT_EQ(square.left, 610);
        EXPECT_EQ(square.right, 610 + size);
        EXPECT_EQ(square.top, 610);
        EXPECT_EQ(square.bottom, 610 + size);
        for (int y = 0; y < size; y++)
            for (int x = 0; x < size; x++) {
                EXPECT_EQ(Pixel(610 + x, 610 + y), Pixel(610 + size - 1 - x, 610 + y)) << size << ": " << x << "," << y;
                EXPECT_EQ(Pixel(610 + x, 610 + y), Pixel(610 + x, 610 + size - 1 - y)) << size << ": " << x << "," << y;
            }
    }

    // The glow centre at pulse alpha 127 over (10, 20, 30):
    // s*127/255 + d*(255 - 204*127/255)/255 = 87 + 10*154/255, 94 + 12, 101 + 18.
    BlendImage(canvas, image, 30, 30, 1, 1, 1, 0, 1, 1, 127, true);
    EXPECT_EQ(Pixel(30, 30), Value(93, 106, 119));
    // A source rectangle outside the image draws nothing.
    BlendImage(canvas, image, 40, 40, 5, 5, 1, 1, 2, 2, 255, true);
    EXPECT_EQ(FindInk(Value(10, 20, 30), 35, 35, 50, 50).any(), false);

    // The hover highlight: white with alpha byte 0 at constant alpha 20,
    // (255*20 + d*235)/255 per channel, stretched from 4 x 4.
    uint32_t white[16];
    for (uint32_t &p : white) p = 0x00FFFFFFu;
    CanvasImage *highlight = CreateImage(4, 4, white);
    ASSERT_NE(highlight, nullptr);
    FillRect(canvas, 200, 200, 300, 300, {0, 128, 255});
    BlendImage(canvas, highlight, 210, 220, 50, 20, 0, 0, 4, 4, 20, false);
    const uint32_t lit = Value((5100 + 0 * 235) / 255, (5100 + 128 * 235) / 255, (5100 + 255 * 235) / 255);
    EXPECT_EQ(lit, Value(20, 137, 255));
    Ink ink = FindInk(Value(0, 128, 255), 200, 200, 300, 300);
    EXPECT_EQ(ink.left, 210);
    EXPECT_EQ(ink.top, 220);
    EXPECT_EQ(ink.right, 260);
    EXPECT_EQ(ink.bottom, 240);
    for (int y = 220; y < 240; y++)
        for (int x = 210; x < 260; x++) ASSERT_EQ(Pixel(x, y), lit) << x << "," << y;

    // Copy: unscaled, cropped to the image, alpha byte dropped.
    FillRect(canvas, 500, 500, 520, 520, Navy);
    CopyImage(canvas, image, 505, 505, 10, 10);
    EXPECT_EQ(Pixel(505, 505), 0u);
    EXPECT_EQ(Pixel(506, 505), Value(0xB0, 0xBE, 0xCC));
    EXPECT_EQ(Pixel(505, 506), Value(0x11, 0x22, 0x33));
    EXPECT_EQ(Pixel(506, 506), Value(0x40, 0x20, 0x10));
    EXPECT_EQ(Pixel(507, 505), Value(Navy)) << "an image smaller than the area copies only itself";
    EXPECT_EQ(Pixel(505, 507), Value(Navy));
    CopyImage(canvas, image, 510, 510, 1, 2);
    EXPECT_EQ(Pixel(510, 511), Value(0x11, 0x22, 0x33));
    EXPECT_EQ(Pixel(511, 510), Value(Navy)) << "an area smaller than the image crops it";
    CopyImage(canvas, image, -1, -1, 2, 2);  // partly outside the frame
    EXPECT_EQ(Pixel(0, 0), Value(0x40, 0x20, 0x10));
    EndFrame(canvas, W, H);
}

TEST(CanvasSoft, PresentAveragesTheFramePixelsEachClientPixelCovers) {
    Canvas *canvas = BeginFrame();
    const Rgb a = {200, 10, 51}, b = {11, 250, 100};
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) FillRect(canvas, x, y, x + 1, y + 1, (x + y) % 2 ? b : a);
    int width = 0, height = 0;

    EndFrame(canvas, W, H);
    const uint32_t *shown = PresentedPixels(&width, &height);
    ASSERT_EQ(width, W);
    ASSERT_EQ(height, H);
    EXPECT_EQ(std::memcmp(shown, FramePixels(), sizeof(uint32_t) * W * H), 0) << "same size is an exact copy";

    // Half width: each client pixel covers one a and one b; the averages
    // (211/2, 260/2, 151/2) round to nearest.
    EndFrame(canvas, W / 2, H);
    shown = PresentedPixels(&width, &height);
    ASSERT_EQ(width, W / 2);
    for (int i = 0; i < width * height; i++) ASSERT_EQ(shown[i], Value(106, 130, 76)) << i;

    // Twice the size: every client pixel lies inside one frame pixel.
    EndFrame(canvas, 2 * W, 2 * H);
    shown = PresentedPixels(&width, &height);
    ASSERT_EQ(width, 2 * W);
    for (int y = 0; y < H; y += 97)
        for (int x = 0; x < W; x += 13) {
            ASSERT_EQ(shown[(2 * y) * width + 2 * x], Pixel(x, y));
            ASSERT_EQ(shown[(2 * y + 1) * width + 2 * x + 1], Pixel(x, y));
        }

    // Scaled down unevenly, a flat colour stays exactly flat.
    FillRect(canvas, 0, 0, W, H, {37, 201, 99});
    EndFrame(canvas, 1037, 691);
    shown = PresentedPixels(&width, &height);
    ASSERT_EQ(width, 1037);
    ASSERT_EQ(height, 691);
    for (int i = 0; i < width * height; i++) ASSERT_EQ(shown[i], Value(37, 201, 99)) << i;

    // A sharp vertical edge (black left half, white right half) at 1037
    // wide: only the one client column straddling x 640 is a blend, in
    // proportion to what it covers.
    FillRect(canvas, 0, 0, W / 2, H, Black);
    FillRect(canvas, W / 2, 0, W, H, {255, 255, 255});
    EndFrame(canvas, 1037, 691);
    shown = PresentedPixels(&width, &height);
    // Client column 518 covers x 639.38 .. 640.62: 0.617 black, 0.617 white.
    EXPECT_EQ(shown[300 * width + 517], 0u);
    EXPECT_EQ(shown[300 * width + 518], Value(128, 128, 128));
    EXPECT_EQ(shown[300 * width + 519], Value(255, 255, 255));

    // A minimised window presents nothing new.
    EndFrame(canvas, 0, 0);
    EXPECT_EQ(PresentedPixels(&width, &height), shown);
    EXPECT_EQ(width, 1037);
}

CanvasFont *Font(int px, int weight) {
    CanvasFont *font = CreateCanvasFont(px, weight);
    EXPECT_NE(font, nullptr) << px << "px weight " << weight << ": no font (fonts-dejavu-core missing?)";
    return font;
}

TEST(CanvasSoft, TextIsDrawnWhereItIsMeasured) {
    CanvasFont *field = Font(20, 600), *button = Font(17, 700), *status = Font(14, 600), *footer = Font(12, 400);
    ASSERT_TRUE(field && button && status && footer);
    Canvas *canvas = BeginFrame();
    const Rgb ink = {255, 255, 255};

    EXPECT_EQ(MeasureText(canvas, button, WTEXT("")), 0);
    int check = MeasureText(canvas, button, WTEXT("CHECK FILES"));
    EXPECT_GT(check, 60);
    EXPECT_LT(check, 200);
    EXPECT_GT(MeasureText(canvas, button, WTEXT("CHECK FILES")), MeasureText(canvas, footer, WTEXT("CHECK FILES")));

    // Two halves drawn one after the other, the second at the first's
    // measured width, make exactly the same pixels as the whole text.
    DrawTextInBox(canvas, field, WTEXT("1234567890"), 100, 100, 600, 140, ink, TextVCenter);
    std::vector<uint32_t> whole = Snapshot();
    canvas = BeginFrame();
    int half = MeasureText(canvas, field, WTEXT("12345"));
    DrawTextInBox(canvas, field, WTEXT("12345"), 100, 100, 600, 140, ink, TextVCenter);
    DrawTextInBox(canvas, field, WTEXT("67890"), 100 + half, 100, 600, 140, ink, TextVCenter);
    EXPECT_TRUE(Snapshot() == whole);
    // The ink starts at the box's left edge and ends by the measured width.
    Ink drawn = FindInk(0, 0, 90, W, 150);
    int all = MeasureText(canvas, field, WTEXT("1234567890"));
    EXPECT_GE(drawn.left, 100);
    EXPECT_LE(drawn.left, 103);
    EXPECT_LE(drawn.right, 100 + all + 1);
    EXPECT_GE(drawn.right, 100 + all - 4);
    // Vertically centred in 40 rows: digits sit in the middle band.
    EXPECT_GE(drawn.top, 104);
    EXPECT_LE(drawn.bottom, 136);
    EXPECT_LE(std::abs((drawn.top - 100) - (140 - drawn.bottom)), 5);

    // The CHECK FILES label centred both ways in its button.
    canvas = BeginFrame();
    DrawTextInBox(canvas, button, WTEXT("CHECK FILES"), 434, 650, 634, 686, ink, TextCenter | TextVCenter);
    drawn = FindInk(0, 400, 600, 700, 750);
    EXPECT_LE(std::abs((drawn.left - 434) - (634 - drawn.right)), 2);
    EXPECT_LE(std::abs((drawn.top - 650) - (686 - drawn.bottom)), 4);
    std::vector<uint32_t> centred = Snapshot();
    canvas = BeginFrame();
    DrawTextInBox(canvas, button, WTEXT("CHECK FILES"), (434 + 634 - check) / 2, 650, 634, 686, ink, TextVCenter);
    EXPECT_TRUE(Snapshot() == centred) << "centring places the measured width in the middle";

    // Top alignment: the line box's top is the box's top; capitals start
    // a few rows below it (the face's ascent is above their tops).
    canvas = BeginFrame();
    DrawTextInBox(canvas, status, WTEXT("HELLO"), 356, 690, 918, 712, ink, TextCenter);
    drawn = FindInk(0, 300, 680, 1000, 720);
    EXPECT_GE(drawn.top, 690);
    EXPECT_LE(drawn.top, 694);

    // Ellipsis: a status wider than the 562-pixel line is cut so that text
    // and "..." fit, and nothing is drawn outside the box.
    const WideChar *longText =
        WTEXT("Checking data/maps/a_very_long_folder_name/and_an_even_longer_file_name_for_the_test.pak (1234/5678) "
              "while the patch server answers slowly");
    ASSERT_GT(MeasureText(canvas, status, longText), 562);
    canvas = BeginFrame();
    DrawTextInBox(canvas, status, longText, 356, 690, 918, 712, ink, TextCenter | TextEndEllipsis);
    drawn = FindInk(0, 0, 600, W, 800);
    EXPECT_GE(drawn.left, 356);
    EXPECT_LE(drawn.right, 918);
    EXPECT_GE(drawn.right, 918 - 20) << "the cut text fills the line";
    std::vector<uint32_t> cut = Snapshot();
    // It is the longest start of the text that fits with "...".
    std::basic_string<WideChar> text(longText), kept;
    for (size_t n = text.size(); n > 0; n--) {
        std::basic_string<WideChar> candidate = text.substr(0, n) + WTEXT("...");
        if (MeasureText(canvas, status, candidate.c_str()) <= 562) {
            kept = candidate;
            break;
        }
    }
    ASSERT_FALSE(kept.empty());
    canvas = BeginFrame();
    DrawTextInBox(canvas, status, kept.c_str(), 356, 690, 918, 712, ink, TextCenter);
    EXPECT_TRUE(Snapshot() == cut);
    // Exactly as wide as the box: not cut.
    canvas = BeginFrame();
    DrawTextInBox(canvas, button, WTEXT("CHECK FILES"), 434, 650, 434 + check, 686, ink, TextEndEllipsis);
    std::vector<uint32_t> fits = Snapshot();
    canvas = BeginFrame();
    DrawTextInBox(canvas, button, WTEXT("CHECK FILES"), 434, 650, 434 + check, 686, ink, TextLeft);
    EXPECT_TRUE(Snapshot() == fits);

    // Clipped to its box on every side, without an ellipsis.
    canvas = BeginFrame();
    DrawTextInBox(canvas, field, WTEXT("WWWWWWWWWWWWWWWWWWWW"), 500, 300, 560, 310, ink, TextVCenter);
    drawn = FindInk(0, 400, 250, 700, 350);
    ASSERT_TRUE(drawn.any());
    EXPECT_GE(drawn.left, 500);
    EXPECT_LE(drawn.right, 560);
    EXPECT_GE(drawn.top, 300);
    EXPECT_LE(drawn.bottom, 310);

    // Glyph coverage blends towards the text colour: over (6, 8, 20) in
    // (242, 208, 138) every pixel lies between the two, and some are fully
    // the text colour.
    canvas = BeginFrame();
    FillRect(canvas, 0, 0, 300, 100, Navy);
    DrawTextInBox(canvas, field, WTEXT("Zenthara"), 10, 10, 290, 90, {242, 208, 138}, 0);
    bool solid = false;
    for (int y = 0; y < 100; y++)
        for (int x = 0; x < 300; x++) {
            uint32_t p = Pixel(x, y);
            int r = p >> 16, g = p >> 8 & 255, bl = p & 255;
            ASSERT_TRUE(r >= 6 && r <= 242 && g >= 8 && g <= 208 && bl >= 20 && bl <= 138) << x << "," << y;
            solid = solid || p == Value(242, 208, 138);
        }
    EXPECT_TRUE(solid);

    // Kerning pairs are applied ("To" is tighter than its letters apart).
    EXPECT_LT(MeasureText(canvas, field, WTEXT("To")),
              MeasureText(canvas, field, WTEXT("T")) + MeasureText(canvas, field, WTEXT("o")));

    // UTF-16: a surrogate pair is one character (here one the face lacks,
    // like the unassigned U+0378), a lone surrogate is U+FFFD, and a null
    // font still draws (the default font).
    int missing = MeasureText(canvas, field, WTEXT("\u0378"));
    EXPECT_GT(missing, 0);
    EXPECT_EQ(MeasureText(canvas, field, WTEXT("\U000F0000")), missing);
    EXPECT_EQ(MeasureText(canvas, field, WTEXT("\U000F0000\U000F0000")), 2 * missing);
    int replacement = MeasureText(canvas, field, WTEXT("\uFFFD"));
    EXPECT_NE(replacement, missing);
    const WideChar loneHigh[] = {0xD800, 'A', 0}, loneLow[] = {0xDC00, 0}, replacedA[] = {0xFFFD, 'A', 0};
    EXPECT_EQ(MeasureText(canvas, field, loneHigh), MeasureText(canvas, field, replacedA));
    EXPECT_EQ(MeasureText(canvas, field, loneLow), replacement);
    EXPECT_GT(MeasureText(canvas, nullptr, WTEXT("default")), 0);
    canvas = BeginFrame();
    DrawTextInBox(canvas, nullptr, WTEXT("default"), 10, 10, 200, 40, ink, 0);
    EXPECT_TRUE(FindInk(0, 0, 0, 220, 60).any());
    EndFrame(canvas, W, H);
}

// A minimal BMP: BITMAPFILEHEADER + BITMAPINFOHEADER, BI_RGB, rows padded
// to 4 bytes. rows[i] lists the pixels of stored row i (0x00RRGGBB, or with
// alpha for 32 bits).
std::string Bmp(int width, int height, int bits, const std::vector<std::vector<uint32_t>> &rows) {
    auto put = [](std::string &s, uint32_t v, int bytes) {
        for (int i = 0; i < bytes; i++) s.push_back(char(v >> (8 * i) & 0xFF));
    };
    int stride = (width * (bits / 8) + 3) & ~3;
    int absHeight = height < 0 ? -height : height;
    std::string s;
    s += "BM";
    put(s, 54 + stride * absHeight, 4);
    put(s, 0, 4);
    put(s, 54, 4);
    put(s, 40, 4);
    put(s, uint32_t(width), 4);
    put(s, uint32_t(height), 4);
    put(s, 1, 2);
    put(s, uint32_t(bits), 2);
    put(s, 0, 4);  // BI_RGB
    put(s, uint32_t(stride * absHeight), 4);
    put(s, 2835, 4);
    put(s, 2835, 4);
    put(s, 0, 4);
    put(s, 0, 4);
    for (const std::vector<uint32_t> &row : rows) {
        size_t start = s.size();
        for (uint32_t p : row) put(s, p, bits / 8);
        while (s.size() - start < size_t(stride)) s.push_back(0);
    }
    return s;
}

TEST(CanvasSoft, BmpFilesLoadBothRowOrdersAndBadFilesAreRefused) {
    WideString folder = MakeScratchFolder();
    // 24 bits, bottom-up (positive height): the first stored row is the
    // bottom one. Width 3 makes rows of 9 bytes padded to 12.
    WideString bottomUp = JoinPath(folder, "bg-\xC3\xA9t\xC3\xA9.bmp");  // a non-ASCII name
    WriteBytes(bottomUp, Bmp(3, 2, 24, {{0x010203, 0x040506, 0x070809}, {0xFF0000, 0x00FF00, 0x0000FF}}));
    // 32 bits, top-down (negative height), with alpha bytes.
    WideString topDown = JoinPath(folder, "top.bmp");
    WriteBytes(topDown, Bmp(2, -2, 32, {{0x80102030, 0xFFA0B0C0}, {0x00445566, 0x12778899}}));

    CanvasImage *first = LoadImageFile(bottomUp.c_str());
    CanvasImage *second = LoadImageFile(topDown.c_str());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    Canvas *canvas = BeginFrame();
    FillRect(canvas, 0, 0, 20, 20, Navy);
    CopyImage(canvas, first, 0, 0, 1280, 853);
    CopyImage(canvas, second, 10, 10, 1280, 853);
    EXPECT_EQ(Pixel(0, 0), Value(255, 0, 0));
    EXPECT_EQ(Pixel(1, 0), Value(0, 255, 0));
    EXPECT_EQ(Pixel(2, 0), Value(0, 0, 255));
    EXPECT_EQ(Pixel(0, 1), Value(1, 2, 3));
    EXPECT_EQ(Pixel(2, 1), Value(7, 8, 9));
    EXPECT_EQ(Pixel(3, 0), Value(Navy));
    EXPECT_EQ(Pixel(0, 2), Value(Navy));
    EXPECT_EQ(Pixel(10, 10), Value(0x10, 0x20, 0x30));
    EXPECT_EQ(Pixel(11, 10), Value(0xA0, 0xB0, 0xC0));
    EXPECT_EQ(Pixel(10, 11), Value(0x44, 0x55, 0x66));
    EXPECT_EQ(Pixel(11, 11), Value(0x77, 0x88, 0x99));
    EXPECT_EQ(Pixel(12, 10), Value(Navy));
    EndFrame(canvas, W, H);

    std::string whole = Bmp(3, 2, 24, {{1, 2, 3}, {4, 5, 6}});
    WideString truncated = JoinPath(folder, "truncated.bmp");
    WriteBytes(truncated, whole.substr(0, whole.size() - 8));
    WideString garbage = JoinPath(folder, "garbage.bmp");
    WriteBytes(garbage, "BM this is not a picture at all, just text that starts like one");
    WideString empty = JoinPath(folder, "empty.bmp");
    WriteBytes(empty, "");
    EXPECT_EQ(LoadImageFile(truncated.c_str()), nullptr);
    EXPECT_EQ(LoadImageFile(garbage.c_str()), nullptr);
    EXPECT_EQ(LoadImageFile(empty.c_str()), nullptr);
    EXPECT_EQ(LoadImageFile(JoinPath(folder, "missing.bmp").c_str()), nullptr);
    RemoveTree(folder);
}

}  // namespace

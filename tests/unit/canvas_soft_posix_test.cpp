// Software canvas: the pixel rules the painter relies on, read back from the
// frame and the presented pixels. Known pixels of fills, gradients, shapes,
// lines, clip and blends; the box-filtered present; text layout against its
// own measure (DejaVu Sans through fontconfig); BMP files written here.
// Linux only (the Windows canvas is GDI).
#include <gtest/gtest.h>

#include <algorithm>
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

struct Known {
    int x, y;
    uint32_t value;
};
void ExpectPixels(std::initializer_list<Known> known) {
    for (const Known &k : known) EXPECT_EQ(Pixel(k.x, k.y), k.value) << "at " << k.x << "," << k.y;
}

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
                ink = {std::min(ink.left, x), std::min(ink.top, y), std::max(ink.right, x + 1), y + 1};
            }
    return ink;
}

const Rgb Navy = {6, 8, 20}, Gold = {242, 208, 138}, TrackPen = {42, 56, 96}, TrackFill = {6, 10, 24};

TEST(CanvasSoft, FillsAndGradientsKeepToTheirEdges) {
    Canvas *canvas = BeginFrame();
    FillRect(canvas, 10, 20, 30, 25, {200, 100, 50});
    FillRect(canvas, 60, 60, 55, 70, {1, 2, 3});          // inverted: nothing
    FillRect(canvas, -100, 840, 5000, 5000, {9, 9, 9});   // reaches past the frame
    // The normal action button: 36 rows from (18, 28, 56) to (6, 12, 30);
    // the far edge is outside, so the last row is one 16-bit step short of
    // it (red: 1536 + 3072/36 = 1621 -> 6; hovered blue from 80: 8035 -> 31).
    FillGradientVertical(canvas, 434, 650, 634, 686, {18, 28, 56}, {6, 12, 30});
    FillGradientVertical(canvas, 642, 650, 840, 686, {28, 42, 80}, {6, 12, 30});
    // Progress at 1 %: column 4 of 5 is (42 + 4*143)/5 in 16 bits: 31436 -> 122.
    FillGradientHorizontal(canvas, 356, 716, 361, 726, {42, 138, 208}, {143, 240, 255});
    // Gradients starting outside the frame still run from their own edge.
    FillGradientVertical(canvas, 700, -10, 710, 10, {0, 0, 0}, {200, 200, 200});
    FillGradientHorizontal(canvas, -10, 300, 10, 301, {0, 0, 0}, {200, 200, 200});
    ExpectPixels({
        {640, 400, 0},  // a new frame is black
        {10, 20, Value(200, 100, 50)}, {29, 24, Value(200, 100, 50)}, {30, 22, 0}, {15, 25, 0}, {9, 22, 0},
        {57, 65, 0}, {0, 852, Value(9, 9, 9)}, {1279, 840, Value(9, 9, 9)},
        {434, 650, Value(18, 28, 56)}, {633, 650, Value(18, 28, 56)}, {500, 668, Value(12, 20, 43)},
        {500, 685, Value(6, 12, 30)}, {500, 686, 0}, {634, 660, 0},
        {700, 650, Value(28, 42, 80)}, {700, 685, Value(6, 12, 31)},
        {356, 716, Value(42, 138, 208)}, {360, 725, Value(122, 219, 245)}, {361, 720, 0}, {358, 726, 0},
        {705, 0, Value(100, 100, 100)}, {0, 300, Value(100, 100, 100)}, {9, 300, Value(190, 190, 190)},
    });
    EndFrame(canvas, W, H);
}

TEST(CanvasSoft, ShapesLinesAndClipRegions) {
    Canvas *canvas = BeginFrame();
    // The status dot: inscribed in (46, 495)-(59, 508), symmetric both ways.
    const uint32_t dot = Value(26, 203, 107);
    FillEllipse(canvas, 46, 495, 59, 508, {26, 203, 107});
    ExpectPixels({{52, 501, dot}, {46, 501, dot}, {58, 501, dot}, {52, 495, dot}, {52, 507, dot},
                  {46, 495, 0}, {58, 495, 0}, {46, 507, 0}, {58, 507, 0}});
    Ink ink = FindInk(0, 40, 490, 70, 515);
    EXPECT_TRUE(ink.left == 46 && ink.right == 59 && ink.top == 495 && ink.bottom == 508);
    for (int y = 495; y < 508; y++)
        for (int x = 46; x < 59; x++) {
            EXPECT_EQ(Pixel(x, y), Pixel(104 - x, y)) << x << "," << y;
            EXPECT_EQ(Pixel(x, y), Pixel(x, 1002 - y)) << x << "," << y;
        }

    // Progress track: 1-pixel outline inside the rectangle, filled within;
    // the button outline is hollow and leaves what it encloses alone.
    DrawRoundRect(canvas, 356, 716, 918, 726, 5, 5, TrackPen, 1, &TrackFill);
    FillRect(canvas, 434, 650, 634, 686, Navy);
    DrawRoundRect(canvas, 434, 650, 634, 686, 8, 8, Gold, 1, nullptr);
    ExpectPixels({
        {356, 721, Value(TrackPen)}, {917, 721, Value(TrackPen)}, {600, 716, Value(TrackPen)},
        {600, 725, Value(TrackPen)}, {357, 721, Value(TrackFill)}, {600, 717, Value(TrackFill)},
        {600, 724, Value(TrackFill)}, {918, 721, 0}, {600, 726, 0}, {356, 716, 0}, {917, 725, 0},
        {434, 668, Value(Gold)}, {633, 668, Value(Gold)}, {534, 685, Value(Gold)}, {435, 668, Value(Navy)},
        {534, 651, Value(Navy)}, {434, 650, Value(Navy)}, {434, 652, Value(Gold)}, {633, 683, Value(Gold)},
    });
    // Large corners: the outline stays closed where the curve steps by
    // several pixels a row, so no fill pixel touches the outside.
    const Rgb fill = {0, 0, 255};
    DrawRoundRect(canvas, 200, 300, 260, 340, 30, 30, {255, 0, 0}, 1, &fill);
    int filled = 0;
    for (int y = 300; y < 340; y++)
        for (int x = 200; x < 260; x++) {
            if (Pixel(x, y) != Value(fill)) continue;
            filled++;
            EXPECT_TRUE(Pixel(x - 1, y) && Pixel(x + 1, y) && Pixel(x, y - 1) && Pixel(x, y + 1)) << x << "," << y;
        }
    EXPECT_GT(filled, 58 * 38 - 4 * 15 * 15);

    // Tab underline and caret: the second pixel of a 2-pixel pen is above
    // (left of) the line; no line covers its end point.
    DrawLine(canvas, 350, 786, 468, 786, 2, Gold);
    DrawLine(canvas, 478, 447, 478, 469, 2, {143, 230, 255});
    DrawLine(canvas, 10, 10, 15, 15, 1, Gold);
    DrawLine(canvas, 40, 15, 35, 10, 1, Gold);
    DrawLine(canvas, 100, 100, 100, 100, 2, Gold);  // no length, nothing
    const uint32_t caret = Value(143, 230, 255);
    ExpectPixels({
        {350, 786, Value(Gold)}, {350, 785, Value(Gold)}, {467, 786, Value(Gold)}, {467, 785, Value(Gold)},
        {468, 786, 0}, {349, 786, 0}, {400, 787, 0}, {400, 784, 0},
        {478, 447, caret}, {477, 447, caret}, {478, 468, caret}, {478, 469, 0}, {479, 455, 0}, {476, 455, 0},
        {14, 14, Value(Gold)}, {15, 15, 0}, {36, 11, Value(Gold)}, {35, 10, 0}, {100, 100, 0}, {99, 99, 0},
    });
    for (int i = 0; i < 5; i++) EXPECT_TRUE(Pixel(10 + i, 10 + i) && Pixel(40 - i, 15 - i)) << i;

    // Clipped to the progress fill at 50 %, a fill over everything lands
    // only in the rounded rectangle, corners cut; cleared, everywhere.
    ClipRoundRect(canvas, 356, 716, 637, 726, 5, 5);
    FillRect(canvas, 0, 0, W, H, {1, 2, 3});
    FillGradientHorizontal(canvas, 0, 0, W, H, {1, 2, 3}, {1, 2, 3});
    ExpectPixels({{500, 720, Value(1, 2, 3)}, {356, 721, Value(1, 2, 3)}, {636, 721, Value(1, 2, 3)},
                  {637, 721, Value(TrackFill)}, {356, 716, 0}, {636, 725, Value(TrackPen)},
                  {534, 685, Value(Gold)}, {0, 0, 0}});
    ClearClip(canvas);
    FillRect(canvas, 0, 0, 2, 2, {4, 5, 6});
    EXPECT_EQ(Pixel(0, 0), Value(4, 5, 6));
    ClipRoundRect(canvas, 0, 0, 1, 1, 0, 0);  // a clip left in place ends with the frame
    EndFrame(canvas, W, H);
    canvas = BeginFrame();
    FillRect(canvas, 5, 5, 6, 6, {7, 7, 7});
    EXPECT_EQ(Pixel(5, 5), Value(7, 7, 7));
    EndFrame(canvas, W, H);
}

TEST(CanvasSoft, ImagesAreCopiedCroppedAndBlended) {
    // Premultiplied: transparent, the glow's centre (a 204), opaque, half.
    const uint32_t sprite[4] = {0x00000000u, 0xCCB0BECCu, 0xFF112233u, 0x80402010u};
    CanvasImage *image = CreateImage(2, 2, sprite);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(CreateImage(0, 2, sprite), nullptr);
    Canvas *canvas = BeginFrame();
    FillRect(canvas, 0, 0, 100, 100, {10, 20, 30});
    // 2 x 2 stretched over 6 x 4 at full constant alpha: s + d*(255-A)/255.
    BlendImage(canvas, image, 10, 10, 6, 4, 0, 0, 2, 2, 255, true);
    // The glow centre at pulse alpha 127 over (10, 20, 30):
    // s*127/255 + d*(255 - 204*127/255)/255 = 87 + 10*154/255, 94 + 12, 101 + 18.
    BlendImage(canvas, image, 30, 30, 1, 1, 1, 0, 1, 1, 127, true);
    BlendImage(canvas, image, 40, 40, 5, 5, 1, 1, 2, 2, 255, true);  // source outside the image: nothing
    const uint32_t under = Value(10, 20, 30);
    ExpectPixels({
        {10, 10, under}, {12, 11, under},
        {13, 10, Value(176 + 10 * 51 / 255, 190 + 20 * 51 / 255, 204 + 30 * 51 / 255)},
        {10, 12, Value(0x11, 0x22, 0x33)},
        {15, 13, Value(0x40 + 10 * 127 / 255, 0x20 + 20 * 127 / 255, 0x10 + 30 * 127 / 255)},
        {16, 12, under}, {12, 14, under}, {30, 30, Value(93, 106, 119)},
    });
    EXPECT_FALSE(FindInk(under, 35, 35, 50, 50).any());

    // Scaled down, a sprite symmetric about its centre lines stays so, and
    // covers exactly its destination square.
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
        FillRect(canvas, 600, 600, 640, 640, {0, 0, 0});
        BlendImage(canvas, glowImage, 610, 610, size, size, 0, 0, 20, 20, 181, true);
        Ink square = FindInk(0, 600, 600, 640, 640);  // the middle row and column reach the edges
        EXPECT_TRUE(square.left == 610 && square.top == 610 && square.right == 610 + size &&
                    square.bottom == 610 + size) << size;
        for (int y = 0; y < size; y++)
            for (int x = 0; x < size; x++) {
                EXPECT_EQ(Pixel(610 + x, 610 + y), Pixel(609 + size - x, 610 + y)) << size << ": " << x << "," << y;
                EXPECT_EQ(Pixel(610 + x, 610 + y), Pixel(610 + x, 609 + size - y)) << size << ": " << x << "," << y;
            }
    }

    // The hover highlight: white, alpha byte 0, constant alpha 20, from
    // 4 x 4 over a hotspot: (255*20 + d*235)/255 per channel.
    uint32_t white[16];
    for (uint32_t &p : white) p = 0x00FFFFFFu;
    CanvasImage *highlight = CreateImage(4, 4, white);
    ASSERT_NE(highlight, nullptr);
    FillRect(canvas, 200, 200, 300, 300, {0, 128, 255});
    BlendImage(canvas, highlight, 210, 220, 50, 20, 0, 0, 4, 4, 20, false);
    const uint32_t lit = Value((5100 + 0 * 235) / 255, (5100 + 128 * 235) / 255, (5100 + 255 * 235) / 255);
    EXPECT_EQ(lit, Value(20, 137, 255));
    Ink ink = FindInk(Value(0, 128, 255), 200, 200, 300, 300);
    EXPECT_TRUE(ink.left == 210 && ink.top == 220 && ink.right == 260 && ink.bottom == 240);
    for (int y = 220; y < 240; y++)
        for (int x = 210; x < 260; x++) ASSERT_EQ(Pixel(x, y), lit) << x << "," << y;

    // Copies are unscaled, cropped to the image and the area, alpha dropped.
    FillRect(canvas, 500, 500, 520, 520, Navy);
    CopyImage(canvas, image, 505, 505, 10, 10);
    CopyImage(canvas, image, 510, 510, 1, 2);
    CopyImage(canvas, image, -1, -1, 2, 2);
    ExpectPixels({{505, 505, 0}, {506, 505, Value(0xB0, 0xBE, 0xCC)}, {505, 506, Value(0x11, 0x22, 0x33)},
                  {506, 506, Value(0x40, 0x20, 0x10)}, {507, 505, Value(Navy)}, {505, 507, Value(Navy)},
                  {510, 511, Value(0x11, 0x22, 0x33)}, {511, 510, Value(Navy)}, {0, 0, Value(0x40, 0x20, 0x10)}});
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
    ASSERT_TRUE(width == W && height == H);
    EXPECT_EQ(std::memcmp(shown, FramePixels(), sizeof(uint32_t) * W * H), 0) << "same size: an exact copy";

    // Half width: each client pixel covers one a and one b, rounded to nearest.
    EndFrame(canvas, W / 2, H);
    shown = PresentedPixels(&width, &height);
    ASSERT_EQ(width, W / 2);
    for (int i = 0; i < width * height; i++) ASSERT_EQ(shown[i], Value(106, 130, 76)) << i;
    // Twice the size: every client pixel lies inside one frame pixel.
    EndFrame(canvas, 2 * W, 2 * H);
    shown = PresentedPixels(&width, &height);
    for (int y = 0; y < H; y += 97)
        for (int x = 0; x < W; x += 13) {
            ASSERT_EQ(shown[(2 * y) * width + 2 * x], Pixel(x, y));
            ASSERT_EQ(shown[(2 * y + 1) * width + 2 * x + 1], Pixel(x, y));
        }

    // Scaled down unevenly, a flat colour stays exactly flat.
    FillRect(canvas, 0, 0, W, H, {37, 201, 99});
    EndFrame(canvas, 1037, 691);
    shown = PresentedPixels(&width, &height);
    ASSERT_TRUE(width == 1037 && height == 691);
    for (int i = 0; i < width * height; i++) ASSERT_EQ(shown[i], Value(37, 201, 99)) << i;
    // Black left half, white right half: client column 518 covers frame
    // x 639.38 .. 640.62, equal parts of both, and is the only grey one.
    FillRect(canvas, 0, 0, W / 2, H, {0, 0, 0});
    FillRect(canvas, W / 2, 0, W, H, {255, 255, 255});
    EndFrame(canvas, 1037, 691);
    shown = PresentedPixels(&width, &height);
    EXPECT_EQ(shown[300 * width + 517], 0u);
    EXPECT_EQ(shown[300 * width + 518], Value(128, 128, 128));
    EXPECT_EQ(shown[300 * width + 519], Value(255, 255, 255));
    // Enlarged by 1.5, black above y 426 and white below: client row 639
    // covers frame rows 425.83 .. 426.5, 213 parts black and 640 white.
    FillRect(canvas, 0, 0, W, 426, {0, 0, 0});
    FillRect(canvas, 0, 426, W, H, {255, 255, 255});
    EndFrame(canvas, 1920, 1280);
    shown = PresentedPixels(&width, &height);
    EXPECT_EQ(shown[638 * width + 900], 0u);
    EXPECT_EQ(shown[639 * width + 900], Value(191, 191, 191));
    EXPECT_EQ(shown[640 * width + 900], Value(255, 255, 255));
    // A minimised window presents nothing new.
    EndFrame(canvas, 0, 0);
    EXPECT_EQ(PresentedPixels(&width, &height), shown);
    EXPECT_EQ(width, 1920);
}

TEST(CanvasSoft, TextIsDrawnWhereItIsMeasured) {
    CanvasFont *field = CreateCanvasFont(20, 600), *button = CreateCanvasFont(17, 700);
    CanvasFont *status = CreateCanvasFont(14, 600), *footer = CreateCanvasFont(12, 400);
    ASSERT_TRUE(field && button && status && footer) << "no font: is fonts-dejavu-core installed?";
    for (int again = 0; again < 20; again++) ASSERT_EQ(CreateCanvasFont(20, 600), field) << "fonts are shared";
    const Rgb ink = {255, 255, 255};
    Canvas *canvas = BeginFrame();
    auto measure = [&](const CanvasFont *font, const WideChar *text) { return MeasureText(canvas, font, text); };
    int check = measure(button, WTEXT("CHECK FILES"));
    EXPECT_EQ(measure(button, WTEXT("")), 0);
    EXPECT_TRUE(check > 60 && check < 200) << check;
    EXPECT_GT(check, measure(footer, WTEXT("CHECK FILES")));
    EXPECT_LT(measure(field, WTEXT("To")), measure(field, WTEXT("T")) + measure(field, WTEXT("o"))) << "kerning";

    // Two halves, the second drawn at the first's measured width, make the
    // same pixels as the whole; the ink ends by the measured width.
    DrawTextInBox(canvas, field, WTEXT("1234567890"), 100, 100, 600, 140, ink, TextVCenter);
    std::vector<uint32_t> whole = Snapshot();
    canvas = BeginFrame();
    int half = measure(field, WTEXT("12345")), all = measure(field, WTEXT("1234567890"));
    DrawTextInBox(canvas, field, WTEXT("12345"), 100, 100, 600, 140, ink, TextVCenter);
    DrawTextInBox(canvas, field, WTEXT("67890"), 100 + half, 100, 600, 140, ink, TextVCenter);
    EXPECT_TRUE(Snapshot() == whole);
    Ink drawn = FindInk(0, 0, 90, W, 150);
    EXPECT_TRUE(drawn.left >= 100 && drawn.left <= 103 && drawn.right <= 101 + all && drawn.right >= 96 + all);
    EXPECT_LE(std::abs((drawn.top - 100) - (140 - drawn.bottom)), 5) << "digits sit mid-box";

    // The CHECK FILES label centred both ways in its button: ink margins
    // match, and it is the measured width put in the middle.
    canvas = BeginFrame();
    DrawTextInBox(canvas, button, WTEXT("CHECK FILES"), 434, 650, 634, 686, ink, TextCenter | TextVCenter);
    drawn = FindInk(0, 400, 600, 700, 750);
    EXPECT_LE(std::abs((drawn.left - 434) - (634 - drawn.right)), 2);
    EXPECT_LE(std::abs((drawn.top - 650) - (686 - drawn.bottom)), 4);
    std::vector<uint32_t> centred = Snapshot();
    canvas = BeginFrame();
    DrawTextInBox(canvas, button, WTEXT("CHECK FILES"), (434 + 634 - check) / 2, 650, 634, 686, ink, TextVCenter);
    EXPECT_TRUE(Snapshot() == centred);
    // Top alignment: capitals start just below the box's top.
    canvas = BeginFrame();
    DrawTextInBox(canvas, status, WTEXT("HELLO"), 356, 690, 918, 712, ink, TextCenter);
    drawn = FindInk(0, 300, 680, 1000, 720);
    EXPECT_TRUE(drawn.top >= 690 && drawn.top <= 694) << drawn.top;

    // A status wider than its 562-pixel line keeps the longest start that
    // fits together with "...", inside the box.
    const WideChar *longText = WTEXT("Checking data/maps/a_very_long_folder_name/and_an_even_longer_file_name.pak "
                                     "(1234/5678) while the patch server answers slowly");
    ASSERT_GT(measure(status, longText), 562);
    canvas = BeginFrame();
    DrawTextInBox(canvas, status, longText, 356, 690, 918, 712, ink, TextCenter | TextEndEllipsis);
    drawn = FindInk(0, 0, 600, W, 800);
    EXPECT_TRUE(drawn.left >= 356 && drawn.right <= 918 && drawn.right >= 898) << drawn.left << " " << drawn.right;
    std::vector<uint32_t> cut = Snapshot();
    std::basic_string<WideChar> text(longText), kept;
    for (size_t n = text.size(); n > 0 && kept.empty(); n--)
        if (measure(status, (text.substr(0, n) + WTEXT("...")).c_str()) <= 562) kept = text.substr(0, n) + WTEXT("...");
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

    // Without an ellipsis, text is clipped to its box on every side.
    canvas = BeginFrame();
    DrawTextInBox(canvas, field, WTEXT("WWWWWWWWWWWWWWWWWWWW"), 500, 300, 560, 310, ink, TextVCenter);
    drawn = FindInk(0, 400, 250, 700, 350);
    EXPECT_TRUE(drawn.any() && drawn.left >= 500 && drawn.right <= 560 && drawn.top >= 300 && drawn.bottom <= 310);

    // Coverage blends towards the text colour: over Navy in Gold every
    // channel lies between the two, and glyph cores are exactly Gold.
    canvas = BeginFrame();
    FillRect(canvas, 0, 0, 300, 100, Navy);
    DrawTextInBox(canvas, field, WTEXT("Zenthara"), 10, 10, 290, 90, Gold, 0);
    bool solid = false;
    for (int y = 0; y < 100; y++)
        for (int x = 0; x < 300; x++) {
            uint32_t p = Pixel(x, y);
            int r = p >> 16, g = p >> 8 & 255, bl = p & 255;
            ASSERT_TRUE(r >= 6 && r <= 242 && g >= 8 && g <= 208 && bl >= 20 && bl <= 138) << x << "," << y;
            solid = solid || p == Value(Gold);
        }
    EXPECT_TRUE(solid);

    // UTF-16: a surrogate pair is one character (one the face lacks, like
    // the unassigned U+0378), a lone surrogate is U+FFFD; a null font draws
    // with the default font.
    int missing = measure(field, WTEXT("\u0378")), replacement = measure(field, WTEXT("\uFFFD"));
    EXPECT_GT(missing, 0);
    EXPECT_NE(replacement, missing);
    EXPECT_EQ(measure(field, WTEXT("\U000F0000\U000F0000")), 2 * missing);
    const WideChar loneHigh[] = {0xD800, 'A', 0}, loneLow[] = {0xDC00, 0}, replacedA[] = {0xFFFD, 'A', 0};
    EXPECT_EQ(measure(field, loneHigh), measure(field, replacedA));
    EXPECT_EQ(measure(field, loneLow), replacement);
    EXPECT_GT(measure(nullptr, WTEXT("default")), 0);
    canvas = BeginFrame();
    DrawTextInBox(canvas, nullptr, WTEXT("default"), 10, 10, 200, 40, ink, 0);
    EXPECT_TRUE(FindInk(0, 0, 0, 220, 60).any());
    EndFrame(canvas, W, H);
}

// A BMP: BITMAPFILEHEADER + BITMAPINFOHEADER, BI_RGB, rows padded to 4
// bytes; rows lists the stored rows in file order.
std::string Bmp(int width, int height, int bits, const std::vector<std::vector<uint32_t>> &rows) {
    std::string s = "BM";
    auto put = [&s](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; i++) s.push_back(char(v >> (8 * i) & 0xFF));
    };
    int stride = (width * (bits / 8) + 3) & ~3, size = stride * std::abs(height);
    for (uint32_t v : {54 + size, 0, 54, 40, width, height}) put(v, 4);
    put(1, 2);
    put(uint32_t(bits), 2);
    for (uint32_t v : {0, size, 2835, 2835, 0, 0}) put(v, 4);
    for (const std::vector<uint32_t> &row : rows) {
        for (uint32_t p : row) put(p, bits / 8);
        for (int pad = int(row.size()) * (bits / 8); pad < stride; pad++) s.push_back(0);
    }
    return s;
}

TEST(CanvasSoft, BmpFilesLoadBothRowOrdersAndBadFilesAreRefused) {
    WideString folder = MakeScratchFolder();
    // 24 bits bottom-up (the first stored row is the bottom one), rows of 9
    // bytes padded to 12, under a non-ASCII name; 32 bits top-down with alpha.
    WideString bottomUp = JoinPath(folder, "bg-\xC3\xA9t\xC3\xA9.bmp");
    WriteBytes(bottomUp, Bmp(3, 2, 24, {{0x010203, 0x040506, 0x070809}, {0xFF0000, 0x00FF00, 0x0000FF}}));
    WideString topDown = JoinPath(folder, "top.bmp");
    WriteBytes(topDown, Bmp(2, -2, 32, {{0x80102030, 0xFFA0B0C0}, {0x00445566, 0x12778899}}));
    CanvasImage *first = LoadImageFile(bottomUp.c_str()), *second = LoadImageFile(topDown.c_str());
    ASSERT_TRUE(first && second);
    Canvas *canvas = BeginFrame();
    FillRect(canvas, 0, 0, 20, 20, Navy);
    CopyImage(canvas, first, 0, 0, W, H);
    CopyImage(canvas, second, 10, 10, W, H);
    ExpectPixels({{0, 0, Value(255, 0, 0)}, {1, 0, Value(0, 255, 0)}, {2, 0, Value(0, 0, 255)},
                  {0, 1, Value(1, 2, 3)}, {2, 1, Value(7, 8, 9)}, {3, 0, Value(Navy)}, {0, 2, Value(Navy)},
                  {10, 10, Value(0x10, 0x20, 0x30)}, {11, 10, Value(0xA0, 0xB0, 0xC0)},
                  {10, 11, Value(0x44, 0x55, 0x66)}, {11, 11, Value(0x77, 0x88, 0x99)}, {12, 10, Value(Navy)}});
    EndFrame(canvas, W, H);

    std::string whole = Bmp(3, 2, 24, {{1, 2, 3}, {4, 5, 6}});
    const char *names[] = {"truncated.bmp", "garbage.bmp", "empty.bmp"};
    std::string contents[] = {whole.substr(0, whole.size() - 8), "BM but not a picture, just text like one", ""};
    for (int i = 0; i < 3; i++) {
        WriteBytes(JoinPath(folder, names[i]), contents[i]);
        EXPECT_EQ(LoadImageFile(JoinPath(folder, names[i]).c_str()), nullptr) << names[i];
    }
    EXPECT_EQ(LoadImageFile(JoinPath(folder, "missing.bmp").c_str()), nullptr);
    RemoveTree(folder);
}

// The present, worked out from its definition the slow way: every client
// pixel is the mean of the frame pixels under it, each weighted by the area
// it shares with the client pixel, rounded to nearest.
std::vector<uint32_t> ReferencePresent(const uint32_t *frame, int width, int height) {
    std::vector<uint32_t> out(size_t(width) * height);
    auto overlap = [](int64_t i, int64_t d, int64_t source, int64_t target) {
        int64_t low = std::max(i * target, d * source), high = std::min((i + 1) * target, (d + 1) * source);
        return std::max<int64_t>(high - low, 0);
    };
    const int64_t area = int64_t(W) * H;
    for (int dy = 0; dy < height; dy++)
        for (int dx = 0; dx < width; dx++) {
            int64_t sum[3] = {area / 2, area / 2, area / 2};
            for (int y = int(int64_t(dy) * H / height); y < H && int64_t(y) * height < int64_t(dy + 1) * H; y++) {
                int64_t wy = overlap(y, dy, H, height);
                for (int x = int(int64_t(dx) * W / width); x < W && int64_t(x) * width < int64_t(dx + 1) * W; x++) {
                    int64_t w = wy * overlap(x, dx, W, width);
                    uint32_t p = frame[y * W + x];
                    sum[0] += w * (p >> 16 & 0xFF);
                    sum[1] += w * (p >> 8 & 0xFF);
                    sum[2] += w * (p & 0xFF);
                }
            }
            out[size_t(dy) * width + dx] = Value(int(sum[0] / area), int(sum[1] / area), int(sum[2] / area));
        }
    return out;
}

// Checks what PresentedChanges reports against the present before: every
// client pixel outside the listed rectangles must be as it was. The window
// sends only those rectangles to the screen.
void ExpectChangesCoverEveryDifference(const std::vector<uint32_t> &before, int beforeWidth, const uint32_t *shown,
                                       int width, int height, const char *what) {
    const PresentRect *rects = nullptr;
    int count = -1;
    if (!PresentedChanges(&rects, &count) || beforeWidth != width || before.size() != size_t(width) * height)
        return;  // "all of it", which is always true
    std::vector<bool> listed(size_t(width) * height, false);
    for (int n = 0; n < count; n++) {
        const PresentRect &r = rects[n];
        ASSERT_TRUE(r.x >= 0 && r.y >= 0 && r.width > 0 && r.height > 0 && r.x + r.width <= width &&
                    r.y + r.height <= height)
            << what << ": rectangle " << n << " lies outside the present";
        for (int y = r.y; y < r.y + r.height; y++)
            for (int x = r.x; x < r.x + r.width; x++) listed[size_t(y) * width + x] = true;
    }
    for (int i = 0; i < width * height; i++) {
        if (listed[i]) continue;
        ASSERT_EQ(shown[i], before[i]) << what << ": unlisted client pixel " << i % width << "," << i / width;
    }
}

// Presents the frame at width x height and compares every pixel with the
// slow reference; names the first that differs. Also checks the changes
// reported against the present before it.
void ExpectPresentIsExact(Canvas *canvas, int width, int height, const char *what) {
    static std::vector<uint32_t> before;
    static int beforeWidth = 0;
    EndFrame(canvas, width, height);
    int shownWidth = 0, shownHeight = 0;
    const uint32_t *shown = PresentedPixels(&shownWidth, &shownHeight);
    ASSERT_TRUE(shownWidth == width && shownHeight == height) << what;
    std::vector<uint32_t> expected = ReferencePresent(FramePixels(), width, height);
    for (int i = 0; i < width * height; i++)
        ASSERT_EQ(shown[i], expected[i]) << what << " at " << width << "x" << height << ": client pixel "
                                         << i % width << "," << i / width;
    ExpectChangesCoverEveryDifference(before, beforeWidth, shown, width, height, what);
    before.assign(shown, shown + size_t(width) * height);
    beforeWidth = width;
}

// A small generator of busy frames, the same on every run.
struct Scribbler {
    uint32_t state = 12345;
    int Next(int low, int high) {  // low .. high-1
        state = state * 1103515245u + 12345u;
        return low + int((state >> 8) % uint32_t(high - low));
    }
    Rgb Colour() { return {uint8_t(Next(0, 256)), uint8_t(Next(0, 256)), uint8_t(Next(0, 256))}; }
};

// Shapes, lines, sprites, text and clipped fills all over the frame, some
// reaching past its edges, and a few tight against each edge and corner.
void ScribbleFrame(Canvas *canvas, Scribbler *rng, CanvasImage *sprite, CanvasFont *font) {
    for (int n = 0; n < 40; n++) {
        int x = rng->Next(-30, W + 10), y = rng->Next(-30, H + 10), w = rng->Next(1, 60), h = rng->Next(1, 40);
        switch (rng->Next(0, 8)) {
        case 0: FillRect(canvas, x, y, x + w, y + h, rng->Colour()); break;
        case 1: FillGradientVertical(canvas, x, y, x + w, y + h, rng->Colour(), rng->Colour()); break;
        case 2: FillGradientHorizontal(canvas, x, y, x + w, y + h, rng->Colour(), rng->Colour()); break;
        case 3: {
            Rgb fill = rng->Colour();
            DrawRoundRect(canvas, x, y, x + w, y + h, 8, 8, rng->Colour(), rng->Next(1, 3), rng->Next(0, 2) ? &fill : nullptr);
            break;
        }
        case 4: FillEllipse(canvas, x, y, x + w, y + h, rng->Colour()); break;
        case 5: DrawLine(canvas, x, y, x + rng->Next(-80, 80), y + rng->Next(-80, 80), rng->Next(1, 3), rng->Colour()); break;
        case 6: BlendImage(canvas, sprite, x, y, w / 3 + 5, w / 3 + 5, 0, 0, 20, 20, rng->Next(0, 256), true); break;
        default:
            ClipRoundRect(canvas, x, y, x + 3 * w, y + h, 5, 5);
            FillRect(canvas, x - 5, y - 5, x + 3 * w + 5, y + h + 5, rng->Colour());
            ClearClip(canvas);
            DrawTextInBox(canvas, font, WTEXT("data/textures (32/45)"), x, y, x + 4 * w, y + 30, rng->Colour(), TextVCenter);
            break;
        }
    }
    int e = rng->Next(1, 4);
    FillRect(canvas, 0, 0, e, e, rng->Colour());
    FillRect(canvas, W - e, H - e, W, H, rng->Colour());
    DrawLine(canvas, 0, H - 1, W, H - 1, 1, rng->Colour());
    DrawLine(canvas, W - 1, 0, W - 1, H, 1, rng->Colour());
    FillEllipse(canvas, -7, H - 7, 7, H + 7, rng->Colour());
    BlendImage(canvas, sprite, W - 9, -9, 18, 18, 0, 0, 20, 20, 200, true);
}

TEST(CanvasSoft, PresentOfChangedTilesEqualsTheWholeFilterFrameAfterFrame) {
    CanvasFont *font = CreateCanvasFont(14, 600);
    ASSERT_NE(font, nullptr) << "no font: is fonts-dejavu-core installed?";
    std::vector<uint32_t> glow(20 * 20), picture(size_t(W + 3) * (H + 2));
    for (int r = 0; r < 20; r++)
        for (int c = 0; c < 20; c++) {
            uint32_t a = uint32_t(std::max(0, 255 - ((2 * c - 19) * (2 * c - 19) + (2 * r - 19) * (2 * r - 19)) / 3));
            glow[r * 20 + c] = a << 24 | a << 16 | (a / 2) << 8 | a / 3;
        }
    // A background larger than the frame, opaque alpha, every pixel its own.
    Scribbler rng;
    for (uint32_t &p : picture) p = 0xFF000000u | uint32_t(rng.Next(0, 1 << 24));
    CanvasImage *sprite = CreateImage(20, 20, glow.data()), *background = CreateImage(W + 3, H + 2, picture.data());
    ASSERT_TRUE(sprite && background);

    struct Step {
        int width, height;
        int base;  // 0: the picture, 1 and 2: a colour each, 3: none (BeginFrame's black)
        const char *what;
        bool again = false;  // the shapes of the step before once more
    } steps[] = {
        {1037, 691, 0, "first frame over the picture"},
        {1037, 691, 0, "the next frame, other shapes"},
        {1037, 691, 0, "the same frame again", true},
        {1037, 691, 0, "and another"},
        {W, H, 0, "the design size"},
        {1037, 691, 0, "smaller again"},
        {1037, 691, 1, "a colour in place of the picture"},
        {1037, 691, 2, "another colour"},
        {1037, 691, 3, "no base layer"},
        {1037, 691, 3, "no base layer, the same shapes", true},
        {800, 533, 0, "a size change"},
        {1279, 852, 0, "a pixel short of the design size"},
        {1500, 1000, 0, "enlarged"},
        {1500, 1000, 0, "enlarged, the next frame"},
        {97, 61, 0, "a tiny window, a client pixel wider than a tile"},
        {97, 61, 0, "a tiny window, the next frame"},
        {1037, 691, 0, "back to the first size"},
    };
    Scribbler before = rng;
    for (const Step &step : steps) {
        if (step.again) rng = before;
        before = rng;
        Canvas *canvas = BeginFrame();
        if (step.base == 0) CopyImage(canvas, background, 0, 0, W + 3, H + 2);
        if (step.base == 1) FillRect(canvas, 0, 0, W, H, {30, 40, 50});
        if (step.base == 2) FillRect(canvas, -5, -5, W + 5, H + 5, {200, 10, 99});
        ScribbleFrame(canvas, &rng, sprite, font);
        ExpectPresentIsExact(canvas, step.width, step.height, step.what);
    }

    // Drawn on after a present, without a new frame: the next present shows it.
    Canvas *canvas = BeginFrame();
    CopyImage(canvas, background, 0, 0, W, H);
    ExpectPresentIsExact(canvas, 1037, 691, "the picture alone");
    FillRect(canvas, 600, 300, 700, 400, {1, 2, 3});
    ExpectPresentIsExact(canvas, 1037, 691, "a rectangle drawn after the present");
    // A whole-frame layer over what was drawn, and a clipped whole-frame
    // fill as the first operation: neither counts as the base layer.
    FillGradientVertical(canvas, 0, 0, W, H, {0, 0, 0}, {255, 255, 255});
    ExpectPresentIsExact(canvas, 1037, 691, "a gradient over everything");
    canvas = BeginFrame();
    CopyImage(canvas, background, 0, 0, W, H);
    ScribbleFrame(canvas, &rng, sprite, font);
    ExpectPresentIsExact(canvas, 1037, 691, "over the picture after the whole-frame gradient");
    canvas = BeginFrame();
    ClipRoundRect(canvas, 100, 100, 1100, 700, 40, 40);
    FillRect(canvas, 0, 0, W, H, {90, 90, 90});
    ClearClip(canvas);
    CopyImage(canvas, background, 0, 0, W, H);
    ExpectPresentIsExact(canvas, 1037, 691, "a clipped fill, then the picture");
    // The picture copied short of the frame is no base layer either.
    canvas = BeginFrame();
    CopyImage(canvas, background, 0, 0, W - 1, H);
    ExpectPresentIsExact(canvas, 1037, 691, "the picture a column short");
}

}  // namespace

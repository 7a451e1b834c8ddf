// Frame painter pixels on the software canvas: background picture and
// fallback, status dot, progress fill ends, tab underline, hover highlight
// and button looks, entry fields with their caret and display caps, status
// ellipsis, footer, the particle layer, and the Linux information box.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/state.h"
#include "platform/posix/info_box_sdl.h"
#include "render/canvas_soft.h"
#include "render/painter.h"
#include "render/particles.h"
#include "test_files.h"

constexpr uint32_t Rgb32(int r, int g, int b) { return uint32_t(r) << 16 | uint32_t(g) << 8 | uint32_t(b); }

// The test picture: one colour, with markers in its corners that tell a
// flipped, shifted or scaled copy apart; it is larger than the frame.
constexpr uint32_t Bg = Rgb32(40, 60, 80);
constexpr uint32_t TopLeftMark = Rgb32(10, 20, 30);
constexpr uint32_t FrameCornerMark = Rgb32(200, 100, 50);
constexpr uint32_t CaretColour = Rgb32(143, 230, 255);
constexpr uint32_t TrackFill = Rgb32(6, 10, 24);
constexpr uint32_t TrackPen = Rgb32(42, 56, 96);
constexpr uint32_t Underline = Rgb32(242, 208, 138);
constexpr uint32_t FooterBand = Rgb32(1, 3, 10);

static uint32_t s_fallbackPixel;  // painted before the picture existed

static uint32_t Pixel(int x, int y) { return FramePixels()[y * 1280 + x]; }

// A 24-bit bottom-up BMP of the test picture.
static std::string BmpFile(int width, int height) {
    int rowBytes = (width * 3 + 3) & ~3;
    std::string f(54 + rowBytes * height, '\0');
    auto put32 = [&](int at, uint32_t v) { for (int i = 0; i < 4; i++) f[at + i] = char(v >> (8 * i)); };
    const uint32_t header[][2] = {{2, uint32_t(f.size())}, {10, 54}, {14, 40}, {18, uint32_t(width)},
                                  {22, uint32_t(height)}, {26, 1 | 24 << 16}};
    for (const auto &h : header) put32(int(h[0]), h[1]);
    f[0] = 'B', f[1] = 'M';
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            uint32_t c = x == 0 && y == 0 ? TopLeftMark : x == 1279 && y == 852 ? FrameCornerMark : Bg;
            char *p = &f[54 + (height - 1 - y) * rowBytes + x * 3];
            p[0] = char(c), p[1] = char(c >> 8), p[2] = char(c >> 16);
        }
    return f;
}

// Resources are made once per process, as in the launcher: a first frame
// without bg.bmp, then the picture for every later frame.
static void PrepareResources() {
    static bool prepared = false;
    if (prepared) return;
    prepared = true;
    ResetLauncherState(&g_state);
    WideString folder = MakeScratchFolder();
    CopyText(g_state.programDir, ProgramDirUnits, folder.c_str());
    CreateFrameResources();
    std::memset(g_particles, 0, sizeof g_particles);
    PaintFrame();
    s_fallbackPixel = Pixel(5, 5);
    WriteBytes(JoinPath(folder, "bg.bmp"), BmpFile(1300, 900));
    LoadBackgroundImage();
    CreateBackgroundSurface();
    RemoveTree(folder);
}

class Painter : public testing::Test {
protected:
    void SetUp() override {
        PrepareResources();
        ResetLauncherState(&g_state);
        std::memset(g_particles, 0, sizeof g_particles);
    }
};

// White at 20/255 over d.
static uint32_t Lit(uint32_t d) {
    uint32_t out = 0;
    for (int shift = 0; shift <= 16; shift += 8) out |= (255 * 20 + (d >> shift & 0xFF) * 235) / 255 << shift;
    return out;
}

static bool InGradient(uint32_t c) {
    int r = int(c >> 16 & 0xFF), g = int(c >> 8 & 0xFF), b = int(c & 0xFF);
    return r >= 42 && r <= 143 && g >= 138 && g <= 240 && b >= 208;
}

TEST_F(Painter, BackgroundIsThePictureUnscaledOrThePlainFill) {
    EXPECT_EQ(s_fallbackPixel, Rgb32(6, 8, 20));
    g_state.clientWidth = 640;
    g_state.clientHeight = 426;
    PaintFrame();
    EXPECT_EQ(Pixel(0, 0), TopLeftMark);
    EXPECT_EQ(Pixel(1279, 852), FrameCornerMark);
    EXPECT_EQ(Pixel(640, 300), Bg);
    int width = 0, height = 0;
    PresentedPixels(&width, &height);
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, 426);
}

TEST_F(Painter, StatusDotColourFollowsServerState) {
    const struct { int state; uint32_t colour; } cases[] = {
        {-1, Rgb32(200, 192, 96)}, {0, Rgb32(224, 90, 90)}, {1, Rgb32(26, 203, 107)}, {5, Rgb32(200, 192, 96)}};
    for (const auto &c : cases) {
        g_state.serverState = c.state;
        PaintFrame();
        EXPECT_EQ(Pixel(52, 501), c.colour) << c.state;
        EXPECT_EQ(Pixel(45, 501), Bg);
    }
}

TEST_F(Painter, ProgressFillEndsAtTheScaledWidthInsideTheTrack) {
    g_state.progress = -1;
    PaintFrame();
    EXPECT_EQ(Pixel(356, 721), Bg);
    EXPECT_EQ(Pixel(600, 721), Bg);

    g_state.progress = 0;
    PaintFrame();
    EXPECT_EQ(Pixel(356, 721), TrackPen);
    EXPECT_EQ(Pixel(357, 721), TrackFill);
    EXPECT_EQ(Pixel(917, 721), TrackPen);

    const struct { int percent, end; } cases[] = {{1, 361}, {50, 637}, {100, 918}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.percent);
        g_state.progress = c.percent;
        PaintFrame();
        EXPECT_TRUE(InGradient(Pixel(357, 721)));
        EXPECT_TRUE(InGradient(Pixel(c.end - 1, 721)));
        EXPECT_EQ(Pixel(c.end, 721), c.end == 918 ? Bg : TrackFill);
        EXPECT_FALSE(InGradient(Pixel(356, 716)));  // rounded corner stays clear
        // The gradient always reaches its light end at the fill's edge.
        EXPECT_GE(int(Pixel(c.end - 1, 721) & 0xFF), 240);
    }
}

TEST_F(Painter, TabUnderlineFollowsSelectedTabAndFallsBackToTheFourth) {
    const int lefts[4] = {350, 510, 696, 848}, rights[4] = {468, 660, 805, 968};
    const struct { int selected, tab; } cases[] = {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 3}, {-1, 3}};
    for (const auto &c : cases) {
        g_state.selectedTab = c.selected;
        PaintFrame();
        for (int t = 0; t < 4; t++) {
            SCOPED_TRACE(testing::Message() << "selected " << c.selected << ", tab " << t);
            uint32_t want = t == c.tab ? Underline : Bg;
            EXPECT_EQ(Pixel(lefts[t], 786), want);
            EXPECT_EQ(Pixel((lefts[t] + rights[t]) / 2, 786), want);
            EXPECT_EQ(Pixel(rights[t] - 1, 786), want);
            EXPECT_EQ(Pixel(lefts[t] - 5, 786), Bg);
            EXPECT_EQ(Pixel(rights[t] + 5, 786), Bg);
        }
    }
}

TEST_F(Painter, HoverLightsTheRectangleAndOnlyTheButtonOfItsKind) {
    const uint32_t normalOutline = Rgb32(138, 109, 42), hoveredOutline = Rgb32(242, 208, 138);
    PaintFrame();
    EXPECT_EQ(Pixel(1000, 450), Bg);
    EXPECT_EQ(Pixel(534, 650), normalOutline);

    g_state.hoverIndex = 5;  // side menu, first row
    PaintFrame();
    EXPECT_EQ(Pixel(952, 439), Lit(Bg));
    EXPECT_EQ(Pixel(1265, 476), Lit(Bg));
    EXPECT_EQ(Pixel(951, 450), Bg);
    EXPECT_EQ(Pixel(1266, 450), Bg);
    EXPECT_EQ(Pixel(1000, 477), Bg);

    g_state.hoverIndex = 8;  // the side menu's patch row does not light PATCH FILES
    PaintFrame();
    EXPECT_EQ(Pixel(741, 650), normalOutline);

    g_state.hoverIndex = 4;
    PaintFrame();
    EXPECT_EQ(Pixel(741, 650), Lit(hoveredOutline));
    EXPECT_EQ(Pixel(534, 650), normalOutline);
    g_state.hoverIndex = 3;
    PaintFrame();
    EXPECT_EQ(Pixel(534, 650), Lit(hoveredOutline));
    EXPECT_EQ(Pixel(741, 650), normalOutline);
}

// Measuring takes a frame of its own: measure before painting.
static int FieldTextWidth(const WideChar *display) {
    static CanvasFont *fieldFont = CreateCanvasFont(20, 600);
    Canvas *canvas = BeginFrame();
    int width = MeasureText(canvas, fieldFont, display);
    EndFrame(canvas, 1280, 853);
    return width;
}

TEST_F(Painter, EntryFieldsDrawOnlyWhenUsedAndTheCaretBlinksAfterTheText) {
    PaintFrame();
    EXPECT_EQ(Pixel(470, 445), Bg);  // unfocused and empty: the art shows
    EXPECT_EQ(Pixel(470, 495), Bg);

    g_state.focusField = 1;
    const struct { int tick; bool shown; } blink[] = {{0, false}, {8, false}, {9, true}, {17, true}, {18, false}};
    for (const auto &b : blink) {
        g_state.tick = b.tick;
        PaintFrame();
        EXPECT_EQ(Pixel(470, 445), Rgb32(1, 12, 26));
        EXPECT_EQ(Pixel(478, 458) == CaretColour, b.shown) << b.tick;
        EXPECT_EQ(Pixel(478, 448) == CaretColour, b.shown) << b.tick;
        EXPECT_EQ(Pixel(470, 495), Bg);
    }

    int dots = FieldTextWidth(WTEXT("\u25CF\u25CF\u25CF"));
    EXPECT_GT(dots, 0);
    CopyText(g_state.password, PasswordUnits, WTEXT("abc"));
    g_state.focusField = 2;
    g_state.tick = 9;
    PaintFrame();
    EXPECT_EQ(Pixel(470, 445), Bg);
    EXPECT_EQ(Pixel(470, 495), Rgb32(1, 8, 22));
    EXPECT_EQ(Pixel(478 + dots, 508), CaretColour);
    EXPECT_EQ(Pixel(478 + dots, 498), CaretColour);
}

TEST_F(Painter, FieldDisplayIsCappedAndTheCaretFollowsTheClippedText) {
    WideChar longText[80];
    for (int i = 0; i < 79; i++) longText[i] = i % 2 ? 'x' : 'i';
    longText[79] = 0;
    WideChar capped[64];
    CopyText(capped, 64, longText);
    WideChar dots[41];
    for (int i = 0; i < 40; i++) dots[i] = 0x25CF;
    dots[40] = 0;
    int plainWidth = FieldTextWidth(capped), dotsWidth = FieldTextWidth(dots);
    ASSERT_LT(478 + plainWidth, 1279);
    g_state.tick = 9;

    Canvas *canvas = BeginFrame();
    DrawEntryField(canvas, 439, 477, longText, false, true, {1, 12, 26});
    DrawEntryField(canvas, 489, 527, longText, true, true, {1, 8, 22});
    EndFrame(canvas, 1280, 853);
    EXPECT_EQ(Pixel(478 + plainWidth, 458), CaretColour);
    EXPECT_EQ(Pixel(478 + dotsWidth, 508), CaretColour);
    // The text stops at x 832 and the fill at 836; right of them the frame
    // is untouched up to the caret.
    for (int x = 836; x < 478 + plainWidth - 1; x++) EXPECT_EQ(Pixel(x, 458), 0u) << x;
    for (int x = 832; x < 836; x++) EXPECT_EQ(Pixel(x, 458), Rgb32(1, 12, 26)) << x;
}

// Ink: pixels of the status line that differ from the picture.
TEST_F(Painter, StatusLineIsCentredAndALongOneEndsInAnEllipsisInsideItsBox) {
    auto inkColumns = [](int *first, int *last, int *outside) {
        *first = 1280, *last = -1, *outside = 0;
        for (int y = 690; y < 712; y++)
            for (int x = 0; x < 1280; x++) {
                if (Pixel(x, y) == Bg) continue;
                if (x < 356 || x >= 918) (*outside)++;
                if (x < *first) *first = x;
                if (x > *last) *last = x;
            }
    };
    int first, last, outside;
    SetStatusText(&g_state, WTEXT("Checking files..."));
    PaintFrame();
    inkColumns(&first, &last, &outside);
    EXPECT_EQ(outside, 0);
    EXPECT_NEAR((first + last) / 2.0, 637, 3);

    WideChar text[200];
    for (int i = 0; i < 199; i++) text[i] = 'W';
    text[199] = 0;
    SetStatusText(&g_state, text);
    PaintFrame();
    inkColumns(&first, &last, &outside);
    EXPECT_EQ(outside, 0);
    EXPECT_LT(first, 370);
    EXPECT_GT(last, 900);
    // The last columns hold the dots, which sit low; a cut 'W' would reach
    // up to the top of the letters.
    int topOfText = 712, topOfEnd = 712;
    for (int y = 711; y >= 690; y--)
        for (int x = 356; x <= last; x++)
            if (Pixel(x, y) != Bg) {
                topOfText = y;
                if (x > last - 8) topOfEnd = y;
            }
    EXPECT_GE(topOfEnd - topOfText, 4);
}

TEST_F(Painter, FooterNamesHostAndPortOnItsBand) {
    WideChar footer[FooterTextUnits];
    EXPECT_TRUE(FormatFooterText(footer, FooterTextUnits));
    EXPECT_TRUE(TextEqual(footer, WTEXT("Launcher v") LAUNCHER_VERSION_TEXT
                                      WTEXT("   \u00B7   Host:  Corbalt   \u00B7   127.0.0.1 : 6543")));
    std::strcpy(g_state.serverHost, "game.example");
    g_state.serverPort = -7;
    EXPECT_TRUE(FormatFooterText(footer, FooterTextUnits));
    EXPECT_TRUE(TextEqual(footer, WTEXT("Launcher v") LAUNCHER_VERSION_TEXT
                                      WTEXT("   \u00B7   Host:  Corbalt   \u00B7   game.example : -7")));
    EXPECT_FALSE(FormatFooterText(footer, 10));
    EXPECT_TRUE(TextEqual(footer, WTEXT("Launcher ")));

    PaintFrame();
    EXPECT_EQ(Pixel(14, 819), FooterBand);
    EXPECT_EQ(Pixel(899, 848), FooterBand);
    EXPECT_EQ(Pixel(13, 830), Bg);
    EXPECT_EQ(Pixel(900, 830), Bg);
    int ink = 0;
    for (int y = 823; y < 845; y++)
        for (int x = 24; x < 300; x++) ink += Pixel(x, y) != FooterBand;
    EXPECT_GT(ink, 50);
}

TEST_F(Painter, ParticlesGlowInTheTopBandOnly) {
    g_particles[0] = {600.5f, 200.5f, 0.5f, 0.0f, 0.0f, 7.0f, 0.7f};
    g_particles[1] = {300.0f, 271.0f, 0.5f, 0.0f, 0.0f, 18.0f, 0.7f};
    g_particles[2] = {900.0f, 270.9f, 0.5f, 0.0f, 0.0f, 18.0f, 0.7f};
    PaintFrame();
    uint32_t centre = Pixel(600, 200);
    EXPECT_GT(centre >> 16 & 0xFF, 40u);
    EXPECT_GT(centre & 0xFF, 80u);
    EXPECT_EQ(Pixel(596, 200), Bg);  // the 7 x 7 square covers x 597-603
    EXPECT_EQ(Pixel(604, 200), Bg);
    EXPECT_EQ(Pixel(600, 196), Bg);
    EXPECT_EQ(Pixel(600, 204), Bg);
    EXPECT_EQ(Pixel(300, 271), Bg);  // below the band: not drawn
    EXPECT_NE(Pixel(900, 270), Bg);
}

// The box is fitted to its lines (at most eight, each at most 480 px
// wide) and shows the icon beside them: blue round a white "i".
TEST_F(Painter, InformationBoxFitsItsLinesAndShowsTheIconBesideThem) {
    WideChar wide[300], many[40];
    for (int i = 0; i < 299; i++) wide[i] = 'W';
    wide[299] = 0;
    for (int i = 0; i < 40; i++) many[i] = i % 4 == 3 ? '\n' : 'a';
    many[39] = 0;
    const struct { const WideChar *text; int lines; const WideChar *last; bool widest; } cases[] = {
        {WTEXT("Official website coming soon.\nJoin our Discord for now!"), 2, WTEXT("Join our Discord for now!"), false},
        {WTEXT("one\r\ntwo\n"), 3, WTEXT(""), false},
        {WTEXT(""), 1, WTEXT(""), false},
        {wide, 1, wide, true},
        {many, 8, WTEXT("aaa"), false},
    };
    static InfoBoxLayout layout;
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.lines << " lines");
        LayOutInformationBox(c.text, &layout);
        EXPECT_EQ(layout.lineCount, c.lines);
        EXPECT_TRUE(TextEqual(layout.lines + layout.lineStart[c.lines - 1], c.last));
        EXPECT_EQ(layout.textRight - layout.textLeft == 480, c.widest);
        EXPECT_GE(layout.width, layout.textRight);
        EXPECT_LE(layout.buttonBottom, layout.height);
        EXPECT_GE(layout.bandTop - layout.textTop, c.lines * InfoLineHeightPx);
    }
    LayOutInformationBox(cases[1].text, &layout);
    EXPECT_TRUE(TextEqual(layout.lines + layout.lineStart[0], WTEXT("one")));  // without the "\r"

    LayOutInformationBox(cases[0].text, &layout);
    PaintInformationBox(BeginFrame(), layout);
    int cx = layout.iconLeft + InfoIconPx / 2, cy = layout.iconTop + InfoIconPx / 2;
    EXPECT_EQ(Pixel(cx, cy + 4), Rgb32(255, 255, 255));  // the stem of the "i"
    EXPECT_EQ(Pixel(cx - 9, cy), Rgb32(31, 111, 201));    // the disc
    EXPECT_EQ(Pixel(layout.iconLeft, layout.iconTop), Rgb32(255, 255, 255));  // outside the disc
    uint32_t rim = Pixel(cx, layout.iconTop);  // anti-aliased edge: between white and blue
    EXPECT_LT(rim & 0xFF, 255u);
    EXPECT_GT(rim >> 16 & 0xFF, 31u);
    int dark = 0;
    for (int y = layout.textTop; y < layout.textTop + 2 * InfoLineHeightPx; y++)
        for (int x = layout.textLeft; x < layout.textRight; x++) dark += (Pixel(x, y) & 0xFF) < 100;
    EXPECT_GT(dark, 100);
    EXPECT_EQ(Pixel(2, layout.height - 2), Rgb32(240, 240, 240));
    EXPECT_EQ(Pixel(layout.buttonLeft, (layout.buttonTop + layout.buttonBottom) / 2), Rgb32(0, 120, 215));
}

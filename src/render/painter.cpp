// Frame painter: the layers of the launcher screen in their fixed order
// (background, particles, entry fields, buttons, status dot, tab underline,
// hover highlight, status line, progress bar, footer), then the stretched
// present. Platform-neutral; every pixel goes through the canvas seam.
// Fields shared with workers are read once per frame, without locks.
#include "render/painter.h"

#include "base/state.h"
#include "platform/codepage.h"
#include "render/layout.h"
#include "render/particles.h"

// Long-lived resources; made once, never released.
static CanvasFont *s_fieldFont;
static CanvasFont *s_buttonFont;
static CanvasFont *s_statusFont;
static CanvasFont *s_footerFont;
static CanvasImage *s_backgroundImage;
static bool s_backgroundReady;  // the picture may be drawn
static CanvasImage *s_highlightSprite;


constexpr Rgb FallbackBackground = {6, 8, 20};
constexpr Rgb FieldTextColour = {220, 230, 255};
constexpr Rgb CaretColour = {143, 230, 255};
constexpr Rgb UserFieldFill = {1, 12, 26};
constexpr Rgb MaskedFieldFill = {1, 8, 22};
constexpr Rgb UnderlineColour = {242, 208, 138};
constexpr Rgb StatusTextColour = {143, 230, 255};
constexpr Rgb TrackPen = {42, 56, 96};
constexpr Rgb TrackFill = {6, 10, 24};
constexpr Rgb ProgressLeft = {42, 138, 208};
constexpr Rgb ProgressRight = {143, 240, 255};
constexpr Rgb FooterBand = {1, 3, 10};
constexpr Rgb FooterTextColour = {140, 150, 188};

constexpr int ButtonTop = 650, ButtonBottom = 686;  // px
constexpr int FieldFillLeft = 468, FieldFillRight = 836;
constexpr int FieldTextLeft = 476, FieldTextRight = 832;
constexpr int CaretOffsetX = 478;              // px from the frame's left edge, before the text width
constexpr int DisplayUnits = 64;               // field display buffer, terminator included
constexpr int MaskedDotsMax = 40;
constexpr WideChar MaskDot = 0x25CF;           // BLACK CIRCLE
constexpr int CaretHalfTicks = 9;              // ticks hidden, then as many shown
constexpr int TrackLeft = 356, TrackRight = 918, TrackTop = 716, TrackBottom = 726;
constexpr int HighlightAlpha = 20;             // of 255
constexpr int HighlightSpriteSize = 4;         // px

struct ButtonLook {
    Rgb top, bottom, outline, label;
};
static const ButtonLook NormalButton = {{18, 28, 56}, {6, 12, 30}, {138, 109, 42}, {242, 208, 138}};
static const ButtonLook HoveredButton = {{28, 42, 80}, {6, 12, 30}, {242, 208, 138}, {255, 232, 176}};

void DrawActionButton(Canvas *canvas, int left, int right, const WideChar *label, bool hovered) {
    const ButtonLook &look = hovered ? HoveredButton : NormalButton;
    FillGradientVertical(canvas, left, ButtonTop, right, ButtonBottom, look.top, look.bottom);
    DrawRoundRect(canvas, left, ButtonTop, right, ButtonBottom, 8, 8, look.outline, 1, nullptr);
    DrawTextInBox(canvas, s_buttonFont, label, left, ButtonTop, right, ButtonBottom, look.label,
                  TextCenter | TextVCenter);
}

void DrawEntryField(Canvas *canvas, int top, int bottom, const WideChar *text, bool masked, bool focused, Rgb fill) {
    if (!focused && text[0] == 0) return;
    FillRect(canvas, FieldFillLeft, top + 4, FieldFillRight, bottom - 4, fill);

    // The caps bound only what is shown, not what the field holds.
    WideChar display[DisplayUnits];
    if (masked) {
        int dots = TextLength(text);
        if (dots > MaskedDotsMax) dots = MaskedDotsMax;
        for (int i = 0; i < dots; i++) display[i] = MaskDot;
        display[dots] = 0;
    } else {
        CopyText(display, DisplayUnits, text);
    }
    DrawTextInBox(canvas, s_fieldFont, display, FieldTextLeft, top, FieldTextRight, bottom, FieldTextColour,
                  TextLeft | TextVCenter);

    // Placed from the width of the whole display, even where the text is
    // clipped at the box: a long name puts the caret right of the field.
    int width = MeasureText(canvas, s_fieldFont, display);
    if (focused && (g_state.tick / CaretHalfTicks) % 2 != 0) {
        int middle = (top + bottom) >> 1;
        int x = CaretOffsetX + width;
        DrawLine(canvas, x, middle - 11, x, middle + 11, 2, CaretColour);
    }
}

// The host is 8-bit text in the system's code page, widened for showing as
// the probe's calls read it.
bool FormatFooterText(WideChar *out, int capacity) {
    WideChar host[ServerHostBytes];
    CodePageToText(g_state.serverHost, host, ServerHostBytes);
    return FormatText(out, capacity, WTEXT("Launcher v%s   \u00B7   Host:  Corbalt   \u00B7   %s : %d"),
                      LauncherVersion, host, int(g_state.serverPort));
}

static Rgb StatusDotColour(int32_t serverState) {
    if (serverState == 1) return {26, 203, 107};
    if (serverState == 0) return {224, 90, 90};
    return {200, 192, 96};  // not probed yet
}

static void DrawTabUnderline(Canvas *canvas) {
    int index = Tab3;
    if (g_state.selectedTab >= 0 && g_state.selectedTab <= 2) index = Tab0 + g_state.selectedTab;
    const Hotspot &tab = HotspotTable[index];
    DrawLine(canvas, tab.left + 10, tab.bottom - 4, tab.right - 10, tab.bottom - 4, 2, UnderlineColour);
}

static void DrawProgressBar(Canvas *canvas, int32_t progress) {
    DrawRoundRect(canvas, TrackLeft, TrackTop, TrackRight, TrackBottom, 5, 5, TrackPen, 1, &TrackFill);
    // Values above 100 are outside the worker's contract; the bar never
    // leaves its track.
    if (progress > 100) progress = 100;
    int scaled = progress * (TrackRight - TrackLeft);
    if (scaled <= 199) return;  // 0 %: the empty track only
    int fillRight = TrackLeft + scaled / 100;
    ClipRoundRect(canvas, TrackLeft, TrackTop, fillRight, TrackBottom, 5, 5);
    // The gradient spans the filled part, so its right end is always the
    // light colour.
    FillGradientHorizontal(canvas, TrackLeft, TrackTop, fillRight, TrackBottom, ProgressLeft, ProgressRight);
    ClearClip(canvas);
}

void PaintFrame() {
    Canvas *canvas = BeginFrame();
    if (canvas == nullptr) return;

    if (s_backgroundReady) {
        CopyImage(canvas, s_backgroundImage, 0, 0, DesignWidth, DesignHeight);
    } else {
        FillRect(canvas, 0, 0, DesignWidth, DesignHeight, FallbackBackground);
    }
    if (GlowSprite() != nullptr) DrawParticles(canvas);

    DrawEntryField(canvas, 439, 477, g_state.userName, false, g_state.focusField == 1, UserFieldFill);
    DrawEntryField(canvas, 489, 527, g_state.password, true, g_state.focusField == 2, MaskedFieldFill);

    // The hover look follows the kind of the hovered entry only.
    int32_t hover = g_state.hoverIndex;
    const Hotspot *hovered = hover >= 0 && hover < HotspotCount ? &HotspotTable[hover] : nullptr;
    int32_t hoveredKind = hovered != nullptr ? hovered->kind : -1;
    DrawActionButton(canvas, 434, 634, WTEXT("CHECK FILES"), hoveredKind == CheckFilesButton);
    DrawActionButton(canvas, 642, 840, WTEXT("PATCH FILES"), hoveredKind == PatchFilesButton);

    FillEllipse(canvas, 46, 495, 59, 508, StatusDotColour(g_state.serverState.load(std::memory_order_relaxed)));
    DrawTabUnderline(canvas);

    // White at 20/255 over whatever lies under the hovered rectangle.
    if (hovered != nullptr && s_highlightSprite != nullptr) {
        BlendImage(canvas, s_highlightSprite, hovered->left, hovered->top, hovered->right - hovered->left,
                   hovered->bottom - hovered->top, 0, 0, HighlightSpriteSize, HighlightSpriteSize, HighlightAlpha,
                   false);
    }

    // A worker may be changing the text: a mixed frame is corrected by the
    // next one.
    WideChar status[StatusTextUnits];
    ReadStatusText(&g_state, status);
    if (status[0] != 0) {
        DrawTextInBox(canvas, s_statusFont, status, 356, 690, 918, 712, StatusTextColour,
                      TextCenter | TextEndEllipsis);
    }

    int32_t progress = g_state.progress.load(std::memory_order_relaxed);
    if (progress >= 0) DrawProgressBar(canvas, progress);

    FillRect(canvas, 14, 819, 900, 849, FooterBand);
    WideChar footer[FooterTextUnits];
    FormatFooterText(footer, FooterTextUnits);
    DrawTextInBox(canvas, s_footerFont, footer, 24, 823, 896, 845, FooterTextColour, TextLeft);

    EndFrame(canvas, g_state.clientWidth, g_state.clientHeight);
}

void CreateFrameResources() {
    LoadBackgroundImage();
    CreateFrameFonts();
    CreateBackgroundSurface();
    CreateGlowSprite();
    CreateHighlightSprite();
}

void CreateFrameFonts() {
    s_fieldFont = CreateCanvasFont(20, 600);
    s_buttonFont = CreateCanvasFont(17, 700);
    s_statusFont = CreateCanvasFont(14, 600);
    s_footerFont = CreateCanvasFont(12, 400);
}

void LoadBackgroundImage() {
    const WideChar format[] = {'%', 's', PathSeparator, 'b', 'g', '.', 'b', 'm', 'p', 0};
    WideChar path[ProgramDirUnits + 16];
    // A folder name that leaves no room for the file name means no picture.
    s_backgroundImage = FormatText(path, ProgramDirUnits + 16, format, g_state.programDir) ? LoadImageFile(path)
                                                                                          : nullptr;
}

// The canvases draw an image directly, so all that remains of the window
// surface that held the picture is the decision that it may be drawn.
void CreateBackgroundSurface() { s_backgroundReady = s_backgroundImage != nullptr; }

void CreateHighlightSprite() {
    // White with alpha byte 0: blended with constant alpha only.
    uint32_t pixels[HighlightSpriteSize * HighlightSpriteSize];
    for (uint32_t &pixel : pixels) pixel = 0x00FFFFFF;
    s_highlightSprite = CreateImage(HighlightSpriteSize, HighlightSpriteSize, pixels);
}

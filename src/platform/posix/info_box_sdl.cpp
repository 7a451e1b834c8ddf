// The information box on Linux: a small dialog window of SDL2's, titled
// with the caption, holding an information icon (a blue disc with a white
// "i", drawn once as an anti-aliased sprite), the text beside it and an OK
// button. SDL's own message box draws no icon on X11, hence this one. It is
// painted with the software canvas and copied into the window's surface,
// like the main window; the window backend passes it the box's events.
// Closed by OK, Enter, Escape, Space or the window manager's close.
// Leaves out: word wrapping (a line too wide ends in "..."), more than
// eight lines, a hover look for the button, keyboard focus cues, and the
// system beep.
#include "platform/posix/info_box_sdl.h"

#include <SDL2/SDL.h>

#include "base/state.h"
#include "render/canvas_soft.h"

constexpr int BoxMarginPx = 24;        // round the icon and the text
constexpr int IconTextGapPx = 16;
constexpr int MaxTextWidthPx = 480;    // a wider line is cut
constexpr int MinBoxWidthPx = 260;
constexpr int BandHeightPx = 48;       // the button band
constexpr int ButtonWidthPx = 88, ButtonHeightPx = 28, ButtonMarginPx = 12;
constexpr int BoxFontPx = 15;
constexpr int IconSamples = 4;         // per axis, for the icon's edges

constexpr Rgb MessageFill = {255, 255, 255};
constexpr Rgb BandFill = {240, 240, 240};
constexpr Rgb TextColour = {0, 0, 0};
constexpr Rgb ButtonPen = {0, 120, 215};
constexpr Rgb ButtonFill = {229, 241, 251};
constexpr Rgb IconBlue = {31, 111, 201};

static const CanvasFont *BoxFont() {
    static const CanvasFont *font = CreateCanvasFont(BoxFontPx, 400);
    return font;
}

// Whether a point of the 32 px icon (px from its top-left) lies on the
// disc, and whether on the "i" inside it.
static bool OnDisc(float x, float y) { return (x - 16) * (x - 16) + (y - 16) * (y - 16) <= 15.5f * 15.5f; }
static bool OnLetter(float x, float y) {
    bool dot = (x - 16) * (x - 16) + (y - 9.5f) * (y - 9.5f) <= 2.6f * 2.6f;
    bool stem = x >= 14 && x <= 18 && y >= 13.5f && y <= 25;
    return dot || stem;
}

// The icon as a premultiplied sprite: each pixel the mean of a grid of
// samples, blue on the disc, white on the letter, clear outside. Made
// once; nullptr when the canvas cannot hold it (the box then has no icon).
static const CanvasImage *InfoIcon() {
    static const CanvasImage *icon = [] {
        static uint32_t pixels[InfoIconPx * InfoIconPx];
        constexpr int samples = IconSamples * IconSamples;
        for (int y = 0; y < InfoIconPx; y++)
            for (int x = 0; x < InfoIconPx; x++) {
                int alpha = 0, red = 0, green = 0, blue = 0;
                for (int s = 0; s < samples; s++) {
                    float sx = x + (s % IconSamples + 0.5f) / IconSamples;
                    float sy = y + (s / IconSamples + 0.5f) / IconSamples;
                    if (!OnDisc(sx, sy)) continue;
                    Rgb c = OnLetter(sx, sy) ? MessageFill : IconBlue;
                    alpha += 255, red += c.r, green += c.g, blue += c.b;
                }
                pixels[y * InfoIconPx + x] = uint32_t(alpha / samples) << 24 | uint32_t(red / samples) << 16 |
                                             uint32_t(green / samples) << 8 | uint32_t(blue / samples);
            }
        return CreateImage(InfoIconPx, InfoIconPx, pixels);
    }();
    return icon;
}

// Splits the copy of text in layout->lines at each "\n" and notes where
// each line begins.
static void SplitLines(const WideChar *text, InfoBoxLayout *layout) {
    CopyText(layout->lines, InfoBoxTextUnits, text);
    layout->lineCount = 1;
    layout->lineStart[0] = 0;
    for (int i = 0; layout->lines[i] != 0; i++) {
        if (layout->lines[i] != '\n') continue;
        layout->lines[i] = 0;
        if (i > 0 && layout->lines[i - 1] == '\r') layout->lines[i - 1] = 0;
        if (layout->lineCount == InfoBoxMaxLines) return;
        layout->lineStart[layout->lineCount++] = i + 1;
    }
}

// The software canvas measures without a frame.
void LayOutInformationBox(const WideChar *text, InfoBoxLayout *layout) {
    SplitLines(text, layout);
    int textWidth = 0;
    for (int i = 0; i < layout->lineCount; i++) {
        int width = MeasureText(nullptr, BoxFont(), layout->lines + layout->lineStart[i]);
        textWidth = width > textWidth ? width : textWidth;
    }
    textWidth = textWidth < MaxTextWidthPx ? textWidth : MaxTextWidthPx;
    int textHeight = layout->lineCount * InfoLineHeightPx;
    layout->iconLeft = BoxMarginPx;
    layout->iconTop = BoxMarginPx;
    layout->textLeft = BoxMarginPx + InfoIconPx + IconTextGapPx;
    layout->textRight = layout->textLeft + textWidth;
    // Text shorter than the icon stands level with its middle.
    layout->textTop = BoxMarginPx + (textHeight < InfoIconPx ? (InfoIconPx - textHeight) / 2 : 0);
    int width = layout->textRight + BoxMarginPx;
    layout->width = width > MinBoxWidthPx ? width : MinBoxWidthPx;
    layout->bandTop = 2 * BoxMarginPx + (textHeight > InfoIconPx ? textHeight : InfoIconPx);
    layout->height = layout->bandTop + BandHeightPx;
    layout->buttonRight = layout->width - ButtonMarginPx;
    layout->buttonLeft = layout->buttonRight - ButtonWidthPx;
    layout->buttonTop = layout->bandTop + (BandHeightPx - ButtonHeightPx) / 2;
    layout->buttonBottom = layout->buttonTop + ButtonHeightPx;
}

void PaintInformationBox(Canvas *canvas, const InfoBoxLayout &layout) {
    FillRect(canvas, 0, 0, layout.width, layout.bandTop, MessageFill);
    FillRect(canvas, 0, layout.bandTop, layout.width, layout.height, BandFill);
    BlendImage(canvas, InfoIcon(), layout.iconLeft, layout.iconTop, InfoIconPx, InfoIconPx, 0, 0, InfoIconPx,
               InfoIconPx, 255, true);
    for (int i = 0; i < layout.lineCount; i++) {
        int top = layout.textTop + i * InfoLineHeightPx;
        DrawTextInBox(canvas, BoxFont(), layout.lines + layout.lineStart[i], layout.textLeft, top, layout.textRight,
                      top + InfoLineHeightPx, TextColour, TextLeft | TextVCenter | TextEndEllipsis);
    }
    DrawRoundRect(canvas, layout.buttonLeft, layout.buttonTop, layout.buttonRight, layout.buttonBottom, 6, 6,
                  ButtonPen, 1, &ButtonFill);
    DrawTextInBox(canvas, BoxFont(), WTEXT("OK"), layout.buttonLeft, layout.buttonTop, layout.buttonRight,
                  layout.buttonBottom, TextColour, TextCenter | TextVCenter);
}

// The open box. Event-loop thread only.
struct SdlInfoBoxState {
    SDL_Window *window;     // nullptr while there is no box
    Uint32 windowId;
    SDL_Surface *surface;   // the window's; nullptr until fetched or once SDL dropped it
    bool open;              // shown and not yet closed by the player
    bool pressedOnButton;   // the left button went down on OK and is still down
    InfoBoxLayout layout;
};
static SdlInfoBoxState s_box;

// Paints the box on the canvas's frame and copies it into the window. The
// frame is borrowed between two paints of the main window, which lays its
// whole frame again on the next one. SDL drops the surface when it no
// longer fits the window; it is fetched once more then.
static void PaintBoxWindow() {
    PaintInformationBox(BeginFrame(), s_box.layout);
    const uint32_t *frame = FramePixels();
    for (int attempt = 0; attempt < 2; attempt++) {
        if (s_box.surface == nullptr) s_box.surface = SDL_GetWindowSurface(s_box.window);
        SDL_Surface *surface = s_box.surface;
        if (surface == nullptr) return;
        int width = SDL_min(surface->w, s_box.layout.width), height = SDL_min(surface->h, s_box.layout.height);
        if (SDL_MUSTLOCK(surface) && SDL_LockSurface(surface) != 0) return;
        SDL_ConvertPixels(width, height, SDL_PIXELFORMAT_RGB888, frame, DesignWidthPx * 4, surface->format->format,
                          surface->pixels, surface->pitch);
        if (SDL_MUSTLOCK(surface)) SDL_UnlockSurface(surface);
        if (SDL_UpdateWindowSurface(s_box.window) == 0) return;
        s_box.surface = nullptr;
    }
}

bool OpenInformationBox(SDL_Window *owner, const WideChar *text, const WideChar *caption) {
    LayOutInformationBox(text, &s_box.layout);
    char title[512];
    TextToUtf8(caption, title, int(sizeof title));
    int x = SDL_WINDOWPOS_CENTERED, y = SDL_WINDOWPOS_CENTERED;
    if (owner != nullptr) {
        int ownerX, ownerY, ownerWidth, ownerHeight;
        SDL_GetWindowPosition(owner, &ownerX, &ownerY);
        SDL_GetWindowSize(owner, &ownerWidth, &ownerHeight);
        x = ownerX + (ownerWidth - s_box.layout.width) / 2;
        y = ownerY + (ownerHeight - s_box.layout.height) / 2;
    }
    // A dialog to the window manager: decorated and placed as one, kept
    // above its owner (the transient-for hint SetWindowModalFor sets).
    SDL_SetHint(SDL_HINT_X11_WINDOW_TYPE, "_NET_WM_WINDOW_TYPE_DIALOG");
    s_box.window = SDL_CreateWindow(title, x, y, s_box.layout.width, s_box.layout.height,
                                    SDL_WINDOW_HIDDEN | SDL_WINDOW_SKIP_TASKBAR);
    SDL_SetHint(SDL_HINT_X11_WINDOW_TYPE, "");
    if (s_box.window == nullptr) return false;
    if (owner != nullptr) SDL_SetWindowModalFor(s_box.window, owner);
    s_box.windowId = SDL_GetWindowID(s_box.window);
    s_box.surface = nullptr;
    s_box.open = true;
    s_box.pressedOnButton = false;
    SDL_ShowWindow(s_box.window);
    SDL_RaiseWindow(s_box.window);
    PaintBoxWindow();
    return true;
}

// The window an event is about; 0 for events of no window.
static Uint32 EventWindowId(const SDL_Event &event) {
    switch (event.type) {
    case SDL_WINDOWEVENT: return event.window.windowID;
    case SDL_KEYDOWN:
    case SDL_KEYUP: return event.key.windowID;
    case SDL_TEXTEDITING: return event.edit.windowID;
    case SDL_TEXTINPUT: return event.text.windowID;
    case SDL_MOUSEMOTION: return event.motion.windowID;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: return event.button.windowID;
    case SDL_MOUSEWHEEL: return event.wheel.windowID;
    default: return 0;
    }
}

static bool OnButton(int x, int y) {
    const InfoBoxLayout &l = s_box.layout;
    return x >= l.buttonLeft && x < l.buttonRight && y >= l.buttonTop && y < l.buttonBottom;
}

static void HandleBoxWindowEvent(const SDL_WindowEvent &event) {
    switch (event.event) {
    case SDL_WINDOWEVENT_EXPOSED: PaintBoxWindow(); break;
    case SDL_WINDOWEVENT_SIZE_CHANGED: s_box.surface = nullptr; break;
    case SDL_WINDOWEVENT_CLOSE: s_box.open = false; break;
    default: break;
    }
}

// OK is pressed as a push button is: down and up again on it.
bool HandleInformationBoxEvent(const SDL_Event &event) {
    if (s_box.window == nullptr || EventWindowId(event) != s_box.windowId) return false;
    switch (event.type) {
    case SDL_WINDOWEVENT: HandleBoxWindowEvent(event.window); break;
    case SDL_KEYDOWN: {
        SDL_Keycode key = event.key.keysym.sym;
        if (key == SDLK_RETURN || key == SDLK_KP_ENTER || key == SDLK_ESCAPE || key == SDLK_SPACE) s_box.open = false;
        break;
    }
    case SDL_MOUSEBUTTONDOWN:
        if (event.button.button == SDL_BUTTON_LEFT) s_box.pressedOnButton = OnButton(event.button.x, event.button.y);
        break;
    case SDL_MOUSEBUTTONUP:
        if (event.button.button != SDL_BUTTON_LEFT) break;
        if (s_box.pressedOnButton && OnButton(event.button.x, event.button.y)) s_box.open = false;
        s_box.pressedOnButton = false;
        break;
    default: break;
    }
    return true;
}

bool InformationBoxOpen() { return s_box.open; }

static int NotTheBoxs(void *, SDL_Event *event) { return EventWindowId(*event) != s_box.windowId; }

// Events of the box still queued (the text a closing Space typed, moves
// over it) are dropped with it, so they never reach the main window.
void CloseInformationBox() {
    if (s_box.window != nullptr) {
        SDL_DestroyWindow(s_box.window);
        SDL_FilterEvents(NotTheBoxs, nullptr);
    }
    s_box.window = nullptr;
    s_box.surface = nullptr;
    s_box.open = false;
}

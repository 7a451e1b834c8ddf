// The Linux information box (posix/info_box_sdl.cpp): a small SDL window of
// its own, painted with the software canvas, for the window backend
// (window_sdl.cpp), which runs the box's events through here while it goes
// on serving its own. The layout and painting are plain canvas work, so the
// tests can read their pixels without a window.
#pragma once
#include "base/text.h"
#include "platform/canvas.h"

union SDL_Event;
struct SDL_Window;

constexpr int InfoBoxTextUnits = 512;  // of the text, terminator included; the rest is dropped
constexpr int InfoBoxMaxLines = 8;     // lines shown; later ones are dropped

// Where everything of the box goes, in box client pixels (0, 0 top-left).
struct InfoBoxLayout {
    int width, height;                           // the box's client size (px)
    int iconLeft, iconTop;                       // the icon's top-left (px); it is InfoIconPx square
    int textLeft, textTop, textRight;            // the first line's box (px); lines are InfoLineHeightPx apart
    int lineCount;
    int lineStart[InfoBoxMaxLines];              // where each line begins in lines
    WideChar lines[InfoBoxTextUnits];            // the text, each line terminated
    int bandTop;                                 // where the button band begins (px)
    int buttonLeft, buttonTop, buttonRight, buttonBottom;  // the OK button (px, right and bottom excluded)
};
constexpr int InfoIconPx = 32;
constexpr int InfoLineHeightPx = 20;

// Fits the box to text: one line per "\n" (a "\r" before it is dropped),
// each line at most as wide as the box allows (longer ones end in "..."
// when painted), and the box wide enough for its button.
void LayOutInformationBox(const WideChar *text, InfoBoxLayout *layout);

// Paints the whole box at the top-left of a frame begun with BeginFrame:
// the white message area with the icon (a blue disc with a white "i") and
// the text, and the grey band below with the OK button.
void PaintInformationBox(Canvas *canvas, const InfoBoxLayout &layout);

// The box window, modal over owner and centred on it, titled caption.
// False (and no window) when it cannot be made. Closing it (OK, Enter,
// Escape, Space or the window manager's close) is seen through
// InformationBoxOpen; CloseInformationBox then destroys the window.
bool OpenInformationBox(SDL_Window *owner, const WideChar *text, const WideChar *caption);
// Takes event when it belongs to the box's window (true); any other event
// is the caller's.
bool HandleInformationBoxEvent(const SDL_Event &event);
bool InformationBoxOpen();
void CloseInformationBox();

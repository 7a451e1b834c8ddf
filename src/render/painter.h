// Frame painter: composes the whole 1280 x 853 launcher screen from
// g_state on every paint, through the canvas seam, and presents it
// stretched over the client area. Also makes the long-lived resources the
// frame uses: four fonts, the background picture and the hover sprite.
// Platform-neutral; reads g_state, never writes it or asks for repaints.
#pragma once
#include "base/text.h"
#include "platform/canvas.h"

// Composes and presents one complete frame. User-interface thread only.
void PaintFrame();

// One action button over y 650-686 between left and right (px).
void DrawActionButton(Canvas *canvas, int left, int right, const WideChar *label, bool hovered);

// One entry field between top and bottom (px): its fill, the text (dots
// when masked, at most 40; otherwise at most the first 63 units) and, when
// focused, the blinking caret 2 px right of the measured text. An unfocused
// empty field draws nothing, so the background art shows.
void DrawEntryField(Canvas *canvas, int top, int bottom, const WideChar *text, bool masked, bool focused, Rgb fill);

// The footer line for the configured server; always terminated, cut to
// capacity. False when it was cut.
constexpr int FooterTextUnits = 160;
bool FormatFooterText(WideChar *out, int capacity);

// Every resource a frame uses, made once when the window is created and
// never released: the background picture, the four fonts, the picture's
// surface, the glow sprite and the hover sprite, in that order. Each
// failure only drops its element from the screen.
void CreateFrameResources();

// The pieces of CreateFrameResources, for tests that make them one by one.
void LoadBackgroundImage();  // "<programDir><sep>bg.bmp", used unscaled
void CreateFrameFonts();
void CreateBackgroundSurface();
void CreateHighlightSprite();

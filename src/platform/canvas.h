// Canvas seam: the drawing operations the frame painter composes a frame
// with. Backends: win32/canvas_gdi.cpp (each operation is the GDI/MSIMG32
// call it is named after) and the software canvas, render/canvas_soft.cpp
// and canvas_soft_text.cpp (the same operations on a 32-bit pixel array
// with exact integer rules; what the Linux window shows and what pixel
// tests read), whose LoadImageFile is posix/image_sdl.cpp and whose glyphs
// come from the glyph seam.
// Conventions: design-space pixels on a 1280 x 853 frame; a rectangle
// (l, t, r, b) covers x l..r-1 and y t..b-1; a line covers its start point,
// not its end point; text is drawn with a transparent background.
#pragma once
#include <cstdint>

#include "base/text.h"

struct Canvas;       // a frame being composed
struct CanvasFont;   // a font at a pixel height and weight
struct CanvasImage;  // a bitmap: the background picture or a sprite

struct Rgb {
    uint8_t r, g, b;
};

// Text layout flags; every text is a single line clipped to its box.
enum TextFlags {
    TextLeft = 0,
    TextCenter = 1,       // centred horizontally
    TextVCenter = 2,      // centred vertically (otherwise aligned to the top)
    TextEndEllipsis = 4,  // too wide: cut and end with "..."
};

// Fonts: the face closest to "Segoe UI" at em height pixelHeight and weight
// (400 normal, 600 semibold, 700 bold). nullptr when none can be made; text
// drawn with a null font is drawn with the backend's default font.
CanvasFont *CreateCanvasFont(int pixelHeight, int weight);

// Images. LoadImageFile reads a BMP at its own size (nullptr when it cannot
// be read). CreateImage makes a width x height image from 32-bit pixels,
// rows top-down, 0xAARRGGBB with premultiplied alpha (nullptr on failure).
CanvasImage *LoadImageFile(const WideChar *path);
CanvasImage *CreateImage(int width, int height, const uint32_t *pixels);

// Frames. BeginFrame gives the 1280 x 853 frame of the current paint (the
// painter covers all of it); EndFrame stretches it over the client area
// (every client pixel the average of the frame pixels it covers, axes
// scaled independently) and presents it: a backend may send the window
// only the pixels that differ from what it shows, so the window always
// looks as if the whole frame had been copied.
Canvas *BeginFrame();
void EndFrame(Canvas *canvas, int clientWidth, int clientHeight);

void FillRect(Canvas *canvas, int left, int top, int right, int bottom, Rgb colour);
// Linear gradients over the rectangle; the colours are given to the
// backend as 16-bit vertex channels (8-bit value in the high byte).
void FillGradientVertical(Canvas *canvas, int left, int top, int right, int bottom, Rgb topColour, Rgb bottomColour);
void FillGradientHorizontal(Canvas *canvas, int left, int top, int right, int bottom, Rgb leftColour, Rgb rightColour);
// RoundRect: outline with a pen of penWidth pixels, and the inside filled
// with fillColour unless fillColour is null (hollow brush).
void DrawRoundRect(Canvas *canvas, int left, int top, int right, int bottom, int ellipseWidth, int ellipseHeight,
                   Rgb penColour, int penWidth, const Rgb *fillColour);
// The ellipse inscribed in the rectangle, filled, no outline (an elliptic
// region filled with a solid brush).
void FillEllipse(Canvas *canvas, int left, int top, int right, int bottom, Rgb colour);
// A line of penWidth pixels from (x1, y1) up to but not including (x2, y2).
void DrawLine(Canvas *canvas, int x1, int y1, int x2, int y2, int penWidth, Rgb colour);

// Copies the image's top-left width x height pixels unscaled to (x, y).
void CopyImage(Canvas *canvas, const CanvasImage *image, int x, int y, int width, int height);
// AlphaBlend, source-over: the source rectangle of the image stretched over
// the destination rectangle (nearest pixel), with constant alpha
// constantAlpha (0-255), and the image's per-pixel alpha when perPixelAlpha.
void BlendImage(Canvas *canvas, const CanvasImage *image, int dstLeft, int dstTop, int dstWidth, int dstHeight,
                int srcLeft, int srcTop, int srcWidth, int srcHeight, int constantAlpha, bool perPixelAlpha);

// Restricts drawing to a rounded rectangle until ClearClip.
void ClipRoundRect(Canvas *canvas, int left, int top, int right, int bottom, int ellipseWidth, int ellipseHeight);
void ClearClip(Canvas *canvas);

// Text in the box (left, top, right, bottom) with TextFlags, clipped to it.
void DrawTextInBox(Canvas *canvas, const CanvasFont *font, const WideChar *text, int left, int top, int right,
                   int bottom, Rgb colour, int flags);
// Width in pixels of text drawn in font, as DrawTextInBox would lay it out.
int MeasureText(Canvas *canvas, const CanvasFont *font, const WideChar *text);

// Canvas backend for Windows: the canvas seam over GDI and MSIMG32 (gdi32,
// msimg32, user32).
// Implemented: every operation as the GDI/MSIMG32 call it is named after
//  [X] FillRect, GradientFill (both directions), RoundRect, FillRgn of an
//      elliptic region, LineTo, BitBlt, AlphaBlend, DrawTextW, clip regions
//  [X] fonts (CreateFontW, ClearType quality) and images (LoadImageW of a
//      BMP, top-down 32-bit DIB sections for sprites)
//  [X] the present: StretchBlt in HALFTONE mode into the window's paint
//  [X] painting without a window: the frame is kept for ReadLastFramePixels
// Leaves out: releasing fonts and images (they last as long as the process).
// Pens, brushes and regions live only inside the operation that makes them.
#include <windows.h>

#include <cstring>
#include <new>

#include "base/state.h"
#include "platform/canvas.h"
#include "platform/test_hooks.h"
#include "platform/window.h"

struct Canvas {
    HWND window;          // window being painted; nullptr when composing off-screen
    PAINTSTRUCT paint;    // BeginPaint's record, valid while window is set
    HDC dc;               // the frame surface (memory DC)
    HBITMAP bitmap;       // the 1280 x 853 frame bitmap selected into dc
    HGDIOBJ oldBitmap;    // dc's own bitmap, put back before deleting
};

struct CanvasFont {
    HFONT handle;
};

struct CanvasImage {
    HBITMAP bitmap;       // a DIB section
    HDC dc;               // memory DC with bitmap selected
};

// Everything this backend keeps; user-interface thread only.
struct GdiCanvasState {
    Canvas frame;        // the one frame being painted (one at a time)
    HBITMAP lastFrame;   // the last frame composed without a window, deselected so
                         // GetDIBits may read it; nullptr until there was one
};
static GdiCanvasState s_canvas;

static COLORREF ToColorRef(Rgb colour) { return RGB(colour.r, colour.g, colour.b); }

// Vertex colour channels are 16 bits; the 8-bit value goes to the high byte.
static TRIVERTEX Vertex(int x, int y, Rgb colour) {
    TRIVERTEX vertex;
    vertex.x = x;
    vertex.y = y;
    vertex.Red = COLOR16(colour.r << 8);
    vertex.Green = COLOR16(colour.g << 8);
    vertex.Blue = COLOR16(colour.b << 8);
    vertex.Alpha = 0;
    return vertex;
}

// Memory DC compatible with the screen (and so with the window, which is on
// the screen) holding bitmap; nullptr when either cannot be had.
static HDC SelectIntoMemoryDc(HBITMAP bitmap) {
    HDC dc = CreateCompatibleDC(nullptr);
    if (dc == nullptr) return nullptr;
    SelectObject(dc, bitmap);
    return dc;
}

static CanvasImage *WrapBitmap(HBITMAP bitmap) {
    HDC dc = SelectIntoMemoryDc(bitmap);
    CanvasImage *image = dc ? new (std::nothrow) CanvasImage : nullptr;
    if (image == nullptr) {
        if (dc) DeleteDC(dc);
        DeleteObject(bitmap);
        return nullptr;
    }
    image->bitmap = bitmap;
    image->dc = dc;
    return image;
}

CanvasFont *CreateCanvasFont(int pixelHeight, int weight) {
    HFONT font = CreateFontW(-pixelHeight, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                             DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
    if (font == nullptr) return nullptr;
    CanvasFont *result = new (std::nothrow) CanvasFont;
    if (result == nullptr) {
        DeleteObject(font);
        return nullptr;
    }
    result->handle = font;
    return result;
}

CanvasImage *LoadImageFile(const WideChar *path) {
    HANDLE loaded = LoadImageW(nullptr, path, IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION);
    if (loaded == nullptr) return nullptr;
    return WrapBitmap(static_cast<HBITMAP>(loaded));
}

// The description of a 32-bit, uncompressed, top-down (negative height)
// bitmap of width x height pixels.
static BITMAPINFO TopDownInfo(int width, int height) {
    BITMAPINFO info;
    ZeroMemory(&info, sizeof info);
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
}

// A 32-bit top-down DIB section (negative height) has exactly the layout of
// the pixel array: one 0xAARRGGBB value per pixel, rows top-down.
CanvasImage *CreateImage(int width, int height, const uint32_t *pixels) {
    if (width <= 0 || height <= 0 || pixels == nullptr) return nullptr;
    BITMAPINFO info = TopDownInfo(width, height);
    void *bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap == nullptr) return nullptr;
    if (bits == nullptr) {
        DeleteObject(bitmap);
        return nullptr;
    }
    std::memcpy(bits, pixels, size_t(width) * size_t(height) * sizeof(uint32_t));
    GdiFlush();
    return WrapBitmap(bitmap);
}

// With a window: BeginPaint, and a frame compatible with the paint's DC.
// Without one: a frame compatible with the screen. Returns nullptr only when
// the frame surface cannot be made; the paint is then ended already.
Canvas *BeginFrame() {
    Canvas *frame = &s_canvas.frame;
    ZeroMemory(frame, sizeof *frame);
    frame->window = static_cast<HWND>(MainWindowHandle());
    HDC reference;
    if (frame->window != nullptr) {
        reference = BeginPaint(frame->window, &frame->paint);
    } else {
        reference = GetDC(nullptr);
    }
    frame->dc = CreateCompatibleDC(reference);
    frame->bitmap = CreateCompatibleBitmap(reference, DesignWidthPx, DesignHeightPx);
    if (frame->window == nullptr) ReleaseDC(nullptr, reference);
    if (frame->dc == nullptr || frame->bitmap == nullptr) {
        if (frame->dc) DeleteDC(frame->dc);
        if (frame->bitmap) DeleteObject(frame->bitmap);
        if (frame->window != nullptr) EndPaint(frame->window, &frame->paint);
        return nullptr;
    }
    frame->oldBitmap = SelectObject(frame->dc, frame->bitmap);
    return frame;
}

// HALFTONE averages the frame pixels under each client pixel; it needs the
// brush origin reset after the mode is set.
void EndFrame(Canvas *canvas, int clientWidth, int clientHeight) {
    if (canvas == nullptr) return;
    if (canvas->window != nullptr) {
        HDC target = canvas->paint.hdc;
        SetStretchBltMode(target, HALFTONE);
        SetBrushOrgEx(target, 0, 0, nullptr);
        StretchBlt(target, 0, 0, clientWidth, clientHeight, canvas->dc, 0, 0, DesignWidthPx, DesignHeightPx,
                   SRCCOPY);
    }
    SelectObject(canvas->dc, canvas->oldBitmap);
    DeleteDC(canvas->dc);
    if (canvas->window != nullptr) {
        DeleteObject(canvas->bitmap);
        EndPaint(canvas->window, &canvas->paint);
    } else {
        if (s_canvas.lastFrame != nullptr) DeleteObject(s_canvas.lastFrame);
        s_canvas.lastFrame = canvas->bitmap;
    }
    ZeroMemory(canvas, sizeof *canvas);
}

bool ReadLastFramePixels(uint32_t *pixels) {
    if (s_canvas.lastFrame == nullptr) return false;
    BITMAPINFO info = TopDownInfo(DesignWidthPx, DesignHeightPx);
    HDC screen = GetDC(nullptr);
    int rows = GetDIBits(screen, s_canvas.lastFrame, 0, DesignHeightPx, pixels, &info, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    if (rows != DesignHeightPx) return false;
    // A device-dependent bitmap's fourth byte means nothing.
    for (int i = 0; i < DesignWidthPx * DesignHeightPx; ++i) pixels[i] &= 0x00FFFFFFu;
    return true;
}

void FillRect(Canvas *canvas, int left, int top, int right, int bottom, Rgb colour) {
    RECT box = {left, top, right, bottom};
    HBRUSH brush = CreateSolidBrush(ToColorRef(colour));
    ::FillRect(canvas->dc, &box, brush);
    DeleteObject(brush);
}

static void FillGradient(Canvas *canvas, int left, int top, int right, int bottom, Rgb first, Rgb second,
                         ULONG mode) {
    TRIVERTEX vertices[2] = {Vertex(left, top, first), Vertex(right, bottom, second)};
    GRADIENT_RECT rect = {0, 1};
    GradientFill(canvas->dc, vertices, 2, &rect, 1, mode);
}

void FillGradientVertical(Canvas *canvas, int left, int top, int right, int bottom, Rgb topColour,
                          Rgb bottomColour) {
    FillGradient(canvas, left, top, right, bottom, topColour, bottomColour, GRADIENT_FILL_RECT_V);
}

void FillGradientHorizontal(Canvas *canvas, int left, int top, int right, int bottom, Rgb leftColour,
                            Rgb rightColour) {
    FillGradient(canvas, left, top, right, bottom, leftColour, rightColour, GRADIENT_FILL_RECT_H);
}

void DrawRoundRect(Canvas *canvas, int left, int top, int right, int bottom, int ellipseWidth, int ellipseHeight,
                   Rgb penColour, int penWidth, const Rgb *fillColour) {
    HPEN pen = CreatePen(PS_SOLID, penWidth, ToColorRef(penColour));
    HBRUSH brush = fillColour ? CreateSolidBrush(ToColorRef(*fillColour))
                              : static_cast<HBRUSH>(GetStockObject(HOLLOW_BRUSH));
    HGDIOBJ oldPen = SelectObject(canvas->dc, pen);
    HGDIOBJ oldBrush = SelectObject(canvas->dc, brush);
    RoundRect(canvas->dc, left, top, right, bottom, ellipseWidth, ellipseHeight);
    SelectObject(canvas->dc, oldBrush);
    SelectObject(canvas->dc, oldPen);
    if (fillColour) DeleteObject(brush);
    DeleteObject(pen);
}

void FillEllipse(Canvas *canvas, int left, int top, int right, int bottom, Rgb colour) {
    HRGN region = CreateEllipticRgn(left, top, right, bottom);
    HBRUSH brush = CreateSolidBrush(ToColorRef(colour));
    FillRgn(canvas->dc, region, brush);
    DeleteObject(brush);
    DeleteObject(region);
}

void DrawLine(Canvas *canvas, int x1, int y1, int x2, int y2, int penWidth, Rgb colour) {
    HPEN pen = CreatePen(PS_SOLID, penWidth, ToColorRef(colour));
    HGDIOBJ oldPen = SelectObject(canvas->dc, pen);
    MoveToEx(canvas->dc, x1, y1, nullptr);
    LineTo(canvas->dc, x2, y2);
    SelectObject(canvas->dc, oldPen);
    DeleteObject(pen);
}

void CopyImage(Canvas *canvas, const CanvasImage *image, int x, int y, int width, int height) {
    BitBlt(canvas->dc, x, y, width, height, image->dc, 0, 0, SRCCOPY);
}

void BlendImage(Canvas *canvas, const CanvasImage *image, int dstLeft, int dstTop, int dstWidth, int dstHeight,
                int srcLeft, int srcTop, int srcWidth, int srcHeight, int constantAlpha, bool perPixelAlpha) {
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, BYTE(constantAlpha), BYTE(perPixelAlpha ? AC_SRC_ALPHA : 0)};
    AlphaBlend(canvas->dc, dstLeft, dstTop, dstWidth, dstHeight, image->dc, srcLeft, srcTop, srcWidth, srcHeight,
               blend);
}

// SelectClipRgn keeps its own copy of the region, so ours goes at once.
void ClipRoundRect(Canvas *canvas, int left, int top, int right, int bottom, int ellipseWidth, int ellipseHeight) {
    HRGN region = CreateRoundRectRgn(left, top, right, bottom, ellipseWidth, ellipseHeight);
    SelectClipRgn(canvas->dc, region);
    DeleteObject(region);
}

void ClearClip(Canvas *canvas) { SelectClipRgn(canvas->dc, nullptr); }

void DrawTextInBox(Canvas *canvas, const CanvasFont *font, const WideChar *text, int left, int top, int right,
                   int bottom, Rgb colour, int flags) {
    RECT box = {left, top, right, bottom};
    UINT format = DT_SINGLELINE;
    if (flags & TextCenter) format |= DT_CENTER;
    if (flags & TextVCenter) format |= DT_VCENTER;
    if (flags & TextEndEllipsis) format |= DT_END_ELLIPSIS;
    SetBkMode(canvas->dc, TRANSPARENT);
    SetTextColor(canvas->dc, ToColorRef(colour));
    HGDIOBJ oldFont = font ? SelectObject(canvas->dc, font->handle) : nullptr;
    DrawTextW(canvas->dc, text, -1, &box, format);
    if (oldFont) SelectObject(canvas->dc, oldFont);
}

int MeasureText(Canvas *canvas, const CanvasFont *font, const WideChar *text) {
    HGDIOBJ oldFont = font ? SelectObject(canvas->dc, font->handle) : nullptr;
    SIZE extent = {0, 0};
    GetTextExtentPoint32W(canvas->dc, text, TextLength(text), &extent);
    if (oldFont) SelectObject(canvas->dc, oldFont);
    return extent.cx;
}

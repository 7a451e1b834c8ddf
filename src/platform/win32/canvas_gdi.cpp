// Canvas backend for Windows: the canvas seam over GDI and MSIMG32 (gdi32,
// msimg32, user32).
// Implemented: every operation as the GDI/MSIMG32 call it is named after
//  [X] FillRect, GradientFill (both directions), RoundRect, FillRgn of an
//      elliptic region, LineTo, BitBlt, AlphaBlend, DrawTextW, clip regions
//  [X] fonts (CreateFontW, ClearType quality) and images (LoadImageW of a
//      BMP, top-down 32-bit DIB sections for sprites)
//  [X] one long-lived frame surface (a 32-bit DIB section), composed whole
//      on every paint: making and touching a new 4 MB bitmap per paint was
//      most of the idle window's cost. The base layer (the picture, or one
//      colour) goes again only over the tiles the last frame drew on, since
//      everywhere else the surface still holds it
//  [X] the present: StretchBlt in HALFTONE mode of the whole frame, clipped
//      to the tiles that differ from the frame presented last
//      (render/present_tiles.h) and whatever the system asked to have
//      painted again, so only those reach the window, and each of their
//      pixels is what a copy of the whole frame would give. A tick the
//      system asks nothing of goes straight to the window's DC; otherwise
//      through BeginPaint. The frame presented last is kept as its base
//      layer and the tiles where it differs from that (1 MB at most, not a
//      second whole frame)
//  [X] painting without a window: the frame is composed from nothing and
//      kept for ReadLastFramePixels
// Leaves out: releasing fonts, images and the frame (they last as long as
// the process; a font stays selected in the frame's DC). Pens, brushes and
// regions live only inside the operation that makes them.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "base/state.h"
#include "platform/canvas.h"
#include "platform/test_hooks.h"
#include "platform/window.h"
#include "render/present_tiles.h"

// What every pixel of a frame is before anything is drawn over it: the
// first operation of a frame when it covers the whole frame, one colour or
// an image copied at (0, 0) (images never change, so the image stands for
// its pixels).
struct BaseLayer {
    bool known;                // false: the frame began with something smaller
    const CanvasImage *image;  // nullptr: every pixel is colour
    COLORREF colour;
    uint32_t colourPixel;      // colour as the surface holds it
};

struct Canvas {
    HDC dc;             // the frame surface (memory DC)
    HBITMAP bitmap;     // the 1280 x 853 top-down 32-bit DIB section selected into dc
    uint32_t *pixels;   // its bits, 0x00RRGGBB rows top-down (the top byte is GDI's)
    bool drawn;         // some operation drew since BeginFrame
    bool clipped;       // a clip region is selected: no operation is the base layer
    HGDIOBJ font;       // the font selected into dc by UseFont; nullptr at first
    BaseLayer base;     // this frame's base layer
    TileMap touched;    // 1: some operation may have written there over the base layer
};

struct CanvasFont {
    HFONT handle;
};

struct CanvasImage {
    HBITMAP bitmap;       // a DIB section
    HDC dc;               // memory DC with bitmap selected
    int width, height;    // px
    // The pixels of a top-down 32-bit image, as the frame holds them once
    // copied, rows of width; nullptr for other images.
    const uint32_t *pixels;
};

// Past this many changed pieces a present sends the whole frame.
constexpr int MaxChangedRects = 512;
// Tiles of the frame presented last that may differ from its base layer;
// with more, every present is whole. The launcher's own frame has about 450.
constexpr int ShownTileSlots = 1024;
constexpr int TilePixels = TilePx * TilePx;

// Everything this backend keeps; user-interface thread only.
struct GdiCanvasState {
    Canvas frame;          // made by the first BeginFrame, then kept
    bool frameOffScreen;   // the frame in it was composed with no window
    // What the window shows, when shownValid (kept for unscaled presents
    // only, which alone go by tiles): shownBase's pixels, but in each tile
    // with a slot (shownSlot: the slot's number + 1, or 0) the pixels in
    // that slot of shownTiles, TilePx rows of TilePx pixels.
    bool shownValid;
    BaseLayer shownBase;
    uint32_t *shownTiles;  // nullptr when it could not be had: every present is whole
    uint16_t shownSlot[TileRows][TileColumns];
    uint16_t freeSlots[ShownTileSlots];
    int freeCount;
    uint32_t colourRow[TilePx];  // a tile row of shownBase's colour
    TileMap changed;
    PresentRect rects[MaxChangedRects];
    // What the surface held when this frame began: surfaceBase's pixels
    // outside the tiles marked in surfaceTouched, when surfaceKnown.
    bool surfaceKnown;
    BaseLayer surfaceBase;
    TileMap surfaceTouched;
    // The changed pieces as one region's data, for ExtCreateRegion.
    struct {
        RGNDATAHEADER header;
        RECT rects[MaxChangedRects];
    } region;
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

// topDownPixels: the bits of a top-down 32-bit bitmap, or nullptr.
static CanvasImage *WrapBitmap(HBITMAP bitmap, const void *topDownPixels) {
    HDC dc = SelectIntoMemoryDc(bitmap);
    CanvasImage *image = dc ? new (std::nothrow) CanvasImage : nullptr;
    if (image == nullptr) {
        if (dc) DeleteDC(dc);
        DeleteObject(bitmap);
        return nullptr;
    }
    image->bitmap = bitmap;
    image->dc = dc;
    BITMAP shape;
    bool known = GetObjectW(bitmap, sizeof shape, &shape) == int(sizeof shape);
    image->width = known ? shape.bmWidth : 0;
    image->height = known ? shape.bmHeight : 0;
    image->pixels = known ? static_cast<const uint32_t *>(topDownPixels) : nullptr;
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

// A picture (bg.bmp is 24-bit) is copied once into a top-down 32-bit DIB
// section of its size, so the copy onto the frame on every paint moves
// whole pixels instead of converting each one (under Wine the conversion
// was the largest part of composing a frame), and its pixels can be read
// in the frame's order. The pixels are the same; when the copy cannot be
// made, the picture is used as loaded and *bitsOut is nullptr.
static HBITMAP WithFramePixelFormat(HBITMAP loaded, void **bitsOut) {
    *bitsOut = nullptr;
    BITMAP shape;
    if (GetObjectW(loaded, sizeof shape, &shape) != int(sizeof shape)) return loaded;
    BITMAPINFO info = TopDownInfo(shape.bmWidth, shape.bmHeight);
    void *bits = nullptr;
    HBITMAP converted = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC from = CreateCompatibleDC(nullptr), to = CreateCompatibleDC(nullptr);
    bool copied = converted != nullptr && bits != nullptr && from != nullptr && to != nullptr;
    if (copied) {
        HGDIOBJ oldFrom = SelectObject(from, loaded), oldTo = SelectObject(to, converted);
        copied = BitBlt(to, 0, 0, shape.bmWidth, shape.bmHeight, from, 0, 0, SRCCOPY) != FALSE;
        GdiFlush();
        SelectObject(from, oldFrom);
        SelectObject(to, oldTo);
    }
    if (from != nullptr) DeleteDC(from);
    if (to != nullptr) DeleteDC(to);
    if (!copied) {
        if (converted != nullptr) DeleteObject(converted);
        return loaded;
    }
    DeleteObject(loaded);
    *bitsOut = bits;
    return converted;
}

CanvasImage *LoadImageFile(const WideChar *path) {
    HANDLE loaded = LoadImageW(nullptr, path, IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION);
    if (loaded == nullptr) return nullptr;
    void *bits;
    HBITMAP bitmap = WithFramePixelFormat(static_cast<HBITMAP>(loaded), &bits);
    return WrapBitmap(bitmap, bits);
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
    return WrapBitmap(bitmap, bits);
}

// Notes that an operation may write inside (left, top, right, bottom),
// widened by margin pixels, for the present's comparison; what lies outside
// every noted rectangle is taken to be the base layer. The first operation
// of a frame, when it is one that covers the whole frame, is the base layer
// itself (NoteBase) and marks nothing.
static void NoteDrawn(Canvas *canvas, int left, int top, int right, int bottom, int margin) {
    canvas->drawn = true;
    left = left - margin < 0 ? 0 : left - margin;
    top = top - margin < 0 ? 0 : top - margin;
    right = right + margin > DesignWidthPx ? DesignWidthPx : right + margin;
    bottom = bottom + margin > DesignHeightPx ? DesignHeightPx : bottom + margin;
    if (left >= right || top >= bottom) return;
    int first = left >> TileShift, last = (right - 1) >> TileShift;
    for (int t = top >> TileShift; t <= (bottom - 1) >> TileShift; t++)
        std::memset(&canvas->touched[t][first], 1, size_t(last - first + 1));
}

static bool CoversFrame(int left, int top, int right, int bottom) {
    return left <= 0 && top <= 0 && right >= DesignWidthPx && bottom >= DesignHeightPx;
}

static bool NoteBase(Canvas *canvas, const CanvasImage *image, COLORREF colour) {
    if (canvas->drawn || canvas->clipped) return false;
    canvas->drawn = true;
    canvas->base = {true, image, colour, 0};
    return true;
}

static bool SameBase(const BaseLayer &a, const BaseLayer &b) {
    return a.known && b.known && a.image == b.image && (a.image != nullptr || a.colour == b.colour);
}

// A base layer whose pixels can be read: a colour, or a 32-bit image that
// covers the frame.
static bool BaseIsReadable(const BaseLayer &base) {
    if (!base.known) return false;
    const CanvasImage *image = base.image;
    return image == nullptr ||
           (image->pixels != nullptr && image->width >= DesignWidthPx && image->height >= DesignHeightPx);
}

// Lays the frame's base layer, just noted, over the surface: only over the
// tiles the frame before drew on when that frame lay on the same base,
// since everywhere else the surface still shows it; otherwise whole. The
// tiles are written straight into the surface's bits (the pixels a copy or
// a fill gives, without a GDI call for each run of tiles).
static void LayBase(Canvas *canvas, HBRUSH brush) {
    const BaseLayer &base = canvas->base;
    const CanvasImage *image = base.image;
    if (!s_canvas.surfaceKnown || !SameBase(s_canvas.surfaceBase, base) || !BaseIsReadable(base)) {
        RECT all = {0, 0, DesignWidthPx, DesignHeightPx};
        if (image != nullptr) BitBlt(canvas->dc, 0, 0, DesignWidthPx, DesignHeightPx, image->dc, 0, 0, SRCCOPY);
        else ::FillRect(canvas->dc, &all, brush);
        return;
    }
    GdiFlush();
    uint32_t colour = s_canvas.surfaceBase.colourPixel;
    for (int t = 0; t < TileRows; t++) {
        for (int c = 0; c < TileColumns; c++) {
            if (!s_canvas.surfaceTouched[t][c]) continue;
            int first = c;
            while (c < TileColumns && s_canvas.surfaceTouched[t][c]) c++;
            int left = first * TilePx, right = c * TilePx < DesignWidthPx ? c * TilePx : DesignWidthPx;
            for (int y = t * TilePx; y < (t + 1) * TilePx && y < DesignHeightPx; y++) {
                uint32_t *row = canvas->pixels + size_t(y) * DesignWidthPx;
                if (image != nullptr)
                    std::memcpy(row + left, image->pixels + size_t(y) * image->width + left, size_t(right - left) * 4);
                else
                    std::fill(row + left, row + right, colour);
            }
        }
    }
}

// Notes the pixel a base colour leaves on the surface (all of it is that
// colour now).
static void NoteBaseColourPixel(Canvas *canvas) {
    GdiFlush();
    canvas->base.colourPixel = canvas->pixels[0];
}

// Pen and glyph edges may reach a little past the geometry they are given.
constexpr int EdgeMarginPx = 2;

// The frame surface, made once: a top-down 32-bit DIB section, so its
// pixels can be compared with the frame presented last without a copy.
// False when it cannot be made.
static bool MakeFrameSurface() {
    Canvas *frame = &s_canvas.frame;
    if (frame->dc != nullptr) return true;
    BITMAPINFO info = TopDownInfo(DesignWidthPx, DesignHeightPx);
    void *bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC dc = bitmap != nullptr && bits != nullptr ? SelectIntoMemoryDc(bitmap) : nullptr;
    if (dc == nullptr) {
        if (bitmap != nullptr) DeleteObject(bitmap);
        return false;
    }
    frame->dc = dc;
    frame->bitmap = bitmap;
    frame->pixels = static_cast<uint32_t *>(bits);
    s_canvas.shownTiles = new (std::nothrow) uint32_t[size_t(ShownTileSlots) * TilePixels];
    return true;
}

// The frame is the same surface every time; the painter covers all of it.
// What the frame before left on it is noted for the base layer's copy
// (nothing is, without a window: such a frame is composed from nothing).
// Returns nullptr only when the surface cannot be made; a window's paint
// request is then dropped, so it does not come back at once.
Canvas *BeginFrame() {
    if (MakeFrameSurface()) {
        Canvas *frame = &s_canvas.frame;
        s_canvas.surfaceKnown = frame->base.known && MainWindowHandle() != nullptr;
        s_canvas.surfaceBase = frame->base;
        std::memcpy(s_canvas.surfaceTouched, frame->touched, sizeof s_canvas.surfaceTouched);
        frame->drawn = false;
        frame->base.known = false;
        ClearClip(frame);
        std::memset(frame->touched, 0, sizeof frame->touched);
        return frame;
    }
    HWND window = static_cast<HWND>(MainWindowHandle());
    if (window != nullptr) ValidateRect(window, nullptr);
    return nullptr;
}

// Whether the frame's pixels in tile (t, c) are those of a kept tile, or
// with kept nullptr those of the base layer there.
static bool TileIsAsKept(const uint32_t *frame, int t, int c, const uint32_t *kept, const BaseLayer &base) {
    int x0 = c * TilePx, y0 = t * TilePx;
    size_t bytes = size_t((x0 + TilePx < DesignWidthPx ? x0 + TilePx : DesignWidthPx) - x0) * 4;
    for (int y = y0; y < y0 + TilePx && y < DesignHeightPx; y++) {
        const uint32_t *old = kept != nullptr         ? kept + (y - y0) * TilePx
                              : base.image != nullptr ? base.image->pixels + size_t(y) * base.image->width + x0
                                                      : s_canvas.colourRow;
        if (std::memcmp(frame + size_t(y) * DesignWidthPx + x0, old, bytes) != 0) return false;
    }
    return true;
}

static void KeepTile(uint32_t *slot, const uint32_t *frame, int t, int c) {
    int x0 = c * TilePx, y0 = t * TilePx;
    size_t bytes = size_t((x0 + TilePx < DesignWidthPx ? x0 + TilePx : DesignWidthPx) - x0) * 4;
    for (int y = y0; y < y0 + TilePx && y < DesignHeightPx; y++)
        std::memcpy(slot + (y - y0) * TilePx, frame + size_t(y) * DesignWidthPx + x0, bytes);
}

static void ForgetShownTiles() {
    std::memset(s_canvas.shownSlot, 0, sizeof s_canvas.shownSlot);
    for (int i = 0; i < ShownTileSlots; i++) s_canvas.freeSlots[i] = uint16_t(i);
    s_canvas.freeCount = ShownTileSlots;
}

// Finds the client rectangles over the tiles in which frame differs from
// what the window shows (into s_canvas.rects; returns their count), and
// brings the record of that up to date. Only tiles drawn on over the base
// layer in this frame, or kept from the last, can differ when both frames
// have the same base; those are compared. Anything else (the first
// present, a new base layer, a scaled present, too many pieces) returns -1:
// the whole client area is presented. Only an unscaled present goes by
// tiles, so the tiles' own pixels are all that changes on the window.
static int FindChangedPieces(const Canvas *canvas, int clientWidth, int clientHeight) {
    // A scaled present is sent whole: a halftone stretch clipped to a few
    // rectangles need not give the very pixels of the whole stretch there.
    bool unscaled = clientWidth == DesignWidthPx && clientHeight == DesignHeightPx;
    const BaseLayer &base = canvas->base;
    if (!unscaled || s_canvas.shownTiles == nullptr || !BaseIsReadable(base)) {
        s_canvas.shownValid = false;
        return -1;
    }
    bool follows = s_canvas.shownValid && SameBase(s_canvas.shownBase, base);
    if (!follows) ForgetShownTiles();
    for (uint32_t &pixel : s_canvas.colourRow) pixel = base.colourPixel;
    bool fits = true;
    for (int t = 0; t < TileRows; t++) {
        for (int c = 0; c < TileColumns; c++) {
            uint16_t &slot = s_canvas.shownSlot[t][c];
            bool touched = canvas->touched[t][c] != 0;
            s_canvas.changed[t][c] = 0;
            if (!touched && slot == 0) continue;
            uint32_t *kept = slot != 0 ? s_canvas.shownTiles + size_t(slot - 1) * TilePixels : nullptr;
            bool same = TileIsAsKept(canvas->pixels, t, c, kept, base);
            s_canvas.changed[t][c] = !same;
            if (!touched) {  // the frame shows its base layer here
                s_canvas.freeSlots[s_canvas.freeCount++] = uint16_t(slot - 1);
                slot = 0;
            } else if (!same) {
                if (slot == 0 && s_canvas.freeCount == 0) {
                    fits = false;
                    continue;
                }
                if (slot == 0) slot = uint16_t(s_canvas.freeSlots[--s_canvas.freeCount] + 1);
                KeepTile(s_canvas.shownTiles + size_t(slot - 1) * TilePixels, canvas->pixels, t, c);
            }
        }
    }
    s_canvas.shownBase = base;
    s_canvas.shownValid = fits;
    return follows && fits ? ChangedClientRects(s_canvas.changed, clientWidth, clientHeight, s_canvas.rects,
                                                MaxChangedRects)
                           : -1;
}

// The first count pieces of s_canvas.rects as one region; nullptr when it
// cannot be made. They come in rows from the top and left to right, none
// overlapping: the order a region's data is kept in.
static HRGN PiecesRegion(int count) {
    RGNDATAHEADER &header = s_canvas.region.header;
    header = {sizeof header, RDH_RECTANGLES, DWORD(count), DWORD(count * sizeof(RECT)), {0, 0, 0, 0}};
    for (int i = 0; i < count; i++) {
        const PresentRect &r = s_canvas.rects[i];
        s_canvas.region.rects[i] = {r.x, r.y, r.x + r.width, r.y + r.height};
        UnionRect(&header.rcBound, &header.rcBound, &s_canvas.region.rects[i]);
    }
    return ExtCreateRegion(nullptr, DWORD(sizeof header + count * sizeof(RECT)),
                           reinterpret_cast<const RGNDATA *>(&s_canvas.region));
}

// The whole frame stretched over the client area, into a target clipped to
// what is to be presented. HALFTONE averages the frame pixels under each
// client pixel; it needs the brush origin reset after the mode is set.
static void StretchFrame(HDC target, const Canvas *canvas, int clientWidth, int clientHeight) {
    SetStretchBltMode(target, HALFTONE);
    SetBrushOrgEx(target, 0, 0, nullptr);
    StretchBlt(target, 0, 0, clientWidth, clientHeight, canvas->dc, 0, 0, DesignWidthPx, DesignHeightPx, SRCCOPY);
}

// The present. On a usual tick the system asks for nothing itself: the
// changed pieces go straight to the window's DC, clipped to them, and the
// paint request is answered (under Wine that takes half the server
// requests of a paint). Otherwise the pieces (or the whole client area)
// join the window's update region, and the paint covers them and whatever
// the system asked to have painted again (a part that was covered, a
// restore). A window with no client area (minimised) gets nothing, and
// keeps its record of what it shows.
void EndFrame(Canvas *canvas, int clientWidth, int clientHeight) {
    if (canvas == nullptr) return;
    GdiFlush();
    HWND window = static_cast<HWND>(MainWindowHandle());
    s_canvas.frameOffScreen = window == nullptr;
    if (window == nullptr) return;
    bool visible = clientWidth > 0 && clientHeight > 0;
    int count = visible ? FindChangedPieces(canvas, clientWidth, clientHeight) : 0;
    HRGN pieces = count > 0 ? PiecesRegion(count) : nullptr;
    if (count > 0 && pieces == nullptr) count = -1;
    if (visible && count >= 0 && !GetUpdateRect(window, nullptr, FALSE)) {
        HDC direct = pieces != nullptr ? GetDC(window) : nullptr;
        if (direct != nullptr) {
            SelectClipRgn(direct, pieces);
            StretchFrame(direct, canvas, clientWidth, clientHeight);
            SelectClipRgn(direct, nullptr);
            ReleaseDC(window, direct);
        }
        if (pieces == nullptr || direct != nullptr) {
            // Only the paint request is taken back: a part the system asks for
            // meanwhile stays in the update region and brings another paint.
            RECT nothing = {0, 0, 0, 0};
            RedrawWindow(window, &nothing, nullptr, RDW_VALIDATE | RDW_NOINTERNALPAINT);
            if (pieces != nullptr) DeleteObject(pieces);
            return;
        }
    }
    if (count < 0) InvalidateRect(window, nullptr, FALSE);
    if (pieces != nullptr) InvalidateRgn(window, pieces, FALSE);
    PAINTSTRUCT paint;
    HDC target = BeginPaint(window, &paint);
    if (target != nullptr && visible) StretchFrame(target, canvas, clientWidth, clientHeight);
    EndPaint(window, &paint);
    if (pieces != nullptr) DeleteObject(pieces);
}

bool ReadLastFramePixels(uint32_t *pixels) {
    if (s_canvas.frame.pixels == nullptr || !s_canvas.frameOffScreen) return false;
    GdiFlush();
    // The fourth byte of a pixel is whatever GDI left there.
    for (int i = 0; i < DesignWidthPx * DesignHeightPx; ++i) pixels[i] = s_canvas.frame.pixels[i] & 0x00FFFFFFu;
    return true;
}

void FillRect(Canvas *canvas, int left, int top, int right, int bottom, Rgb colour) {
    bool base = CoversFrame(left, top, right, bottom) && NoteBase(canvas, nullptr, ToColorRef(colour));
    if (!base) NoteDrawn(canvas, left, top, right, bottom, 0);
    RECT box = {left, top, right, bottom};
    HBRUSH brush = CreateSolidBrush(ToColorRef(colour));
    if (base) {
        LayBase(canvas, brush);
        NoteBaseColourPixel(canvas);
    } else {
        ::FillRect(canvas->dc, &box, brush);
    }
    DeleteObject(brush);
}

static void FillGradient(Canvas *canvas, int left, int top, int right, int bottom, Rgb first, Rgb second,
                         ULONG mode) {
    NoteDrawn(canvas, left, top, right, bottom, 0);
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
    NoteDrawn(canvas, left, top, right, bottom, penWidth + EdgeMarginPx);
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
    NoteDrawn(canvas, left, top, right, bottom, EdgeMarginPx);
    HRGN region = CreateEllipticRgn(left, top, right, bottom);
    HBRUSH brush = CreateSolidBrush(ToColorRef(colour));
    FillRgn(canvas->dc, region, brush);
    DeleteObject(brush);
    DeleteObject(region);
}

void DrawLine(Canvas *canvas, int x1, int y1, int x2, int y2, int penWidth, Rgb colour) {
    NoteDrawn(canvas, x1 < x2 ? x1 : x2, y1 < y2 ? y1 : y2, (x1 > x2 ? x1 : x2) + 1, (y1 > y2 ? y1 : y2) + 1,
              penWidth + EdgeMarginPx);
    HPEN pen = CreatePen(PS_SOLID, penWidth, ToColorRef(colour));
    HGDIOBJ oldPen = SelectObject(canvas->dc, pen);
    MoveToEx(canvas->dc, x1, y1, nullptr);
    LineTo(canvas->dc, x2, y2);
    SelectObject(canvas->dc, oldPen);
    DeleteObject(pen);
}

void CopyImage(Canvas *canvas, const CanvasImage *image, int x, int y, int width, int height) {
    if (x == 0 && y == 0 && CoversFrame(x, y, x + width, y + height) && NoteBase(canvas, image, 0)) {
        LayBase(canvas, nullptr);
        return;
    }
    NoteDrawn(canvas, x, y, x + width, y + height, 0);
    BitBlt(canvas->dc, x, y, width, height, image->dc, 0, 0, SRCCOPY);
}

void BlendImage(Canvas *canvas, const CanvasImage *image, int dstLeft, int dstTop, int dstWidth, int dstHeight,
                int srcLeft, int srcTop, int srcWidth, int srcHeight, int constantAlpha, bool perPixelAlpha) {
    NoteDrawn(canvas, dstLeft, dstTop, dstLeft + dstWidth, dstTop + dstHeight, 0);
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, BYTE(constantAlpha), BYTE(perPixelAlpha ? AC_SRC_ALPHA : 0)};
    AlphaBlend(canvas->dc, dstLeft, dstTop, dstWidth, dstHeight, image->dc, srcLeft, srcTop, srcWidth, srcHeight,
               blend);
}

// SelectClipRgn keeps its own copy of the region, so ours goes at once.
void ClipRoundRect(Canvas *canvas, int left, int top, int right, int bottom, int ellipseWidth, int ellipseHeight) {
    HRGN region = CreateRoundRectRgn(left, top, right, bottom, ellipseWidth, ellipseHeight);
    SelectClipRgn(canvas->dc, region);
    DeleteObject(region);
    canvas->clipped = true;
}

void ClearClip(Canvas *canvas) {
    SelectClipRgn(canvas->dc, nullptr);
    canvas->clipped = false;
}

// Selects font (nullptr: the DC's own, the system font) into the frame's DC
// unless it is there already. Fonts last as long as the process, so one
// may stay selected between operations and frames: under Wine every
// selection into a DC made for the screen asks Xlib for the X resource
// database's font settings, which reads files when there is none.
static void UseFont(Canvas *canvas, const CanvasFont *font) {
    HGDIOBJ wanted = font != nullptr ? font->handle : GetStockObject(SYSTEM_FONT);
    if (wanted == canvas->font) return;
    SelectObject(canvas->dc, wanted);
    canvas->font = wanted;
}

void DrawTextInBox(Canvas *canvas, const CanvasFont *font, const WideChar *text, int left, int top, int right,
                   int bottom, Rgb colour, int flags) {
    NoteDrawn(canvas, left, top, right, bottom, EdgeMarginPx);
    RECT box = {left, top, right, bottom};
    UINT format = DT_SINGLELINE;
    if (flags & TextCenter) format |= DT_CENTER;
    if (flags & TextVCenter) format |= DT_VCENTER;
    if (flags & TextEndEllipsis) format |= DT_END_ELLIPSIS;
    SetBkMode(canvas->dc, TRANSPARENT);
    SetTextColor(canvas->dc, ToColorRef(colour));
    UseFont(canvas, font);
    DrawTextW(canvas->dc, text, -1, &box, format);
}

int MeasureText(Canvas *canvas, const CanvasFont *font, const WideChar *text) {
    UseFont(canvas, font);
    SIZE extent = {0, 0};
    GetTextExtentPoint32W(canvas->dc, text, TextLength(text), &extent);
    return extent.cx;
}

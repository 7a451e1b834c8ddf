// Software canvas: the canvas seam's operations on a 1280 x 853 array of
// 0x00RRGGBB pixels with exact integer rules. Platform-neutral; it is the
// Linux build's canvas and what the pixel tests read. Picture files are
// decoded by the platform (LoadImageFile, posix/image_sdl.cpp) and handed
// over as pixels through CreateImage; text is drawn by canvas_soft_text.cpp.
// Everything runs on the user-interface thread; images are never released.
//
// The divisions of this file, in order:
//   - the frame and the last present, BeginFrame, FillRect;
//   - rect gradients from 16-bit vertex channels;
//   - rounded rectangles and ellipses as pixel-centre regions, and lines;
//   - images: CreateImage, the unscaled copy, and constant and per-pixel
//     alpha blends with nearest-pixel scaling;
//   - the rounded clip;
//   - the present, EndFrame: the design size as it is, any other size
//     through canvas_soft_present.cpp's box filter.
#include <cstdlib>
#include <cstring>

#include "render/canvas_soft.h"
#include "render/canvas_soft_internal.h"

constexpr int64_t MaxImagePixels = 1 << 26; // 64 Mpx (256 MiB); larger images are refused
constexpr int MaxCornerPx = 16384;          // corner ellipses are capped so the region test fits 64 bits

struct CanvasImage {
    int width, height;    // px
    uint32_t *pixels;     // width x height values 0xAARRGGBB (premultiplied), rows top-down
    CanvasImage *next;    // every image ever made: they live as long as the process
};

static uint32_t s_frame[FrameWidthPx * FrameHeightPx];
static Canvas s_canvas;
static CanvasImage *s_images;

static uint32_t *s_presented;    // the last scaled present, s_presentedWidth x s_presentedHeight
static size_t s_presentedCapacity; // pixels
static int s_presentedWidth, s_presentedHeight;
static const uint32_t *s_presentedAt;  // the last present: s_presented, or at the design size s_frame

static BaseLayer s_frameBase;  // the current frame's

// What s_frame holds, whatever BeginFrame left pending: layer's pixels
// outside the tiles marked in offLayer or in the canvas's touched (those
// drawn on since it was laid). Laying the same layer again only has to put
// those tiles back.
static struct {
    BaseLayer layer;
    uint8_t offLayer[TileRows][TileColumns];
} s_held;


static inline int Min(int a, int b) { return a < b ? a : b; }
static inline int Max(int a, int b) { return a > b ? a : b; }
static inline uint32_t ToPixel(Rgb c) { return PackRgb(c.r, c.g, c.b); }
// End of a run of size from start, no further than limit, without overflow.
static inline int RunEnd(int start, int size, int limit) {
    int64_t end = int64_t(start) + size;
    return end < limit ? int(end) : limit;
}

static void FillSpan(Canvas *canvas, int y, int x0, int x1, uint32_t value) {
    if (!ClipSpan(canvas, y, &x0, &x1)) return;
    uint32_t *row = canvas->pixels + size_t(y) * FrameWidthPx;
    for (int x = x0; x < x1; x++) row[x] = value;
}

const uint32_t *FramePixels() {
    if (s_canvas.clearPending) ClearFrameNow(&s_canvas);
    return s_frame;
}

const uint32_t *PresentedPixels(int *width, int *height) {
    if (s_presentedWidth == 0) {
        if (s_canvas.clearPending) ClearFrameNow(&s_canvas);
        *width = FrameWidthPx;
        *height = FrameHeightPx;
        return s_frame;
    }
    *width = s_presentedWidth;
    *height = s_presentedHeight;
    return s_presentedAt;
}

// Lays layer over the whole frame, before anything else is drawn on it;
// where the frame holds it already, the pixels are left alone.
static void LayBase(Canvas *canvas, BaseLayer layer) {
    bool whole = !SameBase(layer, s_held.layer);
    for (int t = 0; t < TileRows; t++) {
        const uint8_t *off = s_held.offLayer[t];
        for (int c = 0; c < TileColumns; c++) {
            if (!whole && !off[c]) continue;
            int first = c;
            while (c < TileColumns && (whole || off[c])) c++;
            int x0 = first * TilePx, x1 = Min(c * TilePx, FrameWidthPx);
            for (int y = t * TilePx; y < Min((t + 1) * TilePx, FrameHeightPx); y++) {
                uint32_t *target = s_frame + size_t(y) * FrameWidthPx;
                if (layer.image == nullptr) {
                    for (int x = x0; x < x1; x++) target[x] = layer.colour;
                } else {
                    const uint32_t *source = layer.image->pixels + size_t(y) * layer.image->width;
                    for (int x = x0; x < x1; x++) target[x] = source[x] & 0x00FFFFFFu;
                }
            }
        }
    }
    s_held.layer = layer;
    std::memset(s_held.offLayer, 0, sizeof s_held.offLayer);
    canvas->clearPending = false;
    s_frameBase = layer;
}

void ClearFrameNow(Canvas *canvas) { LayBase(canvas, {nullptr, 0}); }

// The clear to black is left pending: the base layer usually covers the
// whole frame at once, and the first write clears it otherwise. The tiles
// drawn on in the last frame are remembered, so laying the same base layer
// again only puts those back.
Canvas *BeginFrame() {
    for (int t = 0; t < TileRows; t++)
        for (int c = 0; c < TileColumns; c++) s_held.offLayer[t][c] |= s_canvas.touched[t][c];
    std::memset(s_canvas.touched, 0, sizeof s_canvas.touched);
    s_canvas.pixels = s_frame;
    s_canvas.clipped = false;
    s_canvas.clearPending = true;
    s_canvas.touchedAny = false;
    s_frameBase = {nullptr, 0};
    return &s_canvas;
}

// Whether an operation over (left, top)-(right, bottom) lays a new base
// layer: nothing touched yet, no clip, the whole frame covered.
static bool LaysBase(const Canvas *canvas, int left, int top, int right, int bottom) {
    return !canvas->touchedAny && !canvas->clipped && left <= 0 && top <= 0 && right >= FrameWidthPx &&
           bottom >= FrameHeightPx;
}

void FillRect(Canvas *canvas, int left, int top, int right, int bottom, Rgb colour) {
    if (canvas == nullptr) return;
    if (LaysBase(canvas, left, top, right, bottom)) {
        LayBase(canvas, {nullptr, ToPixel(colour)});
        return;
    }
    for (int y = Max(top, 0); y < Min(bottom, FrameHeightPx); y++) FillSpan(canvas, y, left, right, ToPixel(colour));
}

// Rect gradients interpolate 16-bit vertex channels (the 8-bit value in the
// high byte) at integer positions pos = 0 .. len-1 from the near edge:
//     v = (near16 * (len - pos) + far16 * pos) / len     (truncating)
// and keep the high byte, v >> 8. The far edge (pos = len) lies outside the
// rectangle, so the last row or column is one step short of the far colour.
static uint32_t GradientPixel(Rgb from, Rgb to, int pos, int len) {
    auto channel = [&](int a, int b) {
        uint64_t v = (uint64_t(a) << 8) * uint64_t(len - pos) + (uint64_t(b) << 8) * uint64_t(pos);
        return int(v / uint64_t(len)) >> 8;
    };
    return PackRgb(channel(from.r, to.r), channel(from.g, to.g), channel(from.b, to.b));
}

void FillGradientVertical(Canvas *canvas, int left, int top, int right, int bottom, Rgb topColour,
                          Rgb bottomColour) {
    if (canvas == nullptr || right <= left || bottom <= top) return;
    for (int y = Max(top, 0); y < Min(bottom, FrameHeightPx); y++)
        FillSpan(canvas, y, left, right, GradientPixel(topColour, bottomColour, y - top, bottom - top));
}

void FillGradientHorizontal(Canvas *canvas, int left, int top, int right, int bottom, Rgb leftColour,
                            Rgb rightColour) {
    if (canvas == nullptr || right <= left || bottom <= top) return;
    static uint32_t columns[FrameWidthPx];
    int x0 = Max(left, 0), x1 = Min(right, FrameWidthPx);
    for (int x = x0; x < x1; x++) columns[x] = GradientPixel(leftColour, rightColour, x - left, right - left);
    for (int y = Max(top, 0); y < Min(bottom, FrameHeightPx); y++) {
        int a = x0, b = x1;
        if (!ClipSpan(canvas, y, &a, &b)) continue;
        std::memcpy(canvas->pixels + size_t(y) * FrameWidthPx + a, columns + a, size_t(b - a) * 4);
    }
}

// A rounded rectangle as a region of pixel centres: the rectangle with each
// corner cut by the quarter of an ew x eh ellipse set into it. A pixel of a
// corner band is inside when its centre is inside or on the ellipse,
// tested exactly in integers on doubled coordinates:
//     (2j+1-ew)^2 * eh^2 + (2k+1-eh)^2 * ew^2 <= ew^2 * eh^2
// (j, k: column and row counted from the nearest vertical and horizontal
// edge). An ellipse is the rounded rectangle whose corners are the whole
// rectangle. The region is symmetric and convex, one span per row.
struct RoundShape {
    int left, top, right, bottom;  // px, right and bottom excluded
    int ew, eh;                    // corner ellipse (px), already fitted to the rectangle
};

static RoundShape MakeShape(int left, int top, int right, int bottom, int ew, int eh) {
    RoundShape shape = {left, top, right, bottom, 0, 0};
    shape.ew = Min(Min(Max(ew, 0), Max(right - left, 0)), MaxCornerPx);
    shape.eh = Min(Min(Max(eh, 0), Max(bottom - top, 0)), MaxCornerPx);
    return shape;
}

// Row y of the shape as [*x0, *x1); false when the row is not in it.
static bool ShapeSpan(const RoundShape &shape, int y, int *x0, int *x1) {
    if (y < shape.top || y >= shape.bottom || shape.left >= shape.right) return false;
    int inset = 0;
    int k = Min(y - shape.top, shape.bottom - 1 - y);
    int64_t dy = 2 * int64_t(k) + 1 - shape.eh;
    if (shape.ew > 0 && dy < 0) {
        int64_t ew2 = int64_t(shape.ew) * shape.ew, eh2 = int64_t(shape.eh) * shape.eh;
        int64_t rowTerm = dy * dy * ew2, limit = ew2 * eh2;
        while (2 * inset + 1 < shape.ew) {
            int64_t dx = 2 * int64_t(inset) + 1 - shape.ew;
            if (dx * dx * eh2 + rowTerm <= limit) break;
            inset++;
        }
    }
    *x0 = shape.left + inset;
    *x1 = shape.right - inset;
    return *x0 < *x1;
}

// The shape's pixels whose four neighbours are all in the shape as well.
static bool InteriorSpan(const RoundShape &shape, int y, int *x0, int *x1) {
    int a0, a1, b0, b1, c0, c1;
    if (!ShapeSpan(shape, y, &a0, &a1) || !ShapeSpan(shape, y - 1, &b0, &b1) || !ShapeSpan(shape, y + 1, &c0, &c1))
        return false;
    *x0 = Max(a0 + 1, Max(b0, c0));
    *x1 = Min(a1 - 1, Min(b1, c1));
    return *x0 < *x1;
}

// The outline is the shape minus the interior of the same shape shrunk by
// penWidth - 1 on every side: a 1-pixel pen paints exactly the shape's
// boundary pixels (those with a neighbour outside), all inside the
// rectangle. The fill is that interior.
void DrawRoundRect(Canvas *canvas, int left, int top, int right, int bottom, int ellipseWidth, int ellipseHeight,
                   Rgb penColour, int penWidth, const Rgb *fillColour) {
    if (canvas == nullptr) return;
    int inset = Max(penWidth, 1) - 1;
    RoundShape outer = MakeShape(left, top, right, bottom, ellipseWidth, ellipseHeight);
    RoundShape inner = MakeShape(left + inset, top + inset, right - inset, bottom - inset,
                                 ellipseWidth - 2 * inset, ellipseHeight - 2 * inset);
    uint32_t pen = ToPixel(penColour);
    for (int y = Max(top, 0); y < Min(bottom, FrameHeightPx); y++) {
        int x0, x1, i0, i1;
        if (!ShapeSpan(outer, y, &x0, &x1)) continue;
        if (!InteriorSpan(inner, y, &i0, &i1)) {
            FillSpan(canvas, y, x0, x1, pen);
            continue;
        }
        i0 = Max(i0, x0);
        i1 = Min(i1, x1);
        FillSpan(canvas, y, x0, i0, pen);
        if (fillColour != nullptr) FillSpan(canvas, y, i0, i1, ToPixel(*fillColour));
        FillSpan(canvas, y, i1, x1, pen);
    }
}

void FillEllipse(Canvas *canvas, int left, int top, int right, int bottom, Rgb colour) {
    if (canvas == nullptr) return;
    RoundShape shape = MakeShape(left, top, right, bottom, right - left, bottom - top);
    for (int y = Max(top, 0); y < Min(bottom, FrameHeightPx); y++) {
        int x0, x1;
        if (ShapeSpan(shape, y, &x0, &x1)) FillSpan(canvas, y, x0, x1, ToPixel(colour));
    }
}

// Bresenham from the start point up to, not including, the end point. A
// wider pen paints, at each point, a run across the line's main direction:
// offsets -(w/2) .. (w-1)/2, so the second pixel of a 2-pixel pen lies
// above a horizontal line and left of a vertical one (pixel centres inside
// the pen's band, the band's top and left borders included). Ends are flat:
// the line's length does not change with its width.
void DrawLine(Canvas *canvas, int x1, int y1, int x2, int y2, int penWidth, Rgb colour) {
    if (canvas == nullptr) return;
    int width = Max(penWidth, 1);
    int low = -(width / 2), high = (width - 1) / 2;
    uint32_t value = ToPixel(colour);
    int dx = std::abs(x2 - x1), dy = std::abs(y2 - y1);
    int sx = x1 < x2 ? 1 : -1, sy = y1 < y2 ? 1 : -1;
    bool alongX = dx >= dy;
    int err = dx - dy, x = x1, y = y1;
    while (x != x2 || y != y2) {
        if (alongX) {
            for (int o = low; o <= high; o++) FillSpan(canvas, y + o, x, x + 1, value);
        } else {
            FillSpan(canvas, y, x + low, x + high + 1, value);
        }
        int e2 = 2 * err;
        if (e2 > -dy) {
            err -= dy;
            x += sx;
        }
        if (e2 < dx) {
            err += dx;
            y += sy;
        }
    }
}

static CanvasImage *NewImage(int width, int height) {
    if (width <= 0 || height <= 0 || int64_t(width) * height > MaxImagePixels) return nullptr;
    size_t bytes = sizeof(CanvasImage) + size_t(width) * size_t(height) * sizeof(uint32_t);
    CanvasImage *image = static_cast<CanvasImage *>(std::malloc(bytes));
    if (image == nullptr) return nullptr;
    image->width = width;
    image->height = height;
    image->pixels = reinterpret_cast<uint32_t *>(image + 1);
    image->next = s_images;
    s_images = image;
    return image;
}

CanvasImage *CreateImage(int width, int height, const uint32_t *pixels) {
    if (pixels == nullptr) return nullptr;
    CanvasImage *image = NewImage(width, height);
    if (image != nullptr) std::memcpy(image->pixels, pixels, size_t(width) * size_t(height) * sizeof(uint32_t));
    return image;
}

void CopyImage(Canvas *canvas, const CanvasImage *image, int x, int y, int width, int height) {
    if (canvas == nullptr || image == nullptr) return;
    width = Min(width, image->width);
    height = Min(height, image->height);
    if (width <= 0) return;
    if (x == 0 && y == 0 && LaysBase(canvas, 0, 0, width, height)) {
        LayBase(canvas, {image, 0});
        return;
    }
    for (int row = Max(0, -y); row < height; row++) {
        int x0 = x, x1 = RunEnd(x, width, FrameWidthPx);
        if (!ClipSpan(canvas, y + row, &x0, &x1)) continue;
        const uint32_t *source = image->pixels + size_t(row) * image->width + (x0 - x);
        uint32_t *target = canvas->pixels + size_t(y + row) * FrameWidthPx;
        for (int i = x0; i < x1; i++) target[i] = *source++ & 0x00FFFFFFu;
    }
}

// Nearest pixel: destination offset i samples the source pixel under its
// centre, ((2i + 1) * srcSize) / (2 * dstSize). The second half is mapped as
// the mirror of the first, so a centre falling on a pixel border picks the
// pixel nearer the middle on both sides and symmetric sprites stay so.
static inline int Sample(int i, int srcSize, int dstSize) {
    if (2 * i + 1 > dstSize) return srcSize - 1 - Sample(dstSize - 1 - i, srcSize, dstSize);
    return int((int64_t(2 * i + 1) * srcSize) / (2 * int64_t(dstSize)));
}

// Source-over, per channel with k the constant alpha, s the source and d
// the destination channel, every division truncating:
//   no per-pixel alpha:  d' = (s*k + d*(255-k)) / 255
//   per-pixel alpha A (s premultiplied by A):
//                        d' = s*k/255 + d*(255 - A*k/255) / 255
// The second is s*k/255 + d*(1 - A*k/255/255) with both products taken to
// whole values first; it is clamped to 255 for malformed (s > A) pixels.
static inline uint32_t BlendPixel(uint32_t s, uint32_t d, int k, bool perPixelAlpha) {
    int out[3];
    int sourceAlpha = int(s >> 24) * k / 255;
    for (int c = 0; c < 3; c++) {
        int shift = 16 - 8 * c;
        int sc = int(s >> shift & 0xFF), dc = int(d >> shift & 0xFF);
        int v = perPixelAlpha ? sc * k / 255 + dc * (255 - sourceAlpha) / 255 : (sc * k + dc * (255 - k)) / 255;
        out[c] = v > 255 ? 255 : v;
    }
    return PackRgb(out[0], out[1], out[2]);
}

// A source rectangle reaching outside the image draws nothing (AlphaBlend
// refuses it).
void BlendImage(Canvas *canvas, const CanvasImage *image, int dstLeft, int dstTop, int dstWidth, int dstHeight,
                int srcLeft, int srcTop, int srcWidth, int srcHeight, int constantAlpha, bool perPixelAlpha) {
    if (canvas == nullptr || image == nullptr || dstWidth <= 0 || dstHeight <= 0 || srcWidth <= 0 || srcHeight <= 0)
        return;
    if (srcLeft < 0 || srcTop < 0 || srcWidth > image->width - srcLeft || srcHeight > image->height - srcTop) return;
    int k = Min(Max(constantAlpha, 0), 255);
    static int columns[FrameWidthPx];  // source column of each frame column
    int left = Max(dstLeft, 0), right = RunEnd(dstLeft, dstWidth, FrameWidthPx);
    for (int x = left; x < right; x++) columns[x] = srcLeft + Sample(x - dstLeft, srcWidth, dstWidth);
    int bottom = RunEnd(dstTop, dstHeight, FrameHeightPx);
    for (int y = Max(dstTop, 0); y < bottom; y++) {
        int x0 = left, x1 = right;
        if (!ClipSpan(canvas, y, &x0, &x1)) continue;
        int sourceRow = srcTop + Sample(y - dstTop, srcHeight, dstHeight);
        const uint32_t *source = image->pixels + size_t(sourceRow) * image->width;
        uint32_t *target = canvas->pixels + size_t(y) * FrameWidthPx;
        for (int x = x0; x < x1; x++) target[x] = BlendPixel(source[columns[x]], target[x], k, perPixelAlpha);
    }
}

void ClipRoundRect(Canvas *canvas, int left, int top, int right, int bottom, int ellipseWidth, int ellipseHeight) {
    if (canvas == nullptr) return;
    RoundShape shape = MakeShape(left, top, right, bottom, ellipseWidth, ellipseHeight);
    canvas->clipped = true;
    for (int y = 0; y < FrameHeightPx; y++) {
        int x0 = 0, x1 = 0;
        if (ShapeSpan(shape, y, &x0, &x1)) {
            x0 = Min(Max(x0, 0), FrameWidthPx);
            x1 = Min(Max(x1, 0), FrameWidthPx);
        }
        canvas->clipLeft[y] = int16_t(x0);
        canvas->clipRight[y] = int16_t(x1);
    }
}

void ClearClip(Canvas *canvas) {
    if (canvas != nullptr) canvas->clipped = false;
}

// An empty client area (minimised window) presents nothing new. At the
// design size the present is the frame itself; any other size is filtered
// into s_presented.
void EndFrame(Canvas *canvas, int clientWidth, int clientHeight) {
    if (canvas == nullptr) return;
    canvas->clipped = false;
    NoPresentChanges();
    if (clientWidth <= 0 || clientHeight <= 0) return;
    if (canvas->clearPending) ClearFrameNow(canvas);
    int width = Min(clientWidth, MaxPresentSidePx), height = Min(clientHeight, MaxPresentSidePx);
    size_t needed = size_t(width) * size_t(height);
    bool scaled = width != FrameWidthPx || height != FrameHeightPx;
    if (scaled && needed > s_presentedCapacity) {
        uint32_t *grown = static_cast<uint32_t *>(std::realloc(s_presented, needed * sizeof(uint32_t)));
        if (grown == nullptr) return;
        s_presented = grown;
        s_presentedCapacity = needed;
    }
    if (width == FrameWidthPx && height == FrameHeightPx) {
        s_presentedAt = PresentAtDesignSize(canvas, s_frameBase, s_frame);
    } else {
        PresentScaled(canvas, s_frameBase, s_frame, s_presented, width, height);
        s_presentedAt = s_presented;
    }
    s_presentedWidth = width;
    s_presentedHeight = height;
}

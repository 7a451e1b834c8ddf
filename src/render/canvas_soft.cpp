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
//   - the present: an exact area-weighted box filter to the client size,
//     which filters anew only what changed since the last present, EndFrame.
#include <cstdlib>
#include <cstring>

#include "render/canvas_soft.h"
#include "render/canvas_soft_internal.h"

constexpr int MaxPresentSidePx = 16384;     // larger client areas are presented at this size
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

static uint32_t *s_presented;    // the last present, s_presentedWidth x s_presentedHeight
static size_t s_presentedCapacity; // pixels
static int s_presentedWidth, s_presentedHeight;

// A base layer: what every pixel of a frame is before any tile is touched.
// It is BeginFrame's black, or what a first operation that covers the whole
// frame unclipped leaves: one colour, or an image copied at (0, 0) (images
// never change, so the image stands for its pixels).
struct BaseLayer {
    const CanvasImage *image;  // null: every pixel is colour
    uint32_t colour;
};
static BaseLayer s_frameBase;  // the current frame's

// What s_frame holds, whatever BeginFrame left pending: layer's pixels
// outside the tiles marked in offLayer or in the canvas's touched (those
// drawn on since it was laid). Laying the same layer again only has to put
// those tiles back.
static struct {
    BaseLayer layer;
    uint8_t offLayer[TileRows][TileColumns];
} s_held;

// The frame the last scaled present was filtered from, and what it was
// made of: when valid, s_presented is the width x height present of
// s_shown.frame, whose pixels are base's outside the tiles marked in
// touched. The next present filters anew only what lies over tiles that
// differ from it.
static struct {
    bool valid;
    int width, height;
    BaseLayer base;
    uint8_t touched[TileRows][TileColumns];
    uint32_t frame[FrameWidthPx * FrameHeightPx];
} s_shown;

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
    return s_presented;
}

static bool SameBase(BaseLayer a, BaseLayer b) {
    return a.image == b.image && (a.image != nullptr || a.colour == b.colour);
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

// Weight of source pixel i in destination pixel d along an axis scaled from
// source size s to destination size n: the length of the overlap of
// [d*s, (d+1)*s) and [i*n, (i+1)*n). The weights of one destination pixel
// add up to s.
static inline uint32_t Overlap(int64_t i, int64_t d, int64_t s, int64_t n) {
    int64_t low = i * n > d * s ? i * n : d * s;
    int64_t high = (i + 1) * n < (d + 1) * s ? (i + 1) * n : (d + 1) * s;
    return uint32_t(high - low);
}

constexpr int FastTaps = 3;  // shrinking by less than half, no pixel takes more than three per axis

// The source pixels of each destination pixel along one axis: pixel d takes
// weights[first[d] .. first[d+1]) for source pixels from index[d] on. When
// no pixel takes more than FastTaps, padded holds FastTaps weights per
// pixel, the missing ones 0. Each source pixel i is taken by destination
// pixels firstTarget[i] .. lastTarget[i].
struct AxisTable {
    int source, target;  // the sizes the table was built for; 0: none yet
    int maxTaps;
    int index[MaxPresentSidePx];
    int first[MaxPresentSidePx + 1];
    uint32_t weights[MaxPresentSidePx + FrameWidthPx + 1];  // one per (d, i) pair: at most n + s
    uint32_t padded[MaxPresentSidePx * FastTaps];
    int firstTarget[FrameWidthPx];
    int lastTarget[FrameWidthPx];
};

static AxisTable s_columns, s_rows;

static void BuildAxis(AxisTable *table, int source, int target) {
    if (table->source == source && table->target == target) return;
    int next = 0;
    table->maxTaps = 0;
    for (int i = 0; i < source; i++) table->firstTarget[i] = -1;
    for (int d = 0; d < target; d++) {
        int64_t i0 = int64_t(d) * source / target, i1 = (int64_t(d + 1) * source - 1) / target;
        table->index[d] = int(i0);
        table->first[d] = next;
        table->maxTaps = Max(table->maxTaps, int(i1 - i0 + 1));
        for (int64_t i = i0; i <= i1; i++) {
            if (table->firstTarget[i] < 0) table->firstTarget[i] = d;
            table->lastTarget[i] = d;
            table->weights[next++] = Overlap(i, d, source, target);
        }
    }
    table->first[target] = next;
    if (table->maxTaps <= FastTaps) {
        for (int d = 0; d < target; d++)
            for (int t = 0; t < FastTaps; t++) {
                int k = table->first[d] + t;
                table->padded[FastTaps * d + t] = k < table->first[d + 1] ? table->weights[k] : 0;
            }
    }
    table->source = source;
    table->target = target;
}

// Enlarging, neighbouring destination pixels often take the same source
// pixels in the same proportions, and so the same value.
static bool SameSources(const AxisTable &table, int a, int b) {
    int count = table.first[a + 1] - table.first[a];
    if (table.index[a] != table.index[b] || table.first[b + 1] - table.first[b] != count) return false;
    return std::memcmp(table.weights + table.first[a], table.weights + table.first[b], size_t(count) * 4) == 0;
}

// One line of per-channel column sums; FastTaps more at the end, which
// only ever meet a weight of 0. The red and blue sums are also kept packed
// into one 64-bit value, red in the high half, blue in the low one.
static uint32_t s_sumRed[FrameWidthPx + FastTaps], s_sumGreen[FrameWidthPx + FastTaps],
    s_sumBlue[FrameWidthPx + FastTaps];
static uint64_t s_sumRedBlue[FrameWidthPx + FastTaps];

// Presented pixels dx0 .. dx1-1 of row dy into target (the row's start),
// from the frame-sized source (stride pixels a row; the top byte of a
// pixel is ignored). Every presented pixel is the area-weighted mean of
// the frame pixels it covers, per channel, rounded to nearest:
// sum(wx * wy * p) / (1280 * 853), at most 255 * 1280 * 853 < 2^29, so 32
// bits hold every sum. The source rows are summed first, per channel in
// lines of their own so the loops vectorise, then the columns; these take
// red and blue at once in the two halves of a 64-bit sum, which never
// carry into each other.
static void FilterSegment(uint32_t *target, const uint32_t *source, int stride, int dy, int dx0, int dx1) {
    constexpr uint32_t area = uint32_t(FrameWidthPx) * FrameHeightPx;
    const AxisTable &columns = s_columns, &rows = s_rows;
    int s0 = columns.index[dx0];
    int s1 = columns.index[dx1 - 1] + (columns.first[dx1] - columns.first[dx1 - 1]);
    uint32_t *red = s_sumRed, *green = s_sumGreen, *blue = s_sumBlue;
    for (int k = rows.first[dy], j = rows.index[dy]; k < rows.first[dy + 1]; k++, j++) {
        uint32_t wy = rows.weights[k];
        const uint32_t *row = source + size_t(j) * size_t(stride);
        if (k == rows.first[dy]) {
            for (int x = s0; x < s1; x++) {
                red[x] = wy * (row[x] >> 16 & 0xFF);
                green[x] = wy * (row[x] >> 8 & 0xFF);
                blue[x] = wy * (row[x] & 0xFF);
            }
        } else {
            for (int x = s0; x < s1; x++) {
                red[x] += wy * (row[x] >> 16 & 0xFF);
                green[x] += wy * (row[x] >> 8 & 0xFF);
                blue[x] += wy * (row[x] & 0xFF);
            }
        }
    }
    if (columns.maxTaps <= FastTaps) {
        uint64_t *redBlue = s_sumRedBlue;
        for (int x = s0; x < s1; x++) redBlue[x] = uint64_t(red[x]) << 32 | blue[x];
        constexpr uint64_t half = uint64_t(area / 2) << 32 | area / 2;
        for (int dx = dx0; dx < dx1; dx++) {
            const uint32_t *w = columns.padded + FastTaps * dx;
            int i = columns.index[dx];
            uint64_t rb = half + w[0] * redBlue[i] + w[1] * redBlue[i + 1] + w[2] * redBlue[i + 2];
            uint32_t g = area / 2 + w[0] * green[i] + w[1] * green[i + 1] + w[2] * green[i + 2];
            target[dx] = PackRgb(int(uint32_t(rb >> 32) / area), int(g / area), int(uint32_t(rb) / area));
        }
        return;
    }
    for (int dx = dx0; dx < dx1; dx++) {
        uint32_t r = area / 2, g = area / 2, b = area / 2;
        for (int k = columns.first[dx], i = columns.index[dx]; k < columns.first[dx + 1]; k++, i++) {
            r += columns.weights[k] * red[i];
            g += columns.weights[k] * green[i];
            b += columns.weights[k] * blue[i];
        }
        target[dx] = PackRgb(int(r / area), int(g / area), int(b / area));
    }
}

// The whole present of source at width x height (the axis tables built).
static void FilterWhole(uint32_t *out, int width, int height, const uint32_t *source, int stride) {
    for (int dy = 0; dy < height; dy++) {
        uint32_t *target = out + size_t(dy) * width;
        if (dy > 0 && SameSources(s_rows, dy - 1, dy)) {
            std::memcpy(target, target - width, size_t(width) * 4);
        } else {
            FilterSegment(target, source, stride, dy, 0, width);
        }
    }
}

// The runs of presented columns of row dy whose source pixels meet a tile
// marked in touched, as [start[n], end[n]); returns the count. Neighbouring
// marked tiles make one run; two runs share a column only when a presented
// pixel is wider than a tile, and that column is then filtered twice.
constexpr int MaxRuns = TileColumns / 2 + 1;
static int TouchedRuns(const uint8_t (*touched)[TileColumns], int dy, int *start, int *end) {
    int j0 = s_rows.index[dy], j1 = j0 + (s_rows.first[dy + 1] - s_rows.first[dy]) - 1;
    int t0 = j0 >> TileShift, t1 = j1 >> TileShift;
    uint8_t marked[TileColumns];
    std::memcpy(marked, touched[t0], TileColumns);
    for (int t = t0 + 1; t <= t1; t++)
        for (int c = 0; c < TileColumns; c++) marked[c] |= touched[t][c];
    int count = 0;
    for (int c = 0; c < TileColumns; c++) {
        if (!marked[c]) continue;
        int first = c;
        while (c < TileColumns && marked[c]) c++;
        int x0 = first * TilePx, x1 = Min(c * TilePx, FrameWidthPx);
        start[count] = s_columns.firstTarget[x0];
        end[count] = s_columns.lastTarget[x1 - 1] + 1;
        count++;
    }
    return count;
}

// Tile rows with any tile marked, so untouched bands are skipped at once.
static void MarkedRows(const uint8_t (*touched)[TileColumns], bool *rows) {
    for (int t = 0; t < TileRows; t++) {
        rows[t] = false;
        for (int c = 0; c < TileColumns; c++) rows[t] = rows[t] || touched[t][c];
    }
}

static bool RowMeetsMarked(const bool *markedRows, int dy) {
    int j0 = s_rows.index[dy], j1 = j0 + (s_rows.first[dy + 1] - s_rows.first[dy]) - 1;
    for (int t = j0 >> TileShift; t <= j1 >> TileShift; t++)
        if (markedRows[t]) return true;
    return false;
}

// Marks in changed the tiles of candidates whose pixels differ between
// the frame and s_shown.frame, and brings those up to date there.
static void FindChangedTiles(const uint8_t (*candidates)[TileColumns], uint8_t (*changed)[TileColumns]) {
    for (int t = 0; t < TileRows; t++) {
        int y0 = t * TilePx, y1 = Min(y0 + TilePx, FrameHeightPx);
        for (int c = 0; c < TileColumns; c++) {
            changed[t][c] = 0;
            if (!candidates[t][c]) continue;
            int x0 = c * TilePx, bytes = (Min(x0 + TilePx, FrameWidthPx) - x0) * 4;
            for (int y = y0; y < y1; y++) {
                size_t at = size_t(y) * FrameWidthPx + x0;
                if (std::memcmp(s_frame + at, s_shown.frame + at, size_t(bytes)) == 0) continue;
                changed[t][c] = 1;
                for (; y < y1; y++) {
                    at = size_t(y) * FrameWidthPx + x0;
                    std::memcpy(s_shown.frame + at, s_frame + at, size_t(bytes));
                }
            }
        }
    }
}

// The present at width x height. A client pixel depends only on the frame
// pixels it covers, so when the last present was made at this size from a
// frame on the same base layer, only tiles touched in either frame can
// differ; those that really do are found, and just the client pixels over
// them are filtered anew. Otherwise the whole frame is filtered.
static void PresentScaled(const Canvas *canvas, int width, int height) {
    BuildAxis(&s_columns, FrameWidthPx, width);
    BuildAxis(&s_rows, FrameHeightPx, height);
    static uint8_t candidates[TileRows][TileColumns], changed[TileRows][TileColumns];
    int touchedTiles = 0;
    for (int t = 0; t < TileRows; t++)
        for (int c = 0; c < TileColumns; c++) {
            touchedTiles += canvas->touched[t][c];
            candidates[t][c] = canvas->touched[t][c] | s_shown.touched[t][c];
        }
    bool follows = s_shown.valid && s_shown.width == width && s_shown.height == height &&
                   SameBase(s_shown.base, s_frameBase) && 2 * touchedTiles <= TileRows * TileColumns;
    std::memcpy(s_shown.touched, canvas->touched, sizeof s_shown.touched);
    s_shown.base = s_frameBase;
    s_shown.width = width;
    s_shown.height = height;
    s_shown.valid = true;
    if (!follows) {
        FilterWhole(s_presented, width, height, s_frame, FrameWidthPx);
        std::memcpy(s_shown.frame, s_frame, sizeof s_frame);
        return;
    }
    FindChangedTiles(candidates, changed);
    static int start[MaxRuns], end[MaxRuns];
    static bool markedRows[TileRows];
    MarkedRows(changed, markedRows);
    for (int dy = 0; dy < height; dy++) {
        if (!RowMeetsMarked(markedRows, dy)) continue;
        int runs = TouchedRuns(changed, dy, start, end);
        for (int n = 0; n < runs; n++)
            FilterSegment(s_presented + size_t(dy) * width, s_frame, FrameWidthPx, dy, start[n], end[n]);
    }
}

// An empty client area (minimised window) presents nothing new.
void EndFrame(Canvas *canvas, int clientWidth, int clientHeight) {
    if (canvas == nullptr) return;
    canvas->clipped = false;
    if (clientWidth <= 0 || clientHeight <= 0) return;
    if (canvas->clearPending) ClearFrameNow(canvas);
    int width = Min(clientWidth, MaxPresentSidePx), height = Min(clientHeight, MaxPresentSidePx);
    size_t needed = size_t(width) * size_t(height);
    if (needed > s_presentedCapacity) {
        uint32_t *grown = static_cast<uint32_t *>(std::realloc(s_presented, needed * sizeof(uint32_t)));
        if (grown == nullptr) return;
        s_presented = grown;
        s_presentedCapacity = needed;
    }
    if (width == FrameWidthPx && height == FrameHeightPx) {
        std::memcpy(s_presented, s_frame, sizeof s_frame);
        s_shown.valid = false;
    } else {
        PresentScaled(canvas, width, height);
    }
    s_presentedWidth = width;
    s_presentedHeight = height;
}

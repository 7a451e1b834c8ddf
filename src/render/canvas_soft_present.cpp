// The software canvas's present to a client size other than the design
// size: every client pixel is the area-weighted mean of the frame pixels it
// covers, per channel, rounded to nearest (what GDI's halftone stretch
// gives). The last filtered frame is kept, so a frame on the same base layer
// at the same size is filtered anew only where its tiles really differ, and
// the client rectangles that changed are recorded for the window, which
// then sends only those to the screen. Platform-neutral; user-interface
// thread only.
#include <cstring>

#include "render/canvas_soft.h"
#include "render/canvas_soft_internal.h"

static inline int Min(int a, int b) { return a < b ? a : b; }
static inline int Max(int a, int b) { return a > b ? a : b; }

// The last present and what it was made of: at width x height, from a
// frame whose pixels are base's outside the tiles marked in touched. A
// scaled present keeps that frame too (the design size needs no copy), and
// the next one at the same size does work only for tiles that differ from
// it.
static struct {
    bool valid;      // the last present is described here
    bool frameKept;  // ... and frame is the frame it was made from
    int width, height;
    BaseLayer base;
    uint8_t touched[TileRows][TileColumns];
    uint32_t frame[FrameWidthPx * FrameHeightPx];
} s_shown;

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

// What the last present changed, in client pixels (see PresentedChanges).
constexpr int MaxPresentRects = 512;  // more pieces are reported as "all of it"
static struct {
    bool all;
    int count;
    PresentRect rects[MaxPresentRects];
} s_changes;

void NoPresentChanges() {
    s_changes.all = false;
    s_changes.count = 0;
}

bool PresentedChanges(const PresentRect **rects, int *count) {
    *rects = s_changes.rects;
    *count = s_changes.all ? 0 : s_changes.count;
    return !s_changes.all;
}

// Records the client rectangles over the changed tiles, one per run of
// them in a tile row; too many are recorded as "all of it".
static void RecordChangedTiles(const uint8_t (*changed)[TileColumns], int width, int height) {
    NoPresentChanges();
    s_changes.count = ChangedClientRects(changed, width, height, s_changes.rects, MaxPresentRects);
    s_changes.all = s_changes.count < 0;
    if (s_changes.all) s_changes.count = 0;
}

// Notes a present at width x height of a frame on base. True when the
// present before it was made at this size from a frame on the same base
// layer: then only the tiles marked in candidates (touched in either frame)
// can differ from s_shown.frame. When most tiles were touched, looking at
// each costs more than doing everything.
static bool FollowsShown(const Canvas *canvas, BaseLayer base, int width, int height,
                         uint8_t (*candidates)[TileColumns]) {
    int touchedTiles = 0;
    for (int t = 0; t < TileRows; t++)
        for (int c = 0; c < TileColumns; c++) {
            touchedTiles += canvas->touched[t][c];
            candidates[t][c] = canvas->touched[t][c] | s_shown.touched[t][c];
        }
    bool follows = s_shown.valid && s_shown.width == width && s_shown.height == height &&
                   SameBase(s_shown.base, base) && 2 * touchedTiles <= TileRows * TileColumns;
    std::memcpy(s_shown.touched, canvas->touched, sizeof s_shown.touched);
    s_shown.base = base;
    s_shown.width = width;
    s_shown.height = height;
    s_shown.valid = true;
    return follows;
}

static uint8_t s_candidates[TileRows][TileColumns], s_changed[TileRows][TileColumns];

// The present at width x height. A client pixel depends only on the frame
// pixels it covers, so when the present follows the last one, only the
// client pixels over tiles that really differ are filtered anew. Otherwise
// the whole frame is filtered.
void PresentScaled(const Canvas *canvas, BaseLayer base, const uint32_t *frame, uint32_t *out, int width,
                   int height) {
    BuildAxis(&s_columns, FrameWidthPx, width);
    BuildAxis(&s_rows, FrameHeightPx, height);
    bool kept = s_shown.frameKept;
    if (!FollowsShown(canvas, base, width, height, s_candidates) || !kept) {
        FilterWhole(out, width, height, frame, FrameWidthPx);
        std::memcpy(s_shown.frame, frame, sizeof s_shown.frame);
        s_shown.frameKept = true;
        s_changes.all = true;
        return;
    }
    FindChangedTiles(frame, s_shown.frame, s_candidates, s_changed);
    static int start[MaxRuns], end[MaxRuns];
    static bool markedRows[TileRows];
    MarkedRows(s_changed, markedRows);
    for (int dy = 0; dy < height; dy++) {
        if (!RowMeetsMarked(markedRows, dy)) continue;
        int runs = TouchedRuns(s_changed, dy, start, end);
        for (int n = 0; n < runs; n++)
            FilterSegment(out + size_t(dy) * width, frame, FrameWidthPx, dy, start[n], end[n]);
    }
    RecordChangedTiles(s_changed, width, height);
}

// At the design size the present is the frame itself, and nothing is
// copied or compared: following the last present, the tiles touched in
// either frame are reported as changed (a few of them, the fields and
// texts painted again alike, are not). s_shown.frame stays untouched, so
// the window at this size never has its memory in use.
const uint32_t *PresentAtDesignSize(const Canvas *canvas, BaseLayer base, const uint32_t *frame) {
    if (FollowsShown(canvas, base, FrameWidthPx, FrameHeightPx, s_candidates)) {
        RecordChangedTiles(s_candidates, FrameWidthPx, FrameHeightPx);
    } else {
        s_changes.all = true;
    }
    s_shown.frameKept = false;
    return frame;
}

// The figures of launcher-patch's live line as pure functions: bytes in
// binary units, the rate over the last few seconds (a sliding window of
// samples, so a stall shows at once instead of being averaged away since
// the start), the time left, and the whole transfer's average at the end.
// Header-only, free of I/O and clocks: the caller passes the times.
#pragma once
#include <cstdint>
#include <cstdio>

constexpr int RateSamples = 32;
constexpr int64_t RateSampleEveryMs = 250;  // samples closer than this replace the newest
constexpr int64_t RateWindowMs = 5000;      // the rate covers at least this much of the latest progress
constexpr int64_t RateKnownAfterMs = 1000;  // samples spanning less give no rate yet

// The latest samples of the bytes done, newest at newest, in a ring.
struct RateWindow {
    int64_t atMs[RateSamples];
    int64_t bytes[RateSamples];
    int count;   // samples held
    int newest;  // index of the newest
};

// Notes that bytes were done at atMs (never earlier than the last sample).
// A sample less than RateSampleEveryMs after the one before the newest
// replaces the newest, so the ring always spans several seconds.
inline void NoteRateSample(RateWindow *window, int64_t atMs, int64_t bytes) {
    int before = (window->newest + RateSamples - 1) % RateSamples;
    bool crowded = window->count > 1 && atMs - window->atMs[before] < RateSampleEveryMs;
    if (!crowded) {
        window->newest = (window->newest + 1) % RateSamples;
        if (window->count < RateSamples) window->count++;
    }
    window->atMs[window->newest] = atMs;
    window->bytes[window->newest] = bytes;
}

// Bytes per second from the newest sample back to the first one at least
// RateWindowMs older (or the oldest held); -1 while the samples span less
// than RateKnownAfterMs. Bytes that went back (a download started over)
// give 0, not a negative rate.
inline double WindowRate(const RateWindow *window) {
    if (window->count < 2) return -1;
    int newest = window->newest, from = newest;
    for (int i = 1; i < window->count; i++) {
        from = (newest + RateSamples - i) % RateSamples;
        if (window->atMs[newest] - window->atMs[from] >= RateWindowMs) break;
    }
    int64_t spanMs = window->atMs[newest] - window->atMs[from];
    if (spanMs < RateKnownAfterMs) return -1;
    int64_t grown = window->bytes[newest] - window->bytes[from];
    return grown > 0 ? double(grown) * 1000 / double(spanMs) : 0;
}

// "512 B", "12.3 KiB", "4.5 MiB", "1.25 GiB".
inline void FormatBytes(int64_t bytes, char *out, int outBytes) {
    if (bytes < 1024) snprintf(out, size_t(outBytes), "%lld B", static_cast<long long>(bytes));
    else if (bytes < 1024 * 1024) snprintf(out, size_t(outBytes), "%.1f KiB", double(bytes) / 1024);
    else if (bytes < 1024ll * 1024 * 1024) snprintf(out, size_t(outBytes), "%.1f MiB", double(bytes) / (1024 * 1024));
    else snprintf(out, size_t(outBytes), "%.2f GiB", double(bytes) / (1024.0 * 1024 * 1024));
}

// "0:07", "12:05", "1:02:03".
inline void FormatDuration(int64_t seconds, char *out, int outBytes) {
    long long s = seconds;
    if (s >= 3600) snprintf(out, size_t(outBytes), "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    else snprintf(out, size_t(outBytes), "%lld:%02lld", s / 60, s % 60);
}

// What the live line shows besides its text.
struct LiveFigures {
    int32_t entryPercent;  // the pass's bar by entries; -1 for none
    int64_t done;          // bytes fetched so far
    int64_t toFetch;       // bytes to fetch in all; 0 when nothing is fetched (the bar goes by entries)
    double rate;           // bytes per second, -1 while not known
    bool over;             // the fetching ended: rate is the whole transfer's average
};

// The live line's figures into out (outBytes), ending in two blanks when
// there are any: "[####......]  45%  " by entries, or by bytes
// "[####......]  45%  1.2 MiB of 9.0 MiB  2.1 MiB/s  0:04 left  ", no rate
// or time left until a rate is known, no time left at a rate of 0, and at
// the end "... 9.0 MiB of 9.0 MiB  3.0 MiB/s average  ". The time left is
// rounded up, so it never reads 0:00 while bytes are missing. Returns the
// length written.
inline int FormatLiveFigures(const LiveFigures *figures, char *out, int outBytes) {
    constexpr int BarCells = 10;
    bool byBytes = figures->toFetch > 0;
    int64_t percent = byBytes ? figures->done * 100 / figures->toFetch : figures->entryPercent;
    if (percent > 100) percent = 100;
    int used = 0;
    out[0] = 0;
    auto add = [&](const char *text) {
        int n = snprintf(out + used, size_t(outBytes - used), "%s", text);
        used = n < outBytes - used ? used + n : outBytes - 1;
    };
    char piece[96];
    if (percent >= 0) {
        char bar[BarCells + 1];
        for (int i = 0; i < BarCells; i++) bar[i] = i < percent * BarCells / 100 ? '#' : '.';
        bar[BarCells] = 0;
        snprintf(piece, sizeof piece, "[%s] %3d%%  ", bar, int(percent));
        add(piece);
    }
    if (!byBytes) return used;
    char done[32], toFetch[32];
    FormatBytes(figures->done, done, int(sizeof done));
    FormatBytes(figures->toFetch, toFetch, int(sizeof toFetch));
    snprintf(piece, sizeof piece, "%s of %s  ", done, toFetch);
    add(piece);
    if (figures->rate < 0) return used;
    char rate[32];
    FormatBytes(int64_t(figures->rate), rate, int(sizeof rate));
    snprintf(piece, sizeof piece, figures->over ? "%s/s average  " : "%s/s  ", rate);
    add(piece);
    int64_t left = figures->toFetch - figures->done;
    if (figures->over || figures->rate <= 0 || left <= 0) return used;
    constexpr double LongestLeftS = 359999;  // 99:59:59; a trickle would read as years
    double seconds = double(left) / figures->rate;
    int64_t whole = seconds < LongestLeftS ? int64_t(seconds) : int64_t(LongestLeftS);
    if (whole < seconds && whole < int64_t(LongestLeftS)) whole++;
    char duration[24];
    FormatDuration(whole, duration, int(sizeof duration));
    snprintf(piece, sizeof piece, "%s left  ", duration);
    add(piece);
    return used;
}

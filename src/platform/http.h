// HTTP seam: pull-style GET requests for the patch engine.
// Backends: win32/http_wininet.cpp (WinINet) and posix/http_curl.cpp
// (libcurl). Both send the agent "ZentharaLauncher/4.1", ask for unencoded
// bodies ("Accept-Encoding: identity"), bypass caches, follow at most 10
// redirects between http and https URLs only, send the request target that
// HttpPrepareUrl makes of the URL (so both send the same bytes), and bound
// every transfer in time with the limits below.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/text.h"

struct HttpRoot;     // a client session
struct HttpRequest;  // one answered request whose body is being read

// The limits every transfer is held to:
//  - connecting (the name lookup included) takes at most HttpConnectTimeoutMs;
//  - a transfer fails when nothing at all arrives for HttpIdleTimeoutMs;
//  - the whole response head (interim answers included) must arrive within
//    HttpHeadTimeoutMs of the request going out, and be at most
//    HttpHeadLimitBytes long;
//  - the body must keep an average rate: counted from the end of the head,
//    every HttpRateWindowMs spent waiting for it must bring at least its
//    share of HttpRateFloorBytes, or the transfer fails when that window
//    closes. The floor is for the whole process: bodies received at the same
//    time (several downloads over one slow link) share it equally, so a
//    transfer is cut only when it falls short of the floor divided by the
//    number of bodies being received (its own included), moment by moment.
//    Only time spent inside HttpRead counts, so a caller that is slow to
//    read is never held against the server.
// Tests scale them down: see g_httpTimeoutOverrideMs in test_hooks.h.
constexpr int HttpConnectTimeoutMs = 30000;
constexpr int HttpIdleTimeoutMs = 60000;
constexpr int HttpHeadTimeoutMs = 30000;
constexpr int HttpHeadLimitBytes = 64 * 1024;
constexpr int HttpRateWindowMs = 60000;
constexpr int64_t HttpRateFloorBytes = 60 * 1024;  // 1 KiB/s over the window

HttpRoot *HttpOpenRoot();
void HttpCloseRoot(HttpRoot *root);

// Why a request or a read failed, as far as the backend can tell; the
// engine retries a failed connect, a silence and a cut (a server that only
// trickles is not asked again, so a pass never waits for it three times).
enum HttpFailure {
    HttpOk = 0,
    HttpFailedUrl,      // a URL HttpPrepareUrl refuses, too many redirects or one elsewhere
    HttpFailedConnect,  // the name, the connection or the connect limit failed
    HttpFailedTimeout,  // nothing arrived for the no-data limit
    HttpFailedTooSlow,  // the head over its time or size, or the body under the rate floor
    HttpFailedCut,      // the connection broke or closed before the response's end
    HttpFailedEncoded,  // a body in a coding other than identity
    HttpFailedOther,    // anything else
};

constexpr int HttpValidatorBytes = 160;  // an ETag or an HTTP date, terminator included

// What a request asks beyond a plain GET: with rangeFrom 0 or more,
// "Range: bytes=<rangeFrom>-" (with rangeBytes above 0 the range's last
// byte too: "bytes=<rangeFrom>-<rangeFrom + rangeBytes - 1>"), and with
// ifRange also "If-Range: <ifRange>" (an ETag or an HTTP date), so a server
// whose file changed sends it whole.
struct HttpRequestOptions {
    int64_t rangeFrom;    // -1: the whole body
    const char *ifRange;  // nullptr: none
    int64_t rangeBytes;   // 0: to the end of the file
};

// The Range header's value after "bytes=" for options (into out, 48 bytes);
// false when no range is asked for.
inline bool HttpRangeValue(const HttpRequestOptions *options, char *out) {
    if (options == nullptr || options->rangeFrom < 0) return false;
    int64_t from = options->rangeFrom;
    if (options->rangeBytes > 0)
        snprintf(out, 48, "%lld-%lld", static_cast<long long>(from), static_cast<long long>(from + options->rangeBytes - 1));
    else
        snprintf(out, 48, "%lld-", static_cast<long long>(from));
    return true;
}

// What the final response said. Texts are as sent, cut to their buffers
// ("" when the header is missing or does not fit).
struct HttpResponseInfo {
    int status;
    int64_t contentLength;                  // -1 when not announced
    int64_t rangeFirst;                     // a 206's Content-Range "bytes F-L/T": F, else -1
    int64_t rangeLast;                      // its L, else -1
    int64_t rangeTotal;                     // its T, else -1 ("*" too)
    char etag[HttpValidatorBytes];
    char lastModified[HttpValidatorBytes];
    int64_t retryAfterSeconds;              // Retry-After as seconds from now (a date: until it), -1 when none
    bool multiplexed;                       // it came over a connection that carries many requests at
                                            // once (HTTP/2), so more of them at a time cost no connection
};

// Sends a GET for url with options (nullptr for none) and waits for the
// response head. nullptr when no usable answer came, *failure saying why;
// otherwise *info describes the final response.
HttpRequest *HttpOpenUrlWith(HttpRoot *root, const WideChar *url, const HttpRequestOptions *options,
                             HttpResponseInfo *info, HttpFailure *failure);

// Why the last HttpRead of request returned false (HttpOk before that).
HttpFailure HttpReadFailure(const HttpRequest *request);

// HttpOpenUrlWith without options, for callers that need the status and
// the length only. Sends a GET for url and waits for the response head.
// Returns nullptr when
// no usable answer came (bad URL, refused, timed out, a head over its
// limits, or a body in an encoding other than identity). status receives
// the final HTTP status; contentLength the announced body length, or -1.
inline HttpRequest *HttpOpenUrl(HttpRoot *root, const WideChar *url, int *status, int64_t *contentLength) {
    HttpResponseInfo info;
    HttpFailure failure;
    HttpRequest *request = HttpOpenUrlWith(root, url, nullptr, &info, &failure);
    if (request == nullptr) return nullptr;
    if (status != nullptr) *status = info.status;
    if (contentLength != nullptr) *contentLength = info.contentLength;
    return request;
}

// Blocks until body bytes arrive: true with *received > 0 for data, true with
// *received == 0 at the end of the body, false on a transport failure
// (including a body that ends before its announced length, a body cut in
// transit wherever that can be told, and a transfer over its limits). Once
// it returned false it keeps doing so.
bool HttpRead(HttpRequest *request, void *buffer, int wanted, int *received);

// Ends the request, read to its end or not. A body left unread is never
// read on: its connection is given up at once.
void HttpCloseRequest(HttpRequest *request);

// ---------------------------------------------------------------------------
// Shared by the backends: the limits in force and the rules both apply.

struct HttpLimits {
    int connectMs;
    int idleMs;
    int headMs;
    int windowMs;
    int64_t floorBytes;
};

// The shipped limits, or, when overrideMs is above 0 (tests), connect, idle,
// head and rate window all overrideMs long with the floor kept at 1 KiB/s of
// the window. The head's size limit is never scaled.
inline HttpLimits HttpLimitsFor(int overrideMs) {
    if (overrideMs <= 0)
        return HttpLimits{HttpConnectTimeoutMs, HttpIdleTimeoutMs, HttpHeadTimeoutMs, HttpRateWindowMs, HttpRateFloorBytes};
    int64_t floor = int64_t(overrideMs) * (HttpRateFloorBytes / (HttpRateWindowMs / 1000)) / 1000;
    return HttpLimits{overrideMs, overrideMs, overrideMs, overrideMs, floor > 0 ? floor : 1};
}

// Bodies being received in this process: a request counts from the end of
// its head until it is closed (HttpBodyStarts, HttpBodyEnds), whichever
// backend made it. The rate floor is shared among them.
inline std::atomic<int> g_httpBodiesReceiving{0};

inline void HttpBodyStarts() { g_httpBodiesReceiving.fetch_add(1, std::memory_order_relaxed); }
inline void HttpBodyEnds() { g_httpBodiesReceiving.fetch_sub(1, std::memory_order_relaxed); }

// How many bodies share the floor right now: at least 1 (the caller's own).
inline int HttpBodiesSharingFloor() {
    int n = g_httpBodiesReceiving.load(std::memory_order_relaxed);
    return n > 1 ? n : 1;
}

// The rate floor over a body, on a clock that runs only while the backend
// waits for body bytes: windows of limits.windowMs follow one another from
// the end of the head, and each must bring what the floor asks of this
// transfer over that window. Each ms waited owes floorBytes / windowMs
// divided by the bodies sharing the floor during that ms; the debt is kept
// in bytes x window ms, so that no share is rounded away.
struct HttpRateWindow {
    int64_t waitedMs;     // waiting time so far
    int64_t windowEndMs;  // waiting time at which the current window closes
    int64_t windowBytes;  // bytes received in the current window
    int64_t owedByteMs;   // the current window's share of the floor so far, bytes x limits.windowMs
};

inline void HttpRateStart(HttpRateWindow *rate, const HttpLimits &limits, int64_t bytesAlready) {
    *rate = HttpRateWindow{0, limits.windowMs, bytesAlready, 0};
}

inline void HttpRateReceived(HttpRateWindow *rate, int64_t bytes) {
    rate->windowBytes += bytes;
}

// Adds ms of waiting, during which `sharing` bodies (HttpBodiesSharingFloor;
// 1 for a transfer alone) were received. False when a window closed with
// fewer bytes than its share of the floor (every window passed over
// without a byte counts too).
inline bool HttpRateWaited(HttpRateWindow *rate, const HttpLimits &limits, int64_t ms, int sharing = 1) {
    if (ms < 0) ms = 0;
    if (sharing < 1) sharing = 1;
    for (;;) {
        int64_t step = rate->windowEndMs - rate->waitedMs;
        if (step > ms) step = ms;
        if (step < 0) step = 0;
        rate->waitedMs += step;
        ms -= step;
        rate->owedByteMs += limits.floorBytes * step / sharing;
        if (rate->waitedMs < rate->windowEndMs) return true;
        if (rate->windowBytes * limits.windowMs < rate->owedByteMs) return false;
        rate->windowBytes = 0;
        rate->owedByteMs = 0;
        rate->windowEndMs += limits.windowMs;
        if (ms == 0) return true;
    }
}

// Waiting time left until the current window closes, ms (at least 1).
inline int64_t HttpRateMsLeft(const HttpRateWindow *rate) {
    int64_t left = rate->windowEndMs - rate->waitedMs;
    return left > 0 ? left : 1;
}

// The parts of a response head both backends read the same way.
// "bytes F-L/T" of a Content-Range: *first F, *last L and *total T (-1 for
// "*"); false when the value has another form.
inline bool HttpParseContentRange(const char *value, int length, int64_t *first, int64_t *last, int64_t *total) {
    int i = 0;
    while (i < length && (value[i] == ' ' || value[i] == '\t')) i++;
    static const char unit[] = "bytes ";
    for (int k = 0; unit[k] != 0; k++, i++)
        if (i >= length || (value[i] | 0x20) != unit[k]) return false;
    auto number = [&](int64_t *out) {
        int64_t n = 0;
        int start = i;
        for (; i < length && value[i] >= '0' && value[i] <= '9' && n < (int64_t(1) << 58); i++)
            n = n * 10 + (value[i] - '0');
        *out = n;
        return i > start;
    };
    if (!number(first) || i >= length || value[i++] != '-' || !number(last) || i >= length || value[i++] != '/')
        return false;
    if (i < length && value[i] == '*') {
        *total = -1;
        return *last >= *first;
    }
    return number(total) && *last >= *first;
}

// Whether text starts with the lower-case word, ignoring case (text holds
// at least as many bytes as word).
inline bool HttpWordIsPrefix(const char *text, const char *word) {
    for (int i = 0; word[i] != 0; i++) {
        char c = text[i] >= 'A' && text[i] <= 'Z' ? char(text[i] + 32) : text[i];
        if (c != word[i]) return false;
    }
    return true;
}

// An HTTP date (RFC 9110: the IMF-fixdate "Sun, 06 Nov 1994 08:49:37 GMT",
// and the obsolete RFC 850 "Sunday, 06-Nov-94 08:49:37 GMT" and asctime
// "Sun Nov  6 08:49:37 1994" forms) as seconds since 1970-01-01 00:00:00
// UTC. Blanks around it are ignored, the day's name is not checked against
// the date; a two-digit year is 1970-2069. False for anything else.
inline bool HttpParseDate(const char *value, int length, int64_t *unixSeconds) {
    int i = 0;
    auto blanks = [&](bool needed) {
        int start = i;
        while (i < length && (value[i] == ' ' || value[i] == '\t')) i++;
        return !needed || i > start;
    };
    auto digits = [&](int least, int most, int *out) {
        int n = 0, start = i;
        for (; i < length && i - start < most && value[i] >= '0' && value[i] <= '9'; i++) n = n * 10 + (value[i] - '0');
        *out = n;
        return i - start >= least;
    };
    auto letters = [&]() {
        int start = i;
        while (i < length && ((value[i] | 0x20) >= 'a' && (value[i] | 0x20) <= 'z')) i++;
        return i - start;
    };
    auto month = [&](int *out) {
        static const char names[] = "janfebmaraprmayjunjulaugsepoctnovdec";
        if (length - i < 3) return false;
        for (int m = 0; m < 12; m++) {
            int k = 0;
            while (k < 3 && (value[i + k] | 0x20) == names[3 * m + k]) k++;
            if (k == 3) {
                *out = m + 1;
                i += 3;
                return true;
            }
        }
        return false;
    };
    auto clock = [&](int *h, int *m, int *s) {
        return digits(2, 2, h) && i < length && value[i++] == ':' && digits(2, 2, m) && i < length &&
               value[i++] == ':' && digits(2, 2, s);
    };
    auto gmt = [&]() {
        if (!blanks(true) || length - i < 3 || !HttpWordIsPrefix(value + i, "gmt")) return false;
        i += 3;
        return true;
    };
    int year = 0, mon = 0, day = 0, hour = 0, minute = 0, second = 0;
    blanks(false);
    if (letters() < 3) return false;
    if (i < length && value[i] == ',') {
        i++;
        if (!blanks(true) || !digits(1, 2, &day)) return false;
        if (i < length && value[i] == '-') {  // RFC 850
            i++;
            if (!month(&mon) || i >= length || value[i++] != '-' || !digits(2, 2, &year)) return false;
            year += year < 70 ? 2000 : 1900;
        } else if (!blanks(true) || !month(&mon) || !blanks(true) || !digits(4, 4, &year)) {
            return false;
        }
        if (!blanks(true) || !clock(&hour, &minute, &second) || !gmt()) return false;
    } else {  // asctime
        if (!blanks(true) || !month(&mon) || !blanks(true) || !digits(1, 2, &day) || !blanks(true) ||
            !clock(&hour, &minute, &second) || !blanks(true) || !digits(4, 4, &year))
            return false;
    }
    blanks(false);
    while (i < length && (value[i] == '\r' || value[i] == '\n')) i++;
    if (i != length || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return false;
    // Days since 1970-01-01 of the proleptic Gregorian calendar, the year
    // counted from March so that the leap day comes last.
    int64_t y = year - (mon <= 2 ? 1 : 0);
    int64_t era = y / 400;
    int64_t yearOfEra = y - era * 400;
    int64_t dayOfYear = (153 * (mon > 2 ? mon - 3 : mon + 9) + 2) / 5 + day - 1;
    int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    int64_t days = era * 146097 + dayOfEra - 719468;
    *unixSeconds = days * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

// Longest delay a Retry-After is read as, s (a longer one is cut to it), so
// that the caller may turn it into ms without overflow.
constexpr int64_t HttpRetryAfterCeilingSeconds = int64_t(1) << 40;

// Retry-After (length bytes) in seconds from nowSeconds (seconds since
// 1970, UTC): delay seconds as they are, up to the ceiling, or an HTTP date
// as the time until it (0 when it has passed); -1 for anything else.
inline int64_t HttpParseRetryAfter(const char *value, int length, int64_t nowSeconds) {
    int i = 0;
    while (i < length && (value[i] == ' ' || value[i] == '\t')) i++;
    int64_t n = 0;
    int start = i;
    for (; i < length && value[i] >= '0' && value[i] <= '9'; i++) {
        n = n * 10 + (value[i] - '0');
        if (n > HttpRetryAfterCeilingSeconds) n = HttpRetryAfterCeilingSeconds;
    }
    int end = i;
    while (i < length && (value[i] == ' ' || value[i] == '\t' || value[i] == '\r' || value[i] == '\n')) i++;
    if (end > start && i == length) return n;
    int64_t when = 0;
    if (!HttpParseDate(value, length, &when)) return -1;
    return when > nowSeconds ? when - nowSeconds : 0;
}

// The final head's Retry-After (retryAfter, "" when none) in seconds, with
// "now" taken from its Date header (date, "" when none) when that parses,
// else from the system clock (clockSeconds), so that a server whose clock
// is off still gets the delay it meant.
inline int64_t HttpRetryAfterOfHead(const char *retryAfter, const char *date, int64_t clockSeconds) {
    if (retryAfter[0] == 0) return -1;
    int64_t now = clockSeconds;
    int64_t served = 0;
    if (HttpParseDate(date, int(strlen(date)), &served)) now = served;
    return HttpParseRetryAfter(retryAfter, int(strlen(retryAfter)), now);
}

// Copies a header's value (length bytes, blanks and the line end trimmed)
// into out (HttpValidatorBytes); "" when it does not fit whole.
inline void HttpCopyHeaderValue(const char *value, int length, char *out) {
    while (length > 0 && (*value == ' ' || *value == '\t')) value++, length--;
    while (length > 0 && (value[length - 1] == ' ' || value[length - 1] == '\t' || value[length - 1] == '\r' ||
                          value[length - 1] == '\n'))
        length--;
    if (length >= HttpValidatorBytes) length = 0;
    for (int i = 0; i < length; i++) out[i] = value[i];
    out[length] = 0;
}

// Whether text (length bytes) is the lower-case word, ignoring case.
inline bool HttpWordIs(const char *text, int length, const char *word) {
    int i = 0;
    for (; i < length && word[i] != 0; i++) {
        char c = text[i] >= 'A' && text[i] <= 'Z' ? char(text[i] + 32) : text[i];
        if (c != word[i]) return false;
    }
    return i == length && word[i] == 0;
}

// Whether a Content-Encoding or Transfer-Encoding value (length bytes, a
// comma-separated list of codings) leaves the body as sent: every coding is
// "identity", or "chunked" when allowChunked; blank items and surrounding
// blanks are ignored, case does not matter. Anything else (gzip, deflate,
// br, a coding with parameters) would hand over bytes that are not the file.
inline bool HttpCodingsArePlain(const char *value, int length, bool allowChunked) {
    for (int i = 0;; i++) {
        int start = i;
        while (i < length && value[i] != ',') i++;
        int end = i;
        while (start < end && (value[start] == ' ' || value[start] == '\t')) start++;
        while (end > start && (value[end - 1] == ' ' || value[end - 1] == '\t' || value[end - 1] == '\r' ||
                               value[end - 1] == '\n'))
            end--;
        const char *coding = value + start;
        int n = end - start;
        if (n > 0 && !HttpWordIs(coding, n, "identity") && !(allowChunked && HttpWordIs(coding, n, "chunked")))
            return false;
        if (i >= length) return true;
    }
}

// ---------------------------------------------------------------------------
// The request URL. Both backends send exactly what HttpPrepareUrl makes of
// the URL they are given, so a manifest line asks both builds for the same
// bytes, whatever either library would otherwise escape or refuse.

// Longest prepared URL, in bytes, its terminator included.
constexpr int HttpUrlBytes = 4096;

// What HttpPrepareUrl made of a URL (the reasons are worded for people by
// RequestUrlRefusal in patch/request_url.h).
enum HttpUrlVerdict {
    HttpUrlReady = 0,        // out holds the URL to send
    HttpUrlNotWeb,           // not http:// or https:// (any case)
    HttpUrlNoServer,         // nothing between "//" and the path
    HttpUrlUserInfo,         // "user@" or "user:password@" before the server name
    HttpUrlServerNotAscii,   // a server name with a blank or a character beyond ASCII
    HttpUrlControlCharacter, // a C0 control (a tab too), DEL or a C1 control anywhere
    HttpUrlBrokenText,       // a UTF-16 surrogate without its other half
    HttpUrlTooLong,          // the result does not fit
};

// Makes the ASCII URL a request is sent for out of url (UTF-16): the
// fragment dropped; in the path and query every character beyond ASCII
// percent-encoded as its UTF-8 bytes (upper-case hex), a space as %20, a
// backslash as %5C (WinINet would send it as '/') and a '%' that does not
// start two hex digits as %25; everything else, reserved characters and
// existing %XX escapes included, kept as it is. The scheme
// and the server name are kept as they are. The whole URL, fragment
// included, is refused for a control character; a user name or password is
// refused outright, so neither is ever sent or shown. out (capacity bytes)
// holds the result only with HttpUrlReady, "" otherwise. Preparing a
// prepared URL gives it back unchanged.
inline HttpUrlVerdict HttpPrepareUrl(const WideChar *url, char *out, int capacity) {
    if (capacity <= 0) return HttpUrlTooLong;
    out[0] = 0;
    for (const WideChar *p = url; *p != 0; p++) {
        uint32_t c = uint32_t(*p);
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return HttpUrlControlCharacter;
    }
    int at = TextStartsWithNoCase(url, WTEXT("http://")) ? 7 : TextStartsWithNoCase(url, WTEXT("https://")) ? 8 : 0;
    if (at == 0) return HttpUrlNotWeb;
    int n = 0;
    auto put = [&](char c) {
        if (n < capacity - 1) out[n] = c;
        n++;
    };
    auto putEscaped = [&](uint32_t byte) {
        static const char hex[] = "0123456789ABCDEF";
        put('%');
        put(hex[byte >> 4]);
        put(hex[byte & 15]);
    };
    for (int i = 0; i < at; i++) put(char(url[i]));
    int hostStart = at;
    for (; url[at] != 0 && url[at] != '/' && url[at] != '?' && url[at] != '#'; at++) {
        uint32_t c = uint32_t(url[at]);
        if (c == '@') return HttpUrlUserInfo;  // checked to the authority's end before anything else
    }
    if (at == hostStart) return HttpUrlNoServer;
    for (int i = hostStart; i < at; i++) {
        uint32_t c = uint32_t(url[i]);
        if (c == ' ' || c > 0x7E) return HttpUrlServerNotAscii;
        put(char(c));
    }
    auto isHex = [](WideChar c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    };
    for (; url[at] != 0 && url[at] != '#'; at++) {
        uint32_t c = uint32_t(url[at]);
        if (c >= 0xD800 && c <= 0xDFFF) {
            uint32_t low = uint32_t(url[at + 1]);
            if (c > 0xDBFF || low < 0xDC00 || low > 0xDFFF) return HttpUrlBrokenText;
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            at++;
        }
        if (c == ' ' || c == '\\') {
            putEscaped(c);
        } else if (c == '%') {
            if (isHex(url[at + 1]) && isHex(url[at + 2])) put('%');
            else putEscaped('%');
        } else if (c < 0x80) {
            put(char(c));
        } else if (c < 0x800) {
            putEscaped(0xC0 | (c >> 6));
            putEscaped(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            putEscaped(0xE0 | (c >> 12));
            putEscaped(0x80 | ((c >> 6) & 0x3F));
            putEscaped(0x80 | (c & 0x3F));
        } else {
            putEscaped(0xF0 | (c >> 18));
            putEscaped(0x80 | ((c >> 12) & 0x3F));
            putEscaped(0x80 | ((c >> 6) & 0x3F));
            putEscaped(0x80 | (c & 0x3F));
        }
    }
    if (n >= capacity) {
        out[0] = 0;
        return HttpUrlTooLong;
    }
    out[n] = 0;
    return HttpUrlReady;
}

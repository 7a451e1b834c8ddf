// HTTP seam: pull-style GET requests for the patch engine.
// Backends: win32/http_wininet.cpp (WinINet) and posix/http_curl.cpp
// (libcurl). Both send the agent "ZentharaLauncher/4.1", ask for unencoded
// bodies ("Accept-Encoding: identity"), bypass caches, follow at most 10
// redirects between http and https URLs only, and bound every transfer in
// time with the limits below.
#pragma once
#include <cstdint>

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
//    every HttpRateWindowMs spent waiting for it must bring at least
//    HttpRateFloorBytes, or the transfer fails when that window closes.
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
    HttpFailedUrl,      // not an http(s) URL, too long, too many redirects or one elsewhere
    HttpFailedConnect,  // the name, the connection or the connect limit failed
    HttpFailedTimeout,  // nothing arrived for the no-data limit
    HttpFailedTooSlow,  // the head over its time or size, or the body under the rate floor
    HttpFailedCut,      // the connection broke or closed before the response's end
    HttpFailedEncoded,  // a body in a coding other than identity
    HttpFailedOther,    // anything else
};

constexpr int HttpValidatorBytes = 160;  // an ETag or an HTTP date, terminator included

// What a request asks beyond a plain GET: with rangeFrom 0 or more,
// "Range: bytes=<rangeFrom>-", and with ifRange also "If-Range: <ifRange>"
// (an ETag or an HTTP date), so a server whose file changed sends it whole.
struct HttpRequestOptions {
    int64_t rangeFrom;    // -1: the whole body
    const char *ifRange;  // nullptr: none
};

// What the final response said. Texts are as sent, cut to their buffers
// ("" when the header is missing or does not fit).
struct HttpResponseInfo {
    int status;
    int64_t contentLength;                  // -1 when not announced
    int64_t rangeFirst;                     // a 206's Content-Range "bytes F-L/T": F, else -1
    int64_t rangeTotal;                     // its T, else -1 ("*" too)
    char etag[HttpValidatorBytes];
    char lastModified[HttpValidatorBytes];
    int retryAfterSeconds;                  // Retry-After as seconds, -1 when none or a date
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

// The rate floor over a body, on a clock that runs only while the backend
// waits for body bytes: windows of limits.windowMs follow one another from
// the end of the head, and each must bring limits.floorBytes.
struct HttpRateWindow {
    int64_t waitedMs;     // waiting time so far
    int64_t windowEndMs;  // waiting time at which the current window closes
    int64_t windowBytes;  // bytes received in the current window
};

inline void HttpRateStart(HttpRateWindow *rate, const HttpLimits &limits, int64_t bytesAlready) {
    *rate = HttpRateWindow{0, limits.windowMs, bytesAlready};
}

inline void HttpRateReceived(HttpRateWindow *rate, int64_t bytes) {
    rate->windowBytes += bytes;
}

// Adds ms of waiting. False when a window closed with fewer bytes than the
// floor (every window passed over without a byte counts too).
inline bool HttpRateWaited(HttpRateWindow *rate, const HttpLimits &limits, int64_t ms) {
    rate->waitedMs += ms > 0 ? ms : 0;
    while (rate->waitedMs >= rate->windowEndMs) {
        if (rate->windowBytes < limits.floorBytes) return false;
        rate->windowBytes = 0;
        rate->windowEndMs += limits.windowMs;
    }
    return true;
}

// Waiting time left until the current window closes, ms (at least 1).
inline int64_t HttpRateMsLeft(const HttpRateWindow *rate) {
    int64_t left = rate->windowEndMs - rate->waitedMs;
    return left > 0 ? left : 1;
}

// The parts of a response head both backends read the same way.
// "bytes F-L/T" of a Content-Range: *first F and *total T (-1 for "*");
// false when the value has another form.
inline bool HttpParseContentRange(const char *value, int length, int64_t *first, int64_t *total) {
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
    int64_t last = 0;
    if (!number(first) || i >= length || value[i++] != '-' || !number(&last) || i >= length || value[i++] != '/')
        return false;
    if (i < length && value[i] == '*') {
        *total = -1;
        return true;
    }
    return number(total) && last >= *first;
}

// Retry-After in seconds (a delay); -1 for a date or anything else.
inline int HttpParseRetryAfter(const char *value, int length) {
    int i = 0;
    while (i < length && (value[i] == ' ' || value[i] == '\t')) i++;
    int64_t n = 0;
    int start = i;
    for (; i < length && value[i] >= '0' && value[i] <= '9' && n < 100000000; i++) n = n * 10 + (value[i] - '0');
    while (i < length && (value[i] == ' ' || value[i] == '\t' || value[i] == '\r' || value[i] == '\n')) i++;
    return i > start && i == length ? int(n) : -1;
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

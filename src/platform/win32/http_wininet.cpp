// HTTP backend for Windows: the http seam over WinINet (InternetOpenW,
// InternetConnectW, HttpOpenRequestW, InternetReadFile; link wininet).
// Redirects are followed here rather than by WinINet so that the limit of
// 10 and the http/https-only rule hold whatever WinINet's own rules are.
// Leaves out proxies beyond the system's settings, authentication,
// cookies, request bodies and caching (responses are never cached; WinINet
// neither sends nor stores cookies, whose store costs Wine dozens of server
// calls per request).
//
// What WinINet does not do by itself, and how this file gets it:
//  - Time limits over a whole head or body. WinINet's timeouts bound each
//    receive only, and a blocked call cannot be cut short (Wine neither
//    honours a timeout changed during a call nor lets InternetCloseHandle
//    from another thread end one). So every request is served by a worker
//    thread that makes all its WinINet calls while the body is being
//    received; the caller hands it one operation at a time and waits for
//    the result with the deadline of http.h's limits. A caller that gives
//    up leaves the call to finish on the worker, which then tidies up.
//    Workers are kept between requests (a thread start costs much under
//    Wine): one that is done with a request waits in an idle list for the
//    next, for a while, and a busy one is never handed another request.
//    A response read to its end is closed by its caller, which takes the
//    worker back into the list without waking it.
//  - Few hand-overs per body: after the head of a 200 or 206 the worker
//    goes straight on to the first read, which the caller then finds done
//    or under way, and the read that reaches the announced length says the
//    body is whole, so its end costs no read of its own.
//  - Reads that return what has arrived: a plain InternetReadFile waits
//    until its whole buffer is filled (under Wine even with IRF_NO_WAIT),
//    so the worker asks InternetQueryDataAvailable (one receive at most)
//    and reads no more than it reports.
//  - Giving up a body without reading it on. Closing a request whose body
//    is unread makes WinINet (Wine at least) read the rest first, for ever
//    if the server never stops. An unread rest WinINet could take long
//    over is therefore parked: its handles are never closed, the server is
//    held back by TCP flow control, and the connection ends with the
//    process. A short rest is closed as usual.
//  - Bodies cut in transit. WinINet reads a chunked body cut before its
//    closing chunk as complete, so requests are sent as HTTP/1.0, for which
//    servers never use chunked; an answer that still has a
//    Transfer-Encoding is refused. A body with a Content-Length is checked
//    against it; one without a length ends with its connection, and a reset
//    is a failure whenever WinINet reports it. WinINet asks HTTP/1.0
//    servers to keep the connection ("Connection: Keep-Alive"), which they
//    do for an answer with a Content-Length: the next request to the same
//    server goes over it without a new connection.
//  - Identity bodies only: "Accept-Encoding: identity" is sent, WinINet's
//    decoding is left off, and a Content-Encoding other than identity is
//    refused.
//  - The same request target as libcurl: the caller's URL is turned into
//    HttpPrepareUrl's ASCII form first, so nothing is left for WinINet to
//    escape (it only escapes spaces) or to send in another code page, and
//    InternetCrackUrlW is asked neither to decode nor to escape.
//  - A rate floor shared with every other body being received in the
//    process (http.h), as in the libcurl backend.
//
// The divisions of this file, in order:
//   - limits and records: the agent, the redirect and URL limits, the
//     worker's operations, the root and request records, the one session;
//   - the worker's side: one response (its codings, its head's size, where
//     a redirect points), one GET sent, staging what has arrived of a body,
//     closing or parking a response, the operations, the worker thread and
//     the idle list;
//   - the caller's side: handing an operation over, waiting for it within
//     the limits, letting go of a request;
//   - the seam: HttpOpenRoot/HttpCloseRoot, HttpOpenUrlWith (a range and
//     If-Range asked for; validators, Content-Range and Retry-After read
//     back), HttpOpenUrl, HttpRead, HttpReadFailure, HttpCloseRequest.
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "platform/http.h"
#include "platform/test_hooks.h"

int g_httpTimeoutOverrideMs = 0;

constexpr WideChar HttpAgent[] = L"ZentharaLauncher/" LAUNCHER_VERSION_TEXT;
constexpr WideChar RequestHeaders[] = L"Accept-Encoding: identity\r\n";
constexpr int MaxRedirects = 10;
// Longest URL, own (prepared) or from a Location header, that is followed
// (units, terminator included).
constexpr int UrlUnits = HttpUrlBytes;
// Longest single wait of a caller for its worker's read: the bodies sharing
// the rate floor are counted again at least this often.
constexpr int64_t ReadWaitSliceMs = 1000;
// Body bytes the worker stages per hand-over: what has arrived, up to this.
// Large, so that a fast body needs few hand-overs.
constexpr int StagingBytes = 256 * 1024;
// An unread rest of at most this many announced bytes is closed as usual
// (WinINet reads it first, which is quick); a longer or unknown one is read
// on by the worker up to this much, and parked if it does not end by then.
constexpr int64_t ShortRestBytes = 256 * 1024;
constexpr int ShortRestMs = 2000;         // longest the worker reads on a rest
constexpr DWORD WorkerStackBytes = 256 * 1024;  // reserved; WinINet's calls run on it
// Longest a caller waits for its worker to close a response that closes at
// once, so that no worker is still in WinINet when the program ends.
constexpr DWORD QuickCloseWaitMs = 5000;
// Workers waiting for a request: at most this many, each for this long.
constexpr int MaxIdleWorkers = 16;
constexpr int64_t IdleWorkerMs = 30000;

// What the caller hands the worker.
enum WorkerOp {
    OpNone,  // nothing: the worker waits (or, once the caller is gone, tidies up)
    OpOpen,  // send the GET for url, following redirects, and take in the final head
    OpRead,  // stage what has arrived of the body (waiting for something)
};

struct HttpRoot {
    int unused;  // requests share the one session in s_http
};

struct HttpRequest;

// One worker thread. It serves one request at a time and waits in the idle
// list between two; its staging buffer is kept with it, so a request costs
// neither a thread nor fresh memory. Fields under s_http.lock.
struct HttpWorker {
    CONDITION_VARIABLE wake;  // a request or an operation was handed over, or the caller left
    HttpRequest *request;     // being served; nullptr while idle
    HttpWorker *nextIdle;     // in the idle list
    int64_t idleSinceMs;      // when it went idle
    bool retire;              // ends once it has no request (the idle list was full)
    unsigned char staging[StagingBytes];  // the served request's staged body bytes
};

// One request, shared by its caller and its worker. The fields under
// "shared" are touched under s_http.lock only; the worker writes its
// results before setting opDone, the caller reads them after seeing it.
struct HttpRequest {
    // shared
    int references;       // the caller's and the worker's; the last one frees
    WorkerOp op;          // handed over and not yet taken up, or OpNone
    bool opDone;          // the last operation handed over has finished
    bool headIn;          // OpOpen has finished
    bool readHanded;      // an OpRead was handed over (by the caller, or by the worker itself
                          // after a head, see WorkerReadsAhead) and its result not yet taken
    bool callerGone;      // the caller closed the request (or gave up opening it)
    bool released;        // the worker has let go of the response after the caller left
    bool wakeOnSend;      // the caller's head deadline waits for sentMs
    int64_t hopStartMs;   // when the worker began the current request of a redirect chain
    int64_t sentMs;       // when that request went out, 0 before
    CONDITION_VARIABLE callerWake;  // an operation finished, sentMs was set or the response let go of
    // results, written by the worker
    bool answered;        // OpOpen: a usable final head arrived
    int status;           // OpOpen: its status
    HttpFailure openFailure;  // OpOpen: why no usable head arrived
    HttpResponseInfo info;    // OpOpen: what the final head said
    bool readOk;          // OpRead: no transport failure
    HttpFailure readError;    // OpRead: why not (a receive timeout is a silence, anything else a cut)
    int readCount;        // OpRead: bytes staged, 0 at the body's end
    bool readAll;         // OpRead: with them the body is whole (its announced length reached)
    // the caller's
    HttpWorker *worker;   // serving it until the caller leaves
    HttpLimits limits;    // in force since the request was opened
    bool bodyCounted;     // the body counts among those received (http.h) until the caller leaves
    bool failed;          // a read failed or timed out: every later read fails
    HttpFailure readFailure;  // why, once failed
    bool ended;           // the body has ended
    int64_t received;     // body bytes handed to the caller
    HttpRateWindow rate;  // the body's rate floor
    int stagingStart;     // first staged byte not yet handed to the caller
    int stagingEnd;       // one past the last staged byte
    // the worker's (the caller sets url before handing over and reads
    // announced once the head is in; the worker's staging buffer is the
    // worker's during OpRead and the caller's otherwise)
    HINTERNET connection;  // InternetConnectW handle of the current response
    HINTERNET handle;      // HttpOpenRequestW handle of the current response
    int64_t announced;     // its Content-Length, -1 when none was sent
    int64_t bodyRead;      // its body bytes read so far
    bool bodyEnded;        // its body was read to the end
    bool failurePending;   // a read failed (WinINet has dropped the connection): the next one fails
    WideChar url[UrlUnits];
    WideChar headers[HttpValidatorBytes + 96];  // the extra request headers, CR LF after each
};

// The session every request goes through, made on first use and kept for
// the process: parked responses must never be closed with their session.
struct WinInetHttpState {
    SRWLOCK lock;       // guards the shared fields of every request and the workers
    INIT_ONCE once;     // makes the session
    HINTERNET session;  // InternetOpenW handle, with StatusArrived as its callback
    HttpWorker *idle;   // workers without a request, the latest first
    int idleCount;
};
static WinInetHttpState s_http = {SRWLOCK_INIT, INIT_ONCE_STATIC_INIT, nullptr, nullptr, 0};

static int64_t NowMs() {
    return int64_t(GetTickCount64());
}

static bool IsWebUrl(const WideChar *url) {
    return TextStartsWithNoCase(url, L"http://") || TextStartsWithNoCase(url, L"https://");
}

// The system clock as seconds since 1970, UTC.
static int64_t UnixSecondsNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    uint64_t ticks = (uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;  // 100 ns since 1601
    return int64_t(ticks / 10000000ULL) - 11644473600LL;
}

static void SetTimeout(HINTERNET handle, DWORD option, int ms) {
    DWORD value = DWORD(ms);
    InternetSetOptionW(handle, option, &value, sizeof value);
}

// Windows passes timeouts set on the session down to every connection;
// Wine keeps only the connect timeout there and takes the others from the
// connection handle. Both handles get all three: a receive or send may
// wait the idle time at most.
static void SetTimeouts(HINTERNET handle, const HttpLimits &limits) {
    SetTimeout(handle, INTERNET_OPTION_CONNECT_TIMEOUT, limits.connectMs);
    SetTimeout(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, limits.idleMs);
    SetTimeout(handle, INTERNET_OPTION_SEND_TIMEOUT, limits.idleMs);
}

// Status callback of every handle (sync mode: it runs on the worker, inside
// the WinINet call). The request's context is the request; only the moment
// the request went out is taken, for the head's deadline. The caller is
// woken only when it waits for that moment (see WaitForHead).
static void CALLBACK StatusArrived(HINTERNET, DWORD_PTR context, DWORD status, void *, DWORD) {
    if (status != INTERNET_STATUS_REQUEST_SENT || context == 0) return;
    HttpRequest *request = reinterpret_cast<HttpRequest *>(context);
    AcquireSRWLockExclusive(&s_http.lock);
    request->sentMs = NowMs();
    if (request->wakeOnSend) WakeConditionVariable(&request->callerWake);
    ReleaseSRWLockExclusive(&s_http.lock);
}

// HTTP/2 is asked for where the system offers it (Windows 10 1507 and
// later; WinINet then negotiates it over TLS and shares one connection among
// the requests to a server). Elsewhere, Wine included, the option is
// refused and everything stays HTTP/1.1, as before.
static BOOL CALLBACK MakeSession(INIT_ONCE *, void *, void **) {
    s_http.session = InternetOpenW(HttpAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (s_http.session == nullptr) return TRUE;
    InternetSetStatusCallbackW(s_http.session, StatusArrived);
    DWORD protocols = HTTP_PROTOCOL_FLAG_HTTP2;
    (void)InternetSetOptionW(s_http.session, INTERNET_OPTION_ENABLE_HTTP_PROTOCOL, &protocols, sizeof protocols);
    return TRUE;
}

// --------------------------------------------------------------------------
// The worker's side

static bool IsRedirectStatus(DWORD status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Content-Length as sent, -1 when absent or not a number.
static int64_t AnnouncedLength(HINTERNET handle) {
    WideChar text[32];
    DWORD size = sizeof text;
    if (!HttpQueryInfoW(handle, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) return -1;
    char digits[32];
    int n = 0;
    for (const WideChar *p = text; *p != 0 && n < 31; p++) {
        if (*p == L' ' || *p == L'\t') continue;
        if (*p < L'0' || *p > L'9') return -1;
        digits[n++] = char(*p);
    }
    digits[n] = 0;
    if (n == 0) return -1;
    return ParseInt64LikeAtoi64(digits);
}

// Whether every header `query` (HTTP_QUERY_CONTENT_ENCODING or
// HTTP_QUERY_TRANSFER_ENCODING) of the response, however many there are,
// names only the identity coding. A value that is not ASCII or does not fit
// is not.
static bool CodingsArePlain(HINTERNET handle, DWORD query) {
    for (DWORD index = 0;;) {
        WideChar value[256];
        DWORD size = sizeof value;
        DWORD asked = index;
        if (!HttpQueryInfoW(handle, query, value, &size, &index))
            return GetLastError() == ERROR_HTTP_HEADER_NOT_FOUND;
        char narrow[256];
        int n = 0;
        for (; value[n] != 0 && n < 255; n++) {
            if (value[n] > 0x7E) return false;
            narrow[n] = char(value[n]);
        }
        if (!HttpCodingsArePlain(narrow, n, false)) return false;
        if (index == asked) index++;  // in case the index is not moved on
    }
}

// The response head's size in bytes as WinINet kept it (its lines with
// CR LF); above HttpHeadLimitBytes when it cannot be told.
static int64_t HeadSize(HINTERNET handle) {
    DWORD size = 0;
    if (HttpQueryInfoW(handle, HTTP_QUERY_RAW_HEADERS_CRLF, nullptr, &size, nullptr) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return int64_t(HttpHeadLimitBytes) + 1;
    return int64_t(size / sizeof(WideChar));
}

// Why a WinINet call failed, in the seam's words.
static HttpFailure FailureOfError(DWORD error) {
    switch (error) {
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
    case ERROR_INTERNET_CANNOT_CONNECT: return HttpFailedConnect;
    case ERROR_INTERNET_TIMEOUT:
    case WSAETIMEDOUT: return HttpFailedTimeout;  // Wine passes the socket's own error on
    case ERROR_INTERNET_CONNECTION_RESET:
    case ERROR_INTERNET_CONNECTION_ABORTED:
    case ERROR_INTERNET_INCORRECT_HANDLE_STATE: return HttpFailedCut;
    case ERROR_INTERNET_UNRECOGNIZED_SCHEME:
    case ERROR_INTERNET_INVALID_URL: return HttpFailedUrl;
    default: return HttpFailedOther;
    }
}

// One header of the response as ASCII text into out (outBytes); "" when it
// is missing, not ASCII or does not fit.
static void QueryHeader(HINTERNET handle, DWORD query, const WideChar *custom, char *out, int outBytes) {
    WideChar value[HttpValidatorBytes];
    out[0] = 0;
    if (custom != nullptr && !CopyText(value, HttpValidatorBytes, custom)) return;
    DWORD size = sizeof value;
    if (!HttpQueryInfoW(handle, query, value, &size, nullptr)) return;
    int n = 0;
    for (; value[n] != 0; n++)
        if (value[n] > 0x7E || n >= outBytes - 1) return;
    for (int i = 0; i < n; i++) out[i] = char(value[i]);
    out[n] = 0;
}

// What the final head says for resuming and retrying.
static void ReadResponseInfo(HINTERNET handle, int status, int64_t announced, HttpResponseInfo *info) {
    *info = HttpResponseInfo{status, announced, -1, -1, -1, {0}, {0}, -1, false};
    char value[HttpValidatorBytes];
    QueryHeader(handle, HTTP_QUERY_ETAG, nullptr, value, HttpValidatorBytes);
    HttpCopyHeaderValue(value, int(strlen(value)), info->etag);
    QueryHeader(handle, HTTP_QUERY_LAST_MODIFIED, nullptr, value, HttpValidatorBytes);
    HttpCopyHeaderValue(value, int(strlen(value)), info->lastModified);
    QueryHeader(handle, HTTP_QUERY_CONTENT_RANGE, nullptr, value, HttpValidatorBytes);
    if (!HttpParseContentRange(value, int(strlen(value)), &info->rangeFirst, &info->rangeLast, &info->rangeTotal))
        info->rangeFirst = info->rangeLast = info->rangeTotal = -1;
    char retryAfter[HttpValidatorBytes];
    char date[HttpValidatorBytes];
    QueryHeader(handle, HTTP_QUERY_CUSTOM, L"Retry-After", value, HttpValidatorBytes);
    HttpCopyHeaderValue(value, int(strlen(value)), retryAfter);
    QueryHeader(handle, HTTP_QUERY_DATE, nullptr, value, HttpValidatorBytes);
    HttpCopyHeaderValue(value, int(strlen(value)), date);
    info->retryAfterSeconds = HttpRetryAfterOfHead(retryAfter, date, UnixSecondsNow());
}

// The request headers every GET carries, and a range when one is asked for.
static bool BuildRequestHeaders(HttpRequest *request, const HttpRequestOptions *options) {
    constexpr int Units = HttpValidatorBytes + 96;
    char bytes[48];
    if (!HttpRangeValue(options, bytes)) return CopyText(request->headers, Units, RequestHeaders);
    char range[HttpValidatorBytes + 96];
    int n = snprintf(range, sizeof range, "Range: bytes=%s\r\n", bytes);
    if (options->ifRange != nullptr && options->ifRange[0] != 0)
        n += snprintf(range + n, sizeof range - size_t(n), "If-Range: %s\r\n", options->ifRange);
    if (n <= 0 || n >= int(sizeof range)) return false;
    WideChar wide[Units];
    return Utf8ToText(range, wide, Units) && FormatText(request->headers, Units, L"%s%s", RequestHeaders, wide);
}

// Where a redirect response points, resolved against from.
enum RedirectKind { NoLocation, FollowLocation, RefuseLocation };

static RedirectKind RedirectTarget(HINTERNET handle, const WideChar *from, WideChar *to) {
    WideChar location[UrlUnits];
    DWORD size = sizeof location;
    if (!HttpQueryInfoW(handle, HTTP_QUERY_LOCATION, location, &size, nullptr))
        return GetLastError() == ERROR_HTTP_HEADER_NOT_FOUND ? NoLocation : RefuseLocation;
    DWORD units = UrlUnits;
    // The Location is already escaped; escaping it again would turn "%20"
    // into "%2520".
    if (!InternetCombineUrlW(from, location, to, &units, ICU_NO_ENCODE)) return RefuseLocation;
    return IsWebUrl(to) ? FollowLocation : RefuseLocation;
}

// Sends one GET for url (http or https) as HTTP/1.0, without following
// redirects, and waits for the response head. False when no answer came
// (what was opened is closed again: a failed send leaves WinINet nothing
// to read); otherwise request->connection and request->handle are open.
static bool SendGet(HttpRequest *request, const WideChar *url) {
    WideChar host[256];
    WideChar path[UrlUnits];
    WideChar extra[UrlUnits];
    URL_COMPONENTSW parts;
    ZeroMemory(&parts, sizeof parts);
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = UrlUnits;
    parts.lpszExtraInfo = extra;
    parts.dwExtraInfoLength = UrlUnits;
    if (!InternetCrackUrlW(url, 0, 0, &parts) || host[0] == 0) return false;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return false;
    // The object asked for is the path and query; a fragment never goes to
    // the server.
    WideChar object[UrlUnits];
    for (WideChar *p = extra; *p != 0; p++)
        if (*p == L'#') *p = 0;
    if (!FormatText(object, UrlUnits, L"%s%s", path[0] != 0 ? path : L"/", extra)) return false;

    SetTimeout(s_http.session, INTERNET_OPTION_CONNECT_TIMEOUT, request->limits.connectMs);
    HINTERNET connection = InternetConnectW(s_http.session, host, parts.nPort, nullptr, nullptr,
                                            INTERNET_SERVICE_HTTP, 0, 0);
    if (connection == nullptr) return false;
    SetTimeouts(connection, request->limits);
    DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_AUTO_REDIRECT |
                  INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI;
    if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;
    HINTERNET handle = HttpOpenRequestW(connection, L"GET", object, L"HTTP/1.0", nullptr, nullptr, flags,
                                        reinterpret_cast<DWORD_PTR>(request));
    if (handle != nullptr && HttpSendRequestW(handle, request->headers, DWORD(-1L), nullptr, 0)) {
        request->connection = connection;
        request->handle = handle;
        request->announced = -1;
        request->bodyRead = 0;
        request->bodyEnded = false;
        request->failurePending = false;
        return true;
    }
    request->openFailure = FailureOfError(GetLastError());
    if (handle != nullptr) {
        InternetSetStatusCallbackW(handle, nullptr);
        InternetCloseHandle(handle);
    }
    InternetCloseHandle(connection);
    return false;
}

// Stages what has arrived of the current body in the worker's staging: the
// count, 0 at the body's end, -1 on a failure. A body whose announced
// length is in is at its end without asking WinINet once more. InternetQueryDataAvailable
// waits for one receive at most and tells what is there; no more than that
// is read, so the read never waits. (Wine reads on until its whole request
// is met or the receive timeout ends the connection, even with
// IRF_NO_WAIT once its own buffer is empty: a body arriving slowly would
// be held back for the whole idle time, and then fail.)
static int ReadArrived(HttpRequest *request) {
    if (request->failurePending) return -1;
    DWORD available = 0;
    DWORD got = 0;
    bool ok = InternetQueryDataAvailable(request->handle, &available, 0, 0);
    // 0 available is the end; the read then confirms it.
    DWORD asked = available == 0 ? 1 : available < DWORD(StagingBytes) ? available : DWORD(StagingBytes);
    ok = ok && InternetReadFile(request->handle, request->worker->staging, asked, &got);
    if (!ok) {
        request->readError = FailureOfError(GetLastError()) == HttpFailedTimeout ? HttpFailedTimeout : HttpFailedCut;
        request->failurePending = true;
        return -1;
    }
    request->bodyRead += got;
    if (got == 0 || (request->announced >= 0 && request->bodyRead >= request->announced)) request->bodyEnded = true;
    return int(got);
}

// Whether closing the current response costs nothing: there is none, it
// was read to its end or to a failure (WinINet has then let go of its
// connection), or what is left of it is announced and short.
static bool ClosesAtOnce(const HttpRequest *request) {
    return request->handle == nullptr || request->bodyEnded || request->failurePending ||
           (request->announced >= 0 && request->announced - request->bodyRead <= ShortRestBytes);
}

// Lets go of the current response: closed when that costs nothing;
// otherwise (when mayReadOn) the worker reads on for a short while first,
// and a rest that does not end then is parked (see the header). Either way
// the handles no longer report to the request.
static void ReleaseResponse(HttpRequest *request, bool mayReadOn) {
    if (request->connection == nullptr) return;
    if (!ClosesAtOnce(request) && mayReadOn) {
        int64_t until = NowMs() + ShortRestMs;
        int64_t limit = request->bodyRead + ShortRestBytes;
        while (!ClosesAtOnce(request) && request->bodyRead <= limit && NowMs() < until)
            if (ReadArrived(request) < 0) break;
    }
    bool closeable = ClosesAtOnce(request);
    if (request->handle != nullptr) InternetSetStatusCallbackW(request->handle, nullptr);
    InternetSetStatusCallbackW(request->connection, nullptr);
    if (closeable) {
        if (request->handle != nullptr) InternetCloseHandle(request->handle);
        InternetCloseHandle(request->connection);
    }
    request->handle = nullptr;
    request->connection = nullptr;
}

// The head's deadline starts again for each request of a redirect chain.
// It only moves later, so the caller is not woken: it finds the new start
// when its earlier deadline comes.
static void StartHop(HttpRequest *request) {
    AcquireSRWLockExclusive(&s_http.lock);
    request->hopStartMs = NowMs();
    request->sentMs = 0;
    ReleaseSRWLockExclusive(&s_http.lock);
}

// OpOpen. Each hop is its own request; a 3xx response is let go of unread
// once its Location is known. A 3xx without a Location is an answer like
// any other. An answer over the head's size, with a Transfer-Encoding or
// with a coding other than identity is no usable answer.
static void RunOpen(HttpRequest *request) {
    WideChar next[UrlUnits];
    for (int redirects = 0;; redirects++) {
        StartHop(request);
        request->openFailure = HttpFailedOther;
        if (!SendGet(request, request->url)) return;
        DWORD code = 0;
        DWORD size = sizeof code;
        RedirectKind kind = RefuseLocation;
        if (HttpQueryInfoW(request->handle, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, nullptr))
            kind = IsRedirectStatus(code) ? RedirectTarget(request->handle, request->url, next) : NoLocation;
        request->announced = AnnouncedLength(request->handle);
        bool usable = kind == NoLocation && HeadSize(request->handle) <= HttpHeadLimitBytes &&
                      CodingsArePlain(request->handle, HTTP_QUERY_CONTENT_ENCODING) &&
                      CodingsArePlain(request->handle, HTTP_QUERY_TRANSFER_ENCODING);
        if (usable) {
            request->bodyEnded = request->announced == 0;
            request->answered = true;
            request->status = int(code);
            ReadResponseInfo(request->handle, int(code), request->announced, &request->info);
            return;
        }
        request->openFailure = kind != NoLocation ? HttpFailedUrl
                               : HeadSize(request->handle) > HttpHeadLimitBytes ? HttpFailedTimeout
                                                                                 : HttpFailedEncoded;
        ReleaseResponse(request, false);
        if (kind != FollowLocation || redirects == MaxRedirects) return;
        CopyText(request->url, UrlUnits, next);
    }
}

// Whether the worker goes on from the head straight to the first read of
// the body, without waiting to be asked: for a 200 or 206, whose body the
// caller reads next (while it prepares for it, the bytes come in).
static bool WorkerReadsAhead(const HttpRequest *request) {
    return request->answered && (request->status == 200 || request->status == 206) && !request->bodyEnded;
}

// OpRead.
static void RunRead(HttpRequest *request) {
    int count = request->handle != nullptr ? ReadArrived(request) : -1;
    request->readOk = count >= 0;
    request->readCount = count > 0 ? count : 0;
    request->readAll = request->bodyEnded;
}

// Whether the response needs nothing more of the worker: none is open, or
// it was read to its end or to a failure, so closing it waits on nothing.
static bool ResponseIsDone(const HttpRequest *request) {
    return request->handle == nullptr || request->bodyEnded || request->failurePending;
}

// A worker done with its request goes to the idle list, or ends when the
// list is full. Under s_http.lock.
static void ReturnWorker(HttpWorker *worker) {
    worker->request = nullptr;
    if (s_http.idleCount >= MaxIdleWorkers) {
        worker->retire = true;
        WakeConditionVariable(&worker->wake);
        return;
    }
    worker->idleSinceMs = NowMs();
    worker->nextIdle = s_http.idle;
    s_http.idle = worker;
    s_http.idleCount++;
}

// Takes a worker that stayed idle too long out of the list. Under s_http.lock.
static void UnlistWorker(HttpWorker *worker) {
    for (HttpWorker **at = &s_http.idle; *at != nullptr; at = &(*at)->nextIdle)
        if (*at == worker) {
            *at = worker->nextIdle;
            s_http.idleCount--;
            return;
        }
}

// The worker: takes the operations of its request until the caller is gone,
// then lets go of the response, frees the request if the caller already has
// let go, and waits for the next request, ending after IdleWorkerMs without
// one. (Its waits are never endless, so one taken back into the idle list
// while asleep still ends in time.)
static DWORD WINAPI RequestWorker(void *parameter) {
    HttpWorker *worker = static_cast<HttpWorker *>(parameter);
    AcquireSRWLockExclusive(&s_http.lock);
    for (;;) {
        HttpRequest *request = worker->request;
        if (request == nullptr) {
            if (worker->retire) break;
            int64_t left = worker->idleSinceMs + IdleWorkerMs - NowMs();
            if (left <= 0) {
                UnlistWorker(worker);
                break;
            }
            SleepConditionVariableSRW(&worker->wake, &s_http.lock, DWORD(left), 0);
            continue;
        }
        WorkerOp op = request->op;
        if (op == OpNone && !request->callerGone) {
            SleepConditionVariableSRW(&worker->wake, &s_http.lock, DWORD(IdleWorkerMs), 0);
            continue;
        }
        ReleaseSRWLockExclusive(&s_http.lock);
        if (op == OpNone) {  // the caller is gone
            ReleaseResponse(request, true);
            AcquireSRWLockExclusive(&s_http.lock);
            request->released = true;
            WakeConditionVariable(&request->callerWake);
            bool last = --request->references == 0;
            ReturnWorker(worker);
            ReleaseSRWLockExclusive(&s_http.lock);
            if (last) delete request;
        } else if (op == OpOpen) {
            RunOpen(request);
        } else {
            RunRead(request);
        }
        AcquireSRWLockExclusive(&s_http.lock);
        if (op != OpNone) {
            request->op = OpNone;
            request->opDone = true;
            if (op == OpOpen) {
                request->headIn = true;
                if (!request->callerGone && WorkerReadsAhead(request)) {
                    request->op = OpRead;
                    request->opDone = false;
                    request->readHanded = true;
                }
            }
            WakeConditionVariable(&request->callerWake);
        }
    }
    ReleaseSRWLockExclusive(&s_http.lock);
    delete worker;
    return 0;
}

// A worker for request, idle or started now, with OpOpen handed over;
// false when no thread could be started.
static bool StartWorker(HttpRequest *request) {
    request->op = OpOpen;
    AcquireSRWLockExclusive(&s_http.lock);
    HttpWorker *worker = s_http.idle;
    if (worker != nullptr) {
        s_http.idle = worker->nextIdle;
        s_http.idleCount--;
        worker->request = request;
        request->worker = worker;
        WakeConditionVariable(&worker->wake);
    }
    ReleaseSRWLockExclusive(&s_http.lock);
    if (worker != nullptr) return true;
    worker = new (std::nothrow) HttpWorker;  // the staging buffer is left as it comes
    if (worker == nullptr) return false;
    InitializeConditionVariable(&worker->wake);
    worker->request = request;
    worker->nextIdle = nullptr;
    worker->idleSinceMs = 0;
    worker->retire = false;
    request->worker = worker;
    HANDLE thread = CreateThread(nullptr, WorkerStackBytes, RequestWorker, worker,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) {
        delete worker;
        return false;
    }
    CloseHandle(thread);
    return true;
}

// --------------------------------------------------------------------------
// The caller's side (all under s_http.lock)

static void HandOver(HttpRequest *request, WorkerOp op) {
    request->op = op;
    request->opDone = false;
    request->readHanded = op == OpRead;
    WakeConditionVariable(&request->worker->wake);
}

// Waits for OpOpen: each request of the chain must have its head within
// the head's time of going out, or, before it went out, within the connect
// and head times of its start. False when a deadline passed first. Going
// out is waited for only once the earliest deadline a sent request can have
// has passed, so that a quick answer costs the caller one wake.
static bool WaitForHead(HttpRequest *request) {
    for (;;) {
        if (request->headIn) return true;
        int64_t now = NowMs();
        int64_t deadline = request->sentMs + request->limits.headMs;
        if (request->sentMs == 0) {
            deadline = request->hopStartMs + request->limits.headMs;
            if (now >= deadline) {
                request->wakeOnSend = true;
                deadline += request->limits.connectMs;
            }
        }
        if (now >= deadline) return false;
        SleepConditionVariableSRW(&request->callerWake, &s_http.lock, DWORD(deadline - now), 0);
    }
}

// Waits for OpRead within the idle time, keeping the rate floor's clock
// (shared with the bodies being received meanwhile, counted at least every
// ReadWaitSliceMs). False when either ran out first, *why saying which.
static bool WaitForBody(HttpRequest *request, HttpFailure *why) {
    int64_t start = NowMs();
    int64_t tick = start;
    *why = HttpFailedTooSlow;
    for (;;) {
        int64_t now = NowMs();
        if (request->opDone) {
            HttpRateReceived(&request->rate, request->readCount);
            return HttpRateWaited(&request->rate, request->limits, now - tick, HttpBodiesSharingFloor());
        }
        if (!HttpRateWaited(&request->rate, request->limits, now - tick, HttpBodiesSharingFloor())) return false;
        tick = now;
        int64_t left = start + request->limits.idleMs - now;
        if (left <= 0) {
            *why = HttpFailedTimeout;
            return false;
        }
        if (HttpRateMsLeft(&request->rate) < left) left = HttpRateMsLeft(&request->rate);
        if (left > ReadWaitSliceMs) left = ReadWaitSliceMs;
        SleepConditionVariableSRW(&request->callerWake, &s_http.lock, DWORD(left), 0);
    }
}

// The caller lets go. When the worker is idle and the response needs
// nothing more of it, the caller takes the worker back into the idle list
// and closes the response itself. Otherwise the worker tidies up; when it
// is idle and the response closes at once (a short rest, which WinINet
// reads first), the caller waits for that, so that no worker is still in
// WinINet when the program ends; a worker still in a call, or reading on a
// rest, is left to it. Frees the request when the worker is done with it.
static void LeaveRequest(HttpRequest *request) {
    if (request->bodyCounted) HttpBodyEnds();
    request->bodyCounted = false;
    AcquireSRWLockExclusive(&s_http.lock);
    bool workerIdle = request->opDone && request->op == OpNone;
    if (workerIdle && ResponseIsDone(request)) {
        ReturnWorker(request->worker);
        ReleaseSRWLockExclusive(&s_http.lock);
        ReleaseResponse(request, false);
        delete request;
        return;
    }
    request->callerGone = true;
    WakeConditionVariable(&request->worker->wake);
    if (workerIdle && ClosesAtOnce(request)) {
        int64_t until = NowMs() + QuickCloseWaitMs;
        for (int64_t now = NowMs(); !request->released && now < until; now = NowMs())
            SleepConditionVariableSRW(&request->callerWake, &s_http.lock, DWORD(until - now), 0);
    }
    bool last = --request->references == 0;
    ReleaseSRWLockExclusive(&s_http.lock);
    if (last) delete request;
}

// --------------------------------------------------------------------------
// The seam

HttpRoot *HttpOpenRoot() {
    InitOnceExecuteOnce(&s_http.once, MakeSession, nullptr, nullptr);
    if (s_http.session == nullptr) return nullptr;
    return new (std::nothrow) HttpRoot{0};
}

void HttpCloseRoot(HttpRoot *root) {
    delete root;
}

HttpRequest *HttpOpenUrlWith(HttpRoot *root, const WideChar *url, const HttpRequestOptions *options,
                             HttpResponseInfo *info, HttpFailure *failure) {
    *failure = HttpFailedUrl;
    char prepared[HttpUrlBytes];
    if (root == nullptr || url == nullptr || HttpPrepareUrl(url, prepared, HttpUrlBytes) != HttpUrlReady)
        return nullptr;
    *failure = HttpFailedOther;
    HttpRequest *request = new (std::nothrow) HttpRequest();  // zeroed: condition variables ready
    if (request == nullptr) return nullptr;
    for (int i = 0;; i++) {  // ASCII, and it fits: UrlUnits is HttpUrlBytes
        request->url[i] = WideChar(prepared[i]);
        if (prepared[i] == 0) break;
    }
    if (!BuildRequestHeaders(request, options)) {
        delete request;
        *failure = HttpFailedUrl;
        return nullptr;
    }
    request->limits = HttpLimitsFor(g_httpTimeoutOverrideMs);
    request->references = 2;
    request->hopStartMs = NowMs();
    if (!StartWorker(request)) {
        delete request;
        return nullptr;
    }

    AcquireSRWLockExclusive(&s_http.lock);
    bool inTime = WaitForHead(request);
    bool answered = inTime && request->answered;
    // A head that did not come in time is a time-out, or a connection that
    // was never made.
    HttpFailure why = inTime ? request->openFailure : request->sentMs > 0 ? HttpFailedTooSlow : HttpFailedConnect;
    ReleaseSRWLockExclusive(&s_http.lock);
    if (!answered) {
        *failure = why;
        LeaveRequest(request);
        return nullptr;
    }
    HttpRateStart(&request->rate, request->limits, 0);
    HttpBodyStarts();
    request->bodyCounted = true;
    request->ended = request->info.contentLength == 0;
    *info = request->info;
    *failure = HttpOk;
    return request;
}

// Staged bytes are handed over first; only when none are left is the
// worker asked for more. WinINet reports a connection closed early as an
// ordinary end of data, so the end is checked against the announced length
// here.
bool HttpRead(HttpRequest *request, void *buffer, int wanted, int *received) {
    *received = 0;
    if (request == nullptr || wanted <= 0 || request->failed) return false;
    if (request->stagingStart == request->stagingEnd) {
        if (request->ended) return true;
        AcquireSRWLockExclusive(&s_http.lock);
        if (!request->readHanded) HandOver(request, OpRead);
        HttpFailure late = HttpFailedTimeout;
        bool inTime = WaitForBody(request, &late);
        bool ok = inTime && request->readOk;
        int count = ok ? request->readCount : 0;
        request->ended = ok && request->readAll;  // once these are handed over, nothing is left
        request->readHanded = !inTime;
        ReleaseSRWLockExclusive(&s_http.lock);
        if (!ok) {
            request->failed = true;
            request->readFailure = !inTime ? late : request->readError != HttpOk ? request->readError : HttpFailedCut;
            return false;
        }
        if (count == 0) {
            request->ended = true;
            if (request->announced >= 0 && request->received < request->announced) {
                request->failed = true;
                request->readFailure = HttpFailedCut;
                return false;
            }
            return true;
        }
        request->stagingStart = 0;  // the worker is idle until the next hand-over
        request->stagingEnd = count;
    }
    int count = request->stagingEnd - request->stagingStart;
    if (count > wanted) count = wanted;
    memcpy(buffer, request->worker->staging + request->stagingStart, size_t(count));
    request->stagingStart += count;
    request->received += count;
    *received = count;
    return true;
}

void HttpCloseRequest(HttpRequest *request) {
    if (request == nullptr) return;
    LeaveRequest(request);
}

HttpFailure HttpReadFailure(const HttpRequest *request) {
    return request == nullptr ? HttpFailedOther : request->failed ? request->readFailure : HttpOk;
}

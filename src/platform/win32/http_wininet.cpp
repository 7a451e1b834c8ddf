// HTTP backend for Windows: the http seam over WinINet (InternetOpenW,
// InternetConnectW, HttpOpenRequestW, InternetReadFile; link wininet).
// Redirects are followed here rather than by WinINet so that the limit of
// 10 and the http/https-only rule hold whatever WinINet's own rules are.
// Leaves out proxies beyond the system's settings, authentication,
// cookies, request bodies and caching (responses are never cached).
//
// The divisions of this file, in order:
//   - limits and records: the agent, the redirect and URL limits, the root
//     and request records;
//   - the session: timeouts on every handle (Wine reads them from the
//     connection, Windows from the session), HttpOpenRoot/HttpCloseRoot;
//   - one response: its announced length, where a redirect points, and one
//     GET sent over its own connection;
//   - the seam: HttpOpenUrl (the redirect loop), HttpRead (the body, with
//     the announced length enforced), HttpCloseRequest.
#include <windows.h>
#include <wininet.h>

#include <new>

#include "platform/http.h"
#include "platform/test_hooks.h"

int g_httpTimeoutOverrideMs = 0;

constexpr WideChar HttpAgent[] = L"ZentharaLauncher/4.1";
constexpr int MaxRedirects = 10;
// Longest URL, own or from a Location header, that is followed (units).
constexpr int UrlUnits = 2048;

struct HttpRoot {
    HINTERNET session;       // InternetOpenW handle, parent of every request
};

struct HttpRequest {
    HINTERNET connection;    // InternetConnectW handle, parent of handle
    HINTERNET handle;        // HttpOpenRequestW handle of the final response
    int64_t announced;       // Content-Length, bytes; -1 when none was sent
    int64_t received;        // body bytes read so far
};

static bool IsWebUrl(const WideChar *url) {
    return TextStartsWithNoCase(url, L"http://") || TextStartsWithNoCase(url, L"https://");
}

static void SetTimeout(HINTERNET handle, DWORD option, int ms) {
    DWORD value = DWORD(ms);
    InternetSetOptionW(handle, option, &value, sizeof value);
}

// Windows passes timeouts set on the session down to every connection;
// Wine keeps only the connect timeout there and takes the others from the
// connection handle. Both handles get all three.
static void SetTimeouts(HINTERNET handle) {
    int connectMs = g_httpTimeoutOverrideMs > 0 ? g_httpTimeoutOverrideMs : HttpConnectTimeoutMs;
    int idleMs = g_httpTimeoutOverrideMs > 0 ? g_httpTimeoutOverrideMs : HttpIdleTimeoutMs;
    SetTimeout(handle, INTERNET_OPTION_CONNECT_TIMEOUT, connectMs);
    SetTimeout(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, idleMs);
    SetTimeout(handle, INTERNET_OPTION_SEND_TIMEOUT, idleMs);
}

HttpRoot *HttpOpenRoot() {
    HINTERNET session = InternetOpenW(HttpAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (session == nullptr) return nullptr;
    SetTimeouts(session);
    HttpRoot *root = new (std::nothrow) HttpRoot;
    if (root == nullptr) {
        InternetCloseHandle(session);
        return nullptr;
    }
    root->session = session;
    return root;
}

void HttpCloseRoot(HttpRoot *root) {
    if (root == nullptr) return;
    InternetCloseHandle(root->session);
    delete root;
}

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

// Sends one GET for url (http or https) without following redirects and
// waits for the response head. False when no answer came; otherwise
// *connection and *handle are open and the caller closes both.
static bool SendGet(HttpRoot *root, const WideChar *url, HINTERNET *connection, HINTERNET *handle) {
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

    *connection = InternetConnectW(root->session, host, parts.nPort, nullptr, nullptr,
                                   INTERNET_SERVICE_HTTP, 0, 0);
    if (*connection == nullptr) return false;
    SetTimeouts(*connection);
    DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_AUTO_REDIRECT |
                  INTERNET_FLAG_KEEP_CONNECTION;
    if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;
    *handle = HttpOpenRequestW(*connection, L"GET", object, nullptr, nullptr, nullptr, flags, 0);
    if (*handle != nullptr && HttpSendRequestW(*handle, nullptr, 0, nullptr, 0)) return true;
    if (*handle != nullptr) InternetCloseHandle(*handle);
    InternetCloseHandle(*connection);
    return false;
}

// Each hop is its own request; a 3xx response is closed unread once its
// Location is known. A 3xx without a Location is an answer like any other
// and is returned to the caller.
HttpRequest *HttpOpenUrl(HttpRoot *root, const WideChar *url, int *status, int64_t *contentLength) {
    if (root == nullptr || !IsWebUrl(url)) return nullptr;
    WideChar current[UrlUnits];
    WideChar next[UrlUnits];
    if (!CopyText(current, UrlUnits, url)) return nullptr;
    for (int redirects = 0;; redirects++) {
        HINTERNET connection, handle;
        if (!SendGet(root, current, &connection, &handle)) return nullptr;
        DWORD code = 0;
        DWORD size = sizeof code;
        RedirectKind kind = RefuseLocation;
        if (HttpQueryInfoW(handle, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, nullptr))
            kind = IsRedirectStatus(code) ? RedirectTarget(handle, current, next) : NoLocation;
        HttpRequest *request = nullptr;
        if (kind == NoLocation) request = new (std::nothrow) HttpRequest;
        if (request == nullptr) {
            InternetCloseHandle(handle);
            InternetCloseHandle(connection);
            if (kind != FollowLocation || redirects == MaxRedirects) return nullptr;
            CopyText(current, UrlUnits, next);
            continue;
        }
        request->connection = connection;
        request->handle = handle;
        request->announced = AnnouncedLength(handle);
        request->received = 0;
        if (status != nullptr) *status = int(code);
        if (contentLength != nullptr) *contentLength = request->announced;
        return request;
    }
}

// WinINet reports a connection closed early as an ordinary end of data, so
// the end is checked against the announced length here. A chunked body cut
// between chunks cannot be told from a complete one this way.
bool HttpRead(HttpRequest *request, void *buffer, int wanted, int *received) {
    *received = 0;
    if (request == nullptr || wanted <= 0) return false;
    DWORD got = 0;
    if (!InternetReadFile(request->handle, buffer, DWORD(wanted), &got)) return false;
    if (got == 0) return request->announced < 0 || request->received >= request->announced;
    request->received += got;
    *received = int(got);
    return true;
}

void HttpCloseRequest(HttpRequest *request) {
    if (request == nullptr) return;
    InternetCloseHandle(request->handle);
    InternetCloseHandle(request->connection);
    delete request;
}

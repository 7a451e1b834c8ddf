// HTTP backend for Windows: pull-style GET requests through WinINet
// (InternetOpenW, InternetOpenUrlW, InternetReadFile; link wininet).
// Redirects are followed here rather than by WinINet so that the limit of 10
// and the http/https-only rule hold whatever WinINet's own rules are.
// Leaves out proxies beyond the system's settings, authentication,
// cookies, request bodies and caching (responses are never cached).
#include <windows.h>
#include <wininet.h>

#include <new>

#include "platform/http.h"

int g_httpTimeoutOverrideMs = 0;

constexpr WideChar HttpAgent[] = L"ZentharaLauncher/4.1";
constexpr int MaxRedirects = 10;
// Longest URL, own or from a Location header, that is followed (units).
constexpr int UrlUnits = 2048;

struct HttpRoot {
    HINTERNET session;       // InternetOpenW handle, parent of every request
};

struct HttpRequest {
    HINTERNET handle;        // InternetOpenUrlW handle of the final response
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

HttpRoot *HttpOpenRoot() {
    HINTERNET session = InternetOpenW(HttpAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (session == nullptr) return nullptr;
    int connectMs = g_httpTimeoutOverrideMs > 0 ? g_httpTimeoutOverrideMs : HttpConnectTimeoutMs;
    int idleMs = g_httpTimeoutOverrideMs > 0 ? g_httpTimeoutOverrideMs : HttpIdleTimeoutMs;
    // Requests opened from the session inherit these.
    SetTimeout(session, INTERNET_OPTION_CONNECT_TIMEOUT, connectMs);
    SetTimeout(session, INTERNET_OPTION_RECEIVE_TIMEOUT, idleMs);
    SetTimeout(session, INTERNET_OPTION_SEND_TIMEOUT, idleMs);
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

// Each hop is its own InternetOpenUrlW with automatic redirects off; the
// 3xx response is closed unread once its Location is known. A 3xx without
// a Location is an answer like any other and is returned to the caller.
HttpRequest *HttpOpenUrl(HttpRoot *root, const WideChar *url, int *status, int64_t *contentLength) {
    if (root == nullptr || !IsWebUrl(url)) return nullptr;
    WideChar current[UrlUnits];
    WideChar next[UrlUnits];
    if (!CopyText(current, UrlUnits, url)) return nullptr;
    const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                        INTERNET_FLAG_NO_AUTO_REDIRECT;
    for (int redirects = 0;; redirects++) {
        HINTERNET handle = InternetOpenUrlW(root->session, current, nullptr, 0, flags, 0);
        if (handle == nullptr) return nullptr;
        DWORD code = 0;
        DWORD size = sizeof code;
        if (!HttpQueryInfoW(handle, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size,
                            nullptr)) {
            InternetCloseHandle(handle);
            return nullptr;
        }
        RedirectKind kind = IsRedirectStatus(code) ? RedirectTarget(handle, current, next) : NoLocation;
        if (kind != NoLocation) {
            InternetCloseHandle(handle);
            if (kind == RefuseLocation || redirects == MaxRedirects) return nullptr;
            CopyText(current, UrlUnits, next);
            continue;
        }
        HttpRequest *request = new (std::nothrow) HttpRequest;
        if (request == nullptr) {
            InternetCloseHandle(handle);
            return nullptr;
        }
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
    delete request;
}

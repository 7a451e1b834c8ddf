// The URL a download is requested with, and why one is refused.
// Platform-neutral.
#include "patch/request_url.h"

HttpUrlVerdict PrepareRequestUrl(const WideChar *url, WideChar *out, int capacity) {
    if (capacity <= 0) return HttpUrlTooLong;
    out[0] = 0;
    char ascii[HttpUrlBytes];
    HttpUrlVerdict verdict = HttpPrepareUrl(url, ascii, HttpUrlBytes);
    if (verdict != HttpUrlReady) return verdict;
    int n = 0;
    for (; ascii[n] != 0; n++)
        if (n >= capacity - 1) {
            out[0] = 0;
            return HttpUrlTooLong;
        }
    for (int i = 0; i <= n; i++) out[i] = WideChar(ascii[i]);
    return HttpUrlReady;
}

const char *RequestUrlRefusal(HttpUrlVerdict verdict) {
    switch (verdict) {
    case HttpUrlReady: return "";
    case HttpUrlNotWeb: return "the URL is not http or https";
    case HttpUrlNoServer: return "the URL names no server";
    case HttpUrlUserInfo: return "the URL holds a user name or password";
    case HttpUrlServerNotAscii: return "the URL's server name is not plain ASCII";
    case HttpUrlControlCharacter: return "the URL holds a control character";
    case HttpUrlBrokenText: return "the URL holds a broken character";
    case HttpUrlTooLong: return "the URL does not fit";
    }
    return "the URL is refused";
}

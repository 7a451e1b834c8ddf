// The URL both HTTP backends send for a manifest's URL: what is escaped,
// what is kept byte for byte, and what is refused with which reason.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "patch/request_url.h"
#include "test_files.h"

namespace {

// Wide() stops at 4095 units.
WideString WideAscii(const std::string &ascii) {
    return WideString(ascii.begin(), ascii.end());
}

const struct {
    const char *url;  // UTF-8
    HttpUrlVerdict verdict;
    const char *sent;  // what goes out, for HttpUrlReady
} UrlCases[] = {
    // Escaped: beyond ASCII as UTF-8 in upper-case hex, spaces, stray '%'.
    {"http://127.0.0.1/a b.bin", HttpUrlReady, "http://127.0.0.1/a%20b.bin"},
    {"https://h/caf\xC3\xA9.pak", HttpUrlReady, "https://h/caf%C3%A9.pak"},
    {"http://h/\xE6\x97\xA5\xE6\x9C\xAC/x", HttpUrlReady, "http://h/%E6%97%A5%E6%9C%AC/x"},
    {"http://h/\xF0\x9F\x98\x80", HttpUrlReady, "http://h/%F0%9F%98%80"},
    {"http://h/\xC2\xA0", HttpUrlReady, "http://h/%C2%A0"},  // a no-break space is no control
    {"http://h/100%", HttpUrlReady, "http://h/100%25"},
    {"http://h/%4", HttpUrlReady, "http://h/%254"},
    {"http://h/%zz%", HttpUrlReady, "http://h/%25zz%25"},
    {"http://h/q?q=a b&r=\xC3\xA9", HttpUrlReady, "http://h/q?q=a%20b&r=%C3%A9"},
    {"http://h/a\\b?c\\", HttpUrlReady, "http://h/a%5Cb?c%5C"},
    // Kept as written: escapes (never decoded, never escaped again),
    // reserved characters, the scheme's and the server's letter case.
    {"http://h/%41%2f%2F", HttpUrlReady, "http://h/%41%2f%2F"},
    {"http://h/r;x=1,y(2)!$'*+|~.bin?k=v/w:@[]", HttpUrlReady, "http://h/r;x=1,y(2)!$'*+|~.bin?k=v/w:@[]"},
    {"http://h/a@b", HttpUrlReady, "http://h/a@b"},
    {"http://h/q\"<>^`{}.bin?\"<>^`{}", HttpUrlReady, "http://h/q\"<>^`{}.bin?\"<>^`{}"},
    {"http://h/./a/../b", HttpUrlReady, "http://h/./a/../b"},  // both libraries resolve dot segments alike
    {"HTTPS://Example.TEST:8443/X", HttpUrlReady, "HTTPS://Example.TEST:8443/X"},
    {"http://[::1]:81/x", HttpUrlReady, "http://[::1]:81/x"},
    {"http://h", HttpUrlReady, "http://h"},
    {"http://h?x", HttpUrlReady, "http://h?x"},
    // The fragment never goes out.
    {"http://h/a.bin#sha256=00ff", HttpUrlReady, "http://h/a.bin"},
    {"http://h#x y", HttpUrlReady, "http://h"},
    // Refused.
    {"http://h/a\tb", HttpUrlControlCharacter, ""},
    {"http://h/\x7F", HttpUrlControlCharacter, ""},
    {"http://h/\xC2\x9F", HttpUrlControlCharacter, ""},
    {"http://h/a#\x01", HttpUrlControlCharacter, ""},
    {"http://user:secret@h/a", HttpUrlUserInfo, ""},
    {"https://user@h/a", HttpUrlUserInfo, ""},
    {"http://:@h/", HttpUrlUserInfo, ""},
    {"ftp://h/a", HttpUrlNotWeb, ""},
    {" http://h/a", HttpUrlNotWeb, ""},
    {"httpx://h/a", HttpUrlNotWeb, ""},
    {"http:/h/a", HttpUrlNotWeb, ""},
    {"http:///a", HttpUrlNoServer, ""},
    {"http://?a", HttpUrlNoServer, ""},
    {"http://h x/a", HttpUrlServerNotAscii, ""},
    {"http://caf\xC3\xA9.test/a", HttpUrlServerNotAscii, ""},
};

TEST(RequestUrl, EachUrlIsSentAsOneExactAsciiTargetOrRefused) {
    for (const auto &c : UrlCases) {
        WideChar out[RequestUrlUnits];
        HttpUrlVerdict verdict = PrepareRequestUrl(Wide(c.url).c_str(), out, RequestUrlUnits);
        EXPECT_EQ(verdict, c.verdict) << c.url;
        EXPECT_EQ(Narrow(out), c.sent) << c.url;
        if (verdict != HttpUrlReady) continue;
        // Prepared again (the engine prepares, the backend too), it is unchanged.
        WideChar again[RequestUrlUnits];
        EXPECT_EQ(PrepareRequestUrl(out, again, RequestUrlUnits), HttpUrlReady) << c.url;
        EXPECT_EQ(Narrow(again), c.sent) << c.url;
    }
}

TEST(RequestUrl, BrokenUtf16AndOverlongUrlsAreRefused) {
    WideChar out[RequestUrlUnits];
    for (WideString url : {Wide("http://h/\x01x"), Wide("http://h/\x02"), Wide("http://h/\x01")}) {
        url[9] = url[9] == 1 ? 0xD83D : 0xDE00;  // a lone high (then "x" or the end) or low surrogate
        EXPECT_EQ(PrepareRequestUrl(url.c_str(), out, RequestUrlUnits), HttpUrlBrokenText);
        EXPECT_EQ(out[0], 0);
    }

    // "http://h/" and a path: what fits the room with its terminator goes;
    // escaping counts three bytes for a space, and a caller's room binds too.
    std::string fits = "http://h/" + std::string(RequestUrlUnits - 1 - 9, 'a');
    EXPECT_EQ(PrepareRequestUrl(WideAscii(fits).c_str(), out, RequestUrlUnits), HttpUrlReady);
    EXPECT_EQ(Narrow(out), fits);
    EXPECT_EQ(PrepareRequestUrl(WideAscii(fits + "a").c_str(), out, RequestUrlUnits), HttpUrlTooLong);
    EXPECT_EQ(out[0], 0);
    std::string spaces = "http://h/" + std::string(RequestUrlUnits / 3, ' ');
    EXPECT_EQ(PrepareRequestUrl(WideAscii(spaces).c_str(), out, RequestUrlUnits), HttpUrlTooLong);
    EXPECT_EQ(PrepareRequestUrl(Wide("http://h/abc").c_str(), out, 12), HttpUrlTooLong);
    EXPECT_EQ(PrepareRequestUrl(Wide("http://h/abc").c_str(), out, 13), HttpUrlReady);
}

TEST(RequestUrl, EveryRefusalHasADistinctShortReason) {
    EXPECT_STREQ(RequestUrlRefusal(HttpUrlReady), "");
    for (int v = HttpUrlNotWeb; v <= HttpUrlTooLong; v++) {
        const char *reason = RequestUrlRefusal(HttpUrlVerdict(v));
        EXPECT_GT(strlen(reason), 10u) << v;
        EXPECT_LT(strlen(reason), 60u) << v;
        for (int u = HttpUrlNotWeb; u < v; u++) EXPECT_STRNE(reason, RequestUrlRefusal(HttpUrlVerdict(u))) << v;
    }
}

}  // namespace

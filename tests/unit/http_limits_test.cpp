// The rules both HTTP backends apply (platform/http.h): the limits a test
// override scales, the body's rate floor over its windows and its share
// among bodies received together, which codings leave a body as sent, and
// Retry-After as delay seconds or an HTTP date.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/http.h"

namespace {

TEST(HttpLimits, OverrideScalesEveryTimeAndKeepsTheRate) {
    HttpLimits shipped = HttpLimitsFor(0);
    EXPECT_EQ(shipped.connectMs, 30000);
    EXPECT_EQ(shipped.idleMs, 60000);
    EXPECT_EQ(shipped.headMs, 30000);
    EXPECT_EQ(shipped.windowMs, 60000);
    EXPECT_EQ(shipped.floorBytes, 60 * 1024);

    HttpLimits scaled = HttpLimitsFor(2000);
    EXPECT_EQ(scaled.connectMs, 2000);
    EXPECT_EQ(scaled.idleMs, 2000);
    EXPECT_EQ(scaled.headMs, 2000);
    EXPECT_EQ(scaled.windowMs, 2000);
    EXPECT_EQ(scaled.floorBytes, 2048);  // still 1 KiB/s
    EXPECT_GE(HttpLimitsFor(1).floorBytes, 1);
}

TEST(HttpRateFloor, EachWindowMustBringTheFloor) {
    HttpLimits limits = HttpLimitsFor(0);
    HttpRateWindow rate;

    // Two bytes a second: nothing fails before the first window closes,
    // and it fails exactly when it does.
    HttpRateStart(&rate, limits, 0);
    for (int second = 1; second < 60; second++) {
        HttpRateReceived(&rate, 2);
        ASSERT_TRUE(HttpRateWaited(&rate, limits, 1000)) << "after " << second << " s";
    }
    EXPECT_EQ(HttpRateMsLeft(&rate), 1000);
    HttpRateReceived(&rate, 2);
    EXPECT_FALSE(HttpRateWaited(&rate, limits, 1000));

    // Exactly the floor in every window goes on for ever.
    HttpRateStart(&rate, limits, 0);
    for (int window = 0; window < 100; window++) {
        HttpRateReceived(&rate, limits.floorBytes);
        ASSERT_TRUE(HttpRateWaited(&rate, limits, limits.windowMs)) << "window " << window;
    }

    // Bytes that arrived with the head count for the first window; a burst
    // does not carry over into the next one.
    HttpRateStart(&rate, limits, 10 * limits.floorBytes);
    EXPECT_TRUE(HttpRateWaited(&rate, limits, limits.windowMs));
    EXPECT_FALSE(HttpRateWaited(&rate, limits, limits.windowMs));

    // One long wait over two windows: the second brought nothing.
    HttpRateStart(&rate, limits, 0);
    HttpRateReceived(&rate, limits.floorBytes);
    EXPECT_FALSE(HttpRateWaited(&rate, limits, 2 * limits.windowMs));

    // Time not spent waiting is never counted.
    HttpRateStart(&rate, limits, 0);
    EXPECT_TRUE(HttpRateWaited(&rate, limits, -5000));
    EXPECT_EQ(HttpRateMsLeft(&rate), limits.windowMs);
}

TEST(HttpRateFloor, BodiesReceivedTogetherShareTheFloor) {
    const struct {
        const char *what;
        int sharingFirstHalf, sharingSecondHalf;  // bodies received in each half of every window
        int64_t bytesPerSecond;
        bool kept;  // every one of ten windows brings its share
    } cases[] = {
        {"alone at the floor", 1, 1, 1024, true},
        {"alone just under it", 1, 1, 1023, false},
        {"8 over a 1 KiB/s link", 8, 8, 1024 / 8, true},
        {"8, one trickling at 100 B/s", 8, 8, 100, false},
        {"2, then alone, at 768 B/s", 2, 1, 768, true},
        {"8, then alone, at 600 B/s", 8, 1, 600, true},  // owes 3840 + 30720 a window, gets 36000
        {"8, then alone, at 500 B/s", 8, 1, 500, false},
        {"no count is taken as alone", 0, -3, 1000, false},
    };
    HttpLimits limits = HttpLimitsFor(0);
    HttpRateWindow rate;
    for (const auto &c : cases) {
        HttpRateStart(&rate, limits, 0);
        bool kept = true;
        for (int second = 0; second < 600 && kept; second++) {
            HttpRateReceived(&rate, c.bytesPerSecond);
            kept = HttpRateWaited(&rate, limits, 1000, second % 60 < 30 ? c.sharingFirstHalf : c.sharingSecondHalf);
        }
        EXPECT_EQ(kept, c.kept) << c.what;
    }

    // One wait over a window with the count of its end, and a share that
    // would round to nothing per ms still adds up.
    HttpRateStart(&rate, limits, limits.floorBytes / 8);
    EXPECT_TRUE(HttpRateWaited(&rate, limits, limits.windowMs, 8));
    HttpRateStart(&rate, limits, limits.floorBytes / 1000 - 1);
    for (int ms = 0; ms < limits.windowMs - 1; ms++) ASSERT_TRUE(HttpRateWaited(&rate, limits, 1, 1000));
    EXPECT_FALSE(HttpRateWaited(&rate, limits, 1, 1000));

    // The bodies being received are counted process-wide.
    int before = g_httpBodiesReceiving.load();
    for (int i = 0; i < 3; i++) HttpBodyStarts();
    EXPECT_EQ(HttpBodiesSharingFloor(), before + 3);
    for (int i = 0; i < 3; i++) HttpBodyEnds();
    EXPECT_EQ(g_httpBodiesReceiving.load(), before);
    EXPECT_GE(HttpBodiesSharingFloor(), 1);
}

constexpr int64_t ExampleDate = 784111777;  // 1994-11-06 08:49:37 UTC, RFC 9110's example

const struct {
    const char *value;
    int64_t now;      // seconds since 1970
    int64_t seconds;  // -1: not a Retry-After
} RetryAfterCases[] = {
    {"120", 0, 120},
    {"0", 0, 0},
    {" 7 \r\n", 0, 7},
    {"4294968", 0, 4294968},        // past 2^32 ms: must not wrap
    {"2147483648", 0, 2147483648},  // past 2^31 s
    {"99999999999999999999999999", 0, HttpRetryAfterCeilingSeconds},
    {"", 0, -1},
    {"-5", 0, -1},
    {"1.5", 0, -1},
    {"12 s", 0, -1},
    // The three date forms, 30 s ahead of now.
    {"Sun, 06 Nov 1994 08:49:37 GMT", ExampleDate - 30, 30},
    {"Sunday, 06-Nov-94 08:49:37 GMT", ExampleDate - 30, 30},
    {"Sun Nov  6 08:49:37 1994", ExampleDate - 30, 30},
    {"Sun Nov 06 08:49:37 1994", ExampleDate - 30, 30},
    {"  sun, 06 nov 1994 08:49:37 gmt ", ExampleDate - 30, 30},
    // A date that has passed means now.
    {"Sun, 06 Nov 1994 08:49:37 GMT", ExampleDate + 3600, 0},
    {"Sun, 06 Nov 1994 08:49:37 GMT", ExampleDate, 0},
    // Calendar: leap days, centuries, past 2038, two-digit years.
    {"Thu, 29 Feb 2024 00:00:00 GMT", 1709164800 - 1, 1},
    {"Wed, 01 Mar 2000 00:00:00 GMT", 951868800 - 2, 2},
    {"Tue, 19 Jan 2038 03:14:08 GMT", 2147483648LL - 3, 3},
    {"Mon, 01 Jan 2100 00:00:00 GMT", 4102444800LL - 4, 4},
    {"Thursday, 01-Jan-70 00:00:05 GMT", 0, 5},
    {"Friday, 01-Jan-49 00:00:00 GMT", 2493072000LL - 6, 6},
    // Not dates.
    {"Sun, 06 Nov 1994 08:49:37 UTC", 0, -1},
    {"Sun, 06 Nov 1994 08:49:37", 0, -1},
    {"Sun, 06 Nov 1994 24:00:00 GMT", 0, -1},
    {"Sun, 06 Nov 1994 08:60:00 GMT", 0, -1},
    {"Sun, 00 Nov 1994 08:49:37 GMT", 0, -1},
    {"Sun, 06 Nox 1994 08:49:37 GMT", 0, -1},
    {"Sun, 06 Nov 94 08:49:37 GMT", 0, -1},
    {"Sun, 06 Nov 1994 8:49:37 GMT", 0, -1},
    {"Sun, 06 Nov 1994 08:49:37 GMT x", 0, -1},
    {"Sun Nov  6 08:49:37 1994 GMT", 0, -1},
    {"06 Nov 1994 08:49:37 GMT", 0, -1},
};

TEST(HttpRetryAfter, DelaySecondsOrAnHttpDateAsSecondsFromNow) {
    for (const auto &c : RetryAfterCases)
        EXPECT_EQ(HttpParseRetryAfter(c.value, int(strlen(c.value)), c.now), c.seconds) << '"' << c.value << '"';

    // The response's own Date is "now" when it parses, else the clock.
    const int64_t clock = 1800000000;  // 2027, far from the server's idea
    EXPECT_EQ(HttpRetryAfterOfHead("Sun, 06 Nov 1994 08:50:37 GMT", "Sun, 06 Nov 1994 08:49:37 GMT", clock), 60);
    EXPECT_EQ(HttpRetryAfterOfHead("Sun, 06 Nov 1994 08:50:37 GMT", "yesterday", clock), 0);
    EXPECT_EQ(HttpRetryAfterOfHead("Sun, 06 Nov 1994 08:50:37 GMT", "", ExampleDate), 60);
    EXPECT_EQ(HttpRetryAfterOfHead("45", "Sun, 06 Nov 1994 08:49:37 GMT", clock), 45);
    EXPECT_EQ(HttpRetryAfterOfHead("", "Sun, 06 Nov 1994 08:49:37 GMT", clock), -1);
    // As ms it never overflows.
    EXPECT_LT(HttpRetryAfterCeilingSeconds, INT64_MAX / 1000);
}

bool Plain(const char *value, bool allowChunked) {
    return HttpCodingsArePlain(value, int(strlen(value)), allowChunked);
}

TEST(HttpCodings, OnlyIdentityAndChunkedLeaveTheBodyAsSent) {
    for (const char *plain : {"identity", "IDENTITY", " Identity \r\n", "", " , identity,", "identity, identity"})
        EXPECT_TRUE(Plain(plain, false)) << '"' << plain << '"';
    for (const char *encoded : {"gzip", "x-gzip", "deflate", "br", "identity, gzip", "gzip, identity",
                                "identityx", "identit", "identity;q=1", "chunked"})
        EXPECT_FALSE(Plain(encoded, false)) << '"' << encoded << '"';

    EXPECT_TRUE(Plain("chunked", true));
    EXPECT_TRUE(Plain("Chunked", true));
    EXPECT_FALSE(Plain("gzip, chunked", true));
    EXPECT_FALSE(Plain("chunked, gzip", true));
}

}  // namespace

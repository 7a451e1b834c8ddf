// The rules both HTTP backends apply (platform/http.h): the limits a test
// override scales, the body's rate floor over its windows, and which
// codings leave a body as sent.
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

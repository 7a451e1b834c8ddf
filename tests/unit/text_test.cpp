// Bounded text, the formatter, UTF-8 conversion and the C runtime's number
// parsing rules the configuration and manifest depend on.
#include <gtest/gtest.h>

#include "base/text.h"
#include "test_files.h"

TEST(Text, CopyAndFormatStayInsideTheirBuffersAndSayWhenTheyCut) {
    WideChar small[6];
    EXPECT_TRUE(CopyText(small, 6, WTEXT("abcde")));
    EXPECT_EQ(Narrow(small), "abcde");
    EXPECT_FALSE(CopyText(small, 6, WTEXT("abcdefgh")));
    EXPECT_EQ(Narrow(small), "abcde");

    WideChar out[40];
    EXPECT_TRUE(FormatText(out, 40, WTEXT("%s  (%d/%d)"), WTEXT("data/a.bin"), 16, 35));
    EXPECT_EQ(Narrow(out), "data/a.bin  (16/35)");
    EXPECT_TRUE(FormatText(out, 40, WTEXT("%d %d %% %S"), -2147483647 - 1, 0, "h\xC3\xA9"));
    EXPECT_EQ(Narrow(out), "-2147483648 0 % h\xC3\xA9");
    EXPECT_FALSE(FormatText(out, 8, WTEXT("%s%s"), WTEXT("abcd"), WTEXT("efgh")));
    EXPECT_EQ(Narrow(out), "abcdefg");
}

TEST(Text, Utf8ConversionKeepsGoingOverMalformedBytesAndNeverSplitsACharacter) {
    WideChar wide[16];
    EXPECT_TRUE(Utf8ToText("a\xFF" "b\xC3", wide, 16));
    EXPECT_EQ(wide[0], 'a');
    EXPECT_EQ(wide[1], 0xFFFD);
    EXPECT_EQ(wide[2], 'b');
    EXPECT_EQ(wide[3], 0xFFFD);
    EXPECT_EQ(wide[4], 0);

    // U+1F600 takes two units; with room for one it is left out whole.
    EXPECT_FALSE(Utf8ToText("x\xF0\x9F\x98\x80", wide, 3));
    EXPECT_EQ(TextLength(wide), 1);
    EXPECT_TRUE(Utf8ToText("x\xF0\x9F\x98\x80", wide, 4));
    EXPECT_EQ(TextLength(wide), 3);

    char narrow[8];
    EXPECT_TRUE(TextToUtf8(wide, narrow, 8));
    EXPECT_STREQ(narrow, "x\xF0\x9F\x98\x80");
    EXPECT_FALSE(TextToUtf8(wide, narrow, 4));
    EXPECT_STREQ(narrow, "x");
}

TEST(Text, NumbersParseTheWayTheCRuntimeDoes) {
    EXPECT_EQ(ParseIntLikeWtoi(WTEXT("  \t+6543xyz")), 6543);
    EXPECT_EQ(ParseIntLikeWtoi(WTEXT("-5")), -5);
    EXPECT_EQ(ParseIntLikeWtoi(WTEXT("abc")), 0);
    EXPECT_EQ(ParseIntLikeWtoi(WTEXT("- 5")), 0);
    EXPECT_EQ(ParseIntLikeWtoi(WTEXT("99999999999")), 2147483647);
    EXPECT_EQ(ParseIntLikeWtoi(WTEXT("-99999999999")), -2147483647 - 1);

    EXPECT_EQ(ParseInt64LikeAtoi64(" 123456789012 "), 123456789012ll);
    EXPECT_EQ(ParseInt64LikeAtoi64("-1"), -1);
    EXPECT_EQ(ParseInt64LikeAtoi64("size"), 0);
    EXPECT_EQ(ParseInt64LikeAtoi64("12abc"), 12);
    EXPECT_EQ(ParseInt64LikeAtoi64("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(ParseInt64LikeAtoi64("99999999999999999999"), INT64_MAX);
}

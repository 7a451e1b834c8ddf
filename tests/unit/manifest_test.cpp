// Reading manifest text: counting, cutting lines into entries, the report
// rule and the closing messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "manifest_walk.h"
#include "patch/manifest.h"
#include "test_files.h"

TEST(Manifest, CommentsBlanksAndSingleBarLinesAreCountedAndReadAsTheyShouldBe) {
    const std::string text =
        "# comment|with|bars\n"
        "\n"
        " #not a comment|1|u\n"
        "single|bar\n"
        "data/a.bin|10|http://h/a\n"
        "nobar\n"
        "last|-1|http://h/x|y";
    EXPECT_EQ(CountManifestEntries(text.c_str()), 4);
    std::vector<ManifestEntry> entries = ReadManifestEntries(text);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(Narrow(entries[0].relativePath), " #not a comment");
    EXPECT_EQ(Narrow(entries[1].relativePath), "data/a.bin");
    EXPECT_EQ(entries[1].expectedSize, 10);
    EXPECT_EQ(Narrow(entries[1].sourceUrl), "http://h/a");
    EXPECT_EQ(entries[2].expectedSize, -1);
    EXPECT_EQ(Narrow(entries[2].sourceUrl), "http://h/x|y");  // only two bars separate
}

TEST(Manifest, CrLfLinesReadTheSameAsLfLinesAndTheTextEndsAtAZeroByte) {
    std::vector<ManifestEntry> lf = ReadManifestEntries("a|1|http://h/a\nb|x|http://h/b\n");
    std::vector<ManifestEntry> crlf = ReadManifestEntries("a|1|http://h/a\r\nb|x|http://h/b\r\n\r\n");
    ASSERT_EQ(lf.size(), 2u);
    ASSERT_EQ(crlf.size(), 2u);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(Narrow(lf[i].relativePath), Narrow(crlf[i].relativePath));
        EXPECT_EQ(lf[i].expectedSize, crlf[i].expectedSize);
        EXPECT_EQ(Narrow(lf[i].sourceUrl), Narrow(crlf[i].sourceUrl));
    }
    EXPECT_EQ(crlf[1].expectedSize, 0);  // a size that is not a number expects 0

    std::string withZero("a|1|u\nb|2|", 10);
    withZero += std::string("\0c|3|u\n", 7);
    EXPECT_EQ(CountManifestEntries(withZero.c_str()), 2);
}

TEST(Manifest, FieldsTooLongForTheirBuffersAreFlaggedNotSilentlyCut) {
    std::string longPath(511, 'p');
    std::vector<ManifestEntry> fits = ReadManifestEntries(longPath + "|1|" + std::string(699, 'u'));
    ASSERT_EQ(fits.size(), 1u);
    EXPECT_TRUE(fits[0].fieldsFit);
    std::vector<ManifestEntry> pathTooLong = ReadManifestEntries(longPath + "p|1|u");
    EXPECT_FALSE(pathTooLong[0].fieldsFit);
    std::vector<ManifestEntry> urlTooLong = ReadManifestEntries("a|1|" + std::string(700, 'u'));
    EXPECT_FALSE(urlTooLong[0].fieldsFit);
}

TEST(Manifest, ProgressIsReportedEverySixteenEntriesAndAtTheLast) {
    std::vector<std::pair<int, int>> reports;
    for (int processed = 1; processed <= 35; processed++) {
        int percent;
        if (ShouldReportProgress(processed, 35, &percent)) reports.push_back({processed, percent});
    }
    std::vector<std::pair<int, int>> expected = {{16, 45}, {32, 91}, {35, 100}};
    EXPECT_EQ(reports, expected);

    int percent = -7;
    EXPECT_FALSE(ShouldReportProgress(16, 0, &percent));
    EXPECT_EQ(percent, -7);
    // Counts too large for a 32-bit product still give the right percentage.
    ASSERT_TRUE(ShouldReportProgress(30000000, 40000000, &percent));
    EXPECT_EQ(percent, 75);

    WideChar text[ProgressTextUnits];
    FormatProgressText(WTEXT("data/maps/a.bin"), 32, 35, text);
    EXPECT_EQ(Narrow(text), "data/maps/a.bin  (32/35)");
}

TEST(Manifest, ClosingMessagesFollowModeThenErrorsThenDifferences) {
    WideChar text[ClosingTextUnits];
    PassCounters counters = {35, 35, 2, 1};
    FinalStatusText(Patch, &counters, text);
    EXPECT_EQ(Narrow(text), "Finished with 1 error(s).");
    counters.errors = 0;
    FinalStatusText(7, &counters, text);  // any non-zero mode patches
    EXPECT_EQ(Narrow(text), "Downloaded 2 file(s). Ready.");
    counters.differing = 0;
    FinalStatusText(Patch, &counters, text);
    EXPECT_EQ(Narrow(text), "Everything up to date.");
    FinalStatusText(Check, &counters, text);
    EXPECT_EQ(Narrow(text), "All 35 files OK - ready to play.");
    counters.differing = 3;
    counters.errors = 9;  // a check never downloads, so errors do not matter
    FinalStatusText(Check, &counters, text);
    EXPECT_EQ(Narrow(text), "3 file(s) missing - click PATCH FILES.");
}

// The rule both console tools print names and status texts by: nothing a
// manifest path or a file name holds may act on the operator's terminal.
#include <gtest/gtest.h>

#include "../../tools/console_output.h"
#include "../../tools/live_line.h"

TEST(ConsoleText, ControlCharactersAreShownEscapedAndNothingElseChanges) {
    const char *cases[][2] = {  // text, as shown
        // C0, DEL and C1 controls, the sequences a manifest could aim at a
        // terminal: window title, screen clear, clipboard write, 8-bit CSI.
        {"a\x1B]0;title\x07/\x1B[2J\x1B]52;c;aGk=\x07\xC2\x9B" "31m\x7F",
         "a\\x1B]0;title\\x07/\\x1B[2J\\x1B]52;c;aGk=\\x07\\u009B31m\\x7F"},
        {"\t\r\n\xC2\x80\xC2\x9F", "\\x09\\x0D\\x0A\\u0080\\u009F"},
        // Printable text outside ASCII stays as it is, U+00A0 and U+FFFD too.
        {"caf\xC3\xA9 \xC2\xA0\xE6\x97\xA5\xF0\x9F\x8E\xAE\xEF\xBF\xBD 100%",
         "caf\xC3\xA9 \xC2\xA0\xE6\x97\xA5\xF0\x9F\x8E\xAE\xEF\xBF\xBD 100%"},
        // Text that is not UTF-8 has every byte above 0x7F escaped, so a raw
        // 0x9B never reaches a terminal that reads 8-bit controls.
        {"\xC3\xA9\x9B[2J\xFF", "\\xC3\\xA9\\x9B[2J\\xFF"},
        {"\xE2\x80\xAE\xFF", "\\xE2\\x80\\xAE\\xFF"},
        // Bidirectional embeddings, overrides and isolates ("<RLO>txt.exe" reads "exe.txt").
        {"evil\xE2\x80\xAEtxt.exe\xE2\x80\xAA\xE2\x80\xAB\xE2\x80\xAC\xE2\x80\xAD",
         "evil\\u202Etxt.exe\\u202A\\u202B\\u202C\\u202D"},
        {"\xE2\x81\xA6x\xE2\x81\xA7y\xE2\x81\xA8z\xE2\x81\xA9", "\\u2066x\\u2067y\\u2068z\\u2069"},
        // Their neighbours U+2029, U+202F, U+2065, U+206A, and U+36AE (ending in U+202E's last byte).
        {"\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA\xE3\x9A\xAE",
         "\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA\xE3\x9A\xAE"},
    };
    char out[ShownTextBytes];
    for (const auto &c : cases) EXPECT_STREQ(ShownText(c[0], out, int(sizeof out)), c[1]) << c[1];

    // Cut to the buffer at a whole escape or character, always terminated.
    char small[8];
    EXPECT_STREQ(ShownText("abcd\x1B", small, int(sizeof small)), "abcd");
    EXPECT_STREQ(ShownText("abcdef\xC3\xA9", small, int(sizeof small)), "abcdef");
    EXPECT_STREQ(ShownText("abcdefghij", small, int(sizeof small)), "abcdefg");
    EXPECT_STREQ(ShownText("ab\xE2\x80\xAE", small, int(sizeof small)), "ab");
    EXPECT_STREQ(ShownText("x", small, 1), "");
}

// launcher-patch's live line: the figures by entries or by bytes, the rate
// and the time left.
TEST(LiveLine, FiguresShowTheBarBytesRateAndTimeLeft) {
    constexpr int64_t MiB = 1024 * 1024;
    struct Case {
        LiveFigures figures;  // entry percent, done, to fetch, rate (-1 unknown), over
        const char *shown;
    };
    const Case cases[] = {
        {{45, 0, 0, -1, false}, "[####......]  45%  "},  // nothing to fetch: the bar goes by entries
        {{-1, 0, 0, -1, false}, ""},
        {{80, 1258291, 9 * MiB, -1, false}, "[#.........]  13%  1.2 MiB of 9.0 MiB  "},  // no rate yet, no time left
        {{80, 1258291, 9 * MiB, 2.1 * MiB, false}, "[#.........]  13%  1.2 MiB of 9.0 MiB  2.1 MiB/s  0:04 left  "},
        {{80, 1258291, 9 * MiB, 0, false}, "[#.........]  13%  1.2 MiB of 9.0 MiB  0 B/s  "},  // stalled
        {{0, 9 * MiB - 1, 9 * MiB, double(MiB), false},
         "[#########.]  99%  9.0 MiB of 9.0 MiB  1.0 MiB/s  0:01 left  "},  // rounded up, never 0:00
        {{0, 512, 3 * 512, 100, false}, "[###.......]  33%  512 B of 1.5 KiB  100 B/s  0:11 left  "},
        {{0, 0, 5ll * 1024 * MiB, double(MiB), false}, "[..........]   0%  0 B of 5.00 GiB  1.0 MiB/s  1:25:20 left  "},
        {{0, 1, 100 * MiB, 0.001, false}, "[..........]   0%  1 B of 100.0 MiB  0 B/s  99:59:59 left  "},
        {{50, 9 * MiB, 9 * MiB, 3.0 * MiB, true}, "[##########] 100%  9.0 MiB of 9.0 MiB  3.0 MiB/s average  "},
    };
    for (const Case &c : cases) {
        char out[128];
        int length = FormatLiveFigures(&c.figures, out, int(sizeof out));
        EXPECT_STREQ(out, c.shown);
        EXPECT_EQ(length, int(strlen(c.shown))) << c.shown;
    }
}

TEST(LiveLine, TheRateCoversTheLastSecondsNotTheWholeTransfer) {
    RateWindow window = {};
    for (int64_t ms = 0; ms < 1000; ms += 100) NoteRateSample(&window, ms, ms * 10);
    EXPECT_EQ(WindowRate(&window), -1);  // under a second of samples
    // Ten seconds at 10000 B/s, then six at 1000 B/s: only the slow ones count.
    int64_t bytes = 0;
    for (int64_t ms = 1000; ms <= 10000; ms += 250) NoteRateSample(&window, ms, ms * 10);
    EXPECT_DOUBLE_EQ(WindowRate(&window), 10000);
    bytes = 100000;
    for (int64_t ms = 10250; ms <= 16000; ms += 250) NoteRateSample(&window, ms, bytes += 250);
    EXPECT_DOUBLE_EQ(WindowRate(&window), 1000);
    // A stall reads as 0 once it fills the window; bytes that went back too.
    for (int64_t ms = 16250; ms <= 21000; ms += 250) NoteRateSample(&window, ms, bytes);
    EXPECT_DOUBLE_EQ(WindowRate(&window), 0);
    NoteRateSample(&window, 21250, 0);
    EXPECT_DOUBLE_EQ(WindowRate(&window), 0);
}

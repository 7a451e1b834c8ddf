// The rule both console tools print names and status texts by: nothing a
// manifest path or a file name holds may act on the operator's terminal.
#include <gtest/gtest.h>

#include "../../tools/console_output.h"

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

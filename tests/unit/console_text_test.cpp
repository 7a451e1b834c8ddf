// The rule both console tools print names and status texts by: nothing a
// manifest path or a file name holds may act on the operator's terminal.
#include <gtest/gtest.h>

#include "../../tools/console_output.h"

TEST(ConsoleText, ControlCharactersAreShownEscapedAndNothingElseChanges) {
    char out[ShownTextBytes];
    // C0, DEL and C1 controls, the sequences a manifest could aim at a
    // terminal: window title, screen clear, clipboard write, 8-bit CSI.
    EXPECT_STREQ(ShownText("a\x1B]0;title\x07/\x1B[2J\x1B]52;c;aGk=\x07\xC2\x9B" "31m\x7F", out, int(sizeof out)),
                 "a\\x1B]0;title\\x07/\\x1B[2J\\x1B]52;c;aGk=\\x07\\u009B31m\\x7F");
    EXPECT_STREQ(ShownText("\t\r\n\xC2\x80\xC2\x9F", out, int(sizeof out)), "\\x09\\x0D\\x0A\\u0080\\u009F");
    // Printable text outside ASCII stays as it is, U+00A0 and U+FFFD too.
    const char *printable = "caf\xC3\xA9 \xC2\xA0\xE6\x97\xA5\xF0\x9F\x8E\xAE\xEF\xBF\xBD 100%";
    EXPECT_STREQ(ShownText(printable, out, int(sizeof out)), printable);
    // Text that is not UTF-8 has every byte above 0x7F escaped, so a raw
    // 0x9B never reaches a terminal that reads 8-bit controls.
    EXPECT_STREQ(ShownText("\xC3\xA9\x9B[2J\xFF", out, int(sizeof out)), "\\xC3\\xA9\\x9B[2J\\xFF");

    // Cut to the buffer at a whole escape or character, always terminated.
    char small[8];
    EXPECT_STREQ(ShownText("abcd\x1B", small, int(sizeof small)), "abcd");
    EXPECT_STREQ(ShownText("abcdef\xC3\xA9", small, int(sizeof small)), "abcdef");
    EXPECT_STREQ(ShownText("abcdefghij", small, int(sizeof small)), "abcdefg");
    EXPECT_STREQ(ShownText("x", small, 1), "");
}

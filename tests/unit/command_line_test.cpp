// The Windows command-line rules, which decide what a game receives from
// GameArgs on every platform.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/command_line.h"
#include "test_files.h"

static std::vector<std::string> Split(const char *commandLine) {
    WideChar storage[512];
    const WideChar *starts[MaxCommandArguments];
    int count = SplitCommandLine(Wide(commandLine).c_str(), storage, 512, starts);
    std::vector<std::string> arguments;
    for (int i = 0; i < count; i++) arguments.push_back(Narrow(starts[i]));
    if (count < 0) arguments.push_back("<overflow>");
    return arguments;
}

TEST(CommandLine, ProgramNameTakesNoEscapesAndArgumentsFollowTheRuntimeRules) {
    typedef std::vector<std::string> Args;
    EXPECT_EQ(Split("\"C:\\Games\\Z\\qorin.exe\" Runvale"), (Args{"C:\\Games\\Z\\qorin.exe", "Runvale"}));
    EXPECT_EQ(Split("\"/g/a\\\"b\"x y"), (Args{"/g/a\\", "bx y"}));  // name ends at its second quote
    EXPECT_EQ(Split("\"/g/q\""), (Args{"/g/q"}));
    EXPECT_EQ(Split("plain  \t a"), (Args{"plain", "a"}));
    EXPECT_EQ(Split("p \"two words\" \"\" x\"y z\""), (Args{"p", "two words", "", "xy z"}));
    EXPECT_EQ(Split("p a\\\\\\\"b c\\\\\"d e\" f\\g\\\\"), (Args{"p", "a\\\"b", "c\\d e", "f\\g\\\\"}));
    EXPECT_EQ(Split("p \"a\"\"b\" \"c\"\"\""), (Args{"p", "a\"b", "c\""}));
    EXPECT_EQ(Split("p \"unterminated quote"), (Args{"p", "unterminated quote"}));
    EXPECT_EQ(Split("p trailing   "), (Args{"p", "trailing"}));
}

TEST(CommandLine, TooManyOrTooLongArgumentsAreRefused) {
    std::string many = "p";
    for (int i = 0; i < MaxCommandArguments; i++) many += " a";
    EXPECT_EQ(Split(many.c_str()).back(), "<overflow>");
    std::string longOne = "p " + std::string(600, 'x');
    EXPECT_EQ(Split(longOne.c_str()).back(), "<overflow>");
}

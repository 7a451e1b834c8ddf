// Windows command-line rules, so that quotes in GameArgs mean the same on
// every platform: splitting a command line into arguments the way the
// Microsoft C runtime does for a program's argv. Platform-neutral.
#pragma once
#include "base/text.h"

constexpr int MaxCommandArguments = 64;

// Splits commandLine into at most MaxCommandArguments arguments, written one
// after another (each terminated) into storage of storageUnits units, with
// argumentStarts[i] pointing at each. The first argument is the program
// name: up to the closing quote when it starts with one, else up to the
// first blank, with no escape rules. The rest follow the runtime's rules:
// blanks separate outside quotes; 2n backslashes before a quote give n
// backslashes and the quote toggles quoting; 2n+1 give n and a literal
// quote; "" inside quotes gives a literal quote; other backslashes are
// literal. Returns the argument count, or -1 when they do not fit.
int SplitCommandLine(const WideChar *commandLine, WideChar *storage, int storageUnits,
                     const WideChar **argumentStarts);

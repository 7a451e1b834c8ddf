// Console output of the headless tools: UTF-8 lines on standard output and
// a live progress line on standard error when that is a terminal.
#pragma once
#include "base/text.h"

// True when the tool shows a live progress line instead of printing every
// status text; set once at start (terminal on stdout and stderr).
extern bool g_consoleLive;

bool StandardStreamsAreTerminals();
void PrintLine(const WideChar *text);        // to standard output
void PrintErrorLine(const char *utf8Text);   // to standard error
// Erases the live progress line, if one is shown.
void EndLiveLine();

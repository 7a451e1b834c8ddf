// Scratch folders and files for the unit tests, in the platform's own path
// form (UTF-16 text), removed when the test ends.
#pragma once
#include <string>

#include "base/text.h"

typedef std::basic_string<WideChar> WideString;

WideString Wide(const char *utf8);
std::string Narrow(const WideString &text);

// A fresh empty folder under the system's temporary folder.
WideString MakeScratchFolder();
void RemoveTree(const WideString &path);
// path + separator + name, with '/' in name turned into the separator.
WideString JoinPath(const WideString &folder, const char *name);
void WriteBytes(const WideString &path, const std::string &bytes);
std::string ReadBytes(const WideString &path);  // "" when unreadable

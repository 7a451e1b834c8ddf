// Scratch folders and files for the unit tests, through std::filesystem so
// the same helpers serve the Linux and the Windows build.
#include "test_files.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

WideString Wide(const char *utf8) {
    WideChar buffer[4096];
    Utf8ToText(utf8, buffer, 4096);
    return buffer;
}

std::string Narrow(const WideString &text) {
    char buffer[16384];
    TextToUtf8(text.c_str(), buffer, int(sizeof buffer));
    return buffer;
}

static fs::path ToPath(const WideString &path) {
#ifdef _WIN32
    return fs::path(path);
#else
    return fs::path(std::u8string(reinterpret_cast<const char8_t *>(Narrow(path).c_str())));
#endif
}

WideString MakeScratchFolder() {
    std::random_device seed;
    std::mt19937 random(seed());
    fs::path folder = fs::temp_directory_path() / ("launcher-test-" + std::to_string(random()));
    fs::create_directories(folder);
#ifdef _WIN32
    return folder.wstring();
#else
    return Wide(folder.string().c_str());
#endif
}

void RemoveTree(const WideString &path) {
    std::error_code ignored;
    fs::remove_all(ToPath(path), ignored);
}

WideString JoinPath(const WideString &folder, const char *name) {
    WideString joined = folder;
    joined.push_back(PathSeparator);
    for (WideChar c : Wide(name)) joined.push_back(c == '/' || c == '\\' ? PathSeparator : c);
    return joined;
}

void WriteBytes(const WideString &path, const std::string &bytes) {
    fs::path p = ToPath(path);
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string ReadBytes(const WideString &path) {
    std::ifstream in(ToPath(path), std::ios::binary);
    if (!in) return "";
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// The check/patch pass's entry walk over manifest text, for the tests that
// read a manifest the way the launcher does.
#pragma once
#include <string>
#include <vector>

#include "patch/manifest.h"

// Cuts the text into lines and returns the entries ParseManifestLine reads.
inline std::vector<ManifestEntry> ReadManifestEntries(const std::string &text) {
    std::vector<ManifestEntry> entries;
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back(0);
    for (char *line = buffer.data(); line != nullptr && *line != 0;) {
        char *next = CutManifestLine(line);
        ManifestEntry entry;
        if (ParseManifestLine(line, &entry)) entries.push_back(entry);
        line = next;
    }
    return entries;
}

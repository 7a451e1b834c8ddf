// Window seam stand-in for the unit tests (no window exists in them): every
// forced repaint records the status text and progress it would have shown.
#pragma once
#include <string>
#include <vector>

struct ShownStatus {
    std::string text;  // UTF-8
    int progress;
};

// What the forced repaints showed, oldest first; cleared by the tests.
std::vector<ShownStatus> &ShownStatuses();

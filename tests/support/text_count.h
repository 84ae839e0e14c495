// How often a piece of text stands in a log or an output.
#pragma once

#include <string>

// Overlapping places count each.
inline int countOf(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

// What a fuzz target does when a property fails: name it and abort, which
// libFuzzer reports as a crash and keeps the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#define FUZZ_CHECK(condition, what)                                                  \
    do {                                                                             \
        if (!(condition)) {                                                          \
            std::fprintf(stderr, "property failed: %s\n  (%s)\n", what, #condition); \
            std::abort();                                                            \
        }                                                                            \
    } while (0)

namespace qelmor::fuzz {

// Whether `part` lies inside `whole` (the empty view anywhere counts).
inline bool WithinText(std::string_view part, std::string_view whole) {
    if (part.empty()) return true;
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

inline std::string UpperAscii(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    }
    return upper;
}

}  // namespace qelmor::fuzz

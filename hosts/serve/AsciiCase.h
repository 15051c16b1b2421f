// Case for the protocol's own names (header names, host names, byte-range
// units, file extensions), which HTTP compares without regard to ASCII
// case. Bytes from 0x80 on never change: they may be halves of characters.
#pragma once

#include <string>
#include <string_view>

namespace qelmor::serve {

inline char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

inline char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

inline std::string LowerAscii(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        c = AsciiLower(c);
    return lower;
}

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    }
    return true;
}

}  // namespace qelmor::serve

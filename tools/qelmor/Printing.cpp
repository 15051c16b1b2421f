#include "tools/qelmor/Printing.h"

#include <cstdint>
#include <cstdio>

namespace qelmor::tool {
namespace {

std::string HexEscape(const char* prefix, uint8_t byte, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%s%0*x", prefix, digits, unsigned(byte));
    return text;
}

std::string Escaped(std::string_view bytes, bool escapeQuote) {
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const auto byte = uint8_t(c);
        if (c == '\\' || (escapeQuote && c == '"')) {
            out += '\\';
            out += c;
        } else if (byte >= 0x20 && byte < 0x7f) {
            out += c;
        } else {
            out += HexEscape("\\x", byte, 2);
        }
    }
    return out;
}

}  // namespace

std::string Printable(std::string_view bytes) {
    return Escaped(bytes, false);
}

std::string Quoted(std::string_view bytes) {
    return '"' + Escaped(bytes, true) + '"';
}

std::string JsonString(std::string_view bytes) {
    std::string out = "\"";
    for (char c : bytes) {
        const auto byte = uint8_t(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte >= 0x20 && byte < 0x7f) {
                    out += c;
                } else {
                    out += HexEscape("\\u", byte, 4);
                }
        }
    }
    out += '"';
    return out;
}

std::string ClockText(int hour, int minute) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d", hour, minute);
    return text;
}

}  // namespace qelmor::tool

// How the tool writes bytes that may not be printable: configured texts,
// block pages and GBK messages.
#pragma once

#include <string>
#include <string_view>

namespace qelmor::tool {

// Printable ASCII as it is, a backslash doubled, every other byte as \xHH.
std::string Printable(std::string_view bytes);

// Printable() in double quotes, with a quote mark written \".
std::string Quoted(std::string_view bytes);

// A JSON string literal. Bytes from 0x80 on become \u0080 to \u00ff, one
// code point per byte, so the output is plain ASCII and a reader gets the
// exact bytes back by encoding the string as Latin-1.
std::string JsonString(std::string_view bytes);

// "09:05".
std::string ClockText(int hour, int minute);

}  // namespace qelmor::tool

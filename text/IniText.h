// The INI lookup shared by every platform that has no private-profile
// reading of its own: the file's bytes in, one value out.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qelmor {

// One entry to read from an INI section, and what it reads as when absent.
struct IniEntry {
    std::string_view key;
    std::string_view fallback;
};

// The value of `key` in `section` of the INI text `content`, with the effect
// of Windows' private-profile reading: names matched without regard to ASCII
// case, the first matching section and key win, blanks around names and
// values dropped, one pair of matching surrounding quotes removed, ";" lines
// are comments, CRLF or LF line ends, a UTF-8 byte-order mark ignored.
// nullopt when the key is absent.
std::optional<std::string_view> FindIniValue(std::string_view content, std::string_view section,
                                             std::string_view key);

// The values of several keys of one section, as FindIniValue gives each of
// them, from one walk over the text: a large file costs one pass, not one
// per key.
std::vector<std::optional<std::string_view>> FindIniValues(std::string_view content,
                                                           std::string_view section,
                                                           std::span<const std::string_view> keys);

// Each entry's value in `section` of `content`, or its fallback when the key
// is absent, cut to bufferSize - 1 bytes as the private-profile reading's
// buffer would cut it.
std::vector<std::string> ReadIniEntries(std::string_view content, std::string_view section,
                                        std::span<const IniEntry> entries, size_t bufferSize);

// Whether two section or key names are the same name to FindIniValue.
bool IniNamesMatch(std::string_view a, std::string_view b);

// The key names of the section FindIniValue reads, in file order, repeats
// included; nullopt when the text has no such section.
std::optional<std::vector<std::string_view>> IniSectionKeys(std::string_view content,
                                                            std::string_view section);

}  // namespace qelmor

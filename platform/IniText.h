// The INI lookup shared by every platform that has no private-profile
// reading of its own: the file's bytes in, one value out.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qelmor::platform {

// The value of `key` in `section` of the INI text `content`, with the effect
// of Windows' private-profile reading: names matched without regard to ASCII
// case, the first matching section and key win, blanks around names and
// values dropped, one pair of matching surrounding quotes removed, ";" lines
// are comments, CRLF or LF line ends, a UTF-8 byte-order mark ignored.
// nullopt when the key is absent.
std::optional<std::string_view> FindIniValue(std::string_view content, std::string_view section,
                                             std::string_view key);

// Whether two section or key names are the same name to FindIniValue.
bool IniNamesMatch(std::string_view a, std::string_view b);

// The key names of the section FindIniValue reads, in file order, repeats
// included; nullopt when the text has no such section.
std::optional<std::vector<std::string_view>> IniSectionKeys(std::string_view content,
                                                            std::string_view section);

}  // namespace qelmor::platform

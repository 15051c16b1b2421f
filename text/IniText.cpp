#include "text/IniText.h"

namespace qelmor {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Only a-z fold: the file's bytes are in the ANSI code page, where bytes
// above 0x7F may be halves of double-byte characters and must not change.
char FoldAscii(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    }
    return true;
}

std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// The name inside "[...]", or nullopt when the line is not a section header.
std::optional<std::string_view> SectionName(std::string_view line) {
    if (line.empty() || line.front() != '[') return std::nullopt;
    const size_t close = line.rfind(']');
    if (close == std::string_view::npos) return std::nullopt;
    return TrimBlanks(line.substr(1, close - 1));
}

// Calls `visit(name, value)` for each entry of the first section named
// `section`, in file order, until it returns true. False when the text has
// no such section.
template <typename Visit>
bool WalkSection(std::string_view content, std::string_view section, Visit visit) {
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (content.starts_with(kByteOrderMark)) content.remove_prefix(kByteOrderMark.size());

    bool found = false;
    bool inSection = false;
    while (!content.empty()) {
        const size_t newline = content.find('\n');
        std::string_view line = content.substr(0, newline);
        content.remove_prefix(newline == std::string_view::npos ? content.size() : newline + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        line = TrimBlanks(line);
        if (line.empty() || line.front() == ';') continue;

        if (const auto name = SectionName(line)) {
            // Only the first section of a name counts, so leaving it ends the
            // search even if the same name comes again further down.
            if (inSection) return true;
            inSection = EqualsIgnoringAsciiCase(*name, section);
            found = found || inSection;
            continue;
        }
        if (!inSection) continue;

        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        if (visit(TrimBlanks(line.substr(0, equals)),
                  Unquote(TrimBlanks(line.substr(equals + 1))))) {
            return true;
        }
    }
    return found;
}

}  // namespace

std::optional<std::string_view> FindIniValue(std::string_view content, std::string_view section,
                                             std::string_view key) {
    return FindIniValues(content, section, {&key, 1}).front();
}

std::vector<std::optional<std::string_view>> FindIniValues(std::string_view content,
                                                           std::string_view section,
                                                           std::span<const std::string_view> keys) {
    std::vector<std::optional<std::string_view>> values(keys.size());
    size_t missing = keys.size();
    WalkSection(content, section, [&](std::string_view name, std::string_view text) {
        for (size_t i = 0; i < keys.size(); ++i) {
            // The first entry of a name wins, as in a lookup of that name alone.
            if (values[i] || !EqualsIgnoringAsciiCase(name, keys[i])) continue;
            values[i] = text;
            --missing;
        }
        return missing == 0;
    });
    return values;
}

bool IniNamesMatch(std::string_view a, std::string_view b) {
    return EqualsIgnoringAsciiCase(a, b);
}

std::optional<std::vector<std::string_view>> IniSectionKeys(std::string_view content,
                                                            std::string_view section) {
    std::vector<std::string_view> keys;
    const bool found = WalkSection(content, section, [&](std::string_view name, std::string_view) {
        keys.push_back(name);
        return false;
    });
    if (!found) return std::nullopt;
    return keys;
}

std::vector<std::string> ReadIniEntries(std::string_view content, std::string_view section,
                                        std::span<const IniEntry> entries, size_t bufferSize) {
    std::vector<std::string_view> keys;
    keys.reserve(entries.size());
    for (const IniEntry& entry : entries)
        keys.push_back(entry.key);
    const auto found = FindIniValues(content, section, keys);
    std::vector<std::string> values;
    values.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        std::string_view value = found[i].value_or(entries[i].fallback);
        // The private-profile reading fills a buffer of bufferSize bytes,
        // the last of them its terminating zero.
        value = bufferSize == 0 ? std::string_view() : value.substr(0, bufferSize - 1);
        values.emplace_back(value);
    }
    return values;
}

}  // namespace qelmor

// The parts of IniFile that every platform shares.
#include "platform/IniText.h"
#include "platform/Platform.h"

namespace qelmor::platform {

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

IniFile IniFile::FromText(std::string text) {
    IniFile file;
    file.state_ = FileState::Read;
    file.text_ = std::move(text);
    file.fromText_ = true;
    return file;
}

std::string ReadIniString(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view fallback, size_t bufferSize) {
    const IniEntry entry{key, fallback};
    return IniFile(path).Read(section, {&entry, 1}, bufferSize).front();
}

}  // namespace qelmor::platform

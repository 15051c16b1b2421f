// The parts of IniFile that every platform shares.
#include "platform/Platform.h"

namespace qelmor::platform {

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

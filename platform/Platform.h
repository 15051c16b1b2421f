// The only calls that touch the operating system. One implementation for
// Win32 and one for POSIX stand behind these declarations; nothing here
// decides policy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "text/IniText.h"
#include "text/DateRules.h"

namespace qelmor::platform {

// The host's date settings of the loading thread's locale. The POSIX
// implementation offers none, so the defaults apply.
HostLocale ReadHostLocale();

struct LocalClock {
    CalendarDate date;
    TimeOfDay time;
};

// Reads the local clock anew at every call.
LocalClock ReadLocalClock();

// The local date, and the local clock, each read anew.
inline CalendarDate LocalDateNow() {
    return ReadLocalClock().date;
}
inline TimeOfDay LocalTimeNow() {
    return ReadLocalClock().time;
}

// Full file name of the loaded module whose file name is `moduleName`; when
// no such module is loaded, the host executable's own file name. Empty when
// neither can be had.
std::string ModuleFileName(std::string_view moduleName);

enum class FileState : uint8_t {
    Read,
    Missing,     // nothing by that name
    Unreadable,  // not a regular file (a FIFO, a device, a folder), or no leave to read it
};

struct FileText {
    FileState state = FileState::Missing;
    std::string text;  // the whole file when Read
};

// Reads the whole of a regular file, or of a link to one. Never blocks:
// anything else is Unreadable without being read. Throws std::bad_alloc (or
// std::length_error) when memory cannot hold the file.
FileText ReadRegularFile(const std::string& path);

// An INI file as registration reads it: from the disk at most once, and
// never blocking (only a regular file, or a link to one, is read; anything
// else reads as an unreadable file, every key absent). Values are read as
// the platform's private-profile reading does. Constructing it throws
// std::bad_alloc when memory cannot hold the file.
class IniFile {
  public:
    explicit IniFile(const std::string& path);
    // The given text, as a file's content that was read.
    static IniFile FromText(std::string text);

    FileState State() const { return state_; }

    // Each entry's value in `section`, in the order asked, each cut to
    // bufferSize - 1 bytes; an absent key, or any key of a file that could
    // not be read, gives its fallback.
    std::vector<std::string> Read(std::string_view section, std::span<const IniEntry> entries,
                                  size_t bufferSize) const;

  private:
    IniFile() = default;

    std::string path_;
    FileState state_ = FileState::Missing;
    std::string text_;      // what was read, where the platform reads files itself
    bool fromText_ = false;
};

// One value, read as IniFile::Read reads it.
std::string ReadIniString(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view fallback, size_t bufferSize);

}  // namespace qelmor::platform

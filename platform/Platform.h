// The only calls that touch the operating system. One implementation for
// Win32 and one for POSIX stand behind these declarations; nothing here
// decides policy.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

// Replaces the clock for tests of the static library; nullptr restores the
// real clock. The shipped shared library does not export it.
using ClockSource = LocalClock (*)();
void SetClockSourceForTesting(ClockSource source);

// Full file name of the loaded module whose file name is `moduleName`; when
// no such module is loaded, the host executable's own file name. Empty when
// neither can be had.
std::string ModuleFileName(std::string_view moduleName);

// Reads `key` in `section` of the INI file `path` as the platform's
// private-profile reading does, into a buffer of `bufferSize` bytes (so at
// most bufferSize - 1 bytes of value). `fallback` when the key is absent or
// the file cannot be read.
std::string ReadIniString(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view fallback, size_t bufferSize);

}  // namespace qelmor::platform

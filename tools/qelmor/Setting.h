// What every subcommand starts from: the configuration as the filter loads
// it, the host's date settings, and one fixed minute of the local clock.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "filter/FilterConfig.h"
#include "platform/Platform.h"
#include "text/DateRules.h"
#include "tools/qelmor/Arguments.h"

namespace qelmor::tool {

inline constexpr std::string_view kDefaultIni = "KAVRO.ini";

// The options that the token and explain commands share.
inline constexpr OptionInfo kIniOption{"--ini", true};
inline constexpr OptionInfo kAtOption{"--at", true};
inline constexpr OptionInfo kDatePatternOption{"--date-pattern", true};

using IniState = platform::FileState;

// A configuration the command cannot work from; the tool prints it after
// "qelmor <command>: " and exits with status 1.
struct SettingError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Setting {
    std::string iniPath;
    IniState iniState = IniState::Read;
    std::string iniText;  // the file as read, once
    FilterConfig config;
    platform::LocalClock clock;
};

// "YYYY-MM-DD HH:MM" as a local date and clock at the start of that minute;
// nullopt when the text is not such a moment.
std::optional<platform::LocalClock> ParseMoment(std::string_view text);

// Loads --ini (KAVRO.ini by default; a missing file gives the defaults, as
// in the filter) with the filter's own loader, reading the file once and
// never blocking on it: a FIFO, a device or a folder is Unreadable.
Setting LoadSetting(const Arguments& args);

// Throws SettingError when the INI file exists but cannot be read: the
// filter would run on the defaults there, and an answer computed from them
// (a token for the default key) would mislead.
void RequireReadableIni(const Setting& setting);

// Installs the host's date settings, with --date-pattern as the short date
// pattern when given, and fixes the clock at --at or at this minute, so
// that the filter's code and the tool's report read the same moment.
// Throws UsageError for a malformed --at or --date-pattern.
void FixDateAndClock(const Arguments& args, Setting& setting);

// One line on standard error when the INI file could not be read.
void NoteIniState(std::string_view command, const Setting& setting);

}  // namespace qelmor::tool

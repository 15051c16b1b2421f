#include "tools/qelmor/Setting.h"

#include <cstdio>
#include <utility>

namespace qelmor::tool {
namespace {

bool ReadNumber(std::string_view text, size_t at, size_t digits, int& out) {
    if (at + digits > text.size()) return false;
    out = 0;
    for (size_t i = at; i < at + digits; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        out = out * 10 + (text[i] - '0');
    }
    return true;
}

int DaysInMonth(int year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

std::optional<platform::LocalClock> ParseMoment(std::string_view text) {
    // YYYY-MM-DD HH:MM
    if (text.size() != 16 || text[4] != '-' || text[7] != '-' || text[10] != ' ' ||
        text[13] != ':') {
        return std::nullopt;
    }
    platform::LocalClock clock;
    if (!ReadNumber(text, 0, 4, clock.date.year) || !ReadNumber(text, 5, 2, clock.date.month) ||
        !ReadNumber(text, 8, 2, clock.date.day) || !ReadNumber(text, 11, 2, clock.time.hour) ||
        !ReadNumber(text, 14, 2, clock.time.minute)) {
        return std::nullopt;
    }
    if (clock.date.year < 1 || clock.date.month < 1 || clock.date.month > 12 ||
        clock.date.day < 1 || clock.date.day > DaysInMonth(clock.date.year, clock.date.month) ||
        clock.time.hour > 23 || clock.time.minute > 59) {
        return std::nullopt;
    }
    return clock;
}

Setting LoadSetting(const Arguments& args) {
    Setting setting;
    const std::string* ini = args.Value("--ini");
    setting.iniPath = ini ? *ini : std::string(kDefaultIni);
    if (setting.iniPath.empty()) throw UsageError("--ini needs a file name");
    platform::FileText file = platform::ReadRegularFile(setting.iniPath);
    setting.iniState = file.state;
    setting.iniText = std::move(file.text);
    if (setting.iniState == IniState::Read) {
        LoadFilterConfig(setting.config, platform::IniFile::FromText(setting.iniText));
    }
    return setting;
}

void RequireReadableIni(const Setting& setting) {
    if (setting.iniState != IniState::Unreadable) return;
    throw SettingError(setting.iniPath +
                       " cannot be read (it must be a regular file, or a link to one, that "
                       "this user may read)");
}

void FixDateAndClock(const Arguments& args, Setting& setting) {
    HostLocale host = platform::ReadHostLocale();
    if (const std::string* pattern = args.Value("--date-pattern")) {
        if (pattern->empty()) throw UsageError("--date-pattern needs a pattern, e.g. \"yyyy-M-d\"");
        host.shortPattern = {true, *pattern};
    }
    InstallLocale(ReadLocaleSettings(host));

    if (const std::string* at = args.Value("--at")) {
        const auto moment = ParseMoment(*at);
        if (!moment) {
            throw UsageError("--at: \"" + *at + "\" is not a date and time \"YYYY-MM-DD HH:MM\"");
        }
        setting.clock = *moment;
    } else {
        setting.clock = platform::ReadLocalClock();
    }
}

void NoteIniState(std::string_view command, const Setting& setting) {
    if (setting.iniState == IniState::Read) return;
    const char* what = setting.iniState == IniState::Missing ? "not found" : "cannot be read";
    std::fprintf(stderr, "qelmor %.*s: note: %s %s; every key takes its default\n",
                 int(command.size()), command.data(), setting.iniPath.c_str(), what);
}

}  // namespace qelmor::tool

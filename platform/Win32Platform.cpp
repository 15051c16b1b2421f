// Win32 implementation of the platform calls. Every text is asked for with
// the ANSI ("A") functions: the filter works on the bytes of the host's ANSI
// code page and never converts them.
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "platform/Platform.h"
#include "platform/Win32Eras.h"

namespace qelmor::platform {
namespace {

// Room for 255 bytes of a locale text and its terminating zero.
constexpr int kLocaleTextRoom = 256;
// The separator gets room for one byte only: a longer one does not fit, the
// call fails and the default "/" applies.
constexpr int kSeparatorRoom = 2;
// A module path of at most 255 characters.
constexpr DWORD kModulePathRoom = 256;

// The earliest year GetDateFormatA accepts.
constexpr int kFirstFormattableYear = 1601;
// An era calendar never has more eras than this; it bounds the walk should
// the host list nonsense.
constexpr int kMaxEras = 64;

constexpr CALID kJapaneseEraCalendar = 3;
constexpr CALID kTaiwanCalendar = 4;
constexpr CALID kKoreanTangunCalendar = 5;

// Windows counts the week from Monday; our arrays start at Sunday.
constexpr std::array<LCTYPE, 7> kDayNames{LOCALE_SDAYNAME7, LOCALE_SDAYNAME1, LOCALE_SDAYNAME2,
                                          LOCALE_SDAYNAME3, LOCALE_SDAYNAME4, LOCALE_SDAYNAME5,
                                          LOCALE_SDAYNAME6};
constexpr std::array<LCTYPE, 7> kDayAbbrevs{
    LOCALE_SABBREVDAYNAME7, LOCALE_SABBREVDAYNAME1, LOCALE_SABBREVDAYNAME2, LOCALE_SABBREVDAYNAME3,
    LOCALE_SABBREVDAYNAME4, LOCALE_SABBREVDAYNAME5, LOCALE_SABBREVDAYNAME6};
constexpr std::array<LCTYPE, 12> kMonthNames{
    LOCALE_SMONTHNAME1, LOCALE_SMONTHNAME2,  LOCALE_SMONTHNAME3,  LOCALE_SMONTHNAME4,
    LOCALE_SMONTHNAME5, LOCALE_SMONTHNAME6,  LOCALE_SMONTHNAME7,  LOCALE_SMONTHNAME8,
    LOCALE_SMONTHNAME9, LOCALE_SMONTHNAME10, LOCALE_SMONTHNAME11, LOCALE_SMONTHNAME12};
constexpr std::array<LCTYPE, 12> kMonthAbbrevs{
    LOCALE_SABBREVMONTHNAME1,  LOCALE_SABBREVMONTHNAME2,  LOCALE_SABBREVMONTHNAME3,
    LOCALE_SABBREVMONTHNAME4,  LOCALE_SABBREVMONTHNAME5,  LOCALE_SABBREVMONTHNAME6,
    LOCALE_SABBREVMONTHNAME7,  LOCALE_SABBREVMONTHNAME8,  LOCALE_SABBREVMONTHNAME9,
    LOCALE_SABBREVMONTHNAME10, LOCALE_SABBREVMONTHNAME11, LOCALE_SABBREVMONTHNAME12};

HostText LocaleText(LCID locale, LCTYPE item, int room) {
    std::array<char, kLocaleTextRoom> buffer{};
    const int length = GetLocaleInfoA(locale, item, buffer.data(), room);
    if (length <= 0) return {};
    // The count includes the terminating zero.
    return {true, std::string(buffer.data(), size_t(length - 1))};
}

// The ANSI code page the locale's texts are written in; the process's own
// when the locale names none.
UINT AnsiCodePage(LCID locale) {
    const HostText text = LocaleText(locale, LOCALE_IDEFAULTANSICODEPAGE, kLocaleTextRoom);
    if (!text.has) return CP_ACP;
    char* end = nullptr;
    const unsigned long page = std::strtoul(text.text.c_str(), &end, 10);
    return (end == text.text.c_str() || *end != '\0' || page == 0) ? CP_ACP : UINT(page);
}

std::vector<std::pair<uint8_t, uint8_t>> LeadByteRanges(UINT codePage) {
    std::vector<std::pair<uint8_t, uint8_t>> ranges;
    CPINFO info{};
    if (!GetCPInfo(codePage, &info)) return ranges;
    for (size_t i = 0; i + 1 < MAX_LEADBYTES; i += 2) {
        const uint8_t first = info.LeadByte[i];
        const uint8_t last = info.LeadByte[i + 1];
        if (first == 0 && last == 0) break;
        ranges.emplace_back(first, last);
    }
    return ranges;
}

// EnumCalendarInfoA hands its callback no context; the load runs on one
// thread, but thread_local keeps a second caller from mixing in.
thread_local int enumeratedEras = 0;

BOOL CALLBACK CountEra(LPSTR) {
    ++enumeratedEras;
    return TRUE;
}

int EraCount(LCID locale, CALID calendar) {
    enumeratedEras = 0;
    EnumCalendarInfoA(CountEra, locale, calendar, CAL_SERASTRING);
    return std::clamp(enumeratedEras, 1, kMaxEras);
}

std::vector<Era> ReadEras(LCID locale, CALID calendar) {
    const EraFormatter format = [locale](const CalendarDate& date, const char* picture) {
        SYSTEMTIME at{};
        at.wYear = WORD(date.year);
        at.wMonth = WORD(date.month);
        at.wDay = WORD(date.day);
        std::array<char, kLocaleTextRoom> buffer{};
        const int length = GetDateFormatA(locale, DATE_USE_ALT_CALENDAR, &at, picture,
                                          buffer.data(), int(buffer.size()));
        return length > 0 ? std::string(buffer.data(), size_t(length - 1)) : std::string();
    };
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return FindEras({now.wYear, now.wMonth, now.wDay}, format, EraCount(locale, calendar));
}

bool IsEraCalendar(CALID calendar) {
    return calendar == kJapaneseEraCalendar || calendar == kTaiwanCalendar ||
           calendar == kKoreanTangunCalendar;
}

// Days since 1970-01-01 in the proleptic Gregorian calendar, so that era
// starts before year 1 (the Korean Tangun era) still compute; the inverse
// of DateFromUnixDays.
int64_t DayNumber(const CalendarDate& date) {
    const int64_t y = int64_t(date.year) - (date.month <= 2 ? 1 : 0);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yearOfEra = y - era * 400;
    const int64_t m = date.month;
    const int64_t dayOfYear = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + date.day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// The year within the era as the host writes it: decimal digits only.
int EraYear(const std::string& text) {
    if (text.empty() || text.size() > 6) return 0;
    int year = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return 0;
        year = year * 10 + (c - '0');
    }
    return year;
}

}  // namespace

std::vector<Era> FindEras(const CalendarDate& today, const EraFormatter& format, int maxEras) {
    std::vector<Era> eras;
    CalendarDate probe = today;
    while (int(eras.size()) < maxEras) {
        Era era;
        era.name = format(probe, "gg");
        // A name that does not change, going back past the start, is a host
        // that names no eras after all.
        if (era.name.empty() || (!eras.empty() && era.name == eras.back().name)) break;
        const int yearInEra = EraYear(format(probe, "yyyy"));
        if (yearInEra < 1 || yearInEra > probe.year + 10000) break;
        era.shortName = format(probe, "g");
        if (era.shortName == era.name) era.shortName.clear();
        era.start = {probe.year - yearInEra + 1, 1, 1};
        if (era.start.year >= kFirstFormattableYear) {
            // The era's first day lies in the year it numbers 1; the first
            // day carrying its name is found by halving.
            int64_t low = DayNumber(era.start);
            int64_t high = std::min(DayNumber({era.start.year, 12, 31}), DayNumber(probe));
            while (low < high) {
                const int64_t middle = low + (high - low) / 2;
                if (format(DateFromUnixDays(middle), "gg") == era.name) {
                    high = middle;
                } else {
                    low = middle + 1;
                }
            }
            era.start = DateFromUnixDays(low);
        }
        eras.push_back(era);
        if (era.start.year <= kFirstFormattableYear) break;
        probe = DateFromUnixDays(DayNumber(era.start) - 1);
    }
    std::reverse(eras.begin(), eras.end());
    return eras;
}

HostLocale ReadHostLocale() {
    const LCID locale = GetThreadLocale();
    HostLocale host;
    host.primaryLanguage = PRIMARYLANGID(LANGIDFROMLCID(locale));
    host.calendarType = LocaleText(locale, LOCALE_ICALENDARTYPE, kLocaleTextRoom);
    host.shortPattern = LocaleText(locale, LOCALE_SSHORTDATE, kLocaleTextRoom);
    host.longPattern = LocaleText(locale, LOCALE_SLONGDATE, kLocaleTextRoom);
    host.separator = LocaleText(locale, LOCALE_SDATE, kSeparatorRoom);
    for (size_t m = 0; m < 12; ++m) {
        host.monthAbbrevs[m] = LocaleText(locale, kMonthAbbrevs[m], kLocaleTextRoom);
        host.monthFullNames[m] = LocaleText(locale, kMonthNames[m], kLocaleTextRoom);
    }
    for (size_t d = 0; d < 7; ++d) {
        host.dayAbbrevs[d] = LocaleText(locale, kDayAbbrevs[d], kLocaleTextRoom);
        host.dayFullNames[d] = LocaleText(locale, kDayNames[d], kLocaleTextRoom);
    }
    host.dbcsEnabled = GetSystemMetrics(SM_DBCSENABLED) != 0;
    host.leadByteRanges = LeadByteRanges(AnsiCodePage(locale));

    if (host.calendarType.has) {
        const CALID calendar = CALID(std::strtoul(host.calendarType.text.c_str(), nullptr, 10));
        if (IsEraCalendar(calendar)) host.eras = ReadEras(locale, calendar);
    }
    return host;
}

LocalClock ReadLocalClock() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    LocalClock clock;
    clock.date = {now.wYear, now.wMonth, now.wDay};
    clock.time = {now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
    return clock;
}

namespace {

bool SameFileNameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// The module that holds this code, when it carries the name: a server that
// gives each site its own copy of the library loads them all into one
// process, and each copy must find itself rather than the first one loaded.
HMODULE OwnModuleNamed(std::string_view name) {
    HMODULE own = nullptr;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(&OwnModuleNamed), &own)) {
        return nullptr;
    }
    std::array<char, kModulePathRoom> path{};
    const DWORD length = GetModuleFileNameA(own, path.data(), kModulePathRoom);
    if (length == 0 || length >= kModulePathRoom) return nullptr;
    std::string_view file(path.data(), length);
    const size_t slash = file.find_last_of("\\/");
    if (slash != std::string_view::npos) file.remove_prefix(slash + 1);
    return SameFileNameIgnoringCase(file, name) ? own : nullptr;
}

}  // namespace

std::string ModuleFileName(std::string_view moduleName) {
    const std::string name(moduleName);
    // A null handle names the executable: a renamed filter library reads its
    // configuration beside the server instead.
    HMODULE module = OwnModuleNamed(moduleName);
    if (module == nullptr) module = GetModuleHandleA(name.c_str());
    std::array<char, kModulePathRoom> path{};
    const DWORD length = GetModuleFileNameA(module, path.data(), kModulePathRoom);
    if (length == 0) return {};
    // A longer path comes back cut to the buffer; keep what fits.
    return std::string(path.data(), std::min<DWORD>(length, kModulePathRoom - 1));
}

namespace {

struct HandleCloser {
    HANDLE handle;
    ~HandleCloser() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
};

// Opens `path` for reading when it is a file on a disk; pipes and devices
// are not configuration files, and reading them may never end.
FileState OpenDiskFile(const std::string& path, HandleCloser& opened) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? FileState::Missing
                   : FileState::Unreadable;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FileState::Unreadable;
    opened.handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened.handle == INVALID_HANDLE_VALUE) return FileState::Unreadable;
    return GetFileType(opened.handle) == FILE_TYPE_DISK ? FileState::Read : FileState::Unreadable;
}

}  // namespace

FileText ReadRegularFile(const std::string& path) {
    FileText file;
    HandleCloser opened{INVALID_HANDLE_VALUE};
    file.state = OpenDiskFile(path, opened);
    if (file.state != FileState::Read) return file;
    file.state = FileState::Unreadable;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(opened.handle, &size) || size.QuadPart < 0) return file;
    if (uint64_t(size.QuadPart) > file.text.max_size()) throw std::length_error("KAVRO.ini");
    file.text.resize(size_t(size.QuadPart));
    size_t filled = 0;
    for (;;) {
        if (filled == file.text.size()) file.text.resize(filled + 64 * 1024);
        const size_t room = std::min<size_t>(file.text.size() - filled, size_t(1) << 30);
        DWORD got = 0;
        if (!ReadFile(opened.handle, file.text.data() + filled, DWORD(room), &got, nullptr)) {
            file.text.clear();
            return file;
        }
        if (got == 0) break;
        filled += got;
    }
    file.text.resize(filled);
    file.state = FileState::Read;
    return file;
}

// The system reads the file itself, key by key, as IIS filters always have;
// only its kind is looked at here.
IniFile::IniFile(const std::string& path) : path_(path) {
    HandleCloser opened{INVALID_HANDLE_VALUE};
    state_ = OpenDiskFile(path, opened);
}

std::vector<std::string> IniFile::Read(std::string_view section, std::span<const IniEntry> entries,
                                       size_t bufferSize) const {
    if (fromText_ || state_ != FileState::Read) {
        return ReadIniEntries(fromText_ ? std::string_view(text_) : std::string_view(), section,
                              entries, bufferSize);
    }
    std::vector<std::string> values;
    values.reserve(entries.size());
    if (bufferSize == 0) {
        values.resize(entries.size());
        return values;
    }
    const std::string sectionName(section);
    std::vector<char> buffer(bufferSize, '\0');
    for (const IniEntry& entry : entries) {
        const std::string keyName(entry.key);
        const std::string fallbackText(entry.fallback);
        const DWORD length =
            GetPrivateProfileStringA(sectionName.c_str(), keyName.c_str(), fallbackText.c_str(),
                                     buffer.data(), DWORD(bufferSize), path_.c_str());
        values.emplace_back(buffer.data(), std::min<size_t>(length, bufferSize - 1));
    }
    return values;
}

}  // namespace qelmor::platform

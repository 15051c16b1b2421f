// The host's locale as the filter reads it at load, held to what the locale
// named on the command line gives and to Windows' own date rendering.
#include <windows.h>

#include <array>
#include <vector>

#include "platform/Platform.h"
#include "tests/windows/Checks.h"
#include "text/DateRules.h"

namespace qelmor::wintest {
namespace {

const LocaleExpectation kLocales[] = {
    {"en_US", "M/d/yyyy", false, 0, 0, "12/9/2026"},
    {"zh_CN", "yyyy/M/d", true, 0x81, 0xFE, "2026/12/9"},
};

std::string HostFormat(const CalendarDate& date, const char* picture) {
    SYSTEMTIME at{};
    at.wYear = WORD(date.year);
    at.wMonth = WORD(date.month);
    at.wDay = WORD(date.day);
    char text[256];
    const int length = GetDateFormatA(GetThreadLocale(), 0, &at, picture, text, sizeof text);
    return length > 0 ? std::string(text, size_t(length - 1)) : std::string();
}

// Renders each date with our picture and Windows' own; the first difference.
std::string CompareRenderings(const std::vector<CalendarDate>& dates, const char* ours,
                              const char* windows, const LocaleSettings& settings) {
    for (const CalendarDate& date : dates) {
        const std::string mine = RenderDatePattern(ours, date, settings);
        const std::string host = HostFormat(date, windows);
        if (host.empty()) return std::string("Windows could not render ") + windows;
        if (mine != host) return ours + (": got " + Quoted(mine) + ", Windows " + Quoted(host));
    }
    return "";
}

}  // namespace

const LocaleExpectation* FindLocaleExpectation(std::string_view name) {
    for (const LocaleExpectation& locale : kLocales) {
        if (name == locale.name) return &locale;
    }
    return nullptr;
}

void RunLocaleChecks(Report& report, const LocaleExpectation& expected) {
    const HostLocale host = platform::ReadHostLocale();
    const LocaleSettings settings = ReadLocaleSettings(host);

    report.Check("locale_short_pattern_from_host",
                 host.shortPattern.has && host.shortPattern.text == expected.shortPattern
                     ? ""
                     : "got " + Quoted(host.shortPattern.text));
    report.Check("locale_short_pattern_after_load", settings.ShortPattern == expected.shortPattern
                                                        ? ""
                                                        : "got " + Quoted(settings.ShortPattern));
    report.Check("locale_dbcs_enabled", host.dbcsEnabled == expected.dbcs
                                            ? ""
                                            : "got " + std::to_string(host.dbcsEnabled));

    std::string leadFailure;
    for (unsigned byte = 0; byte < 256 && leadFailure.empty(); ++byte) {
        const bool wanted =
            expected.dbcs && byte >= expected.leadFirst && byte <= expected.leadLast;
        if (settings.LeadBytes.Contains(uint8_t(byte)) != wanted) {
            leadFailure = "byte " + std::to_string(byte) + (wanted ? " missing" : " unexpected");
        }
    }
    report.Check("locale_lead_bytes", leadFailure);

    report.Check("locale_separator",
                 settings.SeparatorChar == '/'
                     ? ""
                     : "got " + Quoted(std::string_view(&settings.SeparatorChar, 1)));

    const std::string ninth = ShortDateText({2026, 12, 9}, settings);
    report.Check("locale_short_date_text",
                 ninth == expected.ninthOfDecember2026 ? "" : "got " + Quoted(ninth));

    const std::vector<CalendarDate> dates = {
        {2005, 1, 3}, {2026, 12, 9}, {2000, 2, 29}, {1999, 10, 31}, {2030, 7, 14}};
    std::string shortFailure;
    for (const CalendarDate& date : dates) {
        const std::string mine = ShortDateText(date, settings);
        const std::string windows = HostShortDate(date.year, date.month, date.day);
        if (mine != windows && shortFailure.empty()) {
            shortFailure = "got " + Quoted(mine) + ", Windows " + Quoted(windows);
        }
    }
    report.Check("locale_short_date_as_windows_renders_it", shortFailure);

    std::vector<CalendarDate> months;
    for (int m = 1; m <= 12; ++m)
        months.push_back({2026, m, 15});
    // 6 to 12 December 2026 run from Sunday to Saturday.
    std::vector<CalendarDate> week;
    for (int d = 6; d <= 12; ++d)
        week.push_back({2026, 12, d});
    report.Check("locale_month_names", CompareRenderings(months, "mmmm", "MMMM", settings));
    report.Check("locale_month_abbreviations", CompareRenderings(months, "mmm", "MMM", settings));
    report.Check("locale_day_names", CompareRenderings(week, "dddd", "dddd", settings));
    report.Check("locale_day_abbreviations", CompareRenderings(week, "ddd", "ddd", settings));
}

}  // namespace qelmor::wintest

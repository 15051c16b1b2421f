// The Win32 platform layer on its own: module lookup, private-profile
// reading, the clock, and the era walk over made-up calendars.
#include <windows.h>

#include <ctime>
#include <vector>

#include "platform/Platform.h"
#include "platform/Win32Eras.h"
#include "tests/support/FakeServer.h"
#include "tests/windows/Checks.h"

namespace qelmor::wintest {
namespace {

std::string Lowered(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    }
    return text;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void CheckModuleLookup(Report& report) {
    // No module of that name is loaded yet: the executable stands in.
    const std::string fallback = Lowered(platform::ModuleFileName("qelmor.dll"));
    report.Check("module_absent_gives_executable", EndsWith(fallback, "\\qelmor_wintest.exe") &&
                                                           fallback.size() > 3 &&
                                                           fallback.compare(1, 2, ":\\") == 0
                                                       ? ""
                                                       : "got " + Quoted(fallback));

    char system[MAX_PATH];
    const UINT length = GetSystemDirectoryA(system, MAX_PATH);
    const std::string expected = Lowered(std::string(system, length) + "\\kernel32.dll");
    const std::string found = Lowered(platform::ModuleFileName("KERNEL32.DLL"));
    report.Check(
        "module_loaded_gives_its_file",
        found == expected ? "" : "got " + Quoted(found) + ", expected " + Quoted(expected));
}

struct IniCase {
    const char* name;
    const char* content;  // null: no file at all
    std::string key;
    std::string fallback;
    size_t bufferSize;
    std::string expected;
};

void CheckIniReading(Report& report) {
    const std::string v2047(2047, 'v');
    const std::string v3000(3000, 'w');
    const std::string longValue = "[KAVRO]\nTitle=" + v3000 + "\nTail=" + v2047 + "\n";
    const std::vector<IniCase> cases = {
        {"ini_value_read", "[KAVRO]\nPubKey=secret\n", "PubKey", "ruftal", 2048, "secret"},
        {"ini_names_without_regard_to_case", "[kavro]\nMEDIAACTION=0\n", "Mediaaction", "1", 2048,
         "0"},
        {"ini_absent_key_gives_fallback", "[KAVRO]\nOther=1\n", "PubKey", "ruftal", 2048, "ruftal"},
        {"ini_other_section_ignored", "[OTHER]\nPubKey=x\n", "PubKey", "ruftal", 2048, "ruftal"},
        {"ini_missing_file_gives_fallback", nullptr, "PubKey", "ruftal", 2048, "ruftal"},
        {"ini_comment_line_ignored", "[KAVRO]\n;PubKey=x\n", "PubKey", "ruftal", 2048, "ruftal"},
        {"ini_blanks_around_value_dropped", "[KAVRO]\nTitle =  Stop here  \n", "Title", "", 2048,
         "Stop here"},
        {"ini_crlf_lines", "[KAVRO]\r\nTitle=Stop\r\nAlert=Go\r\n", "Title", "", 2048, "Stop"},
        {"ini_present_empty_value_is_empty", "[KAVRO]\nPauseTime=\n", "PauseTime", "3", 2048, ""},
        {"ini_value_cut_to_buffer", "[KAVRO]\nTitle=abcdefghij\n", "Title", "", 8, "abcdefg"},
        {"ini_2047_bytes_whole", longValue.c_str(), "Tail", "", 2048, v2047},
        {"ini_3000_bytes_cut_to_2047", longValue.c_str(), "Title", "", 2048, v3000.substr(0, 2047)},
        {"ini_ansi_bytes_unchanged", "[KAVRO]\nTitle=\xb1\xbe\xd5\xbe\n", "Title", "", 2048,
         "\xb1\xbe\xd5\xbe"},
    };
    for (const IniCase& c : cases) {
        qelmor::testing::TempFolder folder;
        if (c.content != nullptr) folder.Write("KAVRO.ini", c.content);
        const std::string got = platform::ReadIniString(folder.File("KAVRO.ini"), "KAVRO", c.key,
                                                        c.fallback, c.bufferSize);
        report.Check(c.name, got == c.expected
                                 ? ""
                                 : "got " + Quoted(got.substr(0, 40)) + " (" +
                                       std::to_string(got.size()) + " bytes), expected " +
                                       Quoted(c.expected.substr(0, 40)) + " (" +
                                       std::to_string(c.expected.size()) + " bytes)");
    }
}

platform::LocalClock FixedClock() {
    return {{2005, 1, 3}, {9, 5, 0, 0}};
}

void CheckClock(Report& report) {
    std::string failure = "the minute changed during every attempt";
    for (int attempt = 0; attempt < 3; ++attempt) {
        const platform::LocalClock before = platform::ReadLocalClock();
        const std::time_t now = std::time(nullptr);
        const std::tm local = *std::localtime(&now);
        const platform::LocalClock after = platform::ReadLocalClock();
        if (before.time.minute != after.time.minute) continue;
        const bool same = before.date.year == local.tm_year + 1900 &&
                          before.date.month == local.tm_mon + 1 &&
                          before.date.day == local.tm_mday && before.time.hour == local.tm_hour &&
                          before.time.minute == local.tm_min;
        failure = same ? "" : "platform clock and C runtime disagree";
        break;
    }
    report.Check("clock_agrees_with_c_runtime", failure);

    // The texts a token is made of, for a moment given as a value.
    const platform::LocalClock moment = FixedClock();
    const std::string fixed = ShortDateText(moment.date, LocaleSettings{}) + " " +
                              std::to_string(HourOfDay(moment.time)) + ":" +
                              std::to_string(MinuteOfHour(moment.time));
    report.Check("clock_texts_of_a_moment", fixed == "1/3/05 9:5" ? "" : "got " + Quoted(fixed));
}

// A made-up era calendar: the eras it knows, and nothing before the first.
struct FakeEra {
    CalendarDate start;
    const char* name;
    const char* shortName;
};

bool NotAfter(const CalendarDate& a, const CalendarDate& b) {
    if (a.year != b.year) return a.year < b.year;
    if (a.month != b.month) return a.month < b.month;
    return a.day <= b.day;
}

platform::EraFormatter FakeCalendar(std::vector<FakeEra> eras, int* calls) {
    return [eras, calls](const CalendarDate& date, const char* picture) -> std::string {
        ++*calls;
        const FakeEra* found = nullptr;
        for (const FakeEra& era : eras) {
            if (NotAfter(era.start, date)) found = &era;
        }
        if (found == nullptr) return "";
        const std::string what = picture;
        if (what == "gg") return found->name;
        if (what == "g") return found->shortName;
        if (what == "yyyy") return std::to_string(date.year - found->start.year + 1);
        return "";
    };
}

std::string DateText(const CalendarDate& d) {
    return std::to_string(d.year) + "-" + std::to_string(d.month) + "-" + std::to_string(d.day);
}

std::string ErasText(const std::vector<Era>& eras) {
    std::string text;
    for (const Era& era : eras) {
        if (!text.empty()) text += " ";
        text += era.name + "/" + era.shortName + "@" + DateText(era.start);
    }
    return text;
}

struct EraCase {
    const char* name;
    std::vector<FakeEra> calendar;
    CalendarDate today;
    int maxEras;
    const char* expected;  // name/shortName@start, oldest first
};

void CheckEraWalk(Report& report) {
    const std::vector<FakeEra> japan = {{{1868, 9, 8}, "Meiji", "M"},
                                        {{1912, 7, 30}, "Taisho", "T"},
                                        {{1926, 12, 25}, "Showa", "S"},
                                        {{1989, 1, 8}, "Heisei", "H"},
                                        {{2019, 5, 1}, "Reiwa", "R"}};
    const std::vector<EraCase> cases = {
        {"eras_japanese_all_with_first_days",
         japan,
         {2026, 12, 9},
         64,
         "Meiji/M@1868-9-8 Taisho/T@1912-7-30 Showa/S@1926-12-25 Heisei/H@1989-1-8 "
         "Reiwa/R@2019-5-1"},
        {"eras_bounded_by_the_host_count",
         japan,
         {2026, 12, 9},
         2,
         "Heisei/H@1989-1-8 Reiwa/R@2019-5-1"},
        {"eras_today_is_a_first_day", japan, {2019, 5, 1}, 2, "Heisei/H@1989-1-8 Reiwa/R@2019-5-1"},
        {"eras_today_is_a_last_day", japan, {2019, 4, 30}, 1, "Heisei/H@1989-1-8"},
        {"eras_taiwan_one_era", {{{1912, 1, 1}, "ROC", "ROC"}}, {2026, 12, 9}, 1, "ROC/@1912-1-1"},
        {"eras_before_formattable_years_start_on_new_year",
         {{{-2332, 1, 1}, "Tangun", ""}},
         {2026, 12, 9},
         5,
         "Tangun/@-2332-1-1"},
        {"eras_none_for_a_calendar_without_names", {}, {2026, 12, 9}, 5, ""},
    };
    for (const EraCase& c : cases) {
        int calls = 0;
        const std::vector<Era> eras =
            platform::FindEras(c.today, FakeCalendar(c.calendar, &calls), c.maxEras);
        const std::string got = ErasText(eras);
        std::string failure;
        if (got != c.expected) failure = "got " + Quoted(got);
        // Halving keeps the load quick: a few dozen calls per era at most.
        if (calls > 40 * std::max(1, int(c.calendar.size()))) {
            failure += " after " + std::to_string(calls) + " calls";
        }
        report.Check(c.name, failure);
    }
}

}  // namespace

void RunPlatformChecks(Report& report) {
    CheckModuleLookup(report);
    CheckIniReading(report);
    CheckClock(report);
    CheckEraWalk(report);
}

}  // namespace qelmor::wintest

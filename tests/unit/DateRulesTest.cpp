#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>

#include "platform/Platform.h"
#include "text/DateRules.h"

namespace qelmor {
namespace {

constexpr CalendarDate kDec8{2026, 12, 8};

LocaleSettings WithSeparator(char separator) {
    LocaleSettings locale;
    locale.SeparatorChar = separator;
    return locale;
}

TEST(DateRenderTest, PatternRuns) {
    struct Case {
        const char* name;
        std::string pattern;
        CalendarDate date;
        char separator;
        std::string expected;
    } cases[] = {
        {"default", "m/d/yy", kDec8, '/', "12/8/26"},
        {"dash separator", "m/d/yy", kDec8, '-', "12-8-26"},
        {"zero separator", "m/d/yy", kDec8, '\0', "12826"},
        {"iso-like", "yyyy-M-d", kDec8, '.', "2026-12-8"},
        {"padded", "yyyy/MM/dd", kDec8, '.', "2026.12.08"},
        {"quoted word", "'Day' d", kDec8, '/', "Day 8"},
        {"double quotes keep all", "\"d/m\" d", kDec8, '-', "d/m 8"},
        {"unclosed quote", "d 'mm", kDec8, '/', "8 mm"},
        {"two-digit year", "m/d/yy", {2005, 1, 3}, '/', "1/3/05"},
        {"y and yyy", "y yyy yyyy", {5, 1, 3}, '/', "05 0005 0005"},
        {"case splits runs", "dD mM", kDec8, '/', "88 1212"},
        {"names", "ddd dddd mmm mmmm mmmmmm", kDec8, '/', "Tue Tuesday Dec December December"},
        {"short in place", "[ddddd]", kDec8, '-', "[12-8-26]"},
        {"long in place", "ddddddd", kDec8, '/', "December 8, 2026"},
        {"clock is midnight", "h:n:s hh:nn:ss z zzz t tt", kDec8, '/', "0:0:0 00:00:00 0 000 A AM"},
        {"m after h is minutes", "hh:mm m", kDec8, '/', "00:00 12"},
        {"letter breaks hour", "h x m", kDec8, '/', "0 x 12"},
        {"other letters copied", "ac Q b", kDec8, '/', "ac Q b"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RenderDatePattern(c.pattern, c.date, WithSeparator(c.separator)), c.expected)
            << c.name;
    }
}

TEST(DateRenderTest, WeekdayOfProlepticGregorianDates) {
    const std::pair<CalendarDate, const char*> cases[] = {
        {{1, 1, 1}, "Mon"},      {{2000, 2, 29}, "Tue"},  {{1900, 3, 1}, "Thu"},
        {{9999, 12, 31}, "Fri"}, {{2026, 12, 12}, "Sat"}, {{2026, 12, 13}, "Sun"},
    };
    for (const auto& [date, day] : cases) {
        EXPECT_EQ(RenderDatePattern("ddd", date, {}), day) << date.year << "-" << date.month;
    }
}

TEST(DateRenderTest, InPlaceDoubleByteAndLength) {
    LocaleSettings locale;
    locale.ShortPattern = "<d ddddd dddddd>";
    EXPECT_EQ(RenderDatePattern("ddddd", kDec8, locale), "<8  >") << "one level deep only";

    locale.LeadBytes.AddRange(0x81, 0xFE);
    EXPECT_EQ(RenderDatePattern("\x81m d", kDec8, locale), "\x81m 8");
    EXPECT_EQ(RenderDatePattern("\x81m d", kDec8, {}), "\x81\x31\x32 8");
    EXPECT_EQ(RenderDatePattern("'\x81'd' d", kDec8, locale), "\x81'd 8");

    std::string pattern;
    for (int i = 0; i < 40; ++i)
        pattern += "mmmm ";
    const std::string rendered = RenderDatePattern(pattern, kDec8, {});
    EXPECT_EQ(rendered.size(), 256u);
    EXPECT_EQ(rendered.substr(0, 18), "December December ");
}

TEST(DateEraTest, EraLettersUseTheLatestStartedEra) {
    LocaleSettings locale;
    locale.Eras = {{{1989, 1, 8}, "Heisei", "H"}, {{2019, 5, 1}, "Reiwa", ""}};
    const std::pair<CalendarDate, const char*> cases[] = {
        {{2019, 4, 30}, "H|Heisei|Heisei|31|31|31"},
        {{2019, 5, 1}, "Reiwa|Reiwa|Reiwa|1|01|1"},
        {kDec8, "Reiwa|Reiwa|Reiwa|8|08|8"},
        {{1905, 3, 1}, "|||5|05|1905"},
    };
    for (int order = 0; order < 2; ++order) {
        for (const auto& [date, expected] : cases) {
            EXPECT_EQ(RenderDatePattern("g|gg|ggg|e|ee|eee", date, locale), expected) << order;
        }
        // The host's listing order must not matter.
        std::swap(locale.Eras[0], locale.Eras[1]);
    }
}

TEST(LocaleSettingsTest, HostTextsAndDefaults) {
    EXPECT_EQ(ShortDateText({2005, 1, 3}, ReadLocaleSettings(HostLocale{})), "1/3/05");

    HostLocale host;
    host.separator = {true, "."};
    host.monthAbbrevs[11] = {true, "Dez"};
    host.dayFullNames[2] = {true, "Dienstag"};
    host.longPattern = {true, std::string(300, 'x')};
    host.leadByteRanges = {{0x81, 0xFE}};
    LocaleSettings locale = ReadLocaleSettings(host);
    EXPECT_EQ(RenderDatePattern("dddd mmm mmmm/", kDec8, locale), "Dienstag Dez December.");
    EXPECT_EQ(locale.LongPattern.size(), 255u);
    EXPECT_TRUE(locale.LeadBytes.Empty()) << "lead bytes need a double-byte system";
    host.dbcsEnabled = true;
    EXPECT_TRUE(ReadLocaleSettings(host).LeadBytes.Contains(0xFE));

    const std::pair<HostText, char> separators[] = {
        {{false, "-"}, '/'}, {{true, ""}, '\0'}, {{true, "-"}, '-'}, {{true, ". "}, '/'}};
    for (const auto& [separator, expected] : separators) {
        host.separator = separator;
        EXPECT_EQ(ReadLocaleSettings(host).SeparatorChar, expected) << separator.text;
    }
}

TEST(LocaleSettingsTest, PatternTranslation) {
    struct Case {
        const char* name;
        int language;
        const char* calendar;  // null: the host gives no calendar kind
        bool dbcs;
        std::string hostPattern, stored;
    } cases[] = {
        {"chinese gregorian", kLangChinese, "1", false, "gg yyyy-M-d", " yyyy-M-d"},
        {"korean drops G", kLangKorean, nullptr, false, "Gyy", "yy"},
        {"japanese non-era", kLangJapanese, "2", false, "gyyyy", "yyyy"},
        {"english keeps g", 0x09, "1", false, "gg yyyy", "gg yyyy"},
        {"era", kLangJapanese, "3", false, "gg yy/MM/dd", "ggg ee/MM/dd"},
        {"era any case", 0x09, "4", false, "Gg YyYy", "ggg eeee"},
        {"era y runs", kLangKorean, "5", false, "g y yyy yyyyy", "g e eee eeeee"},
        {"era skips trail byte", kLangJapanese, "3", true, "\x81yy", "\x81ye"},
        {"era without dbcs", kLangJapanese, "3", false, "\x81yy", "\x81\x65\x65"},
        {"unreadable kind", kLangChinese, "era", false, "gy", "y"},
    };
    for (const Case& c : cases) {
        HostLocale host;
        host.primaryLanguage = c.language;
        if (c.calendar != nullptr) host.calendarType = {true, c.calendar};
        host.dbcsEnabled = c.dbcs;
        host.leadByteRanges = {{0x81, 0xFE}};
        host.shortPattern = {true, c.hostPattern};
        host.longPattern = {true, c.hostPattern};
        const LocaleSettings locale = ReadLocaleSettings(host);
        EXPECT_EQ(locale.ShortPattern, c.stored) << c.name;
        EXPECT_EQ(locale.LongPattern, c.stored) << c.name;
    }
}

TEST(LocaleSettingsTest, HostPatternsRender) {
    HostLocale chinese;
    chinese.primaryLanguage = kLangChinese;
    chinese.shortPattern = {true, "gg yyyy-M-d"};
    EXPECT_EQ(ShortDateText(kDec8, ReadLocaleSettings(chinese)), " 2026-12-8");

    HostLocale japanese;
    japanese.primaryLanguage = kLangJapanese;
    japanese.calendarType = {true, "3"};
    japanese.shortPattern = {true, "gg yy/MM/dd"};
    japanese.eras = {{{2019, 5, 1}, "Reiwa", "R"}};
    EXPECT_EQ(ShortDateText(kDec8, ReadLocaleSettings(japanese)), "Reiwa 08/12/08");

    HostLocale empty;
    empty.shortPattern = {true, ""};
    EXPECT_EQ(ShortDateText(kDec8, ReadLocaleSettings(empty)), "");
}

TEST(DateClockTest, ClockAndInstalledLocale) {
    const LocaleSettings saved = CurrentLocale();
    InstallLocale(WithSeparator('-'));
    const std::pair<TimeOfDay, const char*> cases[] = {
        {{9, 5, 30, 0}, "9 5"}, {{0, 0, 0, 0}, "0 0"}, {{23, 59, 59, 999}, "23 59"}};
    for (const auto& [time, expected] : cases) {
        EXPECT_EQ(DecimalText(HourOfDay(time)) + " " + DecimalText(MinuteOfHour(time)), expected);
        EXPECT_EQ(ShortDateText(kDec8, CurrentLocale()), "12-8-26");
    }
    InstallLocale(saved);
}

TEST(DateFromUnixDaysTest, MatchesTheCLibraryOverFourCenturies) {
    struct Case {
        const char* name;
        int64_t firstDay, lastDay, step;
    };
    const Case cases[] = {
        {"the epoch and the days around it", -3, 3, 1},
        {"every day of 1999 to 2001 (a century's leap year)", 10592, 11687, 1},
        {"every day of 2099 to 2101 (a century without one)", 47117, 48211, 1},
        {"every day of 1899 to 1901, before the epoch", -25932, -24838, 1},
        {"every thirteenth day of 1600 to 2400", -135140, 157419, 13},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (int64_t days = c.firstDay; days <= c.lastDay; days += c.step) {
            const std::time_t second = std::time_t(days * 86400);
            std::tm utc{};
            ASSERT_NE(gmtime_r(&second, &utc), nullptr);
            const CalendarDate date = DateFromUnixDays(days);
            ASSERT_EQ(date.year, utc.tm_year + 1900) << "day " << days;
            ASSERT_EQ(date.month, utc.tm_mon + 1) << "day " << days;
            ASSERT_EQ(date.day, utc.tm_mday) << "day " << days;
        }
    }
}

// The clock remembers the offset of the last second it converted, and
// works out the rest; readings taken across changes of second, in zones
// with odd offsets on either side of UTC, must match the C library's own
// conversion.
TEST(DateClockTest, RealClockMatchesLocaltimeAcrossSeconds) {
    // time() may lag the precise clock by a tick, so bracket with the clock
    // the filter reads.
    const auto secondNow = [] {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        return now.tv_sec;
    };
    const char* const saved = std::getenv("TZ");
    const std::string savedZone = saved != nullptr ? saved : "";
    for (const char* zone : {"UTC0", "<+0530>-5:30", "<-0345>3:45"}) {
        SCOPED_TRACE(zone);
        setenv("TZ", zone, 1);
        tzset();
        // A second remembered under the zone before counts only until the
        // second turns: the readings start there, a conversion and then the
        // remembered offset, and go on for a fifth of a second.
        const std::time_t start = secondNow();
        while (secondNow() == start) {
        }
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (std::chrono::steady_clock::now() < end) {
            const std::time_t before = secondNow();
            const platform::LocalClock clock = platform::ReadLocalClock();
            const std::time_t after = secondNow();
            if (before != after) continue;
            std::tm local{};
            localtime_r(&before, &local);
            ASSERT_EQ(clock.date.year, local.tm_year + 1900);
            ASSERT_EQ(clock.date.month, local.tm_mon + 1);
            ASSERT_EQ(clock.date.day, local.tm_mday);
            ASSERT_EQ(clock.time.hour, local.tm_hour);
            ASSERT_EQ(clock.time.minute, local.tm_min);
            ASSERT_EQ(clock.time.second, local.tm_sec);
        }
    }
    if (saved != nullptr) {
        setenv("TZ", savedZone.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

}  // namespace
}  // namespace qelmor

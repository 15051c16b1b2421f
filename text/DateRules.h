// Date and clock rules: the host's date settings, read once at load, and the
// rendering of a date pattern, which gives the token its date text.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text/TextRules.h"

namespace qelmor {

struct CalendarDate {
    int year = 1;   // 1 to 9999
    int month = 1;  // 1 to 12
    int day = 1;    // 1 to 31
};

struct TimeOfDay {
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// One era of a host's alternative calendar (Japanese emperor eras, the
// Taiwan and Korean Tangun calendars). The year within the era counts from
// 1 in the year the era starts.
struct Era {
    CalendarDate start;
    std::string name;       // rendered by gg and ggg
    std::string shortName;  // rendered by a single g; empty means use name
};

// The short date text of the day last asked for. Every timed token of a day
// digests the same text; this renders it once a day instead of once a
// request. Shared between threads without a lock and without per-thread
// storage: a reader that meets a write in progress, or another day,
// renders the text itself.
class ShortDateCache {
  public:
    ShortDateCache() = default;
    // A copy starts empty: its settings may render dates otherwise.
    ShortDateCache(const ShortDateCache&) noexcept {}
    ShortDateCache& operator=(const ShortDateCache&) noexcept;

    // The text remembered for `date` into `out`; false when there is none.
    bool Find(const CalendarDate& date, std::string& out) const;
    // Remembers `text` for `date`, unless another thread is writing, or the
    // text is longer than the cache holds.
    void Remember(const CalendarDate& date, std::string_view text) const;

  private:
    static constexpr size_t kWords = 8;  // 64 bytes of text
    static uint64_t Key(const CalendarDate& date);

    // Odd while a write is in progress.
    mutable std::atomic<uint64_t> sequence_{0};
    mutable std::atomic<uint64_t> key_{0};  // 0: nothing remembered
    mutable std::atomic<uint64_t> length_{0};
    mutable std::array<std::atomic<uint64_t>, kWords> words_{};
};

struct LocaleSettings {
    std::string ShortPattern = "m/d/yy";
    std::string LongPattern = "mmmm d, yyyy";
    char SeparatorChar = '/';
    std::array<std::string, 12> MonthAbbrevs{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::array<std::string, 12> MonthFullNames{"January",   "February", "March",    "April",
                                               "May",       "June",     "July",     "August",
                                               "September", "October",  "November", "December"};
    std::array<std::string, 7> DayAbbrevs{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    std::array<std::string, 7> DayFullNames{"Sunday",   "Monday", "Tuesday", "Wednesday",
                                            "Thursday", "Friday", "Saturday"};
    LeadByteSet LeadBytes;
    // Eras of the host's alternative calendar, oldest first; empty unless the
    // host uses an era calendar.
    std::vector<Era> Eras;
    ShortDateCache ShortDates;
};

// Primary language identifiers, as Windows numbers them.
inline constexpr int kLangChinese = 0x04;
inline constexpr int kLangJapanese = 0x11;
inline constexpr int kLangKorean = 0x12;

// What a host offers about its date settings. Every text is optional: an
// empty `has` flag means the host gave none and the default applies.
struct HostText {
    bool has = false;
    std::string text;
};

struct HostLocale {
    int primaryLanguage = 0;
    HostText calendarType;  // the calendar kind as the host writes it, e.g. "1"
    HostText shortPattern;
    HostText longPattern;
    HostText separator;
    std::array<HostText, 12> monthAbbrevs;
    std::array<HostText, 12> monthFullNames;
    std::array<HostText, 7> dayAbbrevs;
    std::array<HostText, 7> dayFullNames;
    bool dbcsEnabled = false;
    std::vector<std::pair<uint8_t, uint8_t>> leadByteRanges;
    std::vector<Era> eras;
};

// Applies the defaults and the load-time pattern translation to what the
// host offers.
LocaleSettings ReadLocaleSettings(const HostLocale& host);

// The process-wide settings, filled at load and read-only afterwards.
const LocaleSettings& CurrentLocale();
void InstallLocale(const LocaleSettings& settings);

std::string RenderDatePattern(std::string_view pattern, const CalendarDate& date,
                              const LocaleSettings& locale);
std::string ShortDateText(const CalendarDate& date, const LocaleSettings& locale);

// The Gregorian date `days` days after 1970-01-01 (before it when negative).
CalendarDate DateFromUnixDays(int64_t days);
// The Gregorian day before `date`; the first day of year 1 has none and is
// given back unchanged.
CalendarDate PreviousDay(const CalendarDate& date);
// The Gregorian day after `date`; the last day of year 9999 has none and is
// given back unchanged.
CalendarDate NextDay(const CalendarDate& date);

inline int HourOfDay(const TimeOfDay& time) {
    return time.hour;
}
inline int MinuteOfHour(const TimeOfDay& time) {
    return time.minute;
}

}  // namespace qelmor

#include "text/DateRules.h"

#include <algorithm>
#include <cstring>
#include <tuple>
#include <utility>

namespace qelmor {
namespace {

// The host hands every locale text through a 256-byte buffer.
constexpr size_t kHostTextLimit = 255;
constexpr size_t kRenderLimit = 256;

char LowerAscii(char byte) {
    return (byte >= 'A' && byte <= 'Z') ? static_cast<char>(byte + ('a' - 'A')) : byte;
}

bool IsAsciiLetter(char byte) {
    const char lower = LowerAscii(byte);
    return lower >= 'a' && lower <= 'z';
}

std::string HostTextOr(const HostText& host, std::string_view fallback) {
    if (!host.has) return std::string(fallback);
    return host.text.substr(0, kHostTextLimit);
}

bool IsEraCalendar(int kind) {
    return kind == 3 || kind == 4 || kind == 5;
}

// How many bytes from `at` on are the letter `lower` in either case.
size_t CaseInsensitiveRun(std::string_view pattern, size_t at, char lower, size_t most) {
    size_t run = 0;
    while (run < most && at + run < pattern.size() && LowerAscii(pattern[at + run]) == lower) {
        ++run;
    }
    return run;
}

// Era calendars number their years within the era, so the Gregorian year
// letters of the host's pattern become era-year letters and the era name is
// widened to its full form.
std::string TranslateForEras(std::string_view pattern, const LeadByteSet& leads) {
    std::string out;
    size_t i = 0;
    while (i < pattern.size()) {
        const char byte = pattern[i];
        if (leads.Contains(static_cast<uint8_t>(byte))) {
            const size_t width = std::min<size_t>(2, pattern.size() - i);
            out.append(pattern.substr(i, width));
            i += width;
            continue;
        }
        const char lower = LowerAscii(byte);
        if (lower == 'g' && CaseInsensitiveRun(pattern, i, 'g', 2) == 2) {
            out += "ggg";
            i += 2;
        } else if (lower == 'y') {
            const size_t run = CaseInsensitiveRun(pattern, i, 'y', 4);
            if (run == 4) {
                out += "eeee";
            } else if (run >= 2) {
                out += "ee";
            } else {
                out += "e";
            }
            i += run == 4 ? 4 : (run >= 2 ? 2 : 1);
        } else {
            out += byte;
            ++i;
        }
    }
    return out;
}

// Chinese, Japanese and Korean hosts on the Gregorian calendar carry era
// letters in their patterns that we have no era name for.
std::string WithoutEraLetters(std::string_view pattern) {
    std::string out;
    for (char byte : pattern) {
        if (byte != 'g' && byte != 'G') out += byte;
    }
    return out;
}

std::string TranslatePattern(std::string_view pattern, int calendarKind, int primaryLanguage,
                             const LeadByteSet& leads) {
    if (IsEraCalendar(calendarKind)) return TranslateForEras(pattern, leads);
    if (primaryLanguage == kLangChinese || primaryLanguage == kLangJapanese ||
        primaryLanguage == kLangKorean) {
        return WithoutEraLetters(pattern);
    }
    return std::string(pattern);
}

LocaleSettings& InstalledLocale() {
    static LocaleSettings settings;
    return settings;
}

bool NotAfter(const CalendarDate& a, const CalendarDate& b) {
    return std::tie(a.year, a.month, a.day) <= std::tie(b.year, b.month, b.day);
}

// Sunday = 0, proleptic Gregorian.
int Weekday(const CalendarDate& date) {
    static constexpr int kMonthOffset[12] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    const int year = date.year - (date.month < 3 ? 1 : 0);
    const int sum =
        year + year / 4 - year / 100 + year / 400 + kMonthOffset[date.month - 1] + date.day;
    return (sum % 7 + 7) % 7;
}

std::string ZeroFilled(int value, size_t width) {
    std::string digits = DecimalText(value);
    if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
    return digits;
}

class PatternRenderer {
  public:
    PatternRenderer(const CalendarDate& date, const LocaleSettings& locale)
        : date_(date), locale_(locale) {}

    std::string Render(std::string_view pattern) {
        RenderLevel(pattern, false);
        if (out_.size() > kRenderLimit) out_.resize(kRenderLimit);
        return std::move(out_);
    }

  private:
    bool MonthValid() const { return date_.month >= 1 && date_.month <= 12; }
    bool Full() const { return out_.size() >= kRenderLimit; }

    // The era with the latest start on or before the date; the list is
    // searched whole so that a host listing its eras newest first still works.
    const Era* EraOfDate() const {
        const Era* found = nullptr;
        for (const Era& era : locale_.Eras) {
            if (NotAfter(era.start, date_) &&
                (found == nullptr || NotAfter(found->start, era.start))) {
                found = &era;
            }
        }
        return found;
    }

    void RenderLevel(std::string_view pattern, bool nested) {
        // A minutes "m" must follow an hour run with nothing but non-letters
        // in between.
        bool afterHour = false;
        size_t i = 0;
        while (i < pattern.size() && !Full()) {
            const char byte = pattern[i];
            if (locale_.LeadBytes.Contains(static_cast<uint8_t>(byte))) {
                const size_t width = std::min<size_t>(2, pattern.size() - i);
                out_.append(pattern.substr(i, width));
                i += width;
            } else if (byte == '\'' || byte == '"') {
                i = CopyQuoted(pattern, i + 1, byte);
            } else if (byte == '/') {
                if (locale_.SeparatorChar != '\0') out_ += locale_.SeparatorChar;
                ++i;
            } else if (IsAsciiLetter(byte)) {
                size_t run = 1;
                while (i + run < pattern.size() && pattern[i + run] == byte)
                    ++run;
                const char letter = LowerAscii(byte);
                if (letter == 'm' && afterHour) {
                    out_ += run == 1 ? "0" : "00";
                } else {
                    RenderRun(pattern.substr(i, run), letter, run, nested);
                }
                afterHour = letter == 'h';
                i += run;
            } else {
                out_ += byte;
                ++i;
            }
        }
    }

    // Returns the position after the closing mark. A double-byte character
    // whose second byte looks like the mark does not close the quotation.
    size_t CopyQuoted(std::string_view pattern, size_t at, char mark) {
        while (at < pattern.size() && pattern[at] != mark) {
            const bool lead = locale_.LeadBytes.Contains(static_cast<uint8_t>(pattern[at]));
            const size_t width = lead ? std::min<size_t>(2, pattern.size() - at) : 1;
            out_.append(pattern.substr(at, width));
            at += width;
        }
        return at + 1;
    }

    void RenderRun(std::string_view run, char letter, size_t count, bool nested) {
        switch (letter) {
            case 'd':
                RenderDayRun(count, nested);
                break;
            case 'm':
                if (count <= 2) {
                    out_ += ZeroFilled(date_.month, count);
                } else if (MonthValid()) {
                    out_ += count == 3 ? locale_.MonthAbbrevs[date_.month - 1]
                                       : locale_.MonthFullNames[date_.month - 1];
                }
                break;
            case 'y':
                out_ += count <= 2 ? ZeroFilled(date_.year % 100, 2) : ZeroFilled(date_.year, 4);
                break;
            case 'g':
                if (const Era* era = EraOfDate()) {
                    out_ += count == 1 && !era->shortName.empty() ? era->shortName : era->name;
                }
                break;
            case 'e': {
                const Era* era = EraOfDate();
                const int yearInEra = era ? date_.year - era->start.year + 1 : date_.year;
                if (count == 1) {
                    out_ += DecimalText(yearInEra % 100);
                } else if (count == 2) {
                    out_ += ZeroFilled(yearInEra % 100, 2);
                } else {
                    out_ += DecimalText(yearInEra);
                }
                break;
            }
            // A date has no clock: time letters render midnight.
            case 'h':
            case 'n':
            case 's':
                out_ += count == 1 ? "0" : "00";
                break;
            case 'z':
                out_ += count == 1 ? "0" : "000";
                break;
            case 't':
                out_ += count == 1 ? "A" : "AM";
                break;
            default:
                out_.append(run);
                break;
        }
    }

    void RenderDayRun(size_t count, bool nested) {
        if (count <= 2) {
            out_ += ZeroFilled(date_.day, count);
            return;
        }
        if (count <= 4) {
            if (MonthValid()) {
                const int weekday = Weekday(date_);
                out_ += count == 3 ? locale_.DayAbbrevs[weekday] : locale_.DayFullNames[weekday];
            }
            return;
        }
        // One level only: the locale's own patterns could name each other.
        if (nested) return;
        RenderLevel(count == 5 ? locale_.ShortPattern : locale_.LongPattern, true);
    }

    const CalendarDate& date_;
    const LocaleSettings& locale_;
    std::string out_;
};

}  // namespace

LocaleSettings ReadLocaleSettings(const HostLocale& host) {
    LocaleSettings settings;
    const int calendarKind = host.calendarType.has ? ParseInteger(host.calendarType.text, 1) : 1;

    if (host.dbcsEnabled) {
        for (const auto& [first, last] : host.leadByteRanges)
            settings.LeadBytes.AddRange(first, last);
    }

    for (size_t m = 0; m < 12; ++m) {
        settings.MonthAbbrevs[m] = HostTextOr(host.monthAbbrevs[m], settings.MonthAbbrevs[m]);
        settings.MonthFullNames[m] = HostTextOr(host.monthFullNames[m], settings.MonthFullNames[m]);
    }
    for (size_t d = 0; d < 7; ++d) {
        settings.DayAbbrevs[d] = HostTextOr(host.dayAbbrevs[d], settings.DayAbbrevs[d]);
        settings.DayFullNames[d] = HostTextOr(host.dayFullNames[d], settings.DayFullNames[d]);
    }

    if (host.separator.has && host.separator.text.size() <= 1) {
        settings.SeparatorChar = host.separator.text.empty() ? '\0' : host.separator.text[0];
    }

    settings.ShortPattern =
        TranslatePattern(HostTextOr(host.shortPattern, settings.ShortPattern), calendarKind,
                         host.primaryLanguage, settings.LeadBytes);
    settings.LongPattern = TranslatePattern(HostTextOr(host.longPattern, settings.LongPattern),
                                            calendarKind, host.primaryLanguage, settings.LeadBytes);
    settings.Eras = host.eras;
    return settings;
}

const LocaleSettings& CurrentLocale() {
    return InstalledLocale();
}

void InstallLocale(const LocaleSettings& settings) {
    InstalledLocale() = settings;
}

std::string RenderDatePattern(std::string_view pattern, const CalendarDate& date,
                              const LocaleSettings& locale) {
    return PatternRenderer(date, locale).Render(pattern);
}

std::string ShortDateText(const CalendarDate& date, const LocaleSettings& locale) {
    std::string text;
    if (locale.ShortDates.Find(date, text)) return text;
    text = RenderDatePattern(locale.ShortPattern, date, locale);
    locale.ShortDates.Remember(date, text);
    return text;
}

ShortDateCache& ShortDateCache::operator=(const ShortDateCache&) noexcept {
    // Settings are assigned before they are shared; forgetting is enough.
    key_.store(0, std::memory_order_relaxed);
    return *this;
}

uint64_t ShortDateCache::Key(const CalendarDate& date) {
    // Never 0 for a date of the calendar, which has no year 0 or below in
    // the keys that matter: a date outside it is simply not remembered.
    if (date.year < 1 || date.month < 1 || date.day < 1) return 0;
    return (uint64_t(date.year) << 16) | (uint64_t(date.month) << 8) | uint64_t(date.day);
}

bool ShortDateCache::Find(const CalendarDate& date, std::string& out) const {
    const uint64_t key = Key(date);
    if (key == 0) return false;
    // A seqlock without fences, which ThreadSanitizer cannot follow: the
    // words are written with release and read with acquire, so a reader
    // that sees any word of a write in progress also sees its odd sequence
    // on the second look, and no later load moves before a word's.
    const uint64_t before = sequence_.load(std::memory_order_acquire);
    if ((before & 1) != 0 || key_.load(std::memory_order_acquire) != key) return false;
    const uint64_t length = length_.load(std::memory_order_acquire);
    if (length > kWords * sizeof(uint64_t)) return false;
    std::array<uint64_t, kWords> words;
    for (size_t i = 0; i < kWords; ++i) words[i] = words_[i].load(std::memory_order_acquire);
    if (sequence_.load(std::memory_order_relaxed) != before) return false;
    out.assign(reinterpret_cast<const char*>(words.data()), size_t(length));
    return true;
}

void ShortDateCache::Remember(const CalendarDate& date, std::string_view text) const {
    const uint64_t key = Key(date);
    if (key == 0 || text.size() > kWords * sizeof(uint64_t)) return;
    uint64_t sequence = sequence_.load(std::memory_order_relaxed);
    if ((sequence & 1) != 0 ||
        !sequence_.compare_exchange_strong(sequence, sequence + 1, std::memory_order_acq_rel)) {
        return;
    }
    std::array<uint64_t, kWords> words{};
    std::memcpy(words.data(), text.data(), text.size());
    key_.store(key, std::memory_order_release);
    length_.store(text.size(), std::memory_order_release);
    for (size_t i = 0; i < kWords; ++i) words_[i].store(words[i], std::memory_order_release);
    sequence_.store(sequence + 2, std::memory_order_release);
}

namespace {

int DaysInMonth(int year, int month) {
    constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

}  // namespace

CalendarDate PreviousDay(const CalendarDate& date) {
    if (date.day > 1) return {date.year, date.month, date.day - 1};
    if (date.month > 1) return {date.year, date.month - 1, DaysInMonth(date.year, date.month - 1)};
    if (date.year > 1) return {date.year - 1, 12, 31};
    return date;
}

CalendarDate NextDay(const CalendarDate& date) {
    if (date.day < DaysInMonth(date.year, date.month)) return {date.year, date.month, date.day + 1};
    if (date.month < 12) return {date.year, date.month + 1, 1};
    if (date.year < 9999) return {date.year + 1, 1, 1};
    return date;
}

CalendarDate DateFromUnixDays(int64_t days) {
    // Counted in 400-year eras from 0000-03-01, so that the leap day ends
    // each year of the count.
    const int64_t shifted = days + 719468;
    const int64_t era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
    const int64_t dayOfEra = shifted - era * 146097;
    const int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    const int day = int(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
    const int month = int(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
    const int year = int(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
    return {year, month, day};
}

}  // namespace qelmor

// The access token that the advanced and media classes require: where it is
// taken from and how it is verified.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "filter/FilterConfig.h"
#include "text/DateRules.h"

namespace qelmor {

inline constexpr size_t kTokenLength = 32;

// At most 32 bytes, upper-cased; held inline so a decision allocates nothing.
struct AccessToken {
    char bytes[kTokenLength];
    size_t length = 0;
    bool named = false;  // the source carries "kavro=" at all
    std::string_view Text() const { return {bytes, length}; }
};

AccessToken ExtractAccessToken(std::string_view queryString, std::string_view cookie,
                               const FilterConfig& config);

// The pieces a token digests, in an order each EncryptMode sets.
enum class TokenPart : uint8_t { Key, Address, Date, Hour, Minute };

// "key", "address", "date", "hour", "minute".
const char* TokenPartLabel(TokenPart part);

// The digest input of one check: its pieces, and the order they are
// digested in, which the filter and the tools that show its work share.
struct TokenInput {
    bool valid = false;  // false for an EncryptMode outside 0 to 3
    std::string_view key;
    std::string_view address;
    bool usesClock = false;
    std::string dateText;
    std::string hourText;
    std::string minuteText;
    std::span<const TokenPart> order;  // empty when not valid

    std::string_view Text(TokenPart part) const;
};

// The digest input for `clientAddress` at the given local date and clock,
// in the order EncryptMode sets.
TokenInput BuildTokenInput(std::string_view clientAddress, const CalendarDate& date,
                           const TimeOfDay& hourClock, const TimeOfDay& minuteClock,
                           const FilterConfig& config, const LocaleSettings& locale);

// Writes the token the filter accepts for that input, 32 upper-case hex
// digits, to `out`. False when no token can be valid.
bool ExpectedToken(const TokenInput& input, char out[kTokenLength]);
std::string ExpectedTokenText(const TokenInput& input);

// The local date and clock as a timed token reads them: the date first,
// then the clock once for the hour and once more for the minute.
struct TokenClock {
    CalendarDate date;
    TimeOfDay hourClock;
    TimeOfDay minuteClock;
};

// The clock of one decision, read when a timed token first needs it: most
// requests check no timed token and never pay for reading it.
class ClockReading {
  public:
    using Reader = TokenClock (*)();
    explicit ClockReading(Reader reader) : reader_(reader) {}
    explicit ClockReading(const TokenClock& fixed) : value_(fixed), read_(true) {}

    const TokenClock& Get() const {
        if (!read_) {
            value_ = reader_();
            read_ = true;
        }
        return value_;
    }

  private:
    Reader reader_ = nullptr;
    mutable TokenClock value_{};
    mutable bool read_ = false;
};

// The minute a timed token names: the local date, hour and minute.
struct TokenMinute {
    CalendarDate date;
    int hour = 0;
    int minute = 0;
};

// The minute a timed token of `clock` names.
TokenMinute MinuteOf(const TokenClock& clock);
// `minutes` minutes before `at` (after it when negative), across hours,
// days, months and years.
TokenMinute MinutesEarlier(const TokenMinute& at, int minutes);
// The digest input for `clientAddress` at the minute `at`.
TokenInput BuildTokenInputAt(std::string_view clientAddress, const TokenMinute& at,
                             const FilterConfig& config, const LocaleSettings& locale);

enum class TokenState : uint8_t {
    Valid,
    Missing,  // no "kavro=" where PassMode looks
    Invalid,  // of no accepted minute, or no token can be valid
};

struct TokenCheck {
    TokenState state = TokenState::Invalid;
    // For a valid timed token, how many minutes before the current one it
    // was made: 0, up to TokenGrace, or down to -TokenGrace for a token of
    // a minute this clock has yet to reach (a page server whose clock runs
    // ahead).
    int minutesEarlier = 0;
};

// Whether `token` is one the filter accepts now: of the current minute, or
// of one of the TokenGrace minutes on either side of it, nearest first.
// The other minutes are digested only for a token that fails the current
// one.
TokenCheck CheckAccessToken(const AccessToken& token, std::string_view clientAddress,
                            const FilterConfig& config, const LocaleSettings& locale,
                            const ClockReading& clock);

// For a timed token that failed: how many minutes before the current one
// it was valid, looking back past TokenGrace up to `lookBack` minutes; 0
// when it was of none of them.
int MinutesSinceValid(const AccessToken& token, std::string_view clientAddress,
                      const FilterConfig& config, const LocaleSettings& locale,
                      const ClockReading& clock, int lookBack);

// TextEquals without an early exit: the time taken does not depend on where
// the texts first differ.
bool ConstantTimeEquals(std::string_view a, std::string_view b);

}  // namespace qelmor

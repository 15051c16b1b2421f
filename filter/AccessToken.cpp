#include "filter/AccessToken.h"

#include "digest/Md5.h"
#include "text/TextRules.h"

namespace qelmor {
namespace {

constexpr std::string_view kTokenName = "KAVRO=";

char UpperByte(char c) {
    return (c >= 'a' && c <= 'z') ? char(c - 0x20) : c;
}

// TextPos(AsciiUpper(source), "KAVRO=") without the upper-cased copy.
int64_t TokenNamePos(std::string_view source) {
    if (source.size() < kTokenName.size()) return 0;
    for (size_t p = 0; p + kTokenName.size() <= source.size(); ++p) {
        size_t k = 0;
        while (k < kTokenName.size() && UpperByte(source[p + k]) == kTokenName[k])
            ++k;
        if (k == kTokenName.size()) return int64_t(p) + 1;
    }
    return 0;
}

}  // namespace

AccessToken ExtractAccessToken(std::string_view queryString, std::string_view cookie,
                               const FilterConfig& config) {
    const std::string_view source = config.PassMode ? queryString : cookie;
    // When the name is absent the position is 0 and the token is read from
    // the sixth byte on; such a token simply never matches.
    const int64_t namePos = TokenNamePos(source);
    const std::string_view taken =
        SubText(source, namePos + int64_t(kTokenName.size()), kTokenLength);
    AccessToken token;
    token.named = namePos != 0;
    token.length = taken.size();
    for (size_t i = 0; i < taken.size(); ++i)
        token.bytes[i] = UpperByte(taken[i]);
    return token;
}

namespace {

// The digest order of each EncryptMode, built once.
constexpr TokenPart kMode0[] = {TokenPart::Key, TokenPart::Address};
constexpr TokenPart kMode1[] = {TokenPart::Key, TokenPart::Date, TokenPart::Hour,
                                TokenPart::Minute};
constexpr TokenPart kMode2[] = {TokenPart::Key, TokenPart::Address, TokenPart::Date,
                                TokenPart::Hour, TokenPart::Minute};
constexpr TokenPart kMode3[] = {TokenPart::Key, TokenPart::Date, TokenPart::Hour,
                                TokenPart::Minute, TokenPart::Address};
constexpr std::span<const TokenPart> kDigestOrder[] = {kMode0, kMode1, kMode2, kMode3};

}  // namespace

const char* TokenPartLabel(TokenPart part) {
    switch (part) {
        case TokenPart::Key:
            return "key";
        case TokenPart::Address:
            return "address";
        case TokenPart::Date:
            return "date";
        case TokenPart::Hour:
            return "hour";
        case TokenPart::Minute:
            return "minute";
    }
    return "?";
}

std::string_view TokenInput::Text(TokenPart part) const {
    switch (part) {
        case TokenPart::Key:
            return key;
        case TokenPart::Address:
            return address;
        case TokenPart::Date:
            return dateText;
        case TokenPart::Hour:
            return hourText;
        case TokenPart::Minute:
            return minuteText;
    }
    return {};
}

TokenInput BuildTokenInput(std::string_view clientAddress, const CalendarDate& date,
                           const TimeOfDay& hourClock, const TimeOfDay& minuteClock,
                           const FilterConfig& config, const LocaleSettings& locale) {
    TokenInput input;
    input.valid = config.EncryptMode >= 0 && config.EncryptMode <= 3;
    if (!input.valid) return input;
    input.order = kDigestOrder[config.EncryptMode];
    input.key = config.PubKey;
    if (config.EncryptMode != 1) input.address = clientAddress;
    input.usesClock = config.EncryptMode != 0;
    if (input.usesClock) {
        input.dateText = ShortDateText(date, locale);
        input.hourText = DecimalText(HourOfDay(hourClock));
        input.minuteText = DecimalText(MinuteOfHour(minuteClock));
    }
    return input;
}

bool ExpectedToken(const TokenInput& input, char out[kTokenLength]) {
    if (!input.valid) return false;
    Md5 md5;
    for (const TokenPart part : input.order)
        md5.Update(input.Text(part));
    DigestToHex(md5.Final(), out);
    AsciiUpperInPlace(out, kTokenLength);
    return true;
}

std::string ExpectedTokenText(const TokenInput& input) {
    char hex[kTokenLength];
    if (!ExpectedToken(input, hex)) return {};
    return std::string(hex, kTokenLength);
}

TokenMinute MinuteOf(const TokenClock& clock) {
    return {clock.date, HourOfDay(clock.hourClock), MinuteOfHour(clock.minuteClock)};
}

TokenMinute MinutesEarlier(const TokenMinute& at, int minutes) {
    TokenMinute earlier = at;
    constexpr int kMinutesPerDay = 24 * 60;
    int total = at.hour * 60 + at.minute - minutes;
    while (total < 0) {
        total += kMinutesPerDay;
        earlier.date = PreviousDay(earlier.date);
    }
    while (total >= kMinutesPerDay) {
        total -= kMinutesPerDay;
        earlier.date = NextDay(earlier.date);
    }
    earlier.hour = total / 60;
    earlier.minute = total % 60;
    return earlier;
}

TokenInput BuildTokenInputAt(std::string_view clientAddress, const TokenMinute& at,
                             const FilterConfig& config, const LocaleSettings& locale) {
    TimeOfDay clock;
    clock.hour = at.hour;
    clock.minute = at.minute;
    return BuildTokenInput(clientAddress, at.date, clock, clock, config, locale);
}

namespace {

bool Matches(const AccessToken& token, const TokenInput& input) {
    char expected[kTokenLength];
    if (!ExpectedToken(input, expected)) return false;
    return ConstantTimeEquals(token.Text(), std::string_view(expected, kTokenLength));
}

bool HasTimedTokens(const FilterConfig& config) {
    return config.EncryptMode >= 1 && config.EncryptMode <= 3;
}

}  // namespace

TokenCheck CheckAccessToken(const AccessToken& token, std::string_view clientAddress,
                            const FilterConfig& config, const LocaleSettings& locale,
                            const ClockReading& clock) {
    const TokenCheck refused{token.named ? TokenState::Invalid : TokenState::Missing};
    if (config.EncryptMode < 0 || config.EncryptMode > 3) return refused;
    TokenClock now{};
    if (config.EncryptMode != 0) now = clock.Get();
    if (Matches(token, BuildTokenInput(clientAddress, now.date, now.hourClock, now.minuteClock,
                                       config, locale))) {
        return {TokenState::Valid, 0};
    }
    if (!HasTimedTokens(config)) return refused;
    const TokenMinute current = MinuteOf(now);
    // A link outlives its minute by the grace, and a page server whose clock
    // runs that much ahead or behind is borne with either way.
    for (int distance = 1; distance <= config.TokenGrace; ++distance) {
        for (const int earlier : {distance, -distance}) {
            const TokenMinute at = MinutesEarlier(current, earlier);
            if (Matches(token, BuildTokenInputAt(clientAddress, at, config, locale))) {
                return {TokenState::Valid, earlier};
            }
        }
    }
    return refused;
}

int MinutesSinceValid(const AccessToken& token, std::string_view clientAddress,
                      const FilterConfig& config, const LocaleSettings& locale,
                      const ClockReading& clock, int lookBack) {
    if (!HasTimedTokens(config) || !token.named) return 0;
    const TokenMinute current = MinuteOf(clock.Get());
    for (int earlier = config.TokenGrace + 1; earlier <= lookBack; ++earlier) {
        const TokenMinute at = MinutesEarlier(current, earlier);
        if (Matches(token, BuildTokenInputAt(clientAddress, at, config, locale))) return earlier;
    }
    return 0;
}

bool ConstantTimeEquals(std::string_view a, std::string_view b) {
    unsigned difference = a.size() == b.size() ? 0u : 1u;
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i)
        difference |= unsigned(uint8_t(a[i]) ^ uint8_t(b[i]));
    return difference == 0;
}

}  // namespace qelmor

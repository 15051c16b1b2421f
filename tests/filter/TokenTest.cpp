#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <thread>
#include <vector>

#include "filter/AccessToken.h"
#include "filter/IsapiAdapter.h"
#include "filter/UrlMapPolicy.h"
#include "platform/Platform.h"
#include "tests/filter/TestHelpers.h"

namespace qelmor {
namespace {

// The moment the token checks are made at: a decision takes its clock as
// a value.
TokenClock fixedClock;

class TokenTest : public ::testing::Test {
  protected:
    static void SetClock(int year, int month, int day, int hour, int minute) {
        fixedClock.date = {year, month, day};
        fixedClock.hourClock = {hour, minute, 30, 0};
        fixedClock.minuteClock = fixedClock.hourClock;
    }
    static std::tm TmOf(int year, int month, int day, int hour, int minute) {
        std::tm t{};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = hour;
        t.tm_min = minute;
        return t;
    }
    static TokenCheck Check(const FilterConfig& config, const std::string& token,
                            const std::string& address) {
        const AccessToken extracted = ExtractAccessToken("kavro=" + token, "", config);
        return CheckAccessToken(extracted, address, config, LocaleSettings{},
                                ClockReading(fixedClock));
    }
    static bool Accepts(const FilterConfig& config, const std::string& token,
                        const std::string& address) {
        return Check(config, token, address).state == TokenState::Valid;
    }
    // `minutes` before the given local time, normalised by the C library
    // rather than by the code under test.
    static std::tm Before(int year, int month, int day, int hour, int minute, int minutes) {
        std::tm t = TmOf(year, month, day, hour, minute - minutes);
        const time_t at = timegm(&t);
        gmtime_r(&at, &t);
        return t;
    }
};

struct GraceCase {
    const char* name;
    int mode;
    int grace;
    int at[5];         // year, month, day, hour, minute of the check
    int madeBefore;    // the token was made this many minutes earlier (later when negative)
    bool accepted;
};

// TokenGrace minutes on either side of the current one are taken, and no
// more, across every boundary the date text and the clock texts change at.
TEST_F(TokenTest, GraceTakesTheMinutesAroundTheCurrentOne) {
    const GraceCase cases[] = {
        {"no grace: current minute", 2, 0, {2026, 12, 8, 9, 5}, 0, true},
        {"no grace: previous minute", 2, 0, {2026, 12, 8, 9, 5}, 1, false},
        {"grace 1: previous minute", 2, 1, {2026, 12, 8, 9, 5}, 1, true},
        {"grace 1: two minutes before", 2, 1, {2026, 12, 8, 9, 5}, 2, false},
        {"grace 5: five before", 1, 5, {2026, 12, 8, 9, 5}, 5, true},
        {"grace 5: six before", 1, 5, {2026, 12, 8, 9, 5}, 6, false},
        {"grace 3: mode 3", 3, 3, {2026, 12, 8, 9, 5}, 3, true},
        {"grace 3: mode 3, one too many", 3, 3, {2026, 12, 8, 9, 5}, 4, false},
        {"across the hour", 2, 2, {2026, 12, 8, 10, 0}, 1, true},
        {"across midnight", 2, 3, {2026, 12, 9, 0, 1}, 3, true},
        {"across midnight, one too many", 2, 3, {2026, 12, 9, 0, 1}, 4, false},
        {"across the month", 1, 2, {2026, 12, 1, 0, 0}, 1, true},
        {"across the new year", 3, 2, {2027, 1, 1, 0, 0}, 2, true},
        {"into a leap day", 2, 1, {2028, 3, 1, 0, 0}, 1, true},
        {"grace of sixty, an hour back", 2, 60, {2026, 12, 8, 0, 30}, 60, true},
        {"no grace: next minute", 2, 0, {2026, 12, 8, 9, 5}, -1, false},
        {"grace 1: next minute, a page server ahead", 2, 1, {2026, 12, 8, 9, 5}, -1, true},
        {"grace 1: two minutes ahead", 2, 1, {2026, 12, 8, 9, 5}, -2, false},
        {"grace 5: five ahead, mode 3", 3, 5, {2026, 12, 8, 9, 5}, -5, true},
        {"ahead across midnight", 2, 2, {2026, 12, 8, 23, 59}, -2, true},
        {"ahead across the new year", 1, 1, {2026, 12, 31, 23, 59}, -1, true},
        {"ahead out of a leap day", 2, 1, {2028, 2, 29, 23, 59}, -1, true},
    };
    for (const GraceCase& c : cases) {
        FilterConfig config;
        config.PubKey = "s3cret";
        config.EncryptMode = c.mode;
        config.TokenGrace = c.grace;
        SetClock(c.at[0], c.at[1], c.at[2], c.at[3], c.at[4]);
        const std::tm made = Before(c.at[0], c.at[1], c.at[2], c.at[3], c.at[4], c.madeBefore);
        const std::string token =
            testing::OpenSslUpperHex(testing::TokenInputAt(c.mode, "s3cret", "198.51.100.7", made));
        const TokenCheck check = Check(config, token, "198.51.100.7");
        EXPECT_EQ(check.state == TokenState::Valid, c.accepted) << c.name;
        if (c.accepted) {
            EXPECT_EQ(check.minutesEarlier, c.madeBefore) << c.name;
        }
        // Another address's token of an accepted minute stays refused.
        if (c.mode != 1) {
            const std::string elsewhere = testing::OpenSslUpperHex(
                testing::TokenInputAt(c.mode, "s3cret", "198.51.100.8", made));
            EXPECT_FALSE(Accepts(config, elsewhere, "198.51.100.7")) << c.name;
        }
    }
}

// Without a clock in the token, grace changes nothing.
TEST_F(TokenTest, GraceLeavesModeZeroAlone) {
    FilterConfig config;
    config.EncryptMode = 0;
    config.TokenGrace = 10;
    SetClock(2026, 12, 8, 9, 5);
    const std::string token = testing::OpenSslUpperHex("ruftal198.51.100.7");
    EXPECT_EQ(Check(config, token, "198.51.100.7").minutesEarlier, 0);
    EXPECT_TRUE(Accepts(config, token, "198.51.100.7"));
    EXPECT_FALSE(Accepts(config, token, "198.51.100.8"));
}

// A refused token is told apart: none at all, expired (and how long ago),
// or one of no minute within the hour.
TEST_F(TokenTest, RefusedTokensAreMissingExpiredOrInvalid) {
    struct Case {
        const char* name;
        std::string query;
        int grace;
        TokenState state;
        int minutesSinceValid;
    };
    SetClock(2026, 12, 8, 9, 5);
    const auto tokenBefore = [](int minutes) {
        return testing::OpenSslUpperHex(testing::TokenInputAt(
            2, "ruftal", "198.51.100.7", Before(2026, 12, 8, 9, 5, minutes)));
    };
    const Case cases[] = {
        {"no token", "page=2", 0, TokenState::Missing, 0},
        {"empty token", "kavro=", 0, TokenState::Invalid, 0},
        {"two minutes old, no grace", "kavro=" + tokenBefore(2), 0, TokenState::Invalid, 2},
        {"two minutes old, grace 1", "kavro=" + tokenBefore(2), 1, TokenState::Invalid, 2},
        {"an hour old", "kavro=" + tokenBefore(60), 0, TokenState::Invalid, 60},
        {"older than an hour", "kavro=" + tokenBefore(61), 0, TokenState::Invalid, 0},
        {"of nothing", "kavro=0123456789abcdef0123456789abcdef", 0, TokenState::Invalid, 0},
    };
    for (const Case& c : cases) {
        FilterConfig config;
        config.EncryptMode = 2;
        config.TokenGrace = c.grace;
        const AccessToken token = ExtractAccessToken(c.query, "", config);
        const ClockReading clock(fixedClock);
        EXPECT_EQ(CheckAccessToken(token, "198.51.100.7", config, LocaleSettings{}, clock).state,
                  c.state)
            << c.name;
        EXPECT_EQ(MinutesSinceValid(token, "198.51.100.7", config, LocaleSettings{}, clock,
                                    kExpiryLookBack),
                  c.minutesSinceValid)
            << c.name;
    }
}

// Tokens computed independently, with OpenSSL over the documented input, are
// accepted in every mode; the previous minute and other addresses are not,
// where the mode binds them.
TEST_F(TokenTest, EveryModeAgainstIndependentDigest) {
    struct Case {
        const char* name;
        int mode;
        bool bindsAddress;
        bool bindsMinute;
    } cases[] = {
        {"mode 0: key and address", 0, true, false},
        {"mode 1: key and clock", 1, false, true},
        {"mode 2: key, address, clock", 2, true, true},
        {"mode 3: key, clock, address", 3, true, true},
    };
    SetClock(2026, 12, 8, 9, 5);
    for (const Case& c : cases) {
        FilterConfig config;
        config.PubKey = "s3cret";
        config.EncryptMode = c.mode;
        const auto now = testing::OpenSslUpperHex(
            testing::TokenInputAt(c.mode, "s3cret", "198.51.100.7", TmOf(2026, 12, 8, 9, 5)));
        const auto before = testing::OpenSslUpperHex(
            testing::TokenInputAt(c.mode, "s3cret", "198.51.100.7", TmOf(2026, 12, 8, 9, 4)));
        const auto elsewhere = testing::OpenSslUpperHex(
            testing::TokenInputAt(c.mode, "s3cret", "198.51.100.8", TmOf(2026, 12, 8, 9, 5)));
        EXPECT_TRUE(Accepts(config, now, "198.51.100.7")) << c.name;
        EXPECT_TRUE(Accepts(config, testing::Lowered(now), "198.51.100.7")) << c.name;
        EXPECT_EQ(Accepts(config, before, "198.51.100.7"), !c.bindsMinute) << c.name;
        EXPECT_EQ(Accepts(config, elsewhere, "198.51.100.7"), !c.bindsAddress) << c.name;
    }
}

TEST_F(TokenTest, InputPiecesInOrder) {
    SetClock(2026, 12, 8, 9, 5);
    FilterConfig config;
    config.PubKey = "key";
    config.EncryptMode = 3;
    const TokenInput input = BuildTokenInput("10.0.0.1", fixedClock.date, fixedClock.hourClock,
                                             fixedClock.minuteClock, config, LocaleSettings{});
    EXPECT_EQ(ExpectedTokenText(input), testing::OpenSslUpperHex("key"
                                                                         "12/8/26"
                                                                         "9"
                                                                         "5"
                                                                         "10.0.0.1"));
}

// Hour 1 minute 15 and hour 11 minute 5 both write "115".
TEST_F(TokenTest, MinutesThatShareATextShareAToken) {
    FilterConfig config;
    config.EncryptMode = 1;
    SetClock(2026, 12, 8, 1, 15);
    const std::string token =
        testing::OpenSslUpperHex(testing::TokenInputAt(1, "ruftal", "", TmOf(2026, 12, 8, 1, 15)));
    EXPECT_TRUE(Accepts(config, token, "x"));
    SetClock(2026, 12, 8, 11, 5);
    EXPECT_TRUE(Accepts(config, token, "x"));
}

TEST_F(TokenTest, ModesOutsideZeroToThreeAcceptNothing) {
    for (int mode : {4, -1, 0x7fffffff}) {
        FilterConfig config;
        config.EncryptMode = mode;
        for (int candidate = 0; candidate <= 3; ++candidate) {
            const std::string token = testing::OpenSslUpperHex(
                testing::TokenInputAt(candidate, "ruftal", "1.2.3.4", TmOf(2026, 12, 8, 9, 5)));
            SetClock(2026, 12, 8, 9, 5);
            EXPECT_FALSE(Accepts(config, token, "1.2.3.4")) << mode << "/" << candidate;
        }
        EXPECT_FALSE(Accepts(config, "", "1.2.3.4")) << mode;
    }
}

TEST(TokenExtractTest, WhereTheTokenIsTaken) {
    const std::string digits = "0123456789abcdef0123456789ABCDEF";
    const std::string upper = "0123456789ABCDEF0123456789ABCDEF";
    struct Case {
        const char* name;
        bool passMode;
        std::string query;
        std::string cookie;
        std::string expected;
    } cases[] = {
        {"between other parameters", true, "a=1&kavro=" + digits + "&b=2", "", upper},
        {"name in mixed case", true, "KaVrO=" + digits, "", upper},
        {"name at end of a longer name", true, "xkavro=" + digits, "", upper},
        {"first occurrence wins", true, "kavro=" + digits + "&kavro=zz", "", upper},
        {"short token", true, "kavro=abc", "", "ABC"},
        {"name absent: from the sixth byte", true, "abcdefghij", "", "FGHIJ"},
        {"empty source", true, "", "kavro=" + digits, ""},
        {"cookie mode", false, "kavro=ffff", "sid=1; kavro=" + digits, upper},
        {"cookie mode ignores query", false, "kavro=" + digits, "", ""},
        {"bytes after 32 ignored", true, "kavro=" + digits + "EXTRA", "", upper},
    };
    for (const Case& c : cases) {
        FilterConfig config;
        config.PassMode = c.passMode;
        EXPECT_EQ(ExtractAccessToken(c.query, c.cookie, config).Text(), c.expected) << c.name;
    }
}

TEST(TokenCompareTest, ConstantTimeEqualsAgreesWithEquality) {
    const char* texts[] = {"", "A", "AB", "AC", "BA", "ABC", "AB\0", "abc"};
    for (const char* a : texts) {
        for (const char* b : texts) {
            EXPECT_EQ(ConstantTimeEquals(a, b), std::string_view(a) == std::string_view(b))
                << "'" << a << "' vs '" << b << "'";
        }
    }
}

// The short date text is remembered for the day; threads that ask for
// different days at once must each get the text of their own day, never a
// half-written or another day's text.
TEST(ShortDateConcurrencyTest, EveryThreadGetsItsOwnDaysText) {
    LocaleSettings locale;
    locale.ShortPattern = "dddd, d mmmm yyyy";  // long enough to span words
    const CalendarDate days[] = {{2026, 12, 10}, {2026, 12, 11}, {2027, 1, 1}, {2028, 2, 29}};
    std::vector<std::string> wanted;
    for (const CalendarDate& day : days)
        wanted.push_back(RenderDatePattern(locale.ShortPattern, day, locale));
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20000; ++i) {
                const size_t which = size_t(t + i) % std::size(days);
                if (ShortDateText(days[which], locale) != wanted[which]) ++wrong;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, 0);
}

TEST(ShortDateCacheTest, ACopyRendersWithItsOwnPattern) {
    LocaleSettings american;
    EXPECT_EQ(ShortDateText({2026, 12, 10}, american), "12/10/26");
    LocaleSettings iso = american;
    iso.ShortPattern = "yyyy-mm-dd";
    EXPECT_EQ(ShortDateText({2026, 12, 10}, iso), "2026-12-10");
    american = iso;
    EXPECT_EQ(ShortDateText({2026, 12, 10}, american), "2026-12-10");
    // Longer than the cache holds: rendered every time, never cut short.
    LocaleSettings wordy;
    wordy.ShortPattern = "dddd dddd dddd dddd dddd dddd dddd dddd dddd dddd";
    const std::string text = ShortDateText({2026, 12, 9}, wordy);
    EXPECT_EQ(text.size(), 10 * 9 + 9);
    EXPECT_EQ(ShortDateText({2026, 12, 9}, wordy), text);
}

}  // namespace
}  // namespace qelmor

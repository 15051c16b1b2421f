// ParseInteger against a second reading of its rules written here, the
// round trip through DecimalText, and the configuration reader's rewrite of
// a leading "0x" into "$", which must not change any result.
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "filter/FilterConfig.h"
#include "tests/fuzz/FuzzCheck.h"
#include "text/TextRules.h"

namespace {

int DigitValue(char c, unsigned base) {
    if (c >= '0' && c <= '9') return c - '0';
    if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (base == 16 && c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The rules as a grammar: blanks, a sign, a radix prefix, digits to the end;
// the value grows in 64 bits and the limits apply before each digit.
std::optional<int32_t> Reference(std::string_view text) {
    const size_t zero = text.find('\0');
    if (zero != std::string_view::npos) text = text.substr(0, zero);
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    unsigned base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        base = 16;
        text.remove_prefix(2);
    } else if (!text.empty() &&
               (text.front() == '$' || text.front() == 'x' || text.front() == 'X')) {
        base = 16;
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    const uint64_t limit = base == 16 ? 0x0FFFFFFF : 214748364;
    uint64_t value = 0;
    for (char c : text) {
        const int digit = DigitValue(c, base);
        if (digit < 0 || value > limit) return std::nullopt;
        value = value * base + uint64_t(digit);
    }
    if (base == 16) {
        uint32_t bits = uint32_t(value);
        if (negative) bits = 0u - bits;
        return int32_t(bits);
    }
    const int64_t signedValue = negative ? -int64_t(value) : int64_t(value);
    if (signedValue < INT32_MIN || signedValue > INT32_MAX) return std::nullopt;
    return int32_t(signedValue);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const std::optional<int32_t> expected = Reference(text);
    for (int32_t fallback : {9, INT32_MIN, -1}) {
        FUZZ_CHECK(qelmor::ParseInteger(text, fallback) == expected.value_or(fallback),
                   "ParseInteger reads the text as its rules do");
    }

    FUZZ_CHECK(
        qelmor::ParseInteger(qelmor::ConfigNumberText(text), 9) == qelmor::ParseInteger(text, 9),
        "the configuration reader's rewrite of a leading 0x into $ changes nothing");

    if (size >= 4) {
        int32_t n;
        std::memcpy(&n, data, sizeof n);
        const std::string decimal = qelmor::DecimalText(n);
        FUZZ_CHECK(qelmor::ParseInteger(decimal, n == 9 ? 8 : 9) == n,
                   "DecimalText reads back as the same number");
        FUZZ_CHECK(qelmor::ParseInteger("  " + decimal, n == 9 ? 8 : 9) == n,
                   "leading blanks are skipped");
    }
    return 0;
}

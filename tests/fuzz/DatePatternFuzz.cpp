// RenderDatePattern with arbitrary patterns, dates, separators, eras and
// lead-byte sets, directly and after the load-time translation of a host's
// settings by ReadLocaleSettings.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/fuzz/FuzzCheck.h"
#include "text/DateRules.h"

namespace {

constexpr size_t kRenderLimit = 256;

void AddLeadBytes(FuzzedDataProvider& input, qelmor::LeadByteSet& leads,
                  std::vector<std::pair<uint8_t, uint8_t>>* ranges) {
    switch (input.ConsumeIntegralInRange<int>(0, 2)) {
        case 0:
            return;
        case 1:  // code page 936
            leads.AddRange(0x81, 0xFE);
            if (ranges) ranges->emplace_back(0x81, 0xFE);
            return;
        default:
            for (int n = input.ConsumeIntegralInRange<int>(1, 3); n > 0; --n) {
                const uint8_t first = input.ConsumeIntegral<uint8_t>();
                const uint8_t last = input.ConsumeIntegral<uint8_t>();
                leads.AddRange(first, last);
                if (ranges) ranges->emplace_back(first, last);
            }
    }
}

qelmor::CalendarDate ConsumeDate(FuzzedDataProvider& input) {
    qelmor::CalendarDate date;
    date.year = input.ConsumeIntegralInRange<int>(1, 9999);
    date.month = input.ConsumeIntegralInRange<int>(1, 12);
    date.day = input.ConsumeIntegralInRange<int>(1, 31);
    return date;
}

std::vector<qelmor::Era> ConsumeEras(FuzzedDataProvider& input) {
    std::vector<qelmor::Era> eras(input.ConsumeIntegralInRange<size_t>(0, 3));
    for (qelmor::Era& era : eras) {
        era.start = ConsumeDate(input);
        era.name = input.ConsumeRandomLengthString(12);
        era.shortName = input.ConsumeRandomLengthString(4);
    }
    return eras;
}

qelmor::HostText ConsumeHostText(FuzzedDataProvider& input, size_t most) {
    qelmor::HostText text;
    text.has = input.ConsumeBool();
    if (text.has) text.text = input.ConsumeRandomLengthString(most);
    return text;
}

// Bytes the renderer has no rule for are copied as they are.
bool IsPlainPattern(std::string_view pattern, const qelmor::LeadByteSet& leads) {
    for (char c : pattern) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (letter || c == '\'' || c == '"' || c == '/' || c == ':' || leads.Contains(uint8_t(c))) {
            return false;
        }
    }
    return true;
}

// Whether the last byte of `text`, read from the start in characters, is a
// lead byte that has no second byte.
bool EndsInLeadByte(std::string_view text, const qelmor::LeadByteSet& leads) {
    size_t i = 0;
    while (i < text.size()) {
        if (leads.Contains(uint8_t(text[i]))) {
            if (i + 1 == text.size()) return true;
            i += 2;
        } else {
            ++i;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const qelmor::CalendarDate date = ConsumeDate(input);
    qelmor::LocaleSettings locale;

    if (input.ConsumeBool()) {
        // A host's settings through the load-time translation.
        qelmor::HostLocale host;
        constexpr int kLanguages[] = {0, qelmor::kLangChinese, qelmor::kLangJapanese,
                                      qelmor::kLangKorean, 0x09};
        host.primaryLanguage = kLanguages[input.ConsumeIntegralInRange<size_t>(0, 4)];
        host.calendarType = ConsumeHostText(input, 4);
        host.shortPattern = ConsumeHostText(input, 300);
        host.longPattern = ConsumeHostText(input, 300);
        host.separator = ConsumeHostText(input, 2);
        host.monthAbbrevs[0] = ConsumeHostText(input, 300);
        host.dayFullNames[0] = ConsumeHostText(input, 300);
        host.dbcsEnabled = input.ConsumeBool();
        qelmor::LeadByteSet ignored;
        AddLeadBytes(input, ignored, &host.leadByteRanges);
        host.eras = ConsumeEras(input);
        locale = qelmor::ReadLocaleSettings(host);
        FUZZ_CHECK(locale.MonthAbbrevs[0].size() <= 255, "host texts are cut at 255 bytes");
    } else {
        locale.SeparatorChar = input.ConsumeIntegral<char>();
        AddLeadBytes(input, locale.LeadBytes, nullptr);
        locale.ShortPattern = input.ConsumeRandomLengthString(64);
        locale.LongPattern = input.ConsumeRandomLengthString(64);
        locale.Eras = ConsumeEras(input);
    }
    const std::string pattern = input.ConsumeRemainingBytesAsString();

    const std::string rendered = qelmor::RenderDatePattern(pattern, date, locale);
    FUZZ_CHECK(rendered.size() <= kRenderLimit, "the result is cut at 256 bytes");
    FUZZ_CHECK(rendered == qelmor::RenderDatePattern(pattern, date, locale),
               "rendering depends only on its arguments");
    if (IsPlainPattern(pattern, locale.LeadBytes)) {
        FUZZ_CHECK(rendered == pattern.substr(0, kRenderLimit),
                   "a pattern without pattern bytes is copied");
    }
    // Quoted, any bytes but the mark are copied, double-byte characters and
    // pattern letters alike; an unclosed quotation runs to the end. A lead
    // byte left unpaired at the end takes the closing mark as its second
    // byte, and the quotation stays open.
    for (const char mark : {'\'', '"'}) {
        // A mark that is itself a lead byte begins a character instead.
        if (locale.LeadBytes.Contains(uint8_t(mark)) || pattern.find(mark) != std::string::npos) {
            continue;
        }
        const std::string quoted = mark + pattern + mark;
        const std::string copied =
            EndsInLeadByte(pattern, locale.LeadBytes) ? pattern + mark : pattern;
        FUZZ_CHECK(
            qelmor::RenderDatePattern(quoted, date, locale) == copied.substr(0, kRenderLimit),
            "a quoted text is copied without its marks");
        FUZZ_CHECK(qelmor::RenderDatePattern(quoted.substr(0, quoted.size() - 1), date, locale) ==
                       pattern.substr(0, kRenderLimit),
                   "an unclosed quotation runs to the end");
    }

    const std::string shortText = qelmor::ShortDateText(date, locale);
    FUZZ_CHECK(shortText.size() <= kRenderLimit, "the short date is cut at 256 bytes");

    // The token's date on every host without date settings: m/d/yy.
    char expected[16];
    std::snprintf(expected, sizeof expected, "%d/%d/%02d", date.month, date.day, date.year % 100);
    FUZZ_CHECK(qelmor::ShortDateText(date, qelmor::LocaleSettings{}) == expected,
               "the default short date is m/d/yy");
    return 0;
}

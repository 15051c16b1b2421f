// The path operations with arbitrary paths, delimiters and lead-byte sets,
// and the text operations beneath them against plain restatements of their
// rules.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "tests/fuzz/FuzzCheck.h"
#include "text/TextRules.h"

namespace {

using qelmor::fuzz::UpperAscii;
using qelmor::fuzz::WithinText;

int NaiveTextPos(std::string_view haystack, std::string_view needle) {
    if (needle.empty() || haystack.empty() || needle.size() > haystack.size()) return 0;
    for (size_t p = 0; p + needle.size() <= haystack.size(); ++p) {
        if (haystack.substr(p, needle.size()) == needle) return int(p + 1);
    }
    return 0;
}

std::string_view NaiveSubText(std::string_view text, int64_t index, int64_t count) {
    if (text.empty()) return {};
    if (index < 1) index = 1;
    if (index > int64_t(text.size()) || count < 0) return {};
    const int64_t available = int64_t(text.size()) - index + 1;
    return text.substr(size_t(index - 1), size_t(std::min(count, available)));
}

std::string_view NaiveTrim(std::string_view text) {
    while (!text.empty() && uint8_t(text.front()) <= 0x20)
        text.remove_prefix(1);
    while (!text.empty() && uint8_t(text.back()) <= 0x20)
        text.remove_suffix(1);
    return text;
}

void CheckPath(std::string_view path, const qelmor::LeadByteSet& leads,
               std::string_view delimiters) {
    const int64_t k = qelmor::LastSeparatorIndex(delimiters, path, leads);
    FUZZ_CHECK(k >= 0 && k <= int64_t(path.size()), "the separator index lies in the path");
    if (k > 0) {
        const char byte = path[size_t(k - 1)];
        FUZZ_CHECK(byte != '\0' && delimiters.find(byte) != std::string_view::npos,
                   "the separator is a delimiter byte");
        FUZZ_CHECK(!qelmor::IsTrailByte(path, k, leads),
                   "the separator is not the second byte of a character");
    }

    const std::string_view directory = qelmor::PathDirectory(path, leads, delimiters);
    const std::string_view file = qelmor::PathFileName(path, leads, delimiters);
    FUZZ_CHECK(WithinText(directory, path) && WithinText(file, path), "parts of the path");
    FUZZ_CHECK(std::string(directory) + std::string(file) == path,
               "directory and file name make up the path");
    FUZZ_CHECK(int64_t(directory.size()) == k, "the directory ends at the separator");

    const std::string_view extension = qelmor::PathExtension(path, leads, delimiters);
    if (!extension.empty()) {
        FUZZ_CHECK(extension.front() == '.', "an extension starts at its dot");
        FUZZ_CHECK(extension.data() + extension.size() == path.data() + path.size(),
                   "an extension ends the path");
        // With lead bytes, or with "." itself a delimiter, the two scans can
        // stop at different bytes.
        if (leads.Empty() && delimiters.find('.') == std::string_view::npos) {
            FUZZ_CHECK(extension.size() <= file.size(), "an extension lies in the file name");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    qelmor::LeadByteSet leads;
    switch (input.ConsumeIntegralInRange<int>(0, 2)) {
        case 0:
            break;
        case 1:  // code page 936
            leads.AddRange(0x81, 0xFE);
            break;
        default:
            leads.AddRange(input.ConsumeIntegral<uint8_t>(), input.ConsumeIntegral<uint8_t>());
    }
    std::string delimiters;
    switch (input.ConsumeIntegralInRange<int>(0, 2)) {
        case 0:
            delimiters = "\\:";
            break;
        case 1:
            delimiters = "/";
            break;
        default:
            delimiters = input.ConsumeRandomLengthString(4);
    }
    const int64_t index = input.ConsumeIntegralInRange<int64_t>(-4, 300);
    const int64_t count = input.ConsumeIntegralInRange<int64_t>(-4, 300);
    const std::string needle = input.ConsumeRandomLengthString(16);
    const std::string path = input.ConsumeRemainingBytesAsString();

    CheckPath(path, leads, delimiters);
    CheckPath(path, leads, qelmor::kPlatformPathDelimiters);

    FUZZ_CHECK(qelmor::TextPos(path, needle) == NaiveTextPos(path, needle), "TextPos");
    FUZZ_CHECK(qelmor::ContainsUpper(path, needle) ==
                   (NaiveTextPos(UpperAscii(path), UpperAscii(needle)) > 0),
               "ContainsUpper is ContainsText of the upper-cased texts");
    FUZZ_CHECK(qelmor::EqualsUpper(path, needle) == (UpperAscii(path) == UpperAscii(needle)),
               "EqualsUpper is equality of the upper-cased texts");
    FUZZ_CHECK(qelmor::AsciiUpper(path) == UpperAscii(path), "AsciiUpper changes a to z only");
    const std::string_view sub = qelmor::SubText(path, index, count);
    FUZZ_CHECK(sub == NaiveSubText(path, index, count) && WithinText(sub, path), "SubText");
    FUZZ_CHECK(qelmor::TrimText(path) == NaiveTrim(path), "TrimText");
    return 0;
}

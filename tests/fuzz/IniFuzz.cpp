// The INI reader: FindIniValue on arbitrary text, the same text read from a
// file through ReadIniString, and the whole configuration loaded from it.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "filter/FilterConfig.h"
#include "platform/IniText.h"
#include "platform/Platform.h"
#include "tests/fuzz/FuzzCheck.h"
#include "text/TextRules.h"

namespace {

using qelmor::fuzz::UpperAscii;
using qelmor::fuzz::WithinText;

// Names the reader knows most of the time, so the fuzzer reaches values.
constexpr const char* kSections[] = {"KAVRO", "kavro", "Other", ""};
constexpr const char* kKeys[] = {"DomainName", "pubkey", "PauseTime", "Title", "UrlLength",
                                 "OpenSecurity", "x", ""};

std::string ChooseName(FuzzedDataProvider& input, const char* const* names, size_t count) {
    const size_t pick = input.ConsumeIntegralInRange<size_t>(0, count);
    if (pick < count) return names[pick];
    return input.ConsumeRandomLengthString(24);
}

const std::string& ScratchFile() {
    static const std::string path = [] {
        const auto folder = std::filesystem::temp_directory_path() /
                            ("qelmor-fuzz-ini-" + std::to_string(getpid()));
        std::filesystem::create_directories(folder);
        return (folder / "KAVRO.ini").string();
    }();
    return path;
}

std::string Cut(std::string_view text, size_t most) {
    return std::string(text.substr(0, most));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string section = ChooseName(input, kSections, std::size(kSections));
    const std::string key = ChooseName(input, kKeys, std::size(kKeys));
    const size_t bufferSize = input.ConsumeIntegralInRange<size_t>(0, 3000);
    const std::string content = input.ConsumeRemainingBytesAsString();

    const std::optional<std::string_view> value =
        qelmor::platform::FindIniValue(content, section, key);
    if (value) {
        FUZZ_CHECK(WithinText(*value, content), "the value is a part of the text");
        FUZZ_CHECK(value->find('\n') == std::string_view::npos, "a value ends at its line");
    }
    const std::optional<std::string_view> upper =
        qelmor::platform::FindIniValue(content, UpperAscii(section), UpperAscii(key));
    FUZZ_CHECK(upper.has_value() == value.has_value() && (!value || upper->data() == value->data()),
               "section and key names match without regard to ASCII case");

    {
        std::ofstream file(ScratchFile(), std::ios::binary | std::ios::trunc);
        file.write(content.data(), std::streamsize(content.size()));
    }
    const std::string read =
        qelmor::platform::ReadIniString(ScratchFile(), section, key, "fallback", bufferSize);
    const std::string expected =
        bufferSize == 0 ? "" : Cut(value ? *value : "fallback", bufferSize - 1);
    FUZZ_CHECK(read == expected, "the file reads as the text does, cut to the buffer");

    // The loader: every text within its capacity, numbers as ParseInteger
    // reads the value, texts as the reader gives them.
    qelmor::FilterConfig config;
    qelmor::LoadFilterConfig(config, ScratchFile());
    FUZZ_CHECK(config.DomainName.size() <= qelmor::kShortTextCapacity, "DomainName capacity");
    FUZZ_CHECK(config.PubKey.size() <= qelmor::kShortTextCapacity, "PubKey capacity");
    for (const std::string* text : {&config.FriendDomain, &config.PubFile, &config.CommonExt,
                                    &config.AdvancedExt, &config.MediaExt, &config.SuperExt,
                                    &config.BadChar, &config.Title, &config.Alert,
                                    &config.RedirectUrl}) {
        FUZZ_CHECK(text->size() <= qelmor::kTextCapacity, "text key capacity");
    }
    const auto fileValue = [&](const char* name) -> std::optional<std::string> {
        const auto found = qelmor::platform::FindIniValue(content, "KAVRO", name);
        if (!found) return std::nullopt;
        return Cut(*found, qelmor::kIniReadBuffer - 1);
    };
    const auto numberText = [](std::string text) {
        if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
            text.replace(0, 2, "$");
        }
        return text;
    };
    FUZZ_CHECK(config.PauseTime == qelmor::ParseInteger(numberText(fileValue("PauseTime").value_or(
                                                            "")),
                                                        3),
               "PauseTime is the file's number or the default");
    FUZZ_CHECK(config.OpenSecurity == (qelmor::ParseInteger(numberText(fileValue("OpenSecurity")
                                                                           .value_or("")),
                                                            0) != 0),
               "a flag is set by any non-zero number");
    FUZZ_CHECK(config.Title == Cut(fileValue("Title").value_or(""), qelmor::kTextCapacity),
               "Title is the file's text within its capacity");
    return 0;
}

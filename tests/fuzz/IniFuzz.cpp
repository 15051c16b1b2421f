// The INI reader: FindIniValue on arbitrary text, the same text read from a
// file through ReadIniString, and the whole configuration loaded from it.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "filter/FilterConfig.h"
#include "text/IniText.h"
#include "platform/Platform.h"
#include "tests/fuzz/FuzzCheck.h"
#include "text/TextRules.h"

namespace {

using qelmor::fuzz::UpperAscii;
using qelmor::fuzz::WithinText;

// Names the reader knows most of the time, so the fuzzer reaches values.
constexpr const char* kSections[] = {"KAVRO", "kavro", "Other", ""};
constexpr const char* kKeys[] = {"DomainName", "pubkey",       "PauseTime", "Title",
                                 "UrlLength",  "OpenSecurity", "x",         ""};

std::string ChooseName(FuzzedDataProvider& input, const char* const* names, size_t count) {
    const size_t pick = input.ConsumeIntegralInRange<size_t>(0, count);
    if (pick < count) return names[pick];
    return input.ConsumeRandomLengthString(24);
}

std::filesystem::path& ScratchFolder() {
    static std::filesystem::path folder;
    return folder;
}

void RemoveScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(ScratchFolder(), ignored);
}

// The reader takes a file; one per process, removed when the fuzzer exits.
const std::string& ScratchFile() {
    static const std::string path = [] {
        // Memory-backed where there is such a folder: every input is written
        // once and read for each key.
        std::error_code error;
        std::filesystem::path base = "/dev/shm";
        if (!std::filesystem::is_directory(base, error)) {
            base = std::filesystem::temp_directory_path();
        }
        ScratchFolder() = base / ("qelmor-fuzz-ini-" + std::to_string(getpid()));
        std::filesystem::create_directories(ScratchFolder());
        std::atexit(RemoveScratchFolder);
        return (ScratchFolder() / "KAVRO.ini").string();
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
        qelmor::FindIniValue(content, section, key);
    if (value) {
        FUZZ_CHECK(WithinText(*value, content), "the value is a part of the text");
        FUZZ_CHECK(value->find('\n') == std::string_view::npos, "a value ends at its line");
    }
    const std::optional<std::string_view> upper =
        qelmor::FindIniValue(content, UpperAscii(section), UpperAscii(key));
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
    for (const std::string* text :
         {&config.FriendDomain, &config.PubFile, &config.CommonExt, &config.AdvancedExt,
          &config.MediaExt, &config.SuperExt, &config.BadChar, &config.Title, &config.Alert,
          &config.RedirectUrl}) {
        FUZZ_CHECK(text->size() <= qelmor::kTextCapacity, "text key capacity");
    }
    // Every key against its file value: a text cut to its capacity, a
    // number or flag as ParseInteger reads it with the key's default.
    const qelmor::FilterConfig defaults;
    for (const qelmor::ConfigKeyInfo& info : qelmor::ConfigKeys()) {
        const std::string defaultText = qelmor::ConfigValueText(defaults, info);
        std::optional<std::string> fileText;
        if (const auto found = qelmor::FindIniValue(content, "KAVRO", info.name)) {
            fileText = Cut(*found, qelmor::kIniReadBuffer - 1);
        }
        const std::string loaded = qelmor::ConfigValueText(config, info);
        switch (info.kind) {
            case qelmor::ConfigKeyKind::Text:
                FUZZ_CHECK(loaded == Cut(fileText.value_or(defaultText), info.capacity),
                           "a text key is the file's text within its capacity, or the default");
                break;
            case qelmor::ConfigKeyKind::Integer:
                FUZZ_CHECK(loaded == qelmor::DecimalText(qelmor::ParseInteger(
                                         qelmor::ConfigNumberText(fileText.value_or("")),
                                         qelmor::ParseInteger(defaultText, 0))),
                           "a number key is the file's number, or the default");
                break;
            case qelmor::ConfigKeyKind::Flag: {
                const int32_t number = qelmor::ParseInteger(
                    qelmor::ConfigNumberText(fileText.value_or("")), defaultText == "1" ? 1 : 0);
                FUZZ_CHECK(loaded == (number != 0 ? "1" : "0"),
                           "a flag is set by any non-zero number, or has its default");
                break;
            }
        }
    }
    return 0;
}

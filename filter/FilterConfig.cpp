#include "filter/FilterConfig.h"

#include <array>
#include <iterator>
#include <variant>

#include "platform/Platform.h"
#include "text/DateRules.h"
#include "text/TextRules.h"

namespace qelmor {
namespace {

struct TextKey {
    std::string FilterConfig::*field;
    size_t capacity;
};
using IntegerKey = int32_t FilterConfig::*;
using FlagKey = bool FilterConfig::*;

struct ConfigKey {
    const char* name;
    std::variant<TextKey, IntegerKey, FlagKey> target;
};

const ConfigKey kConfigKeys[] = {
    {"DomainName", TextKey{&FilterConfig::DomainName, kShortTextCapacity}},
    {"FriendDomain", TextKey{&FilterConfig::FriendDomain, kTextCapacity}},
    {"PubFile", TextKey{&FilterConfig::PubFile, kTextCapacity}},
    {"OpenSecurity", &FilterConfig::OpenSecurity},
    {"PubKey", TextKey{&FilterConfig::PubKey, kShortTextCapacity}},
    {"PassMode", &FilterConfig::PassMode},
    {"EncryptMode", &FilterConfig::EncryptMode},
    {"CommonExt", TextKey{&FilterConfig::CommonExt, kTextCapacity}},
    {"CommonAction", &FilterConfig::CommonAction},
    {"AdvancedExt", TextKey{&FilterConfig::AdvancedExt, kTextCapacity}},
    {"AdvancedAction", &FilterConfig::AdvancedAction},
    {"MediaExt", TextKey{&FilterConfig::MediaExt, kTextCapacity}},
    {"PlayOnline", &FilterConfig::PlayOnline},
    {"Mediaaction", &FilterConfig::Mediaaction},
    {"SuperExt", TextKey{&FilterConfig::SuperExt, kTextCapacity}},
    {"SuperAction", &FilterConfig::SuperAction},
    {"UrlLength", &FilterConfig::UrlLength},
    {"BadChar", TextKey{&FilterConfig::BadChar, kTextCapacity}},
    {"Title", TextKey{&FilterConfig::Title, kTextCapacity}},
    {"Alert", TextKey{&FilterConfig::Alert, kTextCapacity}},
    {"PauseTime", &FilterConfig::PauseTime},
    {"RedirectUrl", TextKey{&FilterConfig::RedirectUrl, kTextCapacity}},
    {"TokenGrace", &FilterConfig::TokenGrace},
    {"ReasonHeader", &FilterConfig::ReasonHeader},
};

constexpr size_t kKeyCount = std::size(kConfigKeys);

ConfigKeyInfo DescribeKey(const ConfigKey& key) {
    if (const auto* text = std::get_if<TextKey>(&key.target)) {
        return {key.name, ConfigKeyKind::Text, text->capacity};
    }
    const bool integer = std::holds_alternative<IntegerKey>(key.target);
    return {key.name, integer ? ConfigKeyKind::Integer : ConfigKeyKind::Flag, 0};
}

}  // namespace

std::span<const ConfigKeyInfo> ConfigKeys() {
    static const auto infos = [] {
        std::array<ConfigKeyInfo, kKeyCount> all{};
        for (size_t i = 0; i < kKeyCount; ++i)
            all[i] = DescribeKey(kConfigKeys[i]);
        return all;
    }();
    return infos;
}

std::string ConfigValueText(const FilterConfig& config, const ConfigKeyInfo& key) {
    const ConfigKey& entry = kConfigKeys[size_t(&key - ConfigKeys().data())];
    if (const auto* text = std::get_if<TextKey>(&entry.target)) return config.*(text->field);
    if (const auto* integer = std::get_if<IntegerKey>(&entry.target)) {
        return DecimalText(config.**integer);
    }
    return config.**std::get_if<FlagKey>(&entry.target) ? "1" : "0";
}

// "0x1F" is hexadecimal in the file; ParseInteger reads it the same way as
// "$1F", which is the form it is rewritten to.
std::string ConfigNumberText(std::string_view fileText) {
    std::string text(fileText);
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.replace(0, 2, "$");
    }
    return text;
}

std::string ConfigFileName(const LeadByteSet& leadBytes) {
    const std::string module = platform::ModuleFileName(kFilterModuleName);
    std::string name(PathDirectory(module, leadBytes));
    name += kConfigFileLeaf;
    return name;
}

void LoadFilterConfig(FilterConfig& config, const platform::IniFile& file) {
    const FilterConfig defaults;
    // A text key falls back to its default; a number is read as text with an
    // empty fallback, and ParseInteger gives the default for it.
    std::array<IniEntry, kKeyCount> entries;
    for (size_t i = 0; i < kKeyCount; ++i) {
        const ConfigKey& key = kConfigKeys[i];
        const auto* text = std::get_if<TextKey>(&key.target);
        entries[i] = {key.name, text ? std::string_view(defaults.*(text->field)) : ""};
    }
    std::vector<std::string> values = file.Read(kConfigSection, entries, kIniReadBuffer);

    for (size_t i = 0; i < kKeyCount; ++i) {
        const ConfigKey& key = kConfigKeys[i];
        std::string& value = values[i];
        if (const auto* text = std::get_if<TextKey>(&key.target)) {
            if (value.size() > text->capacity) value.resize(text->capacity);
            config.*(text->field) = std::move(value);
        } else if (const auto* integer = std::get_if<IntegerKey>(&key.target)) {
            config.**integer = ParseInteger(ConfigNumberText(value), defaults.**integer);
        } else if (const auto* flag = std::get_if<FlagKey>(&key.target)) {
            config.**flag = ParseInteger(ConfigNumberText(value), defaults.**flag ? 1 : 0) != 0;
        }
    }
    // Each minute of grace costs two digests (the minute before and the
    // one after) on every token that fails the current minute.
    if (config.TokenGrace < 0) config.TokenGrace = 0;
    if (config.TokenGrace > kMaxTokenGrace) config.TokenGrace = kMaxTokenGrace;
    FoldLists(config);
}

void FoldLists(FilterConfig& config) {
    config.Folded = {AsciiUpper(config.FriendDomain), AsciiUpper(config.PubFile),
                     AsciiUpper(config.CommonExt),    AsciiUpper(config.AdvancedExt),
                     AsciiUpper(config.MediaExt),     AsciiUpper(config.SuperExt)};
}

void LoadFilterConfig(FilterConfig& config, const std::string& path) {
    LoadFilterConfig(config, platform::IniFile(path));
}

}  // namespace qelmor

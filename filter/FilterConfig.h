// The configuration record and its loading from KAVRO.ini.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qelmor {

struct LeadByteSet;

namespace platform {
class IniFile;
}

// Every key of the [KAVRO] section, in file order. The member initialisers
// are the defaults: the one place they are written.
struct FilterConfig {
    std::string DomainName;
    std::string FriendDomain;
    std::string PubFile;
    bool OpenSecurity = false;
    std::string PubKey = "ruftal";
    bool PassMode = true;
    int32_t EncryptMode = 0;
    std::string CommonExt;
    bool CommonAction = true;
    std::string AdvancedExt;
    bool AdvancedAction = true;
    std::string MediaExt;
    bool PlayOnline = true;
    bool Mediaaction = true;
    std::string SuperExt;
    bool SuperAction = true;
    int32_t UrlLength = 0;
    std::string BadChar;
    std::string Title;
    std::string Alert;
    int32_t PauseTime = 3;
    std::string RedirectUrl = "http://localhost/";
    // Minutes on either side of the current one whose timed tokens are
    // still taken, so that a link outlives the minute its page was made in
    // and a page server whose clock is a little off is borne with.
    int32_t TokenGrace = 0;
    // Whether a refusal carries the reason in a response header.
    bool ReasonHeader = false;

    // The lists that requests search without regard to ASCII case, folded
    // to upper case once when the settings are built, so that a request
    // folds only its own side. Filled by LoadFilterConfig and FoldLists.
    struct FoldedLists {
        std::string FriendDomain, PubFile, CommonExt, AdvancedExt, MediaExt, SuperExt;
    } Folded;
};

// Fills `config.Folded` from the lists as they stand.
void FoldLists(FilterConfig& config);

inline constexpr const char* kConfigSection = "KAVRO";
inline constexpr const char* kConfigFileLeaf = "KAVRO.ini";
inline constexpr size_t kShortTextCapacity = 50;  // DomainName, PubKey
inline constexpr size_t kTextCapacity = 255;
inline constexpr size_t kIniReadBuffer = 2048;
inline constexpr int32_t kMaxTokenGrace = 60;

#ifdef _WIN32
inline constexpr const char* kFilterModuleName = "qelmor.dll";
#else
inline constexpr const char* kFilterModuleName = "qelmor.so";
#endif

// The keys as the loader reads them, for tools that show or check a file.
enum class ConfigKeyKind : uint8_t { Text, Integer, Flag };

struct ConfigKeyInfo {
    const char* name;
    ConfigKeyKind kind;
    size_t capacity;  // bytes a text keeps; 0 for numbers and flags
};

// Every key, in file order.
std::span<const ConfigKeyInfo> ConfigKeys();

// What `config` holds for `key`, an entry of ConfigKeys(): a text as stored,
// a number in decimal, a flag as "1" or "0".
std::string ConfigValueText(const FilterConfig& config, const ConfigKeyInfo& key);

// The text ParseInteger reads for an integer or flag key's file value:
// "0x1F" is hexadecimal in the file and becomes "$1F".
std::string ConfigNumberText(std::string_view fileText);

// The directory of the loaded filter library (or, when it was renamed, of
// the host executable) followed by "KAVRO.ini"; `leadBytes` are the host
// code page's, which the path is split by.
std::string ConfigFileName(const LeadByteSet& leadBytes);

// Fills `config` from the INI file, every key in file order; a key that is
// absent, or any key of a file that is missing or cannot be read, takes its
// default.
void LoadFilterConfig(FilterConfig& config, const platform::IniFile& file);
// The same for the file at `path`. Throws std::bad_alloc (or
// std::length_error) when memory cannot hold the file; `config` is then
// unchanged.
void LoadFilterConfig(FilterConfig& config, const std::string& path);

}  // namespace qelmor

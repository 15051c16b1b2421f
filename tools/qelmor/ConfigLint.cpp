#include "tools/qelmor/ConfigLint.h"

#include <algorithm>
#include <cctype>

#include "text/IniText.h"
#include "text/TextRules.h"
#include "tools/qelmor/Commands.h"
#include "tools/qelmor/PolicyRun.h"
#include "tools/qelmor/Printing.h"

namespace qelmor::tool {
namespace {

// Extensions that sites serve, for spotting one that a longer list entry
// takes in by containment (".rm" in ".rmvb").
constexpr std::string_view kKnownExtensions[] = {
    ".rm",  ".ra",  ".ram", ".rmvb", ".wma", ".wmv",  ".asf", ".asx", ".avi",  ".mpg", ".mpeg",
    ".mp3", ".mp4", ".m4a", ".m4v",  ".mov", ".flv",  ".f4v", ".swf", ".webm", ".mkv", ".ogg",
    ".ogv", ".wav", ".aac", ".ts",   ".m3u", ".m3u8", ".3gp", ".htm", ".html", ".jpg", ".jpeg",
    ".png", ".gif", ".bmp", ".svg",  ".css", ".js",   ".zip", ".rar", ".7z",   ".gz",  ".tar",
    ".exe", ".msi", ".iso", ".pdf",  ".doc", ".mdb",  ".bak", ".txt",
};

struct ExtensionList {
    const char* key;
    const std::string* text;
};

bool IsListSeparator(char c) {
    return uint8_t(c) <= 0x20 || c == ',' || c == ';' || c == '|' || c == '/' || c == '\\';
}

std::vector<std::string_view> Words(std::string_view text) {
    std::vector<std::string_view> words;
    size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && IsListSeparator(text[at]))
            ++at;
        size_t end = at;
        while (end < text.size() && !IsListSeparator(text[end]))
            ++end;
        if (end > at) words.push_back(text.substr(at, end - at));
        at = end;
    }
    return words;
}

bool IsAlphanumeric(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](char c) { return std::isalnum(uint8_t(c)) != 0; });
}

// What an operator wrote as entries: ".wmv.rmvb" is ".wmv" and ".rmvb".
struct ListEntries {
    std::vector<std::string_view> extensions;
    std::vector<std::string_view> dotless;  // "jpg" in "jpg,gif"
};

ListEntries EntriesOf(std::string_view list) {
    ListEntries entries;
    for (std::string_view word : Words(list)) {
        const size_t dot = word.find('.');
        if (IsAlphanumeric(word.substr(0, dot))) entries.dotless.push_back(word.substr(0, dot));
        size_t at = dot;
        while (at != std::string_view::npos) {
            const size_t next = word.find('.', at + 1);
            const std::string_view entry = word.substr(at, next - at);
            if (entry.size() > 1) entries.extensions.push_back(entry);
            at = next;
        }
    }
    return entries;
}

// Optimal string alignment distance, ASCII case ignored.
size_t NameDistance(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return char(std::tolower(uint8_t(c))); };
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t cost = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) &&
                lower(a[i - 2]) == lower(b[j - 1])) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

const ConfigKeyInfo* KnownKey(std::string_view name) {
    for (const ConfigKeyInfo& key : ConfigKeys()) {
        if (IniNamesMatch(name, key.name)) return &key;
    }
    return nullptr;
}

const ConfigKeyInfo* ClosestKey(std::string_view name) {
    const ConfigKeyInfo* best = nullptr;
    size_t bestDistance = 0;
    for (const ConfigKeyInfo& key : ConfigKeys()) {
        const size_t distance = NameDistance(name, key.name);
        if (best == nullptr || distance < bestDistance) {
            best = &key;
            bestDistance = distance;
        }
    }
    const size_t limit = std::max<size_t>(2, std::string_view(best->name).size() / 3);
    return bestDistance <= limit ? best : nullptr;
}

// A probe runs one made-up request through the filter's policy, so that
// each warning states what the filter does rather than what the tool
// thinks it does.
class Prober {
  public:
    Prober(const FilterConfig& config, const TokenClock& clock) : config_(config), clock_(clock) {}

    // The list whose class the policy gives a file with `extension`; null
    // for none.
    const char* ClassOf(std::string_view extension) const {
        switch (ClassOfExtension(extension, config_)) {
            case FileClass::Super:
                return "SuperExt";
            case FileClass::Common:
                return "CommonExt";
            case FileClass::Advanced:
                return "AdvancedExt";
            case FileClass::Media:
                return "MediaExt";
            case FileClass::None:
                break;
        }
        return nullptr;
    }

    bool IsFriendly(std::string_view refererHost) const {
        FilterConfig config = config_;
        config.DomainName.clear();
        PolicyRequest request;
        request.variables.emplace_back("HTTP_REFERER", "http://" + std::string(refererHost) + "/");
        request.physicalPath = "/probe/file";
        return Step(request, config) == PolicyStep::FriendlyReferer;
    }

    bool RefusesEmptyQueryForLength() const {
        FilterConfig config = config_;
        config.DomainName.clear();
        config.FriendDomain.clear();
        config.OpenSecurity = true;
        PolicyRequest request;
        request.physicalPath = "/probe/file";
        return Step(request, config) == PolicyStep::QueryTooLong;
    }

    bool Examines(std::string_view host) const { return IsExaminedHost(host, config_); }

  private:
    PolicyStep Step(const PolicyRequest& request, const FilterConfig& config) const {
        return RunPolicy(request, config, CurrentLocale(), clock_).verdict.step;
    }

    const FilterConfig& config_;
    TokenClock clock_;
};

class Linter {
  public:
    Linter(std::string_view content, const Setting& setting,
           std::optional<std::string_view> serverName)
        : content_(content),
          setting_(setting),
          serverName_(serverName),
          config_(setting.config),
          probe_(config_, {setting.clock.date, setting.clock.time, setting.clock.time}) {}

    std::vector<std::string> Run() {
        if (!CheckFile()) return std::move(warnings_);
        CheckKeyNames();
        for (const ConfigKeyInfo& key : ConfigKeys())
            CheckValue(key);
        CheckExtensionLists();
        CheckFriendDomain();
        CheckDomainName();
        CheckHostBinding();
        CheckUrlLength();
        CheckEncryptMode();
        CheckTokenGrace();
        return std::move(warnings_);
    }

  private:
    void Warn(std::string text) { warnings_.push_back(std::move(text)); }

    // False when there is nothing in the file to look at.
    bool CheckFile() {
        const std::string& path = setting_.iniPath;
        if (setting_.iniState == IniState::Missing) {
            Warn(path + " not found: every key takes its default");
            return false;
        }
        if (setting_.iniState == IniState::Unreadable) {
            Warn(path + " cannot be read: every key takes its default");
            return false;
        }
        sectionKeys_ = IniSectionKeys(content_, kConfigSection);
        if (!sectionKeys_) {
            Warn("no [" + std::string(kConfigSection) + "] section in " + path +
                 ": every key takes its default");
            return false;
        }
        return true;
    }

    void CheckKeyNames() {
        std::vector<const ConfigKeyInfo*> seen;
        for (std::string_view name : *sectionKeys_) {
            const ConfigKeyInfo* key = KnownKey(name);
            if (key == nullptr) {
                std::string text = "unknown key " + Quoted(name);
                if (const ConfigKeyInfo* closest = ClosestKey(name)) {
                    text += std::string(" (did you mean ") + closest->name + "?)";
                }
                Warn(text + "; the filter ignores it");
            } else if (std::count(seen.begin(), seen.end(), key) == 1) {
                Warn(std::string(key->name) +
                     " is given more than once; the filter reads the first");
            }
            seen.push_back(key);
        }
    }

    void CheckValue(const ConfigKeyInfo& key) {
        const KeyReading reading = ReadKey(content_, key);
        if (!reading.raw) return;
        const std::string_view raw = *reading.raw;
        if (key.kind == ConfigKeyKind::Text) {
            if (raw.size() > key.capacity) {
                Warn(std::string(key.name) + " is " + DecimalText(int32_t(raw.size())) +
                     " bytes long; the filter keeps the first " +
                     DecimalText(int32_t(key.capacity)) + ": " +
                     Quoted(ConfigValueText(config_, key)));
            }
            return;
        }
        if (!reading.fromFile && !raw.empty()) {
            const FilterConfig defaults;
            Warn(std::string(key.name) + ": " + Quoted(raw) + " is not a number, so the default " +
                 ConfigValueText(defaults, key) + " applies" +
                 (key.kind == ConfigKeyKind::Flag ? " (write 1 for on, 0 for off)" : ""));
        }
    }

    std::vector<ExtensionList> Lists() const {
        return {{"SuperExt", &config_.SuperExt},
                {"CommonExt", &config_.CommonExt},
                {"AdvancedExt", &config_.AdvancedExt},
                {"MediaExt", &config_.MediaExt}};
    }

    void CheckExtensionLists() {
        const std::vector<ExtensionList> lists = Lists();
        std::vector<std::string> listed;  // upper-cased, each once
        for (const ExtensionList& list : lists) {
            const ListEntries entries = EntriesOf(*list.text);
            for (std::string_view word : entries.dotless) {
                std::string extension(1, '.');
                extension += word;
                const char* taken = probe_.ClassOf(extension);
                if (taken == nullptr || std::string_view(taken) != list.key) {
                    Warn(std::string(list.key) + ": " + Quoted(word) +
                         " has no dot; extensions are matched with theirs, so " +
                         Quoted(extension) + " files are not taken by " + list.key);
                }
            }
            for (std::string_view extension : entries.extensions) {
                const std::string upper = AsciiUpper(extension);
                if (std::find(listed.begin(), listed.end(), upper) != listed.end()) continue;
                listed.push_back(upper);
                CheckInSeveralLists(extension, lists);
            }
        }
        for (std::string_view known : kKnownExtensions) {
            if (std::find(listed.begin(), listed.end(), AsciiUpper(known)) == listed.end()) {
                CheckTakenByLongerEntry(known, lists);
            }
        }
    }

    void CheckInSeveralLists(std::string_view extension, const std::vector<ExtensionList>& lists) {
        std::vector<const char*> matching;
        for (const ExtensionList& list : lists) {
            if (ContainsUpper(*list.text, extension)) matching.push_back(list.key);
        }
        if (matching.size() < 2) return;
        std::string names;
        for (size_t i = 0; i < matching.size(); ++i) {
            if (i > 0) names += i + 1 == matching.size() ? " and " : ", ";
            names += matching[i];
        }
        const char* taken = probe_.ClassOf(extension);
        Warn(Quoted(extension) + " is in " + names + "; the filter applies " +
             (taken ? taken : "none of them") + ", the class it tests first");
    }

    void CheckTakenByLongerEntry(std::string_view extension,
                                 const std::vector<ExtensionList>& lists) {
        const char* taken = probe_.ClassOf(extension);
        if (taken == nullptr) return;
        for (const ExtensionList& list : lists) {
            if (std::string_view(list.key) != taken) continue;
            for (std::string_view entry : EntriesOf(*list.text).extensions) {
                if (ContainsUpper(entry, extension)) {
                    Warn(std::string(list.key) + ": " + Quoted(extension) + " is contained in " +
                         Quoted(entry) + ", so " + Quoted(extension) + " files are taken by " +
                         list.key + " too");
                    return;
                }
            }
            Warn(std::string(list.key) + " contains " + Quoted(extension) + ", so " +
                 Quoted(extension) + " files are taken by " + list.key + " too");
            return;
        }
    }

    // A referer is friendly when the list's text contains its host, so the
    // text also befriends the short hosts inside each entry: "e.com" in
    // "www.example.com" belongs to whoever registers it.
    void CheckFriendDomain() {
        std::vector<std::string> examples;
        for (std::string_view word : Words(config_.FriendDomain)) {
            const size_t scheme = word.find("://");
            if (scheme != std::string_view::npos) word.remove_prefix(scheme + 3);
            word = word.substr(0, word.find('/'));
            const size_t last = word.rfind('.');
            if (last == std::string_view::npos || last == 0 || last + 1 == word.size()) continue;
            const std::string_view top = word.substr(last + 1);
            if (std::all_of(top.begin(), top.end(), [](char c) { return c >= '0' && c <= '9'; })) {
                continue;  // an address, not a name
            }
            const size_t before = word.rfind('.', last - 1);
            const size_t labelStart = before == std::string_view::npos ? 0 : before + 1;
            if (last - labelStart < 2) continue;
            std::string shortHost{word[last - 1], '.'};
            shortHost += top;
            if (probe_.IsFriendly(shortHost)) {
                examples.push_back(Quoted(shortHost) + " (in " + Quoted(word) + ")");
            }
        }
        if (examples.empty()) return;
        std::string text =
            "FriendDomain makes friendly every host its text contains, also short ones such as ";
        for (size_t i = 0; i < examples.size() && i < 3; ++i) {
            if (i > 0) text += ", ";
            text += examples[i];
        }
        Warn(text + ": any site with such a name counts as a friend");
    }

    void CheckDomainName() {
        const std::string& name = config_.DomainName;
        const std::string_view trimmed = TrimText(name);
        if (trimmed.empty()) return;
        if (std::none_of(name.begin(), name.end(), [](char c) { return uint8_t(c) <= 0x20; })) {
            return;
        }
        std::string text = "DomainName " + Quoted(name) + " has blanks";
        if (!probe_.Examines(trimmed)) {
            text += ": no Host header equals it, so a request for " + Quoted(trimmed) +
                    " is not examined";
        }
        Warn(text);
    }

    // The filter passes every other host unexamined; only a server that
    // answers no other name keeps them from the files.
    void CheckHostBinding() {
        const std::string_view domain = TrimText(config_.DomainName);
        if (domain.empty()) return;
        if (!serverName_) {
            Warn("DomainName is " + Quoted(config_.DomainName) +
                 ": requests for any other host name are served unexamined unless the server "
                 "answers this name only (qelmor-serve --server-name " +
                 std::string(domain) +
                 "; nginx: server_name with a default_server that returns 444); say so with "
                 "--server-name");
        } else if (!probe_.Examines(*serverName_)) {
            Warn("the server answers " + Quoted(*serverName_) + " but DomainName is " +
                 Quoted(config_.DomainName) + ": requests for " + Quoted(*serverName_) +
                 " are served unexamined");
        }
    }

    void CheckUrlLength() {
        if (config_.UrlLength >= 0) return;
        std::string text = "UrlLength is " + DecimalText(config_.UrlLength);
        if (probe_.RefusesEmptyQueryForLength()) {
            text +=
                ": with OpenSecurity on, every request gets the length message, even one "
                "without a query string";
            if (!config_.OpenSecurity) text += " (OpenSecurity is 0 now)";
        } else {
            text += ", a negative length";
        }
        Warn(text);
    }

    void CheckEncryptMode() {
        if (TokenInputAt("", setting_).valid) return;
        Warn("EncryptMode " + DecimalText(config_.EncryptMode) +
             " is outside 0 to 3: no token can be valid, so every advanced and media file is "
             "refused");
    }

    void CheckTokenGrace() {
        const int32_t grace = config_.TokenGrace;
        if (const std::optional<std::string_view> raw =
                FindIniValue(content_, kConfigSection, "TokenGrace")) {
            const int32_t written = ParseInteger(ConfigNumberText(*raw), grace);
            if (written != grace) {
                Warn("TokenGrace " + DecimalText(written) + " is outside 0 to " +
                     DecimalText(kMaxTokenGrace) + ": taken as " + DecimalText(grace));
            }
        }
        if (grace > 0 && config_.EncryptMode == 0) {
            Warn("TokenGrace has no effect with EncryptMode 0, whose tokens carry no time");
        } else if (grace > kTokenGraceWarning) {
            Warn("TokenGrace " + DecimalText(grace) + ": a copied link works for up to " +
                 DecimalText(grace + 1) + " minutes, and every token that fails the current "
                 "minute costs up to " + DecimalText(2 * grace) + " more digests");
        }
    }

    // Beyond this a copied link lives long enough to be passed around.
    static constexpr int32_t kTokenGraceWarning = 10;

    std::string_view content_;
    const Setting& setting_;
    std::optional<std::string_view> serverName_;
    const FilterConfig& config_;
    Prober probe_;
    std::optional<std::vector<std::string_view>> sectionKeys_;
    std::vector<std::string> warnings_;
};

}  // namespace

KeyReading ReadKey(std::string_view content, const ConfigKeyInfo& key) {
    KeyReading reading;
    reading.raw = FindIniValue(content, kConfigSection, key.name);
    if (!reading.raw) return reading;
    if (key.kind == ConfigKeyKind::Text) {
        reading.fromFile = true;
    } else {
        // ParseInteger answers with the caller's fallback for a text it does
        // not take as a number: two fallbacks, two answers.
        const std::string number = ConfigNumberText(*reading.raw);
        reading.fromFile = ParseInteger(number, 0) == ParseInteger(number, 1);
    }
    return reading;
}

std::vector<std::string> LintConfig(std::string_view content, const Setting& setting,
                                    std::optional<std::string_view> serverName) {
    return Linter(content, setting, serverName).Run();
}

}  // namespace qelmor::tool

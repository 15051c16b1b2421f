#include <cstdio>
#include <optional>
#include <string_view>

#include "tools/qelmor/Commands.h"
#include "tools/qelmor/ConfigLint.h"
#include "tools/qelmor/Printing.h"

namespace qelmor::tool {
namespace {

constexpr OptionInfo kOptions[] = {kIniOption, {"--server-name", true}};

constexpr char kHelp[] = R"(Usage: qelmor config [--ini FILE] [--server-name NAME]

Prints the configuration the filter loads from FILE (default: KAVRO.ini in
this folder): every key, whether its value came from the file or is the
default, and the value, with texts quoted (bytes that are not printable
ASCII as \xHH). Then warnings for common mistakes:

  - a missing file or [KAVRO] section; an unknown key (with the closest
    known name) or a key given twice
  - a text longer than the filter keeps; a number or flag written as a word
    ("true", "yes"), which leaves the default
  - an extension in two lists (the class tested first wins); a well-known
    extension taken in by a longer entry (".rm" by ".rmvb"); a list entry
    without its dot ("jpg")
  - short hosts that FriendDomain befriends by containment ("e.com" inside
    "www.example.com")
  - DomainName with blanks; a negative UrlLength; EncryptMode outside 0 to 3
  - DomainName set while the server may answer other host names, which the
    filter passes unexamined: --server-name NAME says the server answers
    NAME only (qelmor-serve --server-name, an nginx server_name beside a
    default_server that returns 444), and the warning becomes a check that
    NAME is the host the filter examines

Exit status: 0 without warnings, 1 with warnings, 2 for a bad argument.
)";

}  // namespace

int RunConfig(std::span<const std::string> args) {
    const Arguments arguments(args, kOptions);
    if (arguments.WantsHelp()) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    Setting setting = LoadSetting(arguments);
    FixDateAndClock(arguments, setting);
    const std::string& content = setting.iniText;

    std::printf("file: %s\n", setting.iniPath.c_str());
    for (const ConfigKeyInfo& key : ConfigKeys()) {
        const KeyReading reading = ReadKey(content, key);
        const std::string value = ConfigValueText(setting.config, key);
        std::printf("%-14s %-7s %s\n", key.name, reading.fromFile ? "file" : "default",
                    key.kind == ConfigKeyKind::Text ? Quoted(value).c_str() : value.c_str());
    }
    std::optional<std::string_view> serverName;
    if (const std::string* name = arguments.Value("--server-name")) {
        if (name->empty()) throw UsageError("--server-name needs a host name");
        serverName = *name;
    }
    const std::vector<std::string> warnings = LintConfig(content, setting, serverName);
    for (const std::string& warning : warnings)
        std::printf("warning: %s\n", warning.c_str());
    return warnings.empty() ? 0 : 1;
}

}  // namespace qelmor::tool

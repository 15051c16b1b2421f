#include <cstdio>
#include <fstream>
#include <iterator>

#include "tools/qelmor/Commands.h"
#include "tools/qelmor/ConfigLint.h"
#include "tools/qelmor/Printing.h"

namespace qelmor::tool {
namespace {

constexpr OptionInfo kOptions[] = {kIniOption};

constexpr char kHelp[] = R"(Usage: qelmor config [--ini FILE]

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

Exit status: 0 without warnings, 1 with warnings, 2 for a bad argument.
)";

std::string FileContent(const Setting& setting) {
    if (setting.iniState != IniState::Read) return {};
    std::ifstream file(setting.iniPath, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

}  // namespace

int RunConfig(std::span<const std::string> args) {
    const Arguments arguments(args, kOptions);
    if (arguments.WantsHelp()) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    Setting setting = LoadSetting(arguments);
    FixDateAndClock(arguments, setting);
    const std::string content = FileContent(setting);

    std::printf("file: %s\n", setting.iniPath.c_str());
    for (const ConfigKeyInfo& key : ConfigKeys()) {
        const KeyReading reading = ReadKey(content, key);
        const std::string value = ConfigValueText(setting.config, key);
        std::printf("%-14s %-7s %s\n", key.name, reading.fromFile ? "file" : "default",
                    key.kind == ConfigKeyKind::Text ? Quoted(value).c_str() : value.c_str());
    }
    const std::vector<std::string> warnings = LintConfig(content, setting);
    for (const std::string& warning : warnings)
        std::printf("warning: %s\n", warning.c_str());
    return warnings.empty() ? 0 : 1;
}

}  // namespace qelmor::tool

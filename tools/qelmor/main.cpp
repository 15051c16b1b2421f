// qelmor: issue tokens, explain a decision, check a configuration, with the
// filter's own code.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "tools/qelmor/Commands.h"
#include "tools/qelmor/Setting.h"

namespace {

constexpr char kUsage[] = R"(Usage: qelmor COMMAND [OPTIONS]

Commands:
  token     print the token the filter accepts from a client at a minute
  explain   run one request through the filter's policy and say why
  config    print the configuration the filter loads, with warnings

"qelmor COMMAND --help" describes each command; "qelmor --version" prints
the version.
)";

using Command = int (*)(std::span<const std::string>);

Command FindCommand(const std::string& name) {
    if (name == "token") return qelmor::tool::RunToken;
    if (name == "explain") return qelmor::tool::RunExplain;
    if (name == "config") return qelmor::tool::RunConfig;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (args.empty()) {
        std::fputs("qelmor: no command given (see qelmor --help)\n", stderr);
        return qelmor::tool::kExitUsage;
    }
    if (args[0] == "--help" || args[0] == "-h" || (args[0] == "help" && args.size() == 1)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    // The Debian package's version is the project's, so this names the
    // package an operator has installed.
    if (args[0] == "--version") {
        if (args.size() > 1) {
            std::fputs("qelmor: --version takes no arguments\n", stderr);
            return qelmor::tool::kExitUsage;
        }
        std::printf("qelmor %s\n", QELMOR_VERSION);
        return 0;
    }
    // "qelmor help token" is "qelmor token --help".
    if (args[0] == "help") args = {args[1], "--help"};

    const std::string name = args[0];
    const Command command = FindCommand(name);
    if (command == nullptr) {
        std::fprintf(stderr, "qelmor: unknown command \"%s\" (see qelmor --help)\n", name.c_str());
        return qelmor::tool::kExitUsage;
    }
    try {
        return command(std::span<const std::string>(args).subspan(1));
    } catch (const qelmor::tool::SettingError& error) {
        std::fprintf(stderr, "qelmor %s: %s\n", name.c_str(), error.what());
        return 1;
    } catch (const qelmor::tool::UsageError& error) {
        std::fprintf(stderr, "qelmor %s: %s\n", name.c_str(), error.what());
        return qelmor::tool::kExitUsage;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "qelmor %s: internal error: %s\n", name.c_str(), error.what());
        return 3;
    }
}

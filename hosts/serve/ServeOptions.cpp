#include "hosts/serve/ServeOptions.h"

#include <charconv>
#include <optional>
#include <string_view>

#include "hosts/serve/RequestRules.h"

namespace qelmor::serve {
namespace {

constexpr int kMaxThreads = 1024;

std::optional<int> ParseNumber(std::string_view text, int low, int high) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (value < low || value > high) return std::nullopt;
    return value;
}

// "ADDR:PORT", "[V6ADDR]:PORT". The address is required: a server that
// guards files should not end up on every interface by accident.
std::string ParseListen(std::string_view text, ServeOptions& options) {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) {
        return "--listen wants ADDR:PORT, for instance 127.0.0.1:8080";
    }
    const std::string_view address = text.substr(0, colon);
    const auto port = ParseNumber(text.substr(colon + 1), 0, 65535);
    if (!port) return "--listen: the port must be a number from 0 to 65535";
    const bool bracketed = address.front() == '[' && address.back() == ']';
    if (!bracketed && address.find(':') != std::string_view::npos) {
        return "--listen: write an IPv6 address in brackets, for instance [::1]:8080";
    }
    for (char c : address) {
        const bool allowed = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
                             (c >= 'A' && c <= 'F') || c == '.' || c == ':' || c == '[' || c == ']';
        if (!allowed) return "--listen: the address must be numeric, for instance 127.0.0.1";
    }
    options.listenAddress = std::string(address);
    options.listenPort = *port;
    return {};
}

}  // namespace

ParsedOptions ParseServeOptions(const std::vector<std::string>& arguments) {
    ParsedOptions parsed;
    ServeOptions& options = parsed.options;
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string_view argument = arguments[i];
        std::optional<std::string> inlineValue;
        if (argument.starts_with("--")) {
            if (const size_t equals = argument.find('='); equals != std::string_view::npos) {
                inlineValue = std::string(argument.substr(equals + 1));
                argument = argument.substr(0, equals);
            }
        }
        auto value = [&](std::string& out) -> bool {
            if (inlineValue) {
                out = *inlineValue;
                return true;
            }
            if (i + 1 >= arguments.size()) {
                parsed.error = std::string(argument) + " needs a value";
                return false;
            }
            out = arguments[++i];
            return true;
        };
        auto flag = [&](bool& out) -> bool {
            if (inlineValue) {
                parsed.error = std::string(argument) + " takes no value";
                return false;
            }
            out = true;
            return true;
        };

        std::string text;
        if (argument == "--help" || argument == "-h") {
            if (!flag(options.help)) return parsed;
        } else if (argument == "--quiet") {
            if (!flag(options.quiet)) return parsed;
        } else if (argument == "--allow-default-config") {
            if (!flag(options.allowDefaultConfig)) return parsed;
        } else if (argument == "--server-name") {
            if (!value(text)) return parsed;
            const auto name = CanonicalServerName(text);
            if (!name) {
                parsed.error = "--server-name: \"" + text +
                               "\" is not a host name (give a name or an address, without a port)";
                return parsed;
            }
            options.serverNames.push_back(*name);
        } else if (argument == "--root") {
            if (!value(options.root)) return parsed;
            if (options.root.empty()) {
                parsed.error = "--root needs a directory";
                return parsed;
            }
        } else if (argument == "--filter") {
            if (!value(options.filter)) return parsed;
            if (options.filter.empty()) {
                parsed.error = "--filter needs a library file";
                return parsed;
            }
        } else if (argument == "--listen") {
            if (!value(text)) return parsed;
            parsed.error = ParseListen(text, options);
            if (!parsed.error.empty()) return parsed;
        } else if (argument == "--threads") {
            if (!value(text)) return parsed;
            const auto threads = ParseNumber(text, 1, kMaxThreads);
            if (!threads) {
                parsed.error =
                    "--threads must be a number from 1 to " + std::to_string(kMaxThreads);
                return parsed;
            }
            options.threads = *threads;
        } else {
            parsed.error = "unknown option " + std::string(arguments[i]);
            return parsed;
        }
    }
    if (!options.help && options.root.empty()) parsed.error = "--root DIR is required";
    return parsed;
}

std::string UsageText() {
    return "Usage: qelmor-serve --root DIR [--listen ADDR:PORT] [--filter PATH]\n"
           "                    [--server-name NAME]... [--allow-default-config]\n"
           "                    [--threads N] [--quiet]\n"
           "\n"
           "Serves the static files under DIR and asks an ISAPI filter library about\n"
           "every request, the way IIS does: the filter sees the URL mapped to a file\n"
           "under DIR and lets the request go on or ends it.\n"
           "\n"
           "  --root DIR          document root (required)\n"
           "  --listen ADDR:PORT  address to listen on (default 127.0.0.1:8080;\n"
           "                      port 0 picks a free one; IPv6 as [::1]:8080)\n"
           "  --filter PATH       the filter library (default: qelmor.so beside\n"
           "                      this program); it reads KAVRO.ini from its own folder\n"
           "  --server-name NAME  answer only requests for host NAME (repeatable); others\n"
           "                      get 421. Without it every host is answered, and with\n"
           "                      DomainName set the filter examines that host alone\n"
           "  --allow-default-config\n"
           "                      start even when the filter's KAVRO.ini is missing, so\n"
           "                      that the filter runs on its defaults\n"
           "  --threads N         worker threads, 1 to 1024 (default 16)\n"
           "  --quiet             no access log\n"
           "  --help              this text\n"
           "\n"
           "The access log on standard output has one line per request: client, time,\n"
           "request line, status (- when the connection was closed without an\n"
           "answer), body bytes sent and the filter's decision.\n";
}

}  // namespace qelmor::serve

#include "hosts/serve/ServeOptions.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <optional>
#include <string_view>

#include "hosts/serve/RequestRules.h"
#include "text/TextRules.h"

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
std::string ParseListen(std::string_view text, ListenAddress& listen) {
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
    listen.address = std::string(address);
    listen.port = *port;
    return {};
}

// The option a mistyped one most likely meant, when one is close.
std::string Suggestion(const CLI::App& app, std::string_view typed) {
    if (const size_t equals = typed.find('='); equals != std::string_view::npos)
        typed = typed.substr(0, equals);
    std::string best;
    size_t bestDistance = 3;
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& name : option->get_lnames()) {
            const std::string candidate = "--" + name;
            const size_t distance = EditDistance(typed, candidate);
            if (distance < bestDistance) {
                bestDistance = distance;
                best = candidate;
            }
        }
    }
    return best;
}

struct Texts {
    std::vector<std::string> listen;
    std::vector<std::string> serverNames;
};

void Describe(CLI::App& app, ServeOptions& options, Texts& texts) {
    app.set_help_flag();  // ours below, so that --help needs no --root
    // A later value of a single option replaces an earlier one, so that a
    // wrapper can append to a command line.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_flag("-h,--help", options.help, "this text");
    app.add_flag("--version", options.version, "the version, and nothing else");
    app.add_option("--root", options.root, "document root (required)")->type_name("DIR");
    app.add_option("--listen", texts.listen,
                   "address to listen on, repeatable (default 127.0.0.1:8080; port 0 picks a "
                   "free one; IPv6 as [::1]:8080 or [::]:8080)")
        ->type_name("ADDR:PORT")
        ->take_all()
        ->allow_extra_args(false);
    app.add_option("--filter", options.filter,
                   "the filter library (default: qelmor.so beside this program); it reads "
                   "KAVRO.ini from its own folder")
        ->type_name("PATH");
    app.add_option("--server-name", texts.serverNames,
                   "answer only requests for host NAME (repeatable); others get 421. Without it "
                   "every host is answered, and with DomainName set the filter examines that "
                   "host alone")
        ->type_name("NAME")
        ->take_all()
        ->allow_extra_args(false);
    app.add_flag("--allow-default-config", options.allowDefaultConfig,
                 "start even when the filter's KAVRO.ini is missing, so that the filter runs "
                 "on its defaults");
    app.add_option("--threads", options.threads,
                   "event loops, one thread each, 1 to 1024 (default 1); each serves any "
                   "number of connections")
        ->type_name("N");
    app.add_option("--access-log", options.accessLog,
                   "append the access log to FILE (reopened on SIGUSR1) instead of standard "
                   "output")
        ->type_name("FILE");
    app.add_flag("--quiet", options.quiet, "no access log");
    app.add_option("--request-timeout", options.requestTimeoutSeconds,
                   "seconds a client has to send a request head, and a kept-alive connection "
                   "may stay idle (default 10)")
        ->type_name("SECONDS");
    app.add_option("--drain-timeout", options.drainSeconds,
                   "seconds a stop waits for responses in flight (default 10)")
        ->type_name("SECONDS");
}

}  // namespace

ParsedOptions ParseServeOptions(const std::vector<std::string>& arguments) {
    ParsedOptions parsed;
    ServeOptions& options = parsed.options;
    CLI::App app;
    Texts texts;
    Describe(app, options, texts);
    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ExtrasError&) {
        for (const std::string& extra : app.remaining()) {
            parsed.error = (extra.starts_with("-") ? "unknown option " : "unexpected argument ") +
                           extra;
            if (const std::string near = Suggestion(app, extra); !near.empty())
                parsed.error += " (did you mean " + near + "?)";
            break;
        }
        return parsed;
    } catch (const CLI::ParseError& error) {
        parsed.error = error.what();
        return parsed;
    }
    if (options.help || options.version) return parsed;

    for (const std::string& text : texts.listen) {
        ListenAddress listen;
        parsed.error = ParseListen(text, listen);
        if (!parsed.error.empty()) return parsed;
        options.listen.push_back(listen);
    }
    if (options.listen.empty()) options.listen.emplace_back();
    for (const std::string& text : texts.serverNames) {
        const auto name = CanonicalServerName(text);
        if (!name) {
            parsed.error = "--server-name: \"" + text +
                           "\" is not a host name (give a name or an address, without a port)";
            return parsed;
        }
        options.serverNames.push_back(*name);
    }
    if (options.root.empty()) {
        parsed.error = "--root DIR is required";
    } else if (options.threads < 1 || options.threads > kMaxThreads) {
        parsed.error = "--threads must be a number from 1 to " + std::to_string(kMaxThreads);
    } else if (options.requestTimeoutSeconds < 1 || options.drainSeconds < 0) {
        parsed.error = "--request-timeout must be at least 1, --drain-timeout at least 0";
    } else if (options.filter.empty() && app.count("--filter") > 0) {
        parsed.error = "--filter needs a library file";
    }
    return parsed;
}

std::string UsageText() {
    CLI::App app("Serves the static files under DIR and asks an ISAPI filter library about\n"
                 "every request, the way IIS does: the filter sees the URL mapped to a file\n"
                 "under DIR and lets the request go on or ends it.\n\n"
                 "The access log has one line per request in the Combined Log Format with\n"
                 "the filter's decision as a last field (NEXT, FINISHED:wrote=N,\n"
                 "FINISHED:path=P; - when it did not run). SIGHUP registers the filter\n"
                 "again, so that it reads KAVRO.ini anew; SIGUSR1 reopens the access log;\n"
                 "SIGTERM and SIGINT stop once the responses in flight are sent.",
                 "qelmor-serve");
    ServeOptions options;
    Texts texts;
    Describe(app, options, texts);
    return app.help();
}

}  // namespace qelmor::serve

// The command line of qelmor-serve.
#pragma once

#include <string>
#include <vector>

namespace qelmor::serve {

struct ServeOptions {
    std::string root;
    std::string listenAddress = "127.0.0.1";  // IPv6 in brackets, "[::1]"
    int listenPort = 8080;                    // 0: any free port
    std::string filter;                       // empty: qelmor.so beside the executable
    int threads = 16;
    // The host names answered, canonical (see CanonicalServerName); empty:
    // every host.
    std::vector<std::string> serverNames;
    // Run even when the filter's KAVRO.ini is not there.
    bool allowDefaultConfig = false;
    bool quiet = false;
    bool help = false;
};

struct ParsedOptions {
    ServeOptions options;
    std::string error;  // empty when the command line was understood
};

// `arguments` without the program name. Both "--name value" and
// "--name=value" are understood.
ParsedOptions ParseServeOptions(const std::vector<std::string>& arguments);

std::string UsageText();

}  // namespace qelmor::serve

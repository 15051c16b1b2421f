// The command line of qelmor-serve.
#pragma once

#include <string>
#include <vector>

namespace qelmor::serve {

struct ListenAddress {
    std::string address = "127.0.0.1";  // numeric; IPv6 in brackets, "[::1]"
    int port = 8080;                     // 0: any free port
};

struct ServeOptions {
    std::string root;
    // Every address listened on; one, 127.0.0.1:8080, when none is given.
    std::vector<ListenAddress> listen;
    std::string filter;  // empty: qelmor.so beside the executable
    // Event loops, each on a thread of its own; every loop serves any number
    // of connections.
    int threads = 1;
    // The host names answered, canonical (see CanonicalServerName); empty:
    // every host.
    std::vector<std::string> serverNames;
    // Run even when the filter's KAVRO.ini is not there.
    bool allowDefaultConfig = false;
    bool quiet = false;
    std::string accessLog;  // empty: standard output
    // How long a connection may take to send a request head, and how long a
    // kept-alive one may sit idle.
    int requestTimeoutSeconds = 10;
    // How long a stop waits for responses in flight.
    int drainSeconds = 10;
    bool help = false;
    bool version = false;
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

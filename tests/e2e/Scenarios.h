// The end-to-end table that every host of the filter must pass: the sites
// (files of the document root, the filter library and its KAVRO.ini) and the
// named HTTP exchanges with what must come back. Nothing here knows which
// server runs it.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace qelmor::e2e {

enum class SiteKind {
    Video,  // the real filter; tokens of mode 0 (key and address)
    Clock,  // the real filter; tokens of mode 2 (key, address, date and minute)
    Probe,  // the stub filter, which shows how the host treats a filter
};

enum class FilterKind { Real, Stub };

struct SiteLayout {
    std::string name;                            // for folder names and messages
    std::map<std::string, std::string> files;    // under the document root
    std::map<std::string, std::string> outside;  // beside the document root
    FilterKind filter = FilterKind::Real;
    std::optional<std::string> ini;  // KAVRO.ini beside the library
};

const SiteLayout& Layout(SiteKind site);

struct Expectation {
    long status = 200;                // 0: the connection closes with no answer
    std::optional<std::string> body;  // the exact bytes, when they are checked
    std::vector<std::pair<std::string, std::string>> headers = {};  // lower-case name, value
};

struct Scenario {
    std::string name;  // letters, digits and '_': it names a test
    SiteKind site = SiteKind::Video;
    std::string method = "GET";
    std::string target;                     // path and query; may hold placeholders
    std::vector<std::string> headers = {};  // "Name: value"; may hold placeholders
    bool pathAsIs = false;                  // sent as written, "/../" and all
    Expectation expect;
};

const std::vector<Scenario>& Scenarios();

// How a test report names a scenario.
inline void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

// What the placeholders of a scenario stand for on one running host:
// "{port}" and "{root}" (the document root's canonical path), and
// "{clock-token:M:ADDRESS}", the token of the Clock site for ADDRESS at M
// minutes from `now`.
struct HostFacts {
    int port = 0;
    std::string root;
};
std::string Expand(const std::string& text, const HostFacts& facts,
                   std::chrono::system_clock::time_point now);

// Whether the exchange depends on the minute it is made in.
bool DependsOnClock(const Scenario& scenario);

}  // namespace qelmor::e2e

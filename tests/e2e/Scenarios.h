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
    Bound,  // the real filter with DomainName, on a host bound to that one name
};

enum class FilterKind { Real, Stub };

struct SiteLayout {
    std::string name;                            // for folder names and messages
    std::map<std::string, std::string> files;    // under the document root
    std::map<std::string, std::string> outside;  // beside the document root
    FilterKind filter = FilterKind::Real;
    // KAVRO.ini beside the library. A site without one starts its host with
    // leave to run on the defaults, which hosts otherwise refuse.
    std::optional<std::string> ini;
    // The one host name the site answers to (strict virtual hosting: every
    // other name, an address or no Host at all reaches no file of it);
    // empty when it answers to any.
    std::string serverName = {};
};

const SiteLayout& Layout(SiteKind site);

// The status of an exchange whose file must not come back, whichever way
// the host refuses: no answer at all, or any status from 400 on.
inline constexpr long kWithheld = -1;

struct Expectation {
    long status = 200;                // 0: the connection closes with no answer
    std::optional<std::string> body;  // the exact bytes, when they are checked
    std::vector<std::pair<std::string, std::string>> headers = {};  // lower-case name, value
    // Bytes that must appear nowhere in what comes back.
    std::optional<std::string> absent = std::nullopt;
    // The path a redirect leads to on the host that was asked: Location is
    // that path, or http://127.0.0.1:{port} followed by it, and nothing
    // else (not "//elsewhere/...").
    std::optional<std::string> location = std::nullopt;
};

struct Scenario {
    std::string name;  // letters, digits and '_': it names a test
    SiteKind site = SiteKind::Video;
    std::string method = "GET";
    std::string target;                     // path and query; may hold placeholders
    std::vector<std::string> headers = {};  // "Name: value"; may hold placeholders
    bool pathAsIs = false;                  // sent as written, "/../" and all
    Expectation expect;
    // When set, the request exactly as these bytes, on a connection of its
    // own, for forms no client library sends (absolute-form targets, no or
    // two Host headers, HTTP/0.9); method, target and headers are unused.
    // The answer is read until the server closes; without a status line
    // its status is 0 and all of it is the body. HTTP/1.x only.
    std::string raw = {};
    // The reason the filter gives for a refusal on a site with ReasonHeader
    // on: in X-Qelmor-Reason and in the host's access log. Empty: none.
    std::string reason = {};
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

// The shared table, run through real HTTP against each host of the filter:
// qelmor-serve and nginx with ngx_http_qelmor_module.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "tests/e2e/Hosts.h"
#include "tests/e2e/Scenarios.h"

namespace qelmor::e2e {
namespace {

using std::chrono::system_clock;

// One server per site, started when a scenario first needs it and stopped
// with the suite.
class HostPool {
  public:
    explicit HostPool(std::unique_ptr<Host> (*make)()) : make_(make) {}

    struct Entry {
        std::unique_ptr<SiteFolder> site;
        std::unique_ptr<Host> host;
    };

    // Nothing, with the reason in `error`, when the host does not start.
    Entry* For(SiteKind kind, std::string& error) {
        auto found = running_.find(kind);
        if (found != running_.end()) return &found->second;
        Entry entry{std::make_unique<SiteFolder>(Layout(kind)), make_()};
        if (!entry.host->Start(*entry.site, error)) return nullptr;
        return &running_.emplace(kind, std::move(entry)).first->second;
    }

    // What went wrong in any of them, on the way out included.
    std::string StopAll() {
        std::string problems;
        for (auto& [kind, entry] : running_) {
            const std::string stopped = entry.host->Stop();
            if (!stopped.empty())
                problems += Layout(kind).name + ": " + stopped + entry.host->Logs();
        }
        running_.clear();
        return problems;
    }

  private:
    std::unique_ptr<Host> (*make_)();
    std::map<SiteKind, Entry> running_;
};

bool Printable(const std::string& text) {
    for (const char c : text) {
        if ((c < 0x20 || c > 0x7e) && c != '\n' && c != '\r' && c != '\t') return false;
    }
    return true;
}

// Nothing when equal; else where they part, without dumping 64 KiB.
std::string BodyDifference(const std::string& expected, const std::string& actual) {
    if (expected == actual) return {};
    if (expected.size() + actual.size() < 4000 && Printable(expected) && Printable(actual)) {
        return "expected body:\n" + expected + "\nactual body:\n" + actual;
    }
    size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at])
        ++at;
    return "expected " + std::to_string(expected.size()) + " bytes, got " +
           std::to_string(actual.size()) + "; they differ from byte " + std::to_string(at);
}

std::string Tail(const std::string& text, size_t size) {
    return text.size() <= size ? text : "..." + text.substr(text.size() - size);
}

enum class Protocol { Http1, Http2 };

// Hop-by-hop headers belong to HTTP/1.x; an HTTP/2 response has none.
bool IsHopByHop(const std::string& lowerName) {
    return lowerName == "connection" || lowerName == "keep-alive";
}

// What came back for a raw request, read until the server closed.
struct RawAnswer {
    long status = 0;  // 0: no status line
    std::map<std::string, std::string> headers;  // lower-case names, the last value
    std::string body;
};

RawAnswer ParseRawAnswer(const std::string& received) {
    RawAnswer answer;
    const size_t headEnd = received.find("\r\n\r\n");
    if (!received.starts_with("HTTP/") || headEnd == std::string::npos) {
        answer.body = received;
        return answer;
    }
    std::istringstream head(received.substr(0, headEnd));
    std::string line;
    std::getline(head, line);
    const size_t space = line.find(' ');
    if (space != std::string::npos) answer.status = std::atol(line.c_str() + space + 1);
    while (std::getline(head, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        for (char& c : name)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        const size_t value = line.find_first_not_of(' ', colon + 1);
        answer.headers[name] = value == std::string::npos ? "" : line.substr(value);
    }
    answer.body = received.substr(headEnd + 4);
    return answer;
}

// Whether `location` leads to `path` on the host that was asked, and
// nowhere else.
bool LeadsTo(const std::string& location, const std::string& path, int port) {
    const std::string origin = "http://127.0.0.1:" + std::to_string(port);
    if (location.starts_with(origin)) return location.substr(origin.size()) == path;
    return !location.starts_with("//") && location == path;
}

struct Answer {
    int curlCode = CURLE_OK;
    long status = 0;
    std::map<std::string, std::string> headers;
    std::string body;

    std::string Header(const std::string& lowerName) const {
        const auto found = headers.find(lowerName);
        return found == headers.end() ? std::string() : found->second;
    }
};

// The reason on the line the host logged for the one request made since its
// log was `before` bytes long; hosts write the line after the response, so
// it is waited for. kNoLine when none came.
constexpr const char* kNoLine = "(no line)";

std::string LoggedReason(Host& host, size_t before) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::string added;
    for (;;) {
        const std::string log = host.AccessLog();
        added = log.size() > before ? log.substr(before) : std::string();
        const size_t end = added.rfind('\n');
        if (end != std::string::npos) {
            added.resize(end);
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) return kNoLine;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::string line = added.substr(added.rfind('\n') == std::string::npos
                                              ? 0
                                              : added.rfind('\n') + 1);
    const size_t at = line.rfind(" reason=");
    if (at == std::string::npos) return "";
    const std::string reason = line.substr(at + 8);
    return reason == "-" ? "" : reason;
}

void RunScenario(HostPool& pool, const Scenario& scenario, Protocol protocol = Protocol::Http1) {
    const bool http2 = protocol == Protocol::Http2;
    if (http2 && !scenario.raw.empty()) GTEST_SKIP() << "a raw HTTP/1.x exchange";
    std::string error;
    HostPool::Entry* entry = pool.For(scenario.site, error);
    ASSERT_NE(entry, nullptr) << error;
    Host& host = *entry->host;
    ASSERT_TRUE(!http2 || host.Http2Port() != 0) << "the host has no HTTP/2 port";
    const HostFacts facts{http2 ? host.Http2Port() : host.Port(), entry->site->Root()};

    const size_t loggedBefore = host.AccessLog().size();
    Answer answer;
    system_clock::time_point sent;
    if (!scenario.raw.empty()) {
        sent = system_clock::now();
        const RawResult raw = RawExchange(facts.port, Expand(scenario.raw, facts, sent));
        const RawAnswer parsed = ParseRawAnswer(raw.received);
        answer.curlCode = parsed.status == 0 && raw.received.empty() ? CURLE_GOT_NOTHING : CURLE_OK;
        answer.status = parsed.status;
        answer.headers = parsed.headers;
        answer.body = parsed.body;
    } else {
        HttpClient client;
        HttpResponse response;
        // A token of the minute is asked for again when the minute turned
        // while the request was on its way.
        for (int attempt = 0; attempt < 3; ++attempt) {
            sent = system_clock::now();
            HttpRequest request;
            request.method = scenario.method;
            request.url = "http://127.0.0.1:" + std::to_string(facts.port) +
                          Expand(scenario.target, facts, sent);
            for (const std::string& header : scenario.headers)
                request.headers.push_back(Expand(header, facts, sent));
            request.pathAsIs = scenario.pathAsIs;
            request.http2 = http2;
            response = client.Send(request);
            if (!DependsOnClock(scenario) ||
                ClockTextsAt(sent).minute == ClockTextsAt(system_clock::now()).minute) {
                break;
            }
        }
        if (response.curlCode == CURLE_OK && http2) {
            EXPECT_EQ(response.httpVersion, long(CURL_HTTP_VERSION_2_0));
        }
        answer.curlCode = response.curlCode;
        answer.status = response.status;
        answer.headers = response.headers;
        answer.body = response.body;
    }

    const Expectation& expect = scenario.expect;
    if (expect.status == kWithheld) {
        EXPECT_TRUE(answer.status == 0 || answer.status >= 400)
            << "the request should be refused, but got status " << answer.status;
    } else if (expect.status == 0) {
        // HTTP/2 ends the one stream rather than the connection.
        const int unanswered = http2 ? CURLE_HTTP2_STREAM : CURLE_GOT_NOTHING;
        EXPECT_EQ(answer.curlCode, unanswered) << "the request should end unanswered";
        EXPECT_EQ(answer.status, 0);
    } else {
        EXPECT_EQ(answer.curlCode, CURLE_OK);
        EXPECT_EQ(answer.status, expect.status);
    }
    if (expect.body) {
        EXPECT_EQ(BodyDifference(Expand(*expect.body, facts, sent), answer.body), "");
    }
    if (expect.absent) {
        EXPECT_EQ(answer.body.find(*expect.absent), std::string::npos)
            << "the protected bytes came back";
    }
    if (expect.location) {
        EXPECT_TRUE(LeadsTo(answer.Header("location"), *expect.location, facts.port))
            << "Location: " << answer.Header("location") << " does not lead to "
            << *expect.location << " on this host";
    }
    for (const auto& [name, value] : expect.headers) {
        if (http2 && IsHopByHop(name)) continue;
        EXPECT_EQ(answer.Header(name), Expand(value, facts, sent)) << "header " << name;
    }
    if (answer.status != 0) {
        EXPECT_EQ(answer.Header("x-qelmor-reason"), scenario.reason) << "the reason sent";
    }
    // A request the server could not parse (HTTP/0.9, say) may leave no
    // line; a refusal with a reason always does.
    const std::string logged = LoggedReason(host, loggedBefore);
    if (!scenario.reason.empty() || logged != kNoLine) {
        EXPECT_EQ(logged, scenario.reason) << "the reason logged";
    }
    EXPECT_EQ(host.Problems(), "");
    if (::testing::Test::HasFailure()) {
        std::cerr << Tail(host.Logs(), 6000) << "\n";
    }
}

std::string ScenarioName(const ::testing::TestParamInfo<Scenario>& info) {
    return info.param.name;
}

class ServeTable : public ::testing::TestWithParam<Scenario> {
  protected:
    static HostPool& Pool() {
        static HostPool pool(MakeServeHost);
        return pool;
    }
    static void TearDownTestSuite() { EXPECT_EQ(Pool().StopAll(), ""); }
};

TEST_P(ServeTable, Scenario) {
    RunScenario(Pool(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Shared, ServeTable, ::testing::ValuesIn(Scenarios()), ScenarioName);

// The same table over HTTP/2, where nginx hands the module a request that
// never had a request line or header lines of its own.
std::unique_ptr<Host> MakeNginxHttp2Host() {
    return std::make_unique<NginxHost>(std::string(), true);
}

// One nginx per protocol and site, skipped where this build has no nginx.
template <std::unique_ptr<Host> (*Make)()>
class NginxSuite : public ::testing::TestWithParam<Scenario> {
  protected:
    static HostPool& Pool() {
        static HostPool pool(Make);
        return pool;
    }
    void SetUp() override {
        const std::string unavailable = NginxUnavailable();
        if (!unavailable.empty()) GTEST_SKIP() << unavailable;
    }
    static void TearDownTestSuite() { EXPECT_EQ(Pool().StopAll(), ""); }
};

using NginxTable = NginxSuite<MakeNginxHost>;
using NginxHttp2Table = NginxSuite<MakeNginxHttp2Host>;

TEST_P(NginxTable, Scenario) {
    RunScenario(Pool(), GetParam());
}

TEST_P(NginxHttp2Table, Scenario) {
    RunScenario(Pool(), GetParam(), Protocol::Http2);
}

INSTANTIATE_TEST_SUITE_P(Shared, NginxTable, ::testing::ValuesIn(Scenarios()), ScenarioName);
INSTANTIATE_TEST_SUITE_P(Shared, NginxHttp2Table, ::testing::ValuesIn(Scenarios()), ScenarioName);

}  // namespace
}  // namespace qelmor::e2e

// Several nginx nodes with the filter behind a balancing nginx, each run
// from the configuration that the README quotes (examples/nginx/balancer.conf
// and backend.conf): the client's address reaches every node and the client
// cannot choose it, byte ranges of one file spread over the nodes, and a node
// whose clock is a minute off refuses the tokens the others take.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "tests/e2e/Hosts.h"

namespace qelmor::e2e {
namespace {

using namespace std::chrono_literals;
using std::chrono::system_clock;

// The client connects from an address of its own, so that a node that saw
// the balancer's address (127.0.0.1, loopback's source) instead of the
// client's would refuse the client's token.
constexpr const char* kClientAddress = "127.0.0.5";
constexpr const char* kBalancerAddress = "127.0.0.1";
constexpr const char* kForgedAddress = "198.51.100.7";
constexpr const char* kSiteName = "video.example.com";
constexpr const char* kKey = "scale-out-key";

// One zone for the test and every server; a token's minute is local time.
constexpr const char* kTimeZone = "UTC0";

const std::string kClip = PatternBytes(1024 * 1024 + 5, 7);
const std::string kLogo = PatternBytes(700, 8);

std::string KavroIni(int grace) {
    return std::string("[KAVRO]\nDomainName=") + kSiteName + "\nPubKey=" + kKey +
           "\nEncryptMode=2\nPassMode=1\nCommonExt=.png\nCommonAction=1\nMediaExt=.mp4\n"
           "Mediaaction=1\nPlayOnline=0\nReasonHeader=1\nTitle=Refused\nAlert=Ask our pages.\n"
           "TokenGrace=" +
           std::to_string(grace) + "\n";
}

// The mode-2 token of `address` at `when`, as a page of the site makes it.
std::string TokenFor(const std::string& address, system_clock::time_point when) {
    const ClockTexts texts = ClockTextsAt(when);
    std::string token = Md5Hex(kKey + address + texts.date + texts.hour + texts.minute);
    for (char& c : token)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return token;
}

// An example file with the deployment's addresses and paths put in the
// test's place. Each one must still be in the example, so that the README's
// configuration and the one tested cannot drift apart.
std::string FromExample(const std::string& path,
                        const std::vector<std::pair<std::string, std::string>>& replacements) {
    std::string text = ReadFile(path);
    EXPECT_FALSE(text.empty()) << path << " is missing";
    for (const auto& [from, to] : replacements) {
        const size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << "\"" << from << "\" is no longer in " << path;
        if (at == std::string::npos) continue;
        text.replace(at, from.size(), to);
        EXPECT_EQ(text.find(from, at + to.size()), std::string::npos)
            << "\"" << from << "\" is in " << path << " more than once";
    }
    return text;
}

std::string FaketimeLibrary() {
    return QELMOR_FAKETIME_LIBRARY;
}

// One private nginx on a port of 127.0.0.1: the balancer or a node.
class Instance {
  public:
    Instance(std::string name, std::string prefix) : name_(std::move(name)), prefix_(std::move(prefix)) {
        std::filesystem::create_directories(prefix_ + "/logs");
    }

    const std::string& Name() const { return name_; }
    const std::string& Prefix() const { return prefix_; }
    int Port() const { return port_; }

    // `top` goes before the http block, `http` into it.
    bool Start(int port, const std::string& top, const std::string& http, int workers,
               const std::vector<std::string>& environment, std::string& error) {
        port_ = port;
        process_ = std::make_unique<ChildProcess>();
        std::ofstream(prefix_ + "/nginx.conf")
            << top << "daemon off;\nmaster_process on;\nworker_processes " << workers << ";\n"
            // As root nginx would hand the files to a user that cannot read
            // our private folders.
            << (geteuid() == 0 ? "user root;\n" : "") << "pid " << prefix_ << "/nginx.pid;\n"
            << "error_log " << prefix_ << "/logs/error.log notice;\n"
            << "events { worker_connections 256; }\n"
            << "http {\n    include " << Nginx().mimeTypes << ";\n"
            << "    default_type application/octet-stream;\n"
            << "    access_log " << prefix_ << "/logs/access.log;\n"
            << "    client_body_temp_path " << prefix_ << "/body;\n"
            << "    proxy_temp_path " << prefix_ << "/proxy;\n"
            << "    fastcgi_temp_path " << prefix_ << "/fastcgi;\n"
            << "    uwsgi_temp_path " << prefix_ << "/uwsgi;\n"
            << "    scgi_temp_path " << prefix_ << "/scgi;\n"
            << http << "}\n";
        std::filesystem::remove(prefix_ + "/nginx.pid");
        if (!process_->Start({Nginx().program, "-p", prefix_ + "/", "-c", prefix_ + "/nginx.conf"},
                             environment)) {
            error = "cannot run " + Nginx().program;
            return false;
        }
        const std::string ourPid = std::to_string(process_->Pid());
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline && process_->Running()) {
            std::string pid = ReadFile(prefix_ + "/nginx.pid");
            while (!pid.empty() && pid.back() == '\n')
                pid.pop_back();
            if (pid == ourPid && Accepts(port_)) return true;
            std::this_thread::sleep_for(20ms);
        }
        error = name_ + " did not start:\n" + Logs();
        return false;
    }

    bool PortTaken() { return process_ && process_->Errors().find("Address already in use") != std::string::npos; }

    // What went wrong on the way out, or nothing.
    std::string Stop() {
        if (!process_) return {};
        const int code = process_->Stop(SIGQUIT, 15s);
        std::string problems = Problems();
        process_.reset();
        if (code != 0) problems += name_ + " exited with " + std::to_string(code) + "\n";
        return problems;
    }

    // Alerts and worse in the error log, and sanitizer reports.
    std::string Problems() {
        std::string problems;
        std::istringstream log(ReadFile(prefix_ + "/logs/error.log"));
        for (std::string line; std::getline(log, line);) {
            for (const char* level : {"[alert]", "[crit]", "[emerg]"}) {
                if (line.find(level) != std::string::npos) problems += name_ + ": " + line + "\n";
            }
        }
        if (process_) {
            const std::string errors = process_->Errors();
            if (errors.find("Sanitizer") != std::string::npos || errors.find("runtime error:") != std::string::npos)
                problems += name_ + ": " + errors.substr(0, 2000);
        }
        return problems;
    }

    std::string Logs() {
        return "--- " + name_ + " nginx.conf\n" + ReadFile(prefix_ + "/nginx.conf") + "--- " + name_ +
               " error.log\n" + ReadFile(prefix_ + "/logs/error.log") +
               (process_ ? "--- " + name_ + " standard error\n" + process_->Errors() : std::string());
    }

  private:
    std::string name_;
    std::string prefix_;
    int port_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

// What the client got, and from which node.
struct Answer {
    int curlCode = 0;
    long status = 0;
    std::string body;
    std::string node;  // "a" or "b", from X-Qelmor-Node; empty when none said
    std::string reason;
    std::string contentRange;
    std::string date;
    std::string cacheControl;
};

struct NodeSetup {
    int clockOffsetSeconds = 0;  // applied with libfaketime when not 0
};

// The balancer and nodes a and b, each of its own nginx.
class Cluster {
  public:
    Cluster(int grace, NodeSetup a, NodeSetup b)
        : dir_(WorkFolder(), "scale-out-"), setups_{a, b} {
        dir_.Write("site/index.html", "<html><body>Videos</body></html>\n");
        dir_.Write("site/img/logo.png", kLogo);
        dir_.Write("site/media/clip.mp4", kClip);
        // Each node has its own copy of the same library and KAVRO.ini, as
        // separate machines would.
        for (const char* node : {"a", "b"}) {
            dir_.Copy(FilterLibrary(), std::string(node) + "/filter/qelmor.so");
            dir_.Write(std::string(node) + "/filter/KAVRO.ini", KavroIni(grace));
        }
    }

    ~Cluster() { Stop(); }

    bool Start(std::string& error) {
        // A port free when we look may be taken when nginx binds it: then
        // all three start again on other ports.
        for (int attempt = 0; attempt < 5; ++attempt) {
            std::set<int> ports;
            while (ports.size() < 3)
                ports.insert(FreeLoopbackPort());
            auto port = ports.begin();
            nodes_.clear();
            for (const char* node : {"a", "b"}) {
                nodes_.push_back(std::make_unique<Instance>(std::string("node ") + node,
                                                            dir_.File(node) + "/nginx"));
            }
            balancer_ = std::make_unique<Instance>("balancer", dir_.File("balancer"));
            const int portA = *port++, portB = *port++, portBalancer = *port;
            bool started = StartNode(0, portA, error) && StartNode(1, portB, error);
            if (started) {
                const std::string http = FromExample(
                    QELMOR_NGINX_SAMPLE_BALANCER,
                    {{"10.0.0.11:80", std::string(kBalancerAddress) + ":" + std::to_string(portA)},
                     {"10.0.0.12:80", std::string(kBalancerAddress) + ":" + std::to_string(portB)},
                     {"listen 80;", "listen 127.0.0.1:" + std::to_string(portBalancer) + ";"}});
                started = balancer_->Start(portBalancer, "", http, 1, Environment(0), error);
            }
            if (started) return true;
            const bool retry = balancer_->PortTaken() || nodes_[0]->PortTaken() || nodes_[1]->PortTaken();
            Stop();
            if (!retry) return false;
        }
        return false;
    }

    std::string Stop() {
        std::string problems;
        if (balancer_) problems += balancer_->Stop();
        for (auto& node : nodes_)
            problems += node->Stop();
        return problems;
    }

    std::string Problems() {
        std::string problems = balancer_ ? balancer_->Problems() : "the balancer never started\n";
        for (auto& node : nodes_)
            problems += node->Problems();
        return problems;
    }

    std::string Logs() {
        std::string logs = balancer_->Logs();
        for (auto& node : nodes_)
            logs += node->Logs() + "--- " + node->Name() + " access.log\n" +
                    ReadFile(node->Prefix() + "/logs/video.access.log");
        return logs;
    }

    int BalancerPort() const { return balancer_->Port(); }
    int NodePort(size_t node) const { return nodes_[node]->Port(); }

    // GET `target` from 127.0.0.1:`port`, sent from the client's address.
    Answer Fetch(int port, const std::string& target, const std::vector<std::string>& headers) const {
        Answer answer;
        CURL* curl = curl_easy_init();
        curl_slist* list = curl_slist_append(nullptr, (std::string("Host: ") + kSiteName).c_str());
        for (const std::string& header : headers)
            list = curl_slist_append(list, header.c_str());
        const std::string url = "http://127.0.0.1:" + std::to_string(port) + target;
        const std::string from = std::string("host!") + kClientAddress;
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_INTERFACE, from.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
        curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 15000L);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* body) {
            static_cast<std::string*>(body)->append(data, size * count);
            return size * count;
        });
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
        answer.curlCode = int(curl_easy_perform(curl));
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
        const auto header = [curl](const char* name) {
            curl_header* found = nullptr;
            if (curl_easy_header(curl, name, 0, CURLH_HEADER, -1, &found) != CURLHE_OK) return std::string();
            return std::string(found->value);
        };
        answer.reason = header("X-Qelmor-Reason");
        answer.contentRange = header("Content-Range");
        answer.date = header("Date");
        answer.cacheControl = header("Cache-Control");
        const std::string node = header("X-Qelmor-Node");
        const std::string nodePort = node.substr(node.rfind(':') + 1);
        for (size_t n = 0; n < nodes_.size(); ++n) {
            if (nodePort == std::to_string(nodes_[n]->Port())) answer.node = n == 0 ? "a" : "b";
        }
        curl_slist_free_all(list);
        curl_easy_cleanup(curl);
        return answer;
    }

  private:
    bool StartNode(size_t node, int port, std::string& error) {
        Instance& instance = *nodes_[node];
        const std::string filter = dir_.File(node == 0 ? "a" : "b") + "/filter/qelmor.so";
        const std::string http =
            FromExample(QELMOR_NGINX_SAMPLE_BACKEND,
                        {{"listen 80;", "listen 127.0.0.1:" + std::to_string(port) + ";"},
                         {"/var/www/video", dir_.File("site")},
                         {"/var/log/nginx/video.example.com.access.log",
                          instance.Prefix() + "/logs/video.access.log"},
                         {"set_real_ip_from 10.0.0.10;",
                          std::string("set_real_ip_from ") + kBalancerAddress + ";"}});
        const std::string top = "load_module " + Nginx().module + ";\nqelmor_filter " + filter + ";\n";
        return instance.Start(port, top, http, 2, Environment(setups_[node].clockOffsetSeconds),
                              error);
    }

    // nginx's environment for a node whose clock runs `offset` seconds off.
    static std::vector<std::string> Environment(int offset) {
        std::vector<std::string> environment = NginxEnvironment();
        environment.push_back(std::string("TZ=") + kTimeZone);
        if (offset == 0) return environment;
        // The preload is in the master's memory before it forks, so the
        // workers, which decide, run on the same clock. Timers stay on the
        // real monotonic clock.
        std::string preload = FaketimeLibrary();
        for (std::string& entry : environment) {
            // libfaketime starts before a sanitizer's runtime or not at all
            // (with the runtime first it waits for itself for ever), and the
            // runtime then lets itself come second.
            if (entry.starts_with("LD_PRELOAD=")) {
                preload += ":" + entry.substr(11);
                entry = "LD_PRELOAD=";
            }
            if (entry.starts_with("ASAN_OPTIONS=")) entry += ":verify_asan_link_order=0";
        }
        std::erase(environment, std::string("LD_PRELOAD="));
        environment.push_back("LD_PRELOAD=" + preload);
        environment.push_back("FAKETIME=" + std::string(offset > 0 ? "+" : "") +
                              std::to_string(offset) + "s");
        environment.push_back("DONT_FAKE_MONOTONIC=1");
        return environment;
    }

    TempDir dir_;
    NodeSetup setups_[2];
    std::vector<std::unique_ptr<Instance>> nodes_;
    std::unique_ptr<Instance> balancer_;
};

// Sends `target`, whose "{token}" becomes the token for `tokenFor` of the
// minute it is sent in, again when the minute turned on the way, so that
// the answer is for a token of the minute the servers judged it in.
Answer Exchange(const Cluster& cluster, int port, const std::string& target,
                const std::string& tokenFor, const std::vector<std::string>& headers) {
    Answer answer;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const system_clock::time_point sent = system_clock::now();
        std::string path = target;
        const size_t at = path.find("{token}");
        if (at != std::string::npos) path.replace(at, 7, TokenFor(tokenFor, sent));
        answer = cluster.Fetch(port, path, headers);
        if (ClockTextsAt(sent).minute == ClockTextsAt(system_clock::now()).minute) break;
    }
    return answer;
}

// Asks through the balancer until both nodes have answered (the balancer
// takes turns), judging each answer with `check`. Fewer than two nodes in
// six requests fails.
void FromBothNodes(const Cluster& cluster, const std::string& target, const std::string& tokenFor,
                   const std::vector<std::string>& headers,
                   const std::function<void(const Answer&)>& check) {
    std::set<std::string> answered;
    for (int request = 0; request < 6 && answered.size() < 2; ++request) {
        const Answer answer = Exchange(cluster, cluster.BalancerPort(), target, tokenFor, headers);
        SCOPED_TRACE("node " + answer.node);
        ASSERT_EQ(answer.curlCode, CURLE_OK);
        ASSERT_FALSE(answer.node.empty()) << "no X-Qelmor-Node in the answer: " << answer.body;
        answered.insert(answer.node);
        check(answer);
    }
    EXPECT_EQ(answered.size(), 2u) << "the balancer did not reach both nodes";
}

void ExpectStartedCleanly(Cluster& cluster) {
    std::string error;
    ASSERT_TRUE(cluster.Start(error)) << error;
}

class ScaleOutBase : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        setenv("TZ", kTimeZone, 1);
        tzset();
    }

    void SetUp() override {
        const std::string unavailable = NginxUnavailable();
        if (!unavailable.empty()) GTEST_SKIP() << unavailable;
    }

    void Finish(Cluster& cluster) {
        const std::string problems = cluster.Problems();
        EXPECT_EQ(problems, "");
        if (HasFailure()) ADD_FAILURE() << cluster.Logs();
        EXPECT_EQ(cluster.Stop(), "");
    }
};

// ---------------------------------------------------------------------------
// The client's address through the balancer.

enum class Route { Balancer, EachNodeDirectly };

struct AddressCase {
    std::string name;
    Route route;
    std::string target;    // "{token}": the token of `tokenFor` of the minute
    std::string tokenFor;  // the address a page minted the token for
    std::vector<std::string> headers;
    long status;
    std::string reason;  // X-Qelmor-Reason of a refusal
    const std::string* body;  // what is served, for a 200
};

void PrintTo(const AddressCase& c, std::ostream* out) {
    *out << c.name;
}

const std::string kClipTarget = "/media/clip.mp4?kavro={token}";
const std::string kForgedHeader = std::string("X-Forwarded-For: ") + kForgedAddress;

const std::vector<AddressCase>& AddressCases() {
    static const std::vector<AddressCase> cases = {
        {"token_for_the_client_served", Route::Balancer, kClipTarget, kClientAddress, {}, 200, "",
         &kClip},
        // Were the balancer's own address what the nodes saw, its token
        // would pass and the client's fail.
        {"token_for_the_balancer_refused", Route::Balancer, kClipTarget, kBalancerAddress, {}, 403,
         "token-invalid", nullptr},
        {"hotlink_without_token_refused", Route::Balancer, "/media/clip.mp4", "",
         {"Referer: http://elsewhere.example/watch"}, 403, "token-missing", nullptr},
        {"picture_hotlink_refused", Route::Balancer, "/img/logo.png", "",
         {"Referer: http://elsewhere.example/page"}, 403, "foreign-referer", nullptr},
        // The Host the balancer passes on is the one the referer is
        // compared with.
        {"picture_on_the_sites_page_served", Route::Balancer, "/img/logo.png", "",
         {std::string("Referer: http://") + kSiteName + "/"}, 200, "", &kLogo},
        {"forged_forwarded_for_token_refused", Route::Balancer, kClipTarget, kForgedAddress,
         {kForgedHeader}, 403, "token-invalid", nullptr},
        {"forged_forwarded_for_real_token_served", Route::Balancer, kClipTarget, kClientAddress,
         {kForgedHeader}, 200, "", &kClip},
        // A forged entry that names the trusted balancer does not help.
        {"forged_balancer_entry_token_refused", Route::Balancer, kClipTarget, kBalancerAddress,
         {std::string("X-Forwarded-For: ") + kBalancerAddress}, 403, "token-invalid", nullptr},
        // A node asked directly, not by the balancer, ignores the header.
        {"node_ignores_forwarded_for_from_others", Route::EachNodeDirectly, kClipTarget,
         kForgedAddress, {kForgedHeader}, 403, "token-invalid", nullptr},
        {"node_asked_directly_serves_the_client", Route::EachNodeDirectly, kClipTarget,
         kClientAddress, {kForgedHeader}, 200, "", &kClip},
    };
    return cases;
}

class ScaleOutAddress : public ScaleOutBase, public ::testing::WithParamInterface<AddressCase> {};

TEST_P(ScaleOutAddress, ReachesEveryNode) {
    const AddressCase& c = GetParam();
    Cluster cluster(0, {}, {});
    ExpectStartedCleanly(cluster);
    if (HasFatalFailure()) return;
    const auto check = [&c](const Answer& answer) {
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(answer.reason, c.reason);
        // No shared cache may hand a tokened answer, or a refusal, to
        // another client.
        EXPECT_EQ(answer.cacheControl, "private, no-cache");
        if (c.body != nullptr) {
            EXPECT_EQ(answer.body.size(), c.body->size());
            EXPECT_TRUE(answer.body == *c.body) << "the bytes served are not the file's";
        }
    };
    if (c.route == Route::Balancer) {
        FromBothNodes(cluster, c.target, c.tokenFor, c.headers, check);
    } else {
        for (size_t node = 0; node < 2; ++node) {
            const Answer answer =
                Exchange(cluster, cluster.NodePort(node), c.target, c.tokenFor, c.headers);
            SCOPED_TRACE("node " + answer.node);
            EXPECT_EQ(answer.node, node == 0 ? "a" : "b");
            check(answer);
        }
    }
    Finish(cluster);
}

INSTANTIATE_TEST_SUITE_P(ScaleOut, ScaleOutAddress, ::testing::ValuesIn(AddressCases()),
                         [](const auto& test) { return test.param.name; });

// ---------------------------------------------------------------------------
// A player's ranges of one file, spread over the nodes.

class ScaleOutRanges : public ScaleOutBase {};

TEST_F(ScaleOutRanges, OneFileFromBothNodes) {
    Cluster cluster(0, {}, {});
    ExpectStartedCleanly(cluster);
    if (HasFatalFailure()) return;
    constexpr size_t kPiece = 64 * 1024;
    std::string assembled;
    std::map<std::string, int> pieces;
    while (assembled.size() < kClip.size() && !HasFailure()) {
        const size_t first = assembled.size();
        const size_t last = std::min(first + kPiece, kClip.size()) - 1;
        const Answer answer =
            Exchange(cluster, cluster.BalancerPort(), kClipTarget, kClientAddress,
                     {"Range: bytes=" + std::to_string(first) + "-" + std::to_string(last)});
        SCOPED_TRACE("bytes " + std::to_string(first) + " from node " + answer.node);
        ASSERT_EQ(answer.status, 206) << answer.reason;
        EXPECT_EQ(answer.contentRange, "bytes " + std::to_string(first) + "-" +
                                           std::to_string(last) + "/" +
                                           std::to_string(kClip.size()));
        ASSERT_EQ(answer.body.size(), last - first + 1);
        EXPECT_TRUE(answer.body == kClip.substr(first, last - first + 1))
            << "the bytes of the range are not the file's";
        ++pieces[answer.node];
        assembled += answer.body;
    }
    EXPECT_TRUE(assembled == kClip) << "the pieces do not make the file";
    EXPECT_GT(pieces["a"], 0) << "node a served no range";
    EXPECT_GT(pieces["b"], 0) << "node b served no range";
    Finish(cluster);
}

// ---------------------------------------------------------------------------
// Node b's clock a minute off the page's: TokenGrace looks back only, so it
// covers a node that runs ahead, not one that runs behind.

struct SkewCase {
    std::string name;
    int offsetSeconds;  // node b's clock against the real one
    int grace;          // TokenGrace on every node
    long status;        // node b's answer to a token of the real minute
    std::string reason;
};

void PrintTo(const SkewCase& c, std::ostream* out) {
    *out << c.name;
}

class ScaleOutClock : public ScaleOutBase, public ::testing::WithParamInterface<SkewCase> {
  protected:
    void SetUp() override {
        ScaleOutBase::SetUp();
        if (IsSkipped()) return;
        if (access(FaketimeLibrary().c_str(), R_OK) != 0) {
            GTEST_SKIP() << "libfaketime is not installed (Debian package faketime): "
                         << FaketimeLibrary();
        }
    }
};

time_t ParseHttpDate(const std::string& text) {
    tm parts{};
    if (strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &parts) == nullptr) return 0;
    return timegm(&parts);
}

TEST_P(ScaleOutClock, TokenOfTheMinute) {
    const SkewCase& c = GetParam();
    Cluster cluster(c.grace, {}, {c.offsetSeconds});
    ExpectStartedCleanly(cluster);
    if (HasFatalFailure()) return;

    // The offset reached node b's workers: their Date is off by it.
    for (size_t node = 0; node < 2; ++node) {
        const Answer page = cluster.Fetch(cluster.NodePort(node), "/", {});
        ASSERT_EQ(page.status, 200) << page.body;
        const long expected = node == 0 ? 0 : c.offsetSeconds;
        const long off = long(ParseHttpDate(page.date) - std::time(nullptr));
        EXPECT_NEAR(double(off), double(expected), 3.0) << "node " << page.node << " Date " << page.date;
    }

    FromBothNodes(cluster, kClipTarget, kClientAddress, {}, [&c](const Answer& answer) {
        if (answer.node == "a") {
            EXPECT_EQ(answer.status, 200) << answer.reason;
            EXPECT_TRUE(answer.body == kClip);
        } else {
            EXPECT_EQ(answer.status, c.status);
            EXPECT_EQ(answer.reason, c.reason);
            if (c.status == 200) {
                EXPECT_TRUE(answer.body == kClip);
            }
        }
    });
    Finish(cluster);
}

const SkewCase kSkewCases[] = {
    // A token of a minute still to come on the node's clock.
    {"behind_without_grace", -60, 0, 403, "token-invalid"},
    {"behind_with_grace", -60, 1, 200, ""},
    {"ahead_without_grace", 60, 0, 403, "token-expired"},
    {"ahead_with_grace", 60, 1, 200, ""},
};

INSTANTIATE_TEST_SUITE_P(ScaleOut, ScaleOutClock, ::testing::ValuesIn(kSkewCases),
                         [](const auto& test) { return test.param.name; });

// ---------------------------------------------------------------------------
// The README quotes the very files the cases above run.

TEST(ScaleOutReadme, QuotesTheFilesTheTestRuns) {
    const std::string readme = ReadFile(QELMOR_README);
    const size_t section = readme.find("\n## More than one server\n");
    ASSERT_NE(section, std::string::npos) << "the README has no section \"More than one server\"";
    const size_t end = readme.find("\n## ", section + 1);
    const std::string text = readme.substr(section, end - section);
    for (const char* path : {QELMOR_NGINX_SAMPLE_BALANCER, QELMOR_NGINX_SAMPLE_BACKEND}) {
        std::string file = ReadFile(path);
        ASSERT_FALSE(file.empty()) << path;
        while (file.back() == '\n')
            file.pop_back();
        const std::string quoted = std::string("```nginx\n") + file + "\n```\n";
        EXPECT_NE(text.find(quoted), std::string::npos)
            << "the README's section does not quote " << path << " as it is";
    }
}

}  // namespace
}  // namespace qelmor::e2e

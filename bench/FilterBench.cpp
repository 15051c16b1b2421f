// Timings of the filter's decisions through the exported entry point, with
// the digest they rest on beside them, and the heap allocations each
// decision makes.
//
//   qelmor_bench [benchmark flags]     the benchmarks, then the goals
//   qelmor_bench --check-allocations   the allocation counts only; exits
//                                      non-zero when a decision allocates
#include <benchmark/benchmark.h>
#include <openssl/md5.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/AllocationCounter.h"
#include "digest/Md5.h"
#include "platform/Platform.h"
#include "tests/support/FakeServer.h"

namespace qelmor::bench {
namespace {

// A guarded site with every class in use; the token is EncryptMode 2:
// PubKey, client address, date, hour and minute.
constexpr char kSiteIni[] = R"([KAVRO]
DomainName=www.example.test
FriendDomain=www.friend.test
PubFile=public.exe
OpenSecurity=1
UrlLength=200
BadChar=<>
PubKey=secret
PassMode=1
EncryptMode=2
CommonExt=.jpg.gif.css
AdvancedExt=.zip.rar
MediaExt=.rmvb.wmv
PlayOnline=1
SuperExt=.exe
Title=Stop
Alert=No hotlinks here
RedirectUrl=http://www.example.test/
)";
constexpr char kKey[] = "secret";
constexpr char kAddress[] = "192.0.2.10";
constexpr char kHost[] = "www.example.test";
constexpr char kForeignReferer[] = "http://elsewhere.test/page.html";
constexpr char kBrowser[] =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/124.0 Safari/537.36";
constexpr char kPlayer[] = "NSPlayer/12.00.19041.1320 WMFSDK/12.00.19041.1320";
constexpr char kCookie[] = "session=4f1c2a9e; theme=dark";
constexpr char kTokenMarker[] = "{TOKEN}";

enum class Expect { Pass, BlockPage };

// Every passing case would be refused had the step it names not decided,
// so a status check tells the intended step from any other.
struct DecisionCase {
    const char* name;
    const char* host;
    const char* referer;  // nullptr: the request has none
    const char* query;    // "{TOKEN}" becomes the valid token of the minute
    const char* agent;
    const char* path;
    Expect expect;
};

const DecisionCase kCases[] = {
    {"unexamined_host", "cdn.other.test", kForeignReferer, "id=42", kBrowser, "/srv/www/setup.exe",
     Expect::Pass},
    {"friendly_referer", kHost, "http://www.friend.test/links.html", "id=42", kBrowser,
     "/srv/www/setup.exe", Expect::Pass},
    {"public_file", kHost, kForeignReferer, "id=42", kBrowser, "/srv/www/public.exe", Expect::Pass},
    {"common_same_host", kHost, "http://www.example.test/gallery.html", "id=42", kBrowser,
     "/srv/www/images/photo.jpg", Expect::Pass},
    {"advanced_valid_token", kHost, kForeignReferer, "id=42&kavro={TOKEN}", kBrowser,
     "/srv/www/files/archive.zip", Expect::Pass},
    {"media_valid_token_player", kHost, nullptr, "id=42&kavro={TOKEN}", kPlayer,
     "/srv/www/media/movie.wmv", Expect::Pass},
    {"media_refused_block_page", kHost, nullptr, "id=42&kavro=0123456789ABCDEF0123456789ABCDEF",
     kPlayer, "/srv/www/media/movie.wmv", Expect::BlockPage},
};
constexpr std::string_view kMediaCase = "media_valid_token_player";
constexpr std::string_view kBlockPageCase = "media_refused_block_page";

std::tm LocalNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

// A token is good for its minute only; a run that starts this close to the
// next minute waits for it, so no run straddles a change of token.
std::tm StableMinute() {
    std::tm local = LocalNow();
    if (local.tm_sec >= 55) {
        std::this_thread::sleep_for(std::chrono::seconds(61 - local.tm_sec));
        local = LocalNow();
    }
    return local;
}

// The digest input as an issuing page builds it for EncryptMode 2 on a host
// with the default short date pattern m/d/yy.
std::string TokenInputAt(const std::tm& local) {
    char clock[64];
    std::snprintf(clock, sizeof clock, "%d/%d/%02d%d%d", local.tm_mon + 1, local.tm_mday,
                  local.tm_year % 100, local.tm_hour, local.tm_min);
    return std::string(kKey) + kAddress + clock;
}

std::string OpenSslUpperHex(std::string_view input) {
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned char byte : digest) {
        hex += kHex[byte >> 4];
        hex += kHex[byte & 15];
    }
    return hex;
}

using testing::FakeRequest;
using testing::FilterLibrary;
using testing::TempFolder;

// The library copied as qelmor.so into a folder of its own beside `ini` as
// KAVRO.ini, loaded and registered.
class LoadedFilter {
  public:
    LoadedFilter(const std::string& libraryPath, const std::string& ini) {
        try {
            folder_.CopyIn(libraryPath, "qelmor.so");
            folder_.Write("KAVRO.ini", ini);
        } catch (const std::exception& failure) {
            error_ = "cannot copy " + libraryPath + ": " + failure.what();
            return;
        }
        library_ = std::make_unique<FilterLibrary>(folder_.File("qelmor.so"));
        if (!library_->Loaded()) {
            error_ = library_->Error();
            return;
        }
        HTTP_FILTER_VERSION version{};
        version.dwServerFilterVersion = HTTP_FILTER_REVISION;
        if (!library_->Register(version)) error_ = "GetFilterVersion refused";
    }

    // Empty when the library loaded and registered.
    const std::string& Error() const { return error_; }

    // One URL-map notification of `request`; what it wrote is of this run.
    uint32_t Run(FakeRequest& request) const {
        request.bytesWritten = 0;
        request.writeCalls = 0;
        return library_->Run(request);
    }

  private:
    TempFolder folder_;
    std::unique_ptr<FilterLibrary> library_;
    std::string error_;
};

LoadedFilter& SiteFilter() {
    static LoadedFilter filter(std::getenv("QELMOR_LIBRARY") != nullptr
                                   ? std::getenv("QELMOR_LIBRARY")
                                   : QELMOR_LIBRARY_PATH,
                               kSiteIni);
    return filter;
}

// A case's request with its token resolved for the current minute.
struct PreparedCase {
    explicit PreparedCase(const DecisionCase& decision) : source(decision) {
        query = decision.query;
        const size_t marker = query.find(kTokenMarker);
        if (marker != std::string::npos) {
            query.replace(marker, sizeof kTokenMarker - 1,
                          OpenSslUpperHex(TokenInputAt(StableMinute())));
        }
        request.variables["HTTP_HOST"] = decision.host;
        if (decision.referer != nullptr) request.variables["HTTP_REFERER"] = decision.referer;
        request.variables["REMOTE_ADDR"] = kAddress;
        request.variables["QUERY_STRING"] = query;
        request.variables["HTTP_COOKIE"] = kCookie;
        request.variables["HTTP_USER_AGENT"] = decision.agent;
        request.physicalPath = decision.path;
        // Nothing the server does while the filter runs may allocate, so an
        // allocation seen then is the filter's.
        request.recordReads = false;
        request.recordWrites = false;
        request.pathStorage = pathStorage;
        request.arena = arena;
    }
    PreparedCase(const PreparedCase&) = delete;
    PreparedCase& operator=(const PreparedCase&) = delete;

    uint32_t ExpectedStatus() const {
        return source.expect == Expect::Pass ? SF_STATUS_REQ_NEXT_NOTIFICATION
                                             : SF_STATUS_REQ_FINISHED;
    }

    // Empty when the last run ended as the case expects.
    std::string CheckOutcome(uint32_t status) const {
        if (status != ExpectedStatus()) return "unexpected status " + std::to_string(status);
        if (!request.pathInServerBuffer || request.finalPath != request.physicalPath)
            return "the physical path was replaced";
        const bool wrote = request.bytesWritten > 0;
        if (wrote != (source.expect == Expect::BlockPage)) {
            return wrote ? "wrote to the client" : "sent no block page";
        }
        return {};
    }

    const DecisionCase& source;
    std::string query;
    // The server's storage: the path buffer and the AllocMem arena.
    std::array<char, 1024> pathStorage{};
    alignas(16) std::array<char, 4096> arena{};
    FakeRequest request;
};

void DecisionBenchmark(benchmark::State& state, const DecisionCase& decision) {
    LoadedFilter& filter = SiteFilter();
    if (!filter.Error().empty()) {
        state.SkipWithError(filter.Error().c_str());
        return;
    }
    PreparedCase prepared(decision);
    // The first decision of the process reads the time-zone file.
    const std::string warmUp = prepared.CheckOutcome(filter.Run(prepared.request));
    if (!warmUp.empty()) {
        state.SkipWithError(warmUp.c_str());
        return;
    }
    const uint32_t expected = prepared.ExpectedStatus();
    uint64_t allocations = 0;
    uint64_t wrong = 0;
    for (auto _ : state) {
        StartCountingAllocations();
        const uint32_t status = filter.Run(prepared.request);
        allocations += StopCountingAllocations();
        wrong += status != expected ? 1 : 0;
    }
    if (wrong != 0) {
        state.SkipWithError("a decision differed from the expected one");
        return;
    }
    state.counters["allocs"] =
        benchmark::Counter(double(allocations), benchmark::Counter::kAvgIterations);
}

void DigestTextBenchmark(benchmark::State& state) {
    const std::string input(size_t(state.range(0)), 'k');
    for (auto _ : state) {
        Digest digest = DigestText(input);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

void OpenSslMd5(benchmark::State& state, std::string_view input) {
    unsigned char digest[MD5_DIGEST_LENGTH];
    for (auto _ : state) {
        MD5(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
        benchmark::DoNotOptimize(digest);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(input.size()));
}

void OpenSslMd5Benchmark(benchmark::State& state) {
    const std::string input(size_t(state.range(0)), 'k');
    OpenSslMd5(state, input);
}

// The floor of a valid-token decision: one digest of its input.
void OpenSslTokenInputBenchmark(benchmark::State& state) {
    const std::string input = TokenInputAt(StableMinute());
    state.SetLabel(std::to_string(input.size()) + " bytes");
    OpenSslMd5(state, input);
}

void DigestTextTokenInputBenchmark(benchmark::State& state) {
    const std::string input = TokenInputAt(StableMinute());
    state.SetLabel(std::to_string(input.size()) + " bytes");
    for (auto _ : state) {
        Digest digest = DigestText(input);
        benchmark::DoNotOptimize(digest);
    }
}

// Part of every clocked token check: the date, then the clock twice.
void ThreeClockReadsBenchmark(benchmark::State& state) {
    for (auto _ : state) {
        platform::LocalClock date = platform::ReadLocalClock();
        platform::LocalClock hour = platform::ReadLocalClock();
        platform::LocalClock minute = platform::ReadLocalClock();
        benchmark::DoNotOptimize(date);
        benchmark::DoNotOptimize(hour);
        benchmark::DoNotOptimize(minute);
    }
}

void RegisterBenchmarks() {
    for (const DecisionCase& decision : kCases) {
        benchmark::RegisterBenchmark(("HttpFilterProc/" + std::string(decision.name)).c_str(),
                                     DecisionBenchmark, decision)
            ->Unit(benchmark::kNanosecond);
    }
    benchmark::RegisterBenchmark("OpenSSL_MD5/token_input", OpenSslTokenInputBenchmark)
        ->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark("DigestText/token_input", DigestTextTokenInputBenchmark)
        ->Unit(benchmark::kNanosecond);
    for (int64_t size : {16, 64, 1024}) {
        benchmark::RegisterBenchmark("DigestText", DigestTextBenchmark)
            ->Arg(size)
            ->Unit(benchmark::kNanosecond);
        benchmark::RegisterBenchmark("OpenSSL_MD5", OpenSslMd5Benchmark)
            ->Arg(size)
            ->Unit(benchmark::kNanosecond);
    }
    benchmark::RegisterBenchmark("LocalClock/three_reads", ThreeClockReadsBenchmark)
        ->Unit(benchmark::kNanosecond);
}

// The console table, then each goal against the fastest repetition of the
// benchmarks it compares.
class GoalReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            Figures& figures = figures_[run.benchmark_name()];
            const double time = run.GetAdjustedCPUTime();
            if (figures.runs == 0 || time < figures.bestTime) figures.bestTime = time;
            const auto allocs = run.counters.find("allocs");
            if (allocs != run.counters.end() && allocs->second.value > figures.allocs) {
                figures.allocs = allocs->second.value;
            }
            ++figures.runs;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        std::ostream& out = GetOutputStream();
        out << "\nGoals (fastest repetition of each benchmark):\n";
        Ratio(out, "DigestText vs OpenSSL MD5, 64 bytes", "DigestText/64", "OpenSSL_MD5/64", 1.2);
        Ratio(out, "valid-token media decision vs one OpenSSL MD5 of its input",
              "HttpFilterProc/" + std::string(kMediaCase), "OpenSSL_MD5/token_input", 1.5);
        for (const DecisionCase& decision : kCases) {
            const auto found = figures_.find("HttpFilterProc/" + std::string(decision.name));
            if (found == figures_.end()) continue;
            const double allocs = found->second.allocs;
            const bool blockPage = decision.name == kBlockPageCase;
            // The block page is built on the heap; its count shows the
            // counter sees the library's allocations at all.
            const bool met = blockPage ? allocs >= 1 : allocs == 0;
            char line[200];
            std::snprintf(line, sizeof line, "  allocations per decision, %-26s %6.2f (%s) %s\n",
                          decision.name, allocs, blockPage ? "expected >= 1" : "goal 0",
                          met ? "met" : "NOT MET");
            out << line;
        }
    }

  private:
    struct Figures {
        double bestTime = 0;
        double allocs = 0;
        int runs = 0;
    };

    void Ratio(std::ostream& out, const std::string& what, const std::string& measured,
               const std::string& floor, double goal) const {
        const auto a = figures_.find(measured);
        const auto b = figures_.find(floor);
        if (a == figures_.end() || b == figures_.end()) {
            out << "  " << what << ": not measured in this run\n";
            return;
        }
        const double ratio = a->second.bestTime / b->second.bestTime;
        char line[240];
        std::snprintf(line, sizeof line, "  %s: %.1f ns / %.1f ns = %.2fx (goal <= %.2fx) %s\n",
                      what.c_str(), a->second.bestTime, b->second.bestTime, ratio, goal,
                      ratio <= goal ? "met" : "NOT MET");
        out << line;
    }

    std::map<std::string, Figures> figures_;
};

// Each case warmed up, then counted over many decisions.
int CheckAllocations() {
    LoadedFilter& filter = SiteFilter();
    if (!filter.Error().empty()) {
        std::fprintf(stderr, "cannot load the filter: %s\n", filter.Error().c_str());
        return 1;
    }
    constexpr int kDecisions = 1000;
    int passed = 0, failed = 0;
    for (const DecisionCase& decision : kCases) {
        PreparedCase prepared(decision);
        std::string problem;
        for (int i = 0; i < 3 && problem.empty(); ++i)
            problem = prepared.CheckOutcome(filter.Run(prepared.request));
        uint64_t allocations = 0;
        for (int i = 0; i < kDecisions && problem.empty(); ++i) {
            StartCountingAllocations();
            const uint32_t status = filter.Run(prepared.request);
            allocations += StopCountingAllocations();
            problem = prepared.CheckOutcome(status);
        }
        const double perDecision = double(allocations) / kDecisions;
        if (problem.empty()) {
            const bool blockPage = decision.name == kBlockPageCase;
            if (blockPage && allocations < kDecisions) {
                problem = "the block page allocated nothing: the counter does not see the library";
            } else if (!blockPage && allocations != 0) {
                problem = "allocates on the heap";
            }
        }
        std::printf("%-8s %-26s %.3f allocations per decision%s%s\n",
                    problem.empty() ? "PASS" : "FAIL", decision.name, perDecision,
                    problem.empty() ? "" : ": ", problem.c_str());
        (problem.empty() ? passed : failed) += 1;
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace
}  // namespace qelmor::bench

int main(int argc, char** argv) {
    using namespace qelmor::bench;
    if (argc == 2 && std::string_view(argv[1]) == "--check-allocations") return CheckAllocations();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RegisterBenchmarks();
    GoalReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

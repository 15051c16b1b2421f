#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "filter/FilterConfig.h"
#include "filter/IsapiAdapter.h"
#include "tests/filter/TestHelpers.h"
#include "tests/support/PolicyCases.h"

namespace qelmor::testing {
namespace {

std::string CaseName(const ::testing::TestParamInfo<PolicyCase>& info) {
    return info.param.name;
}

// The real qelmor.so, registered anew for each case's KAVRO.ini.
CaseHost SharedLibraryHost(InstalledFilter& filter, FilterLibrary& library) {
    CaseHost host;
    host.configure = [&](const std::string& ini) {
        filter.WriteIni(ini);
        HTTP_FILTER_VERSION version{};
        return library.Register(version) != 0;
    };
    host.run = [&](FakeRequest& request, std::optional<PolicyStep>&) {
        return library.Run(request);
    };
    host.token = TokenNow;
    host.minuteOfDay = MinuteOfDayNow;
    return host;
}

// The same policy linked in, which also tells which step decided.
CaseHost InProcessHost(TempFolder& folder, FilterConfig& config) {
    CaseHost host;
    host.configure = [&](const std::string& ini) {
        folder.Write("KAVRO.ini", ini);
        config = FilterConfig{};
        LoadFilterConfig(config, folder.File("KAVRO.ini"));
        return true;
    };
    host.run = [&](FakeRequest& request, std::optional<PolicyStep>& step) {
        return RunRequest(request, [&](HTTP_FILTER_CONTEXT* context, uint32_t type, void* map) {
            const Decision decision = UrlMapPolicy(context, type, map, config, CurrentLocale(),
                                                   ClockReading(ReadTokenClock));
            step = decision.step;
            return decision.status;
        });
    };
    host.token = TokenNow;
    host.minuteOfDay = MinuteOfDayNow;
    return host;
}

class PolicyTableTest : public ::testing::TestWithParam<PolicyCase> {};

TEST_P(PolicyTableTest, ThroughTheExportedEntryPoint) {
    InstalledFilter filter;
    FilterLibrary library(filter.libraryPath);
    ASSERT_TRUE(library.Loaded()) << library.Error();
    EXPECT_EQ(RunPolicyCase(GetParam(), SharedLibraryHost(filter, library)), "");
}

TEST_P(PolicyTableTest, InProcessWithDecidingStep) {
    TempFolder folder;
    FilterConfig config;
    EXPECT_EQ(RunPolicyCase(GetParam(), InProcessHost(folder, config)), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, PolicyTableTest, ::testing::ValuesIn(AllPolicyCases()), CaseName);

// The host gate reads the host before it looks at the notification type.
TEST(PolicyGateTest, OtherNotificationReadsOnlyTheHost) {
    InstalledFilter filter;
    filter.WriteIni("[KAVRO]\nSuperExt=.exe\n");
    FilterLibrary library(filter.libraryPath);
    ASSERT_TRUE(library.Loaded()) << library.Error();
    HTTP_FILTER_VERSION version{};
    ASSERT_TRUE(library.Register(version));
    FakeRequest request;
    request.variables = {{"HTTP_HOST", "a.test"}, {"HTTP_REFERER", "http://b.test/"}};
    request.physicalPath = "/srv/x.exe";
    request.notificationType = SF_NOTIFY_LOG;
    EXPECT_EQ(library.Run(request), SF_STATUS_REQ_NEXT_NOTIFICATION);
    EXPECT_EQ(request.variablesRead, std::vector<std::string>{"HTTP_HOST"});
}

struct Observed {
    uint32_t status;
    std::string written;
    std::string path;
    bool operator==(const Observed&) const = default;
};

// Eight threads decide the same mixed table at once, through one loaded
// library, and must agree with the single-thread answers.
TEST(PolicyConcurrencyTest, EightThreadsAgreeWithOneThread) {
    InstalledFilter filter;
    FilterLibrary library(filter.libraryPath);
    ASSERT_TRUE(library.Loaded()) << library.Error();
    CaseHost host = SharedLibraryHost(filter, library);

    std::vector<const PolicyCase*> cases;
    for (const PolicyCase& c : AllPolicyCases()) {
        if (std::string_view(c.config->key) == "secret") cases.push_back(&c);
    }
    ASSERT_GT(cases.size(), 40u);
    ASSERT_TRUE(host.configure(cases.front()->config->ini));

    for (int attempt = 0; attempt < 3; ++attempt) {
        const int minute = MinuteOfDayNow();
        std::vector<FakeRequest> requests;
        std::vector<Observed> expected;
        for (const PolicyCase* c : cases) {
            requests.push_back(BuildRequest(*c, host));
            FakeRequest request = requests.back();
            const uint32_t status = library.Run(request);
            expected.push_back({status, request.written, request.finalPath});
        }

        constexpr int kThreads = 8;
        constexpr int kRounds = 20;
        std::vector<std::string> failures(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int round = 0; round < kRounds; ++round) {
                    for (size_t i = 0; i < requests.size(); ++i) {
                        const size_t k = (i + size_t(t) * 7) % requests.size();
                        FakeRequest request = requests[k];
                        const uint32_t status = library.Run(request);
                        if (!(Observed{status, request.written, request.finalPath} ==
                              expected[k])) {
                            failures[size_t(t)] = cases[k]->name;
                        }
                    }
                }
            });
        }
        for (auto& thread : threads)
            thread.join();
        if (MinuteOfDayNow() != minute) continue;
        for (int t = 0; t < kThreads; ++t)
            EXPECT_EQ(failures[size_t(t)], "") << "thread " << t;
        return;
    }
    FAIL() << "the minute changed during every attempt";
}

// A server registers the filter again (a reload) while requests run. Each
// request must be decided by one whole configuration, the old or the new,
// never a mixture or a configuration half replaced.
TEST(PolicyConcurrencyTest, RegistrationWhileEightThreadsDecide) {
    InstalledFilter filter;
    FilterLibrary library(filter.libraryPath);
    ASSERT_TRUE(library.Loaded()) << library.Error();
    // Title and Alert belong together; the block page shows both.
    const std::string configs[] = {
        "[KAVRO]\nSuperExt=.exe\nTitle=" + std::string(200, 'A') + "\nAlert=alert-of-A\n",
        "[KAVRO]\nSuperExt=.exe\nTitle=" + std::string(180, 'B') + "\nAlert=alert-of-B\n",
    };
    const auto whole = [&](const std::string& page) {
        const bool a = page.find(std::string(200, 'A')) != std::string::npos;
        const bool b = page.find(std::string(180, 'B')) != std::string::npos;
        return (a && !b && page.find("alert-of-A") != std::string::npos &&
                page.find("alert-of-B") == std::string::npos) ||
               (b && !a && page.find("alert-of-B") != std::string::npos &&
                page.find("alert-of-A") == std::string::npos);
    };
    HTTP_FILTER_VERSION version{};
    filter.WriteIni(configs[0]);
    ASSERT_NE(library.Register(version), 0);

    constexpr int kThreads = 8;
    constexpr int kRegistrations = 200;
    std::atomic<bool> done{false};
    std::vector<std::string> failures(kThreads);
    std::vector<int> decided(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!done.load(std::memory_order_relaxed)) {
                FakeRequest request;
                request.recordReads = false;
                request.variables["HTTP_HOST"] = "www.example.test";
                request.physicalPath = "/srv/www/setup.exe";
                const uint32_t status = library.Run(request);
                if (status != SF_STATUS_REQ_FINISHED || !whole(request.written)) {
                    failures[size_t(t)] = "status " + std::to_string(status) + ", wrote " +
                                          request.written.substr(0, 300);
                }
                ++decided[size_t(t)];
            }
        });
    }
    int registered = 0;
    for (int i = 1; i <= kRegistrations; ++i) {
        filter.WriteIni(configs[i % 2]);
        registered += library.Register(version) != 0 ? 1 : 0;
    }
    done = true;
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(registered, kRegistrations);
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(failures[size_t(t)], "") << "thread " << t;
        EXPECT_GT(decided[size_t(t)], 0) << "thread " << t;
    }
}

}  // namespace
}  // namespace qelmor::testing

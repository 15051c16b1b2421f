// Many clients at once: the filter runs on many worker threads together,
// and every answer must still be the right one.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "tests/serve/SiteFixture.h"

namespace qelmor::serve::testing {
namespace {

struct LoadCase {
    const char* name;
    HttpRequest request;
    long status;
    std::string body;
};

using LoadTest = SiteTest;

TEST_F(LoadTest, EightClientsFiveHundredMixedRequestsEach) {
    const std::string token = VideoToken("127.0.0.1");
    const std::string player = "User-Agent: NSPlayer/9.0";
    const std::vector<LoadCase> cases = {
        {"page", {Url("/index.html"), {}}, 200, kVideoPage},
        {"same-host style", {Url("/style.css"), {SameHostReferer()}}, 200, kVideoStyle},
        {"hotlinked style",
         {Url("/style.css"), {"Referer: http://elsewhere.test/"}},
         403,
         kVideoBlockPage},
        {"media with token", {Url("/media/clip.mp4?kavro=" + token), {player}}, 200, kVideoClip},
        {"media range",
         {Url("/media/clip.mp4?kavro=" + token), {player, "Range: bytes=5000-7999"}},
         206,
         kVideoClip.substr(5000, 3000)},
        {"media without token", {Url("/media/clip.mp4"), {player}}, 200, kVideoNotice},
        {"download without token", {Url("/files/guide.zip"), {}}, 403, kVideoBlockPage},
        {"download with token", {Url("/files/guide.zip?kavro=" + token), {}}, 200, kVideoGuide},
        {"missing", {Url("/nope.html"), {}}, 404, ""},
        {"head of media", {Url("/media/clip.mp4?kavro=" + token), {player}, "HEAD"}, 200, ""},
        {"long query", {Url("/index.html?" + std::string(300, 'q')), {}}, 403, kLengthMessage},
        {"traversal", {Url("/../etc/passwd"), {}, "GET", true}, 400, ""},
    };
    constexpr int kClients = 8;
    constexpr int kRequestsEach = 500;

    std::atomic<int> wrong{0};
    std::mutex reportMutex;
    std::vector<std::string> reports;
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::thread> clients;
    for (int client = 0; client < kClients; ++client) {
        clients.emplace_back([&, client] {
            HttpClient http;
            for (int i = 0; i < kRequestsEach; ++i) {
                const LoadCase& c = cases[size_t(i * 7 + client) % cases.size()];
                const HttpResponse response = http.Send(c.request);
                const bool bodyRight =
                    c.status == 404 || c.status == 400 ? true : response.body == c.body;
                if (response.curlCode != 0 || response.status != c.status || !bodyRight) {
                    ++wrong;
                    std::lock_guard lock(reportMutex);
                    if (reports.size() < 10) {
                        reports.push_back(std::string(c.name) + ": curl " +
                                          std::to_string(response.curlCode) + ", status " +
                                          std::to_string(response.status) + ", " +
                                          std::to_string(response.body.size()) + " bytes");
                    }
                }
            }
        });
    }
    for (std::thread& thread : clients)
        thread.join();
    const auto elapsed = std::chrono::steady_clock::now() - started;

    for (const std::string& report : reports)
        ADD_FAILURE() << report;
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_TRUE(server_.Running());
    std::printf("%d requests in %lld ms\n", kClients * kRequestsEach,
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
}

}  // namespace
}  // namespace qelmor::serve::testing

// Input no browser sends: the server answers or closes cleanly, and keeps
// serving.
#include <gtest/gtest.h>

#include "tests/serve/SiteFixture.h"

namespace qelmor::serve::testing {
namespace {

class BadInputTest : public SiteTest {
  protected:
    // After every bad request a good one must still be answered in full.
    void ExpectStillServing() {
        EXPECT_TRUE(server_.Running());
        HttpClient fresh;
        const HttpResponse page = fresh.Get(Url("/index.html"));
        EXPECT_EQ(page.status, 200);
        EXPECT_EQ(page.body, kVideoPage);
    }

    static std::string StatusLineOf(const std::string& received) {
        return received.substr(0, received.find("\r\n"));
    }
};

struct RawCase {
    const char* name;
    std::string request;
    int status;  // 0: any 4xx answer, or closing without one
};

TEST_F(BadInputTest, MalformedRequestsAreRefusedCleanly) {
    const std::string host = "Host: 127.0.0.1\r\n";
    const RawCase cases[] = {
        {"raw NUL in the path", std::string("GET /a\0b.html HTTP/1.1\r\n", 25) + host + "\r\n",
         400},
        {"encoded NUL", "GET /index%00.html HTTP/1.1\r\n" + host + "\r\n", 400},
        {"bad escape", "GET /index%zz.html HTTP/1.1\r\n" + host + "\r\n", 400},
        {"escape cut short", "GET /index.html%4 HTTP/1.1\r\n" + host + "\r\n", 400},
        {"dot-dot", "GET /../etc/passwd HTTP/1.1\r\n" + host + "\r\n", 400},
        {"deeper dot-dot", "GET /media/../../etc/passwd HTTP/1.1\r\n" + host + "\r\n", 400},
        {"encoded dot-dot", "GET /%2e%2e/etc/passwd HTTP/1.1\r\n" + host + "\r\n", 400},
        {"encoded slashes", "GET /media/..%2f..%2fetc%2fpasswd HTTP/1.1\r\n" + host + "\r\n", 400},
        {"not a request", "HELLO THERE\r\n\r\n", 0},
        {"header of 64 KiB",
         "GET /index.html HTTP/1.1\r\n" + host + "X-Big: " + std::string(64 * 1024, 'a') +
             "\r\n\r\n",
         0},
    };
    for (const RawCase& c : cases) {
        SCOPED_TRACE(c.name);
        const RawResult result = RawExchange(server_.Port(), c.request);
        if (c.status != 0 || !result.received.empty()) {
            ASSERT_TRUE(result.received.starts_with("HTTP/1.")) << result.received.substr(0, 80);
            const std::string status = result.received.substr(9, 3);
            if (c.status != 0) {
                EXPECT_EQ(status, std::to_string(c.status)) << StatusLineOf(result.received);
            } else {
                EXPECT_EQ(status[0], '4') << StatusLineOf(result.received);
            }
        }
        EXPECT_EQ(result.received.find("root:"), std::string::npos);
        ExpectStillServing();
    }
}

TEST_F(BadInputTest, TraversalNeverReachesTheFilterOrTheDisk) {
    // A file beside the root that a climb would reach.
    site_.tree.Write("secret.txt", "outside the root");
    HttpClient raw;
    for (const char* target :
         {"/../secret.txt", "/%2e%2e/secret.txt", "/media/%2E%2E/../secret.txt"}) {
        SCOPED_TRACE(target);
        const HttpResponse response = raw.Send({Url(target), {}, "GET", true});
        EXPECT_EQ(response.status, 400);
        EXPECT_EQ(response.body.find("outside the root"), std::string::npos);
    }
    ExpectStillServing();
}

TEST_F(BadInputTest, BareLineFeedsAreUnderstood) {
    const RawResult result = RawExchange(
        server_.Port(), "GET /index.html HTTP/1.1\nHost: 127.0.0.1\nConnection: close\n\n");
    EXPECT_EQ(StatusLineOf(result.received), "HTTP/1.1 200 OK");
    EXPECT_TRUE(result.received.ends_with(kVideoPage));
    ExpectStillServing();
}

TEST_F(BadInputTest, LongQueryWithSecurityOnIsRefusedNotPassed) {
    const RawResult result = RawExchange(
        server_.Port(), "GET /media/clip.mp4?kavro=" + VideoToken("127.0.0.1") +
                            "&pad=" + std::string(10000, 'x') +
                            " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: NSPlayer/9.0\r\n\r\n");
    EXPECT_EQ(StatusLineOf(result.received), "HTTP/1.1 403 Forbidden");
    EXPECT_TRUE(result.received.ends_with("\r\n\r\n" + kLengthMessage));
    EXPECT_TRUE(result.closedByServer);
    ExpectStillServing();
}

TEST_F(BadInputTest, ClientsThatHangUpMidway) {
    // Half a request line, half the headers, a body promised and not sent.
    SendAndHangUp(server_.Port(), "GET /index.ht");
    SendAndHangUp(server_.Port(), "GET /index.html HTTP/1.1\r\nHost: 127.");
    SendAndHangUp(server_.Port(),
                  "POST /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1000\r\n\r\nab");
    // A large answer abandoned after its first bytes.
    for (int i = 0; i < 4; ++i) {
        const RawResult partial =
            RawExchange(server_.Port(),
                        "GET /media/big.mp4?kavro=" + VideoToken("127.0.0.1") +
                            " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: NSPlayer/9.0\r\n\r\n",
                        std::chrono::milliseconds(1500), 1000);
        EXPECT_TRUE(partial.received.starts_with("HTTP/1.1 200 OK"));
    }
    ExpectStillServing();
}

TEST_F(BadInputTest, OtherMethodsAreNotAllowed) {
    const RawResult result =
        RawExchange(server_.Port(),
                    "DELETE /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(StatusLineOf(result.received), "HTTP/1.1 405 Method Not Allowed");
    EXPECT_NE(result.received.find("Allow: GET, HEAD\r\n"), std::string::npos);
    ExpectStillServing();
}

}  // namespace
}  // namespace qelmor::serve::testing

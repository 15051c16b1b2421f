// What an operator does to a running server and what its clients do to it:
// many idle and slow connections, addresses of both families, a reload of
// the filter's settings, a rotated log and a stop with downloads running.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/serve/SiteFixture.h"

namespace qelmor::serve::testing {
namespace {

using namespace std::chrono_literals;

// A TCP connection to 127.0.0.1:`port`, or -1.
int Connect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

struct Connections {
    std::vector<int> fds;
    ~Connections() {
        for (int fd : fds) close(fd);
    }
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class OperationsTest : public SiteTest {
  protected:
    OperationsTest() : SiteTest("[KAVRO]\n") {}
};

// A server with a thread per connection runs out of threads long before
// this; on event loops the idle and the slow only cost memory. Their
// request timeout is a minute, so a server that waits on them fails the
// client's own timeout.
TEST(ServeConnectionsTest, IdleAndSlowConnectionsDoNotHoldUpARequest) {
    Site site("[KAVRO]\n");
    ServeProcess server;
    std::vector<std::string> arguments = site.Arguments();
    arguments.insert(arguments.end(), {"--threads", "1", "--request-timeout", "60"});
    ASSERT_TRUE(server.Start(arguments)) << server.Output() << server.Errors();

    Connections open;
    for (int i = 0; i < 500; ++i) {
        const int fd = Connect(server.Port());
        ASSERT_GE(fd, 0) << "connection " << i;
        open.fds.push_back(fd);
    }
    // Heads that never end.
    for (int i = 0; i < 50; ++i) {
        const int fd = Connect(server.Port());
        ASSERT_GE(fd, 0);
        const std::string part = "GET /index.html HTTP/1.1\r\nHost: slow.test\r\nX-Wait: ";
        ASSERT_EQ(write(fd, part.data(), part.size()), ssize_t(part.size()));
        open.fds.push_back(fd);
    }
    HttpClient client;
    const HttpResponse response = client.Get(server.Url("/index.html"));
    EXPECT_EQ(response.status, 200) << response.curlCode;
    EXPECT_EQ(response.body, kVideoPage);
    EXPECT_EQ(server.Stop(), 0) << server.Errors();
}

// An idle connection and one whose head never ends are both closed once
// the request timeout passes; a server that kept them would let them pile
// up. (The client's own limit is ten times the server's.)
TEST(ServeConnectionsTest, IdleAndSlowConnectionsAreTimedOut) {
    Site site("[KAVRO]\n");
    ServeProcess server;
    std::vector<std::string> arguments = site.Arguments();
    arguments.insert(arguments.end(), {"--request-timeout", "1"});
    ASSERT_TRUE(server.Start(arguments)) << server.Output() << server.Errors();
    const struct {
        const char* name;
        std::string sent;
    } cases[] = {
        {"idle", ""},
        {"slow head", "GET /index.html HTTP/1.1\r\nHost: slow.test\r\nX-Wait: a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int fd = Connect(server.Port());
        ASSERT_GE(fd, 0);
        if (!c.sent.empty()) {
            ASSERT_EQ(send(fd, c.sent.data(), c.sent.size(), MSG_NOSIGNAL), ssize_t(c.sent.size()));
        }
        timeval limit{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        char byte;
        ssize_t got;
        // A slow client keeps sending; the server must close all the same.
        do {
            if (!c.sent.empty()) (void)!send(fd, "a", 1, MSG_NOSIGNAL);
            got = read(fd, &byte, 1);
        } while (got > 0);
        EXPECT_EQ(got, 0) << "the server did not close the connection";
        close(fd);
    }
    EXPECT_EQ(server.Stop(), 0) << server.Errors();
}

// Whether this machine can bind ::1 at all.
bool HasIpv6Loopback() {
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

TEST(ServeConnectionsTest, ListensOnEveryAddressOfBothFamilies) {
    if (!HasIpv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback";
    Site site("[KAVRO]\n");
    ChildProcess process;
    std::vector<std::string> argv{ServeProgram()};
    for (const std::string& argument : site.Arguments()) argv.push_back(argument);
    argv.insert(argv.end(), {"--listen", "127.0.0.1:0", "--listen", "[::1]:0"});
    ASSERT_TRUE(process.Start(argv));
    ASSERT_TRUE(process.WaitForOutput(
        [](const std::string& out) { return out.find("listening on http://[::1]:") != std::string::npos; },
        30s))
        << process.Output() << process.Errors();
    const std::string out = process.Output();
    std::vector<std::string> urls;
    for (size_t at = out.find("listening on "); at != std::string::npos;
         at = out.find("listening on ", at + 1)) {
        const size_t start = at + 13;
        urls.push_back(out.substr(start, out.find('\n', start) - start));
    }
    ASSERT_EQ(urls.size(), 2u) << out;
    HttpClient client;
    for (const std::string& url : urls) {
        SCOPED_TRACE(url);
        const HttpResponse response = client.Get(url + "index.html");
        EXPECT_EQ(response.status, 200) << response.curlCode;
        EXPECT_EQ(response.body, kVideoPage);
    }
    // The log line follows the response.
    EXPECT_TRUE(process.WaitForOutput(
        [](const std::string& text) { return text.find("::1 - - [") != std::string::npos; }, 10s))
        << process.Output();
    EXPECT_EQ(process.Stop(SIGTERM, 30s), 0) << process.Errors();
}

TEST_F(OperationsTest, HangUpRereadsTheSettingsWithoutDroppingAConnection) {
    EXPECT_EQ(client_.Get(Url("/data.mdb")).status, 200);

    // Requests run all along; none may fail across the reloads.
    std::atomic<bool> done{false};
    std::atomic<int> failed{0}, served{0};
    std::thread traffic([&] {
        HttpClient own;
        while (!done) {
            const HttpResponse response = own.Get(Url("/index.html"));
            (response.status == 200 && response.body == kVideoPage ? served : failed)++;
        }
    });
    site_.tree.Write("filter/KAVRO.ini", "[KAVRO]\nSuperExt=.mdb\n");
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(kill(server_.Pid(), SIGHUP), 0);
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(server_.WaitForOutput("SIGHUP: the filter registered again")) << server_.Output();
    done = true;
    traffic.join();
    EXPECT_EQ(failed, 0);
    EXPECT_GT(served, 0);

    // The connection kept alive from before the reloads still serves, now
    // under the new settings.
    const HttpResponse refused = client_.Get(Url("/data.mdb"));
    EXPECT_EQ(refused.connects, 0);
    EXPECT_NE(refused.status, 200);
    EXPECT_EQ(refused.body.find("secret"), std::string::npos);
}

TEST_F(OperationsTest, HangUpWithoutSettingsKeepsTheOnesInForce) {
    site_.tree.Write("filter/KAVRO.ini", "[KAVRO]\nSuperExt=.mdb\n");
    kill(server_.Pid(), SIGHUP);
    ASSERT_TRUE(server_.WaitForOutput("SIGHUP: the filter registered again")) << server_.Output();
    std::remove(site_.tree.File("filter/KAVRO.ini").c_str());
    kill(server_.Pid(), SIGHUP);
    EXPECT_TRUE(server_.WaitForOutput("KAVRO.ini")) << server_.Output();
    std::this_thread::sleep_for(200ms);
    EXPECT_NE(server_.Errors().find("not registered again"), std::string::npos) << server_.Errors();
    const HttpResponse response = client_.Get(Url("/data.mdb"));
    EXPECT_EQ(response.body.find("secret"), std::string::npos) << response.status;
}

TEST(ServeLogTest, UserSignalReopensARotatedLog) {
    Site site("[KAVRO]\n");
    const std::string log = site.tree.File("access.log");
    ServeProcess server;
    std::vector<std::string> arguments = site.Arguments();
    arguments.insert(arguments.end(), {"--access-log", log});
    ASSERT_TRUE(server.Start(arguments)) << server.Output() << server.Errors();
    HttpClient client;
    client.Get(server.Url("/index.html?before"));
    // The line follows the response; rotate only once it is written.
    for (int i = 0; i < 200 && ReadFile(log).find("?before") == std::string::npos; ++i)
        std::this_thread::sleep_for(50ms);
    ASSERT_EQ(std::rename(log.c_str(), (log + ".1").c_str()), 0);
    ASSERT_EQ(kill(server.Pid(), SIGUSR1), 0);
    ASSERT_TRUE(server.WaitForOutput("access log reopened")) << server.Output();
    client.Get(server.Url("/index.html?after"));
    EXPECT_EQ(server.Stop(), 0) << server.Errors();

    const std::string rotated = ReadFile(log + ".1");
    const std::string current = ReadFile(log);
    EXPECT_NE(rotated.find("\"GET /index.html?before HTTP/1.1\" 200 "), std::string::npos) << rotated;
    EXPECT_EQ(rotated.find("?after"), std::string::npos) << rotated;
    EXPECT_NE(current.find("\"GET /index.html?after HTTP/1.1\" 200 "), std::string::npos) << current;
    // Nothing of the log went to standard output.
    EXPECT_EQ(server.Output().find("\"GET /index.html"), std::string::npos);
}

// A log tool reads every line as the combined format with one more field.
TEST(ServeLogTest, GoAccessReadsEveryLine) {
    if (access("/usr/bin/goaccess", X_OK) != 0) GTEST_SKIP() << "goaccess is not installed";
    Site site(kVideoIni);
    const std::string log = site.tree.File("access.log");
    ServeProcess server;
    std::vector<std::string> arguments = site.Arguments();
    arguments.insert(arguments.end(), {"--access-log", log});
    ASSERT_TRUE(server.Start(arguments)) << server.Output() << server.Errors();
    HttpClient client;
    client.Get(server.Url("/index.html"), {"User-Agent: Mozilla/5.0 (X11; \"quoted\")"});
    client.Get(server.Url("/style.css"), {"Referer: http://elsewhere.test/a b"});
    client.Get(server.Url("/media/big.mp4"), {"Range: bytes=0-9"});
    client.Get(server.Url("/missing.html?q=%01"));
    client.Send({server.Url("/../etc/passwd"), {}, "GET", true});
    EXPECT_EQ(server.Stop(), 0) << server.Errors();

    const ProgramResult result = RunProgram(
        {"/usr/bin/goaccess", log, "--log-format=%h %^[%d:%t %^] \"%r\" %s %b \"%R\" \"%u\" %^",
         "--date-format=%d/%b/%Y", "--time-format=%T", "--no-global-config", "-o", "json"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::string& json = result.out;
    const std::string lines = ReadFile(log);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 5) << lines;
    EXPECT_NE(json.find("\"total_requests\": 5"), std::string::npos) << lines << json.substr(0, 400);
    EXPECT_NE(json.find("\"failed_requests\": 0"), std::string::npos) << json.substr(0, 400);
}

// A stop lets a download that is under way finish. The file is larger than
// the socket buffers of both ends can hold, so that much of it is still to
// be sent when the signal comes.
TEST(ServeStopTest, TerminationDrainsDownloadsInFlight) {
    constexpr size_t kSize = 64 * 1024 * 1024;
    Site site("[KAVRO]\n");
    site.tree.Write("site/media/huge.mp4", PatternBytes(kSize, 5));
    ServeProcess server;
    ASSERT_TRUE(server.Start(site.Arguments())) << server.Output() << server.Errors();

    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int window = 64 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(server.Port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string request = "GET /media/huge.mp4 HTTP/1.1\r\nHost: a.test\r\n\r\n";
    ASSERT_EQ(write(fd, request.data(), request.size()), ssize_t(request.size()));
    std::string received(4096, '\0');
    const ssize_t first = read(fd, received.data(), received.size());
    ASSERT_GT(first, 0);  // the download has begun
    received.resize(size_t(first));

    std::thread stopper([&] { EXPECT_EQ(server.Stop(), 0) << server.Errors(); });
    std::this_thread::sleep_for(300ms);
    char buffer[64 * 1024];
    for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;)
        received.append(buffer, size_t(got));
    close(fd);
    stopper.join();
    const size_t bodyAt = received.find("\r\n\r\n");
    ASSERT_NE(bodyAt, std::string::npos);
    EXPECT_EQ(received.size() - (bodyAt + 4), kSize);
    EXPECT_TRUE(received.substr(bodyAt + 4) == PatternBytes(kSize, 5));
    EXPECT_NE(server.Output().find("stopping once the responses in flight are sent"),
              std::string::npos);
}

}  // namespace
}  // namespace qelmor::serve::testing

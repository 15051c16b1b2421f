// How the server hosts a filter: loading and registration, the services of
// the filter context, and what it does with each kind of result. A stub
// filter whose behaviour depends on the URL stands in for the real one.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "tests/serve/ServeHarness.h"

namespace qelmor::serve::testing {
namespace {

class HostingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tree_.Write("site/index.html", "home\n");
        tree_.Write("site/KAVRO.wmv", "notice clip");
        tree_.Write("site/notice.txt", "notice text");
        tree_.Write("site/sub/index.html", "sub home");
        tree_.Write("site/plain.txt", "plain");
        tree_.Write("site/header/file.txt", "with a header");
        std::filesystem::create_directories(tree_.File("site/empty"));
        tree_.Write("outside.txt", "outside the root");
        // The stub reads no KAVRO.ini, and none lies where a renamed
        // filter would look.
        ASSERT_TRUE(server_.Start({"--root", tree_.File("site"), "--filter", StubFilterLibrary(),
                                   "--allow-default-config"}))
            << server_.Output() << server_.Errors();
    }

    void TearDown() override { EXPECT_EQ(server_.Stop(), 0) << server_.Errors(); }

    std::string Url(const std::string& target) const { return server_.Url(target); }

    // The line of the stub's variable report that starts with `prefix`.
    static std::string ReportLine(const std::string& report, const std::string& prefix) {
        std::istringstream lines(report);
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with(prefix)) return line;
        }
        return "(no line " + prefix + ")";
    }

    TempDir tree_;
    ServeProcess server_;
    HttpClient client_;
};

TEST_F(HostingTest, RegistrationOfTheStubIsLogged) {
    EXPECT_NE(server_.Output().find("\"stub filter\", version 4.0, flags 0x00021000 "
                                    "(URL_MAP|ORDER_LOW)"),
              std::string::npos)
        << server_.Output();
}

TEST_F(HostingTest, ServerVariablesAsIisGivesThem) {
    const HttpResponse response =
        client_.Get(Url("/vars/a%20b.txt?x=%41&y=2"),
                    {"Cookie: a=1", "Cookie: b=2", "X-Multi: one", "X-Multi: two", "X-Empty;",
                     "Referer: http://elsewhere.test/", "User-Agent: Tester/1.0"});
    ASSERT_EQ(response.status, 200) << response.body;
    const std::string& report = response.body;
    const std::string root = std::filesystem::canonical(tree_.File("site")).string();
    const std::string port = std::to_string(server_.Port());

    struct Expected {
        const char* prefix;
        std::string line;
    } expected[] = {
        {"PATH=", "PATH=" + root + "/vars/a b.txt"},
        {"CB=", "CB=" + std::to_string(PATH_MAX)},
        {"SECURE=", "SECURE=0"},
        {"HTTP_HOST", "HTTP_HOST=127.0.0.1:" + port},
        {"HTTP_REFERER", "HTTP_REFERER=http://elsewhere.test/"},
        {"REMOTE_ADDR", "REMOTE_ADDR=127.0.0.1"},
        {"QUERY_STRING", "QUERY_STRING=x=%41&y=2"},
        {"HTTP_COOKIE", "HTTP_COOKIE=a=1; b=2"},
        {"HTTP_USER_AGENT", "HTTP_USER_AGENT=Tester/1.0"},
        {"HTTP_X_MULTI", "HTTP_X_MULTI=one, two"},
        {"HTTP_X_EMPTY", "HTTP_X_EMPTY="},
        {"HTTP_ABSENT", "HTTP_ABSENT!1413"},
        {"REQUEST_METHOD", "REQUEST_METHOD=GET"},
        {"URL", "URL=/vars/a b.txt"},
        {"SERVER_PORT", "SERVER_PORT=" + port},
        {"HTTPS", "HTTPS=off"},
        {"http_user_agent", "http_user_agent=Tester/1.0"},
        {"NO_SUCH_VARIABLE", "NO_SUCH_VARIABLE!1413"},
        // "Tester/1.0" needs 11 bytes with its terminating zero.
        {"SMALL HTTP_USER_AGENT", "SMALL HTTP_USER_AGENT ok=0 size=11 error=122"},
        {"NOBUFFER HTTP_USER_AGENT", "NOBUFFER HTTP_USER_AGENT ok=0 size=11 error=122"},
        {"SMALL HTTP_ABSENT", "SMALL HTTP_ABSENT ok=0 size=2 error=1413"},
    };
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.prefix);
        EXPECT_EQ(ReportLine(report, e.prefix), e.line);
    }
}

TEST_F(HostingTest, BytesThatStartWithAStatusLineAreSentAsTheyAre) {
    const HttpResponse response = client_.Get(Url("/vars"));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.Header("content-type"), "text/plain");
    EXPECT_TRUE(response.body.starts_with("PATH="));
    // The connection ends after a filter's own answer.
    const HttpResponse next = client_.Get(Url("/plain.txt"));
    EXPECT_EQ(next.connects, 1);
    EXPECT_EQ(next.body, "plain");
}

TEST_F(HostingTest, BareBytesBecomeAForbiddenPage) {
    const HttpResponse response = client_.Get(Url("/page"));
    EXPECT_EQ(response.status, 403);
    EXPECT_EQ(response.Header("content-type"), "text/html");
    EXPECT_EQ(response.Header("content-length"), "26");
    EXPECT_EQ(response.Header("connection"), "close");
    EXPECT_EQ(response.body, "<p>refused by the stub</p>");
}

TEST_F(HostingTest, FinishedWithNothingClosesWithoutAnAnswer) {
    const HttpResponse response = client_.Get(Url("/close"));
    EXPECT_EQ(response.curlCode, CURLE_GOT_NOTHING);
    EXPECT_TRUE(server_.WaitForOutput("\"GET /close HTTP/1.1\" 444 0 \"-\" \"-\" FINISHED:closed\n"))
        << server_.Output();
    EXPECT_EQ(client_.Get(Url("/plain.txt")).body, "plain");
}

struct ResultCase {
    const char* name;
    std::string target;
    long status;
    std::string body;
};

TEST_F(HostingTest, EachResultIsAnsweredAsIisWould) {
    const ResultCase cases[] = {
        {"next: the mapped file", "/plain.txt", 200, "plain"},
        {"diverted to a file in the root", "/divert/movie.wmv", 200, "notice clip"},
        {"diverted to a file that is not there", "/divert/movie.flv", 404, ""},
        {"diverted by pointer to an absolute path", "/divert-alloc?" + tree_.File("outside.txt"),
         200, "outside the root"},
        {"diverted relative path climbing out", "/escape", 404, ""},
        {"next with a replaced path", "/next-divert/x.txt", 200, "notice text"},
        {"filter error", "/error", 500, ""},
        {"directory index", "/sub/", 200, "sub home"},
        {"directory without index", "/empty/", 404, ""},
        {"missing file", "/missing.txt", 404, ""},
    };
    for (const ResultCase& c : cases) {
        SCOPED_TRACE(c.name);
        const HttpResponse response = client_.Get(Url(c.target));
        EXPECT_EQ(response.status, c.status);
        if (!c.body.empty()) {
            EXPECT_EQ(response.body, c.body);
        }
    }
}

TEST_F(HostingTest, FilterJudgesTheIndexFileOfADirectory) {
    const std::string root = std::filesystem::canonical(tree_.File("site")).string();
    tree_.Write("site/vars/with-index/index.html", "x");
    std::filesystem::create_directories(tree_.File("site/vars/without-index"));
    struct Case {
        const char* name;
        const char* target;
        std::string path;
    } cases[] = {
        {"directory with an index", "/vars/with-index/", root + "/vars/with-index/index.html"},
        {"directory without one", "/vars/without-index/", root + "/vars/without-index/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const HttpResponse response = client_.Get(Url(c.target));
        EXPECT_EQ(ReportLine(response.body, "PATH="), "PATH=" + c.path);
    }
}

TEST_F(HostingTest, DirectoryWithoutSlashIsRedirected) {
    const HttpResponse response = client_.Get(Url("/sub?x=1"));
    EXPECT_EQ(response.status, 301);
    EXPECT_EQ(response.Header("location"), "/sub/?x=1");
}

TEST_F(HostingTest, AbsoluteFormGivesTheFilterTheTargetsHostAndPath) {
    const RawResult result = RawExchange(
        server_.Port(),
        "GET http://Target.test:81/vars/a%20b.txt?x=%41 HTTP/1.1\r\nHost: header.test\r\n"
        "Connection: close\r\n\r\n");
    ASSERT_TRUE(result.received.starts_with("HTTP/1.1 200 OK")) << result.received;
    const std::string root = std::filesystem::canonical(tree_.File("site")).string();
    EXPECT_EQ(ReportLine(result.received, "HTTP_HOST"), "HTTP_HOST=Target.test:81");
    EXPECT_EQ(ReportLine(result.received, "URL"), "URL=/vars/a b.txt");
    EXPECT_EQ(ReportLine(result.received, "PATH="), "PATH=" + root + "/vars/a b.txt");
    EXPECT_EQ(ReportLine(result.received, "QUERY_STRING"), "QUERY_STRING=x=%41");
    EXPECT_TRUE(
        server_.WaitForOutput("\"GET http://Target.test:81/vars/a%20b.txt?x=%41 HTTP/1.1\" 200 "))
        << server_.Output();
}

TEST_F(HostingTest, BlanksAfterAHeaderValueAreNoPartOfIt) {
    const RawResult result =
        RawExchange(server_.Port(),
                    "GET /vars/x HTTP/1.1\r\nHost: site.test \r\nUser-Agent: Tester/1.0  \r\n"
                    "Connection: close\r\n\r\n");
    EXPECT_EQ(ReportLine(result.received, "HTTP_HOST"), "HTTP_HOST=site.test");
    EXPECT_EQ(ReportLine(result.received, "HTTP_USER_AGENT"), "HTTP_USER_AGENT=Tester/1.0");
}

TEST_F(HostingTest, HeadersAddedByTheFilterReachTheClient) {
    const HttpResponse served = client_.Get(Url("/header/file.txt"));
    EXPECT_EQ(served.status, 200);
    EXPECT_EQ(served.body, "with a header");
    EXPECT_EQ(served.Header("x-stub"), "added");

    const HttpResponse missing = client_.Get(Url("/header/missing.txt"));
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.Header("x-stub"), "added");

    EXPECT_EQ(client_.Get(Url("/plain.txt")).Header("x-stub"), "");
}

TEST(ServeStartTest, RefusesToStartWithAClearMessage) {
    TempDir tree;
    tree.Write("site/index.html", "x");
    tree.Write("file.txt", "x");
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        int exitCode;
        std::string message;
    } cases[] = {
        {"no such library",
         {"--root", tree.File("site"), "--filter", tree.File("missing.so")},
         1,
         "filter library " + tree.File("missing.so") + ": No such file or directory"},
        {"library without entry points",
         {"--root", tree.File("site"), "--filter", NotAFilterLibrary()},
         1,
         "is not an ISAPI filter: it does not export GetFilterVersion"},
        {"not a library at all",
         {"--root", tree.File("site"), "--filter", tree.File("file.txt")},
         1,
         "cannot load filter library"},
        {"registration refused",
         {"--root", tree.File("site"), "--filter", RefusingFilterLibrary()},
         1,
         "refused to register"},
        {"no such root",
         {"--root", tree.File("nothing"), "--filter", StubFilterLibrary()},
         1,
         "document root " + tree.File("nothing") + ": No such file or directory"},
        {"root is a file",
         {"--root", tree.File("file.txt"), "--filter", StubFilterLibrary()},
         1,
         "is not a directory"},
        {"unknown option", {"--root", tree.File("site"), "--colour"}, 2, "unknown option --colour"},
        {"no root", {"--filter", StubFilterLibrary()}, 2, "--root DIR is required"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ProgramResult result = RunServeToExit(c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    }
}

TEST(ServeStartTest, PortInUseIsReported) {
    TempDir tree;
    tree.Write("site/index.html", "x");
    ServeProcess first;
    ASSERT_TRUE(first.Start(
        {"--root", tree.File("site"), "--filter", StubFilterLibrary(), "--allow-default-config"}));
    const std::string address = "127.0.0.1:" + std::to_string(first.Port());
    const ProgramResult second =
        RunServeToExit({"--root", tree.File("site"), "--filter", StubFilterLibrary(), "--listen",
                        address, "--allow-default-config"});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.err.find("cannot listen on " + address), std::string::npos) << second.err;
}

TEST(ServeStartTest, HelpExplainsTheOptions) {
    const ProgramResult result = RunServeToExit({"--help"});
    EXPECT_EQ(result.exitCode, 0);
    for (const char* option : {"--root", "--listen", "--filter", "--threads", "--quiet",
                               "--server-name", "--allow-default-config"}) {
        EXPECT_NE(result.out.find(option), std::string::npos) << option;
    }
}

TEST(ServeStartTest, StopsOnTerminationAndQuietLogsNothing) {
    TempDir tree;
    tree.Write("site/index.html", "x");
    ServeProcess server;
    ASSERT_TRUE(server.Start({"--root", tree.File("site"), "--filter", StubFilterLibrary(),
                              "--quiet", "--allow-default-config"}));
    HttpClient client;
    EXPECT_EQ(client.Get(server.Url("/index.html")).body, "x");
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_EQ(server.Output().find("\"GET /index.html"), std::string::npos) << server.Output();
}

}  // namespace
}  // namespace qelmor::serve::testing

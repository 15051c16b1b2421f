// The ways around the filter that a server must close, through real
// sockets: host binding, one Host and no more, the request forms and size
// limits of HTTP/1.1, a redirect that stays on the site, and a start that
// refuses to run without the filter's KAVRO.ini.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "tests/serve/SiteFixture.h"

namespace qelmor::serve::testing {
namespace {

constexpr const char* kSiteName = "www.example.test";

std::string StatusLineOf(const std::string& received) {
    return received.substr(0, received.find("\r\n"));
}

std::string BodyOf(const std::string& received) {
    const size_t end = received.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : received.substr(end + 4);
}

bool HasHeaderLine(const std::string& received, const std::string& line) {
    const std::string head = received.substr(0, received.find("\r\n\r\n") + 2);
    return head.find("\r\n" + line + "\r\n") != std::string::npos;
}

struct Exchange {
    const char* name;
    std::string request;
    std::string statusLine;
    std::string body = {};  // the exact body, when not empty
};

// Each request on a fresh connection; the protected bytes never come back
// in what is refused.
void Check(int port, const std::vector<Exchange>& exchanges, const std::string& secret) {
    for (const Exchange& e : exchanges) {
        SCOPED_TRACE(e.name);
        const RawResult result = RawExchange(port, e.request);
        EXPECT_EQ(StatusLineOf(result.received), e.statusLine);
        if (!e.body.empty()) {
            EXPECT_EQ(BodyOf(result.received), e.body);
        }
        if (!e.statusLine.ends_with(" 200 OK")) {
            EXPECT_EQ(result.received.find(secret), std::string::npos) << "the file came back";
            EXPECT_TRUE(HasHeaderLine(result.received, "Connection: close"));
        }
    }
}

// The video site with DomainName set, bound to that one name.
class BoundSiteTest : public ::testing::Test {
  protected:
    BoundSiteTest() : site_(kVideoIni + "DomainName=" + kSiteName + "\n") {}

    void SetUp() override {
        std::vector<std::string> arguments = site_.Arguments();
        arguments.insert(arguments.end(), {"--server-name", kSiteName});
        ASSERT_TRUE(server_.Start(arguments)) << server_.Output() << server_.Errors();
    }
    void TearDown() override { EXPECT_EQ(server_.Stop(), 0) << server_.Errors(); }

    Site site_;
    ServeProcess server_;
};

TEST_F(BoundSiteTest, OnlyTheBoundHostReachesTheSite) {
    const std::string close = "Connection: close\r\n\r\n";
    const std::string get = "GET /data.mdb HTTP/1.1\r\n";
    const std::string named = std::string("Host: ") + kSiteName + "\r\n";
    const std::string misdirected = "HTTP/1.1 421 Misdirected Request";
    const std::string bad = "HTTP/1.1 400 Bad Request";
    const std::string examined = "HTTP/1.1 403 Forbidden";
    Check(
        server_.Port(),
        {
            {"the bound name: examined", get + named + close, examined, kVideoBlockPage},
            {"capitals: examined", get + "Host: WWW.EXAMPLE.Test\r\n" + close, examined},
            {"a blank after the name: examined",
             get + named.substr(0, named.size() - 2) + " \r\n" + close, examined, kVideoBlockPage},
            {"the page of the site", "GET /index.html HTTP/1.1\r\n" + named + close,
             "HTTP/1.1 200 OK", kVideoPage},
            {"another name", get + "Host: evil.test\r\n" + close, misdirected},
            {"an address",
             get + "Host: 127.0.0.1:" + std::to_string(server_.Port()) + "\r\n" + close,
             misdirected},
            {"one letter", get + "Host: x\r\n" + close, misdirected},
            {"a name that ends in the bound one", get + "Host: evil." + kSiteName + "\r\n" + close,
             misdirected},
            {"HTTP/1.0 without a host", "GET /data.mdb HTTP/1.0\r\n\r\n",
             "HTTP/1.1 421 Misdirected Request"},
            {"two hosts", get + "Host: evil.test\r\n" + named + close, bad},
            {"two hosts, the bound one first", get + named + "Host: evil.test\r\n" + close, bad},
            {"HTTP/1.1 without a host", get + close, bad},
            {"absolute form naming the site",
             "GET http://www.example.test/data.mdb HTTP/1.1\r\n"
             "Host: evil.test\r\n" +
                 close,
             examined, kVideoBlockPage},
            {"absolute form naming another host",
             "GET http://evil.test/data.mdb HTTP/1.1\r\n" + named + close, misdirected},
            {"OPTIONS * for another host", "OPTIONS * HTTP/1.1\r\nHost: evil.test\r\n" + close,
             misdirected},
        },
        "secret");
}

TEST_F(BoundSiteTest, StartUpNamesTheBindingWithoutWarning) {
    EXPECT_NE(server_.Output().find("answering host names www.example.test; others get 421"),
              std::string::npos)
        << server_.Output();
    EXPECT_EQ(server_.Errors().find("warning"), std::string::npos) << server_.Errors();
}

// The video site without DomainName, answering every host.
class UnboundSiteTest : public SiteTest {};

TEST_F(UnboundSiteTest, HostRulesAndRequestForms) {
    const std::string close = "Connection: close\r\n\r\n";
    const std::string host = "Host: any.test\r\n";
    Check(server_.Port(),
          {
              {"any host", "GET /index.html HTTP/1.1\r\nHost: evil.test\r\n" + close,
               "HTTP/1.1 200 OK", kVideoPage},
              {"HTTP/1.0 without a host", "GET /index.html HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK",
               kVideoPage},
              {"two hosts", "GET /index.html HTTP/1.1\r\nHost: a\r\nHost: a\r\n" + close,
               "HTTP/1.1 400 Bad Request"},
              {"HTTP/1.1 without a host", "GET /index.html HTTP/1.1\r\n" + close,
               "HTTP/1.1 400 Bad Request"},
              {"a host that is no host", "GET /index.html HTTP/1.1\r\nHost: a/b\r\n" + close,
               "HTTP/1.1 400 Bad Request"},
              {"absolute form", "GET http://other.test:1/index.html HTTP/1.1\r\n" + host + close,
               "HTTP/1.1 200 OK", kVideoPage},
              {"absolute form kept alive",
               "GET http://other.test/index.html HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 200 OK",
               kVideoPage},
              {"asterisk form for another method", "GET * HTTP/1.1\r\n" + host + close,
               "HTTP/1.1 400 Bad Request"},
              {"absolute form of another scheme",
               "GET ftp://any.test/index.html HTTP/1.1\r\n" + host + close,
               "HTTP/1.1 400 Bad Request"},
          },
          "secret");
}

TEST_F(UnboundSiteTest, OptionsForTheWholeServer) {
    const RawResult result =
        RawExchange(server_.Port(), "OPTIONS * HTTP/1.1\r\nHost: any.test\r\n\r\n");
    EXPECT_EQ(StatusLineOf(result.received), "HTTP/1.1 200 OK");
    EXPECT_TRUE(HasHeaderLine(result.received, "Allow: GET, HEAD, OPTIONS")) << result.received;
    EXPECT_TRUE(HasHeaderLine(result.received, "Content-Length: 0")) << result.received;
    EXPECT_EQ(BodyOf(result.received), "");
    EXPECT_TRUE(server_.WaitForOutput("\"OPTIONS * HTTP/1.1\" 200 0 \"-\" \"-\" -\n")) << server_.Output();
}

TEST_F(UnboundSiteTest, OverlongTargetsAndHeadersAreAnswered) {
    const std::string host = "Host: any.test\r\n";
    // A target at the limit still reaches the filter, whose length check
    // answers it with its own message.
    const std::string atLimit = "/index.html?" + std::string(16 * 1024 - 12, 'q');
    Check(server_.Port(),
          {
              {"target at the limit", "GET " + atLimit + " HTTP/1.1\r\n" + host + "\r\n",
               "HTTP/1.1 403 Forbidden", kLengthMessage},
              {"target one byte over", "GET " + atLimit + "q HTTP/1.1\r\n" + host + "\r\n",
               "HTTP/1.1 414 URI Too Long"},
              // Past what h2o reads of a head at all, it refuses the request
              // itself.
              {"target of a megabyte",
               "GET /" + std::string(1 << 20, 'a') + " HTTP/1.1\r\n" + host + "\r\n",
               "HTTP/1.1 400 Bad Request"},
              {"header of 40 KiB",
               "GET /index.html HTTP/1.1\r\n" + host + "Cookie: " + std::string(40 * 1024, 'c') +
                   "\r\n\r\n",
               "HTTP/1.1 431 Request Header Fields Too Large"},
          },
          "secret");

    std::string lines;
    for (int i = 0; i < 62; ++i)
        lines += "X-Line-" + std::to_string(i) + ": v\r\n";
    Check(server_.Port(),
          {
              {"63 header lines", "GET /index.html HTTP/1.1\r\n" + host + lines + "\r\n",
               "HTTP/1.1 200 OK", kVideoPage},
              {"64 header lines",
               "GET /index.html HTTP/1.1\r\n" + host + lines + "X-Line-62: v\r\n\r\n",
               "HTTP/1.1 431 Request Header Fields Too Large"},
          },
          "secret");
}

TEST_F(UnboundSiteTest, DirectoryRedirectStaysOnTheSite) {
    std::filesystem::create_directories(site_.tree.File("site/a dir"));
    const std::string host = "Host: any.test\r\nConnection: close\r\n\r\n";
    struct Case {
        const char* name;
        std::string target;
        std::string location;
    } cases[] = {
        {"a path that names another host", "//elsewhere.test/..%2fmedia", "/media/"},
        {"a query is kept", "/media?x=1&y=%41", "/media/?x=1&y=%41"},
        {"an encoded name stays encoded", "/a%20dir", "/a%20dir/"},
        {"absolute form", "http://any.test//elsewhere.test/../media", "/media/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const RawResult result =
            RawExchange(server_.Port(), "GET " + c.target + " HTTP/1.1\r\n" + host);
        EXPECT_EQ(StatusLineOf(result.received), "HTTP/1.1 301 Moved Permanently");
        EXPECT_TRUE(HasHeaderLine(result.received, "Location: " + c.location)) << result.received;
    }
}

// Where the filter's settings are, and a start that refuses without them.
class StartUpTest : public ::testing::Test {
  protected:
    void SetUp() override { tree_.Write("site/index.html", "x"); }

    // The real filter as `leaf` in filter/, with `ini` beside it unless empty.
    std::string Filter(const std::string& leaf, const std::string& ini) {
        tree_.Copy(FilterLibrary(), "filter/" + leaf);
        if (!ini.empty()) tree_.Write("filter/KAVRO.ini", ini);
        return tree_.File("filter/" + leaf);
    }

    std::vector<std::string> Arguments(const std::string& filter,
                                       std::vector<std::string> more = {}) {
        std::vector<std::string> arguments{"--root", tree_.File("site"), "--filter", filter};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return arguments;
    }

    TempDir tree_;
};

// The folder qelmor-serve runs from, where a renamed filter looks.
std::string ProgramFolder() {
    const std::string program = ServeProgram();
    return program.substr(0, program.rfind('/') + 1);
}

TEST_F(StartUpTest, RefusesWithoutTheFilterSettings) {
    const std::string filter = Filter("qelmor.so", "");
    const std::string expected = tree_.File("filter/KAVRO.ini");
    std::filesystem::create_directories(tree_.File("elsewhere"));
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::string reason;
    } cases[] = {
        {"missing", [] {}, "No such file or directory"},
        {"a folder", [&] { std::filesystem::create_directory(expected); }, "not a regular file"},
        {"a FIFO, which must not hold the start up",
         [&] {
             std::filesystem::remove(expected);
             ASSERT_EQ(mkfifo(expected.c_str(), 0600), 0);
         },
         "not a regular file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        const ProgramResult result = RunServeToExit(Arguments(filter));
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_NE(
            result.err.find("the filter reads its settings from " + expected + ": " + c.reason),
            std::string::npos)
            << result.err;
        EXPECT_NE(result.err.find("--allow-default-config"), std::string::npos) << result.err;
    }
}

TEST_F(StartUpTest, RenamedFilterLooksBesideTheProgram) {
    const std::string expected = ProgramFolder() + "KAVRO.ini";
    ASSERT_FALSE(std::filesystem::exists(expected)) << "a KAVRO.ini lies beside the program";
    // Its own folder holds a KAVRO.ini that the renamed library never reads.
    const std::string filter = Filter("guard.so", "[KAVRO]\n");
    const ProgramResult refused = RunServeToExit(Arguments(filter));
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("the filter reads its settings from " + expected + ": "),
              std::string::npos)
        << refused.err;

    ServeProcess server;
    ASSERT_TRUE(server.Start(Arguments(filter, {"--allow-default-config"})))
        << server.Output() << server.Errors();
    EXPECT_NE(server.Output().find("settings: " + expected +
                                   ": No such file or directory; the filter runs on its "
                                   "defaults (--allow-default-config)"),
              std::string::npos)
        << server.Output();
    EXPECT_EQ(server.Stop(), 0) << server.Errors();
}

struct WarningCase {
    const char* name;
    std::string ini;
    std::vector<std::string> arguments;
    std::string warning;  // empty: none
};

TEST_F(StartUpTest, NamesItsSettingsAndWarnsOfUnexaminedHosts) {
    const std::string domain = "[KAVRO]\nDomainName=WWW.Example.test\n";
    const WarningCase cases[] = {
        {"DomainName without a binding",
         domain,
         {},
         "KAVRO.ini sets DomainName=WWW.Example.test, and the filter examines requests for that "
         "host alone, but this server answers every host name: a request for any other (an "
         "address, another name, or none) is served unexamined. Bind it with --server-name "
         "WWW.Example.test"},
        {"bound to DomainName", domain, {"--server-name", "www.example.test"}, ""},
        {"bound to another name as well",
         domain,
         {"--server-name", "www.example.test", "--server-name", "example.test"},
         "requests for example.test are served unexamined: the filter examines only "
         "DomainName=WWW.Example.test of KAVRO.ini"},
        {"no DomainName", "[KAVRO]\nPubKey=x\n", {}, ""},
    };
    for (const WarningCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string filter = Filter("qelmor.so", c.ini);
        ServeProcess server;
        ASSERT_TRUE(server.Start(Arguments(filter, c.arguments)))
            << server.Output() << server.Errors();
        EXPECT_NE(server.Output().find("settings: " + tree_.File("filter/KAVRO.ini") + "\n"),
                  std::string::npos)
            << server.Output();
        EXPECT_EQ(server.Stop(), 0) << server.Errors();
        if (c.warning.empty()) {
            EXPECT_EQ(server.Errors().find("warning"), std::string::npos) << server.Errors();
        } else {
            EXPECT_NE(server.Errors().find("warning: " + c.warning), std::string::npos)
                << server.Errors();
        }
    }
}

}  // namespace
}  // namespace qelmor::serve::testing

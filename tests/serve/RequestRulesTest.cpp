// The rules a request meets before any file is looked at, the redirect of a
// directory and where the filter's KAVRO.ini is expected, without a socket.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "filter/FilterConfig.h"
#include "text/DateRules.h"
#include "hosts/serve/FilterSettings.h"
#include "hosts/serve/RequestPath.h"
#include "hosts/serve/RequestRules.h"
#include "tests/hosttest/HostHarness.h"

namespace qelmor::serve {
namespace {

struct HostCase {
    const char* name;
    std::string host;
    std::optional<std::string> canonical;
};

TEST(CanonicalHostTest, NormalisesOrRefuses) {
    const HostCase cases[] = {
        {"plain name", "www.example.test", "www.example.test"},
        {"capitals", "WWW.Example.TEST", "www.example.test"},
        {"trailing dot", "www.example.test.", "www.example.test"},
        {"only one trailing dot goes", "www.example.test..", "www.example.test."},
        {"empty port", "www.example.test:", "www.example.test"},
        {"port", "www.example.test:8080", "www.example.test"},
        {"dot before the port", "www.example.test.:8080", "www.example.test"},
        {"address and port", "127.0.0.1:8080", "127.0.0.1"},
        {"IPv6 literal keeps its brackets", "[::1]:8080", "[::1]"},
        {"IPv6 literal in capitals", "[FE80::A]", "[fe80::a]"},
        {"one letter", "x", "x"},
        {"percent escape", "a%2Db.test", "a%2db.test"},
        {"empty host", "", ""},
        {"a dot alone", ".", std::nullopt},
        {"port without a name", ":80", std::nullopt},
        {"blank inside", "www.example.test evil", std::nullopt},
        {"credentials", "user@www.example.test", std::nullopt},
        {"path", "www.example.test/x", std::nullopt},
        {"two ports", "x:80:81", std::nullopt},
        {"port with a letter", "x:8o", std::nullopt},
        {"bare IPv6", "::1", std::nullopt},
        {"unclosed bracket", "[::1", std::nullopt},
        {"bracketed name", "[www.example.test]", std::nullopt},
        {"text after the bracket", "[::1]x", std::nullopt},
        {"tab", "a\tb", std::nullopt},
        {"byte above ASCII", "\xC3\xA9.test", std::nullopt},
        {"bad escape", "a%zz", std::nullopt},
    };
    for (const HostCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CanonicalHost(c.host), c.canonical);
    }
}

TEST(CanonicalHostTest, ServerNamesCarryNoPort) {
    const HostCase cases[] = {
        {"name", "WWW.Example.test", "www.example.test"},
        {"trailing dot", "www.example.test.", "www.example.test"},
        {"address", "127.0.0.1", "127.0.0.1"},
        {"IPv6 literal", "[::1]", "[::1]"},
        {"with a port", "www.example.test:80", std::nullopt},
        {"with an empty port", "www.example.test:", std::nullopt},
        {"IPv6 with a port", "[::1]:80", std::nullopt},
        {"empty", "", std::nullopt},
        {"not a name", "a b", std::nullopt},
    };
    for (const HostCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CanonicalServerName(c.host), c.canonical);
    }
}

struct TargetCase {
    const char* name;
    std::string target;
    TargetForm form;
    std::string authority;
    std::string path;
    std::optional<std::string> query;
};

TEST(RequestTargetTest, ReadsEveryForm) {
    using F = TargetForm;
    const TargetCase cases[] = {
        {"origin form", "/a/b.mp4?x=1", F::Origin, "", "/a/b.mp4", "x=1"},
        {"origin form without query", "/a", F::Origin, "", "/a", std::nullopt},
        {"empty query", "/a?", F::Origin, "", "/a", ""},
        {"double slash stays a path", "//evil.test/x", F::Origin, "", "//evil.test/x",
         std::nullopt},
        {"absolute form", "http://www.example.test:8080/a?x", F::Absolute, "www.example.test:8080",
         "/a", "x"},
        {"scheme in capitals", "HTTP://h/p", F::Absolute, "h", "/p", std::nullopt},
        {"https scheme", "https://h/p", F::Absolute, "h", "/p", std::nullopt},
        {"absolute without a path", "http://h", F::Absolute, "h", "/", std::nullopt},
        {"absolute with a query only", "http://h?x=1", F::Absolute, "h", "/", "x=1"},
        {"asterisk", "*", F::Asterisk, "", "", std::nullopt},
        {"other scheme", "ftp://h/p", F::Invalid, "", "", std::nullopt},
        {"credentials", "http://www.example.test@evil.test/p", F::Invalid, "", "", std::nullopt},
        {"empty authority", "http:///p", F::Invalid, "", "", std::nullopt},
        {"fragment", "http://h#x", F::Invalid, "", "", std::nullopt},
        {"relative", "a.txt", F::Invalid, "", "", std::nullopt},
        {"empty", "", F::Invalid, "", "", std::nullopt},
    };
    for (const TargetCase& c : cases) {
        SCOPED_TRACE(c.name);
        const RequestTarget parsed = ParseRequestTarget(c.target);
        EXPECT_EQ(parsed.form, c.form);
        if (c.form == F::Invalid || c.form == F::Asterisk) continue;
        EXPECT_EQ(parsed.authority, c.authority);
        EXPECT_EQ(parsed.path, c.path);
        EXPECT_EQ(parsed.query, c.query);
    }
}

using Headers = std::vector<std::pair<std::string, std::string>>;

RequestFacts Request(std::string target, Headers headers, std::string version = "1.1",
                     std::string method = "GET") {
    RequestFacts request;
    request.method = std::move(method);
    request.target = std::move(target);
    request.httpVersion = std::move(version);
    request.headers = std::move(headers);
    return request;
}

struct AdmissionCase {
    const char* name;
    RequestFacts request;
    std::vector<std::string> serverNames;
    Admission admission;
    std::optional<std::string> host = std::nullopt;  // HTTP_HOST the filter reads
};

TEST(AdmissionTest, HostsLimitsAndForms) {
    const std::vector<std::string> bound{"www.example.test"};
    const std::vector<std::string> any;
    const Headers named{{"Host", "www.example.test"}};
    const Headers other{{"Host", "evil.test"}};
    Headers manyLines;
    for (int i = 0; i < 62; ++i)
        manyLines.emplace_back("X-Line-" + std::to_string(i), "v");
    manyLines.emplace_back("Host", "x");
    Headers tooManyLines = manyLines;
    tooManyLines.emplace_back("X-One-More", "v");
    const Headers bigHeader{{"Host", "x"}, {"Cookie", std::string(kMaxHeaderBytes, 'c')}};
    const std::string longest = "/" + std::string(kMaxTargetBytes - 1, 'a');
    using A = Admission;
    const AdmissionCase cases[] = {
        {"bound name", Request("/a", named), bound, A::Proceed, "www.example.test"},
        {"bound name in capitals", Request("/a", {{"host", "WWW.EXAMPLE.TEST"}}), bound,
         A::Proceed},
        {"bound name with dot and port", Request("/a", {{"Host", "www.example.test.:81"}}), bound,
         A::Proceed, "www.example.test.:81"},
        {"other host", Request("/a", other), bound, A::Misdirected},
        {"suffix of the bound name", Request("/a", {{"Host", "www.example.test.evil.test"}}), bound,
         A::Misdirected},
        {"address as host", Request("/a", {{"Host", "127.0.0.1:8080"}}), bound, A::Misdirected},
        {"empty host", Request("/a", {{"Host", ""}}), bound, A::Misdirected},
        {"HTTP/1.0 without host, bound", Request("/a", {}, "1.0"), bound, A::Misdirected},
        {"HTTP/1.0 without host, unbound", Request("/a", {}, "1.0"), any, A::Proceed},
        {"any host when unbound", Request("/a", other), any, A::Proceed, "evil.test"},
        {"two hosts, bound", Request("/a", {{"Host", "evil.test"}, {"Host", "www.example.test"}}),
         bound, A::BadRequest},
        {"two hosts, unbound", Request("/a", {{"Host", "a"}, {"HOST", "a"}}), any, A::BadRequest},
        {"HTTP/1.1 without host, bound", Request("/a", {}), bound, A::BadRequest},
        {"HTTP/1.1 without host, unbound", Request("/a", {}), any, A::BadRequest},
        {"host that is no host", Request("/a", {{"Host", "a b"}}), any, A::BadRequest},
        {"absolute form names the bound host", Request("http://www.example.test/a", other), bound,
         A::Proceed, "www.example.test"},
        {"absolute form names another host", Request("http://evil.test/a", named), bound,
         A::Misdirected},
        {"absolute form gives its host to the filter", Request("http://t.test:81/a", other), any,
         A::Proceed, "t.test:81"},
        {"absolute form without a Host header in HTTP/1.0",
         Request("http://www.example.test/a", {}, "1.0"), bound, A::Proceed, "www.example.test"},
        {"absolute form with two Host headers",
         Request("http://a/x", {{"Host", "a"}, {"Host", "b"}}), any, A::BadRequest},
        {"absolute form with a bad host", Request("http://a b/x", named), any, A::BadRequest},
        {"other scheme", Request("ftp://www.example.test/a", named), bound, A::BadRequest},
        {"OPTIONS *", Request("*", named, "1.1", "OPTIONS"), bound, A::ServerOptions},
        {"OPTIONS * for another host", Request("*", other, "1.1", "OPTIONS"), bound,
         A::Misdirected},
        {"GET *", Request("*", named), bound, A::BadRequest},
        {"target at the limit", Request(longest, named), bound, A::Proceed},
        {"target over the limit", Request(longest + "a", named), bound, A::TargetTooLong},
        {"63 header lines", Request("/a", manyLines), any, A::Proceed},
        {"64 header lines", Request("/a", tooManyLines), any, A::HeadersTooLarge},
        {"header lines over the limit", Request("/a", bigHeader), any, A::HeadersTooLarge},
    };
    for (const AdmissionCase& c : cases) {
        SCOPED_TRACE(c.name);
        RequestFacts request = c.request;
        EXPECT_EQ(AdmitRequest(request, c.serverNames), c.admission);
        if (c.host) {
            EXPECT_EQ(ServerVariable(request, "HTTP_HOST"), c.host);
        }
    }
}

TEST(AdmissionTest, AbsoluteFormIsServedAsItsPath) {
    RequestFacts request = Request("http://www.example.test/media/a%20b.mp4?kavro=x", {});
    request.httpVersion = "1.0";
    ASSERT_EQ(AdmitRequest(request, {}), Admission::Proceed);
    EXPECT_EQ(request.rawPath, "/media/a%20b.mp4");
    EXPECT_EQ(request.rawQuery, std::optional<std::string>("kavro=x"));
    EXPECT_EQ(RequestLine(request), "GET http://www.example.test/media/a%20b.mp4?kavro=x HTTP/1.0");
}

TEST(AdmissionTest, RefusalsHaveTheirStatus) {
    EXPECT_EQ(StatusOf(Admission::BadRequest), 400);
    EXPECT_EQ(StatusOf(Admission::Misdirected), 421);
    EXPECT_EQ(StatusOf(Admission::TargetTooLong), 414);
    EXPECT_EQ(StatusOf(Admission::HeadersTooLarge), 431);
}

struct LocationCase {
    const char* name;
    std::string url;
    std::optional<std::string> query;
    std::string location;
};

TEST(DirectoryLocationTest, OneLeadingSlashAndAnEncodedPath) {
    const LocationCase cases[] = {
        {"plain directory", "/media", std::nullopt, "/media/"},
        {"query kept", "/media", "a=1&b=%41", "/media/?a=1&b=%41"},
        {"empty query kept", "/media", "", "/media/?"},
        {"blank", "/a b", std::nullopt, "/a%20b/"},
        {"percent sign", "/100%", std::nullopt, "/100%25/"},
        {"question mark and hash in a name", "/a?b#c", std::nullopt, "/a%3Fb%23c/"},
        {"bytes above ASCII", "/\xE4\xB8\xAD", std::nullopt, "/%E4%B8%AD/"},
        {"kept punctuation", "/a-b_c.d~e!$&'()*+,;=:@", std::nullopt, "/a-b_c.d~e!$&'()*+,;=:@/"},
        {"leading slashes folded", "//evil.test/media", std::nullopt, "/evil.test/media/"},
        {"control byte", "/a\r\nX: y", std::nullopt, "/a%0D%0AX:%20y/"},
        {"fragment mark in the query", "/m", "a#b", "/m/?a%23b"},
    };
    for (const LocationCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DirectoryLocation(c.url, c.query), c.location);
    }
}

struct ConfigPathCase {
    const char* name;
    std::string library;
    std::string expected;
};

TEST(FilterSettingsTest, KavroIniIsWhereTheFilterLooks) {
    const std::string program = "/usr/local/bin/qelmor-serve";
    const ConfigPathCase cases[] = {
        {"named qelmor.so: its own folder", "/opt/guard/qelmor.so", "/opt/guard/KAVRO.ini"},
        {"renamed: the program's folder", "/opt/guard/guard.so", "/usr/local/bin/KAVRO.ini"},
        {"a longer name is another name", "/opt/guard/qelmor.so.1", "/usr/local/bin/KAVRO.ini"},
        {"letter case counts", "/opt/guard/QELMOR.SO", "/usr/local/bin/KAVRO.ini"},
        {"folder named like the library", "/opt/qelmor.so/filter.so", "/usr/local/bin/KAVRO.ini"},
    };
    for (const ConfigPathCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FilterConfigPath(c.library, program), c.expected);
    }
}

// The filter's own lookup, run in this process with a copy of the filter
// loaded under each name, must name the same file.
TEST(FilterSettingsTest, AgreesWithTheFilterItself) {
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(length, 0);
    const std::string program(self, size_t(length));

    for (const char* leaf : {"qelmor.so", "renamed.so"}) {
        SCOPED_TRACE(leaf);
        hosttest::TempDir folder;
        folder.Copy(hosttest::FilterLibrary(), leaf);
        void* handle = dlopen(folder.File(leaf).c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        EXPECT_EQ(FilterConfigPath(folder.File(leaf), program),
                  ConfigFileName(CurrentLocale().LeadBytes));
        dlclose(handle);
    }
}

struct ConfigFileCase {
    const char* name;
    std::string relative;
    ConfigFileState state;
};

TEST(FilterSettingsTest, ChecksTheFileWithoutOpeningIt) {
    hosttest::TempDir folder;
    folder.Write("present/KAVRO.ini", "[KAVRO]\n");
    folder.Write("folder/KAVRO.ini/x", "");
    folder.Write("fifo/x", "");
    const std::string fifo = folder.File("fifo/KAVRO.ini");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const ConfigFileCase cases[] = {
        {"present", "present/KAVRO.ini", ConfigFileState::Present},
        {"missing", "absent/KAVRO.ini", ConfigFileState::Missing},
        {"a folder", "folder/KAVRO.ini", ConfigFileState::NotARegularFile},
        {"a FIFO, which is never opened", "fifo/KAVRO.ini", ConfigFileState::NotARegularFile},
    };
    for (const ConfigFileCase& c : cases) {
        SCOPED_TRACE(c.name);
        const ConfigFileCheck check = CheckConfigFile(folder.File(c.relative));
        EXPECT_EQ(check.state, c.state);
        EXPECT_EQ(check.reason.empty(), c.state == ConfigFileState::Present) << check.reason;
    }
}

TEST(FilterSettingsTest, ReadsDomainNameAsTheFilterDoes) {
    hosttest::TempDir folder;
    folder.Write("set.ini", "; site\r\n[kavro]\r\n  domainname = \"www.example.test\"  \r\n");
    folder.Write("unset.ini", "[KAVRO]\nPubKey=x\n");
    folder.Write("other.ini", "[OTHER]\nDomainName=www.example.test\n");
    EXPECT_EQ(ConfiguredDomainName(folder.File("set.ini")), "www.example.test");
    EXPECT_EQ(ConfiguredDomainName(folder.File("unset.ini")), "");
    EXPECT_EQ(ConfiguredDomainName(folder.File("other.ini")), "");
    EXPECT_EQ(ConfiguredDomainName(folder.File("missing.ini")), "");
}

}  // namespace
}  // namespace qelmor::serve

// The server's own decisions, without a socket: path mapping, server
// variables, ranges and validators, content types, options and log lines.
#include <gtest/gtest.h>
#include <limits.h>

#include "hosts/serve/AccessLog.h"
#include "hosts/serve/FilterHost.h"
#include "hosts/serve/RequestFacts.h"
#include "hosts/serve/RequestPath.h"
#include "hosts/serve/ServeOptions.h"
#include "hosts/serve/StaticFile.h"

namespace qelmor::serve {
namespace {

struct MapCase {
    const char* name;
    const char* raw;
    PathVerdict verdict;
    const char* url;
};

TEST(RequestPathTest, MapsUnderTheRootOrRefuses) {
    const MapCase cases[] = {
        {"root", "/", PathVerdict::Mapped, "/"},
        {"plain file", "/media/clip.mp4", PathVerdict::Mapped, "/media/clip.mp4"},
        {"escapes decoded", "/a%20b/%E4%B8%AD.txt", PathVerdict::Mapped, "/a b/\xE4\xB8\xAD.txt"},
        {"plus kept in a path", "/a+b.txt", PathVerdict::Mapped, "/a+b.txt"},
        {"dot segments dropped", "/./a/./b.txt", PathVerdict::Mapped, "/a/b.txt"},
        {"double slashes folded", "//a///b.txt", PathVerdict::Mapped, "/a/b.txt"},
        {"climb inside the root", "/a/../b.txt", PathVerdict::Mapped, "/b.txt"},
        {"directory keeps its slash", "/media/", PathVerdict::Mapped, "/media/"},
        {"trailing dot-dot names a directory", "/a/b/..", PathVerdict::Mapped, "/a/"},
        {"climb out", "/../etc/passwd", PathVerdict::BadRequest, ""},
        {"climb out later", "/a/../../etc/passwd", PathVerdict::BadRequest, ""},
        {"encoded climb", "/%2e%2e/etc/passwd", PathVerdict::BadRequest, ""},
        {"mixed-case encoded climb", "/%2E%2e/etc", PathVerdict::BadRequest, ""},
        {"encoded slash climb", "/..%2f..%2fetc/passwd", PathVerdict::BadRequest, ""},
        {"bare dot-dot", "/..", PathVerdict::BadRequest, ""},
        {"encoded NUL", "/a%00.txt", PathVerdict::BadRequest, ""},
        {"bad escape digit", "/a%zz.txt", PathVerdict::BadRequest, ""},
        {"escape cut short", "/a%4", PathVerdict::BadRequest, ""},
        {"lone percent at end", "/a%", PathVerdict::BadRequest, ""},
        {"not absolute", "a.txt", PathVerdict::BadRequest, ""},
        {"empty", "", PathVerdict::BadRequest, ""},
        {"absolute form left unmapped", "http://x/a", PathVerdict::BadRequest, ""},
    };
    for (const MapCase& c : cases) {
        SCOPED_TRACE(c.name);
        const MappedPath mapped = MapRequestPath("/srv/site", c.raw, PATH_MAX);
        EXPECT_EQ(mapped.verdict, c.verdict);
        if (c.verdict == PathVerdict::Mapped) {
            EXPECT_EQ(mapped.url, c.url);
            EXPECT_EQ(mapped.physical, std::string("/srv/site") + c.url);
        }
    }
}

TEST(RequestPathTest, RootOfTheFileSystemDoesNotDoubleTheSlash) {
    EXPECT_EQ(MapRequestPath("/", "/a.txt", PATH_MAX).physical, "/a.txt");
}

TEST(RequestPathTest, PathThatFillsTheBufferIsTooLong) {
    const std::string leaf(20, 'a');
    // "/r" + "/" + leaf: 23 bytes and the terminating zero.
    EXPECT_EQ(MapRequestPath("/r", "/" + leaf, 24).verdict, PathVerdict::Mapped);
    EXPECT_EQ(MapRequestPath("/r", "/" + leaf, 23).verdict, PathVerdict::TooLong);
}

struct ResolveCase {
    const char* name;
    const char* path;
    std::optional<std::string> resolved;
};

TEST(RequestPathTest, ResolvesWhatTheFilterPutInPlace) {
    const ResolveCase cases[] = {
        {"relative under the root", "KAVRO.wmv", "/srv/site/KAVRO.wmv"},
        {"relative with a folder", "notice/KAVRO.wmv", "/srv/site/notice/KAVRO.wmv"},
        {"absolute kept", "/var/notice/KAVRO.wmv", "/var/notice/KAVRO.wmv"},
        {"relative climbing out", "../KAVRO.wmv", std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const ResolveCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ResolveFilterPath("/srv/site", c.path), c.resolved);
    }
}

RequestFacts SampleRequest() {
    RequestFacts request;
    request.method = "GET";
    request.rawPath = "/media/a%20b.mp4";
    request.rawQuery = "kavro=ABC&x=%41";
    request.httpVersion = "1.1";
    request.remoteAddr = "127.0.0.1";
    request.remotePort = 40000;
    request.serverPort = 8080;
    request.url = "/media/a b.mp4";
    request.headers = {{"Host", "www.example.test"},
                       {"Cookie", "a=1"},
                       {"User-Agent", "NSPlayer/9.0"},
                       {"cookie", "b=2"},
                       {"X-Forwarded-For", "10.0.0.1"},
                       {"x-forwarded-for", "10.0.0.2"},
                       {"X-Empty", ""}};
    return request;
}

struct VariableCase {
    const char* name;
    const char* variable;
    std::optional<std::string> value;
};

TEST(ServerVariableTest, AnswersAsIisDoes) {
    const VariableCase cases[] = {
        {"host header", "HTTP_HOST", "www.example.test"},
        {"name without regard to case", "http_host", "www.example.test"},
        {"user agent: dash as underscore", "HTTP_USER_AGENT", "NSPlayer/9.0"},
        {"cookies joined with a semicolon", "HTTP_COOKIE", "a=1; b=2"},
        {"other repeats joined with a comma", "HTTP_X_FORWARDED_FOR", "10.0.0.1, 10.0.0.2"},
        {"present but empty header", "HTTP_X_EMPTY", ""},
        {"absent header fails", "HTTP_REFERER", std::nullopt},
        {"bare prefix is no header", "HTTP_", std::nullopt},
        {"raw query string", "QUERY_STRING", "kavro=ABC&x=%41"},
        {"address", "REMOTE_ADDR", "127.0.0.1"},
        {"method", "REQUEST_METHOD", "GET"},
        {"decoded url", "URL", "/media/a b.mp4"},
        {"server port", "SERVER_PORT", "8080"},
        {"plain connection", "HTTPS", "off"},
        {"protocol", "SERVER_PROTOCOL", "HTTP/1.1"},
        {"unknown variable fails", "NO_SUCH_THING", std::nullopt},
    };
    const RequestFacts request = SampleRequest();
    for (const VariableCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ServerVariable(request, c.variable), c.value);
    }
}

TEST(ServerVariableTest, QueryStringWithoutQuestionMarkIsEmptyNotAbsent) {
    RequestFacts request = SampleRequest();
    request.rawQuery.reset();
    EXPECT_EQ(ServerVariable(request, "QUERY_STRING"), std::optional<std::string>(""));
    request.secure = true;
    EXPECT_EQ(ServerVariable(request, "HTTPS"), std::optional<std::string>("on"));
}

TEST(ServerVariableTest, RequestLineKeepsTheRawTarget) {
    RequestFacts request = SampleRequest();
    EXPECT_EQ(RequestLine(request), "GET /media/a%20b.mp4?kavro=ABC&x=%41 HTTP/1.1");
    request.rawQuery.reset();
    EXPECT_EQ(RequestLine(request), "GET /media/a%20b.mp4 HTTP/1.1");
}

struct RangeCase {
    const char* name;
    const char* header;
    ByteRange::Kind kind;
    uint64_t first, last;
};

TEST(StaticFileTest, SelectsOneByteRange) {
    using Kind = ByteRange::Kind;
    const RangeCase cases[] = {
        {"closed range", "bytes=10-19", Kind::Partial, 10, 19},
        {"open end", "bytes=990-", Kind::Partial, 990, 999},
        {"end past the size is cut", "bytes=900-5000", Kind::Partial, 900, 999},
        {"suffix", "bytes=-100", Kind::Partial, 900, 999},
        {"suffix longer than the file", "bytes=-5000", Kind::Partial, 0, 999},
        {"single last byte", "bytes=999-999", Kind::Partial, 999, 999},
        {"unit in capitals and blanks", " BYTES= 5 - 6 ", Kind::Partial, 5, 6},
        {"start at the size", "bytes=1000-", Kind::Unsatisfiable, 0, 0},
        {"start past the size", "bytes=5000-6000", Kind::Unsatisfiable, 0, 0},
        {"huge start", "bytes=99999999999999999999999-", Kind::Unsatisfiable, 0, 0},
        {"empty suffix", "bytes=-0", Kind::Unsatisfiable, 0, 0},
        {"several ranges ignored", "bytes=0-1,5-6", Kind::Whole, 0, 0},
        {"reversed ignored", "bytes=20-10", Kind::Whole, 0, 0},
        {"other unit ignored", "items=0-1", Kind::Whole, 0, 0},
        {"no dash ignored", "bytes=5", Kind::Whole, 0, 0},
        {"letters ignored", "bytes=a-b", Kind::Whole, 0, 0},
        {"negative ignored", "bytes=--5", Kind::Whole, 0, 0},
    };
    for (const RangeCase& c : cases) {
        SCOPED_TRACE(c.name);
        const ByteRange range = SelectRange(c.header, 1000);
        EXPECT_EQ(range.kind, c.kind);
        if (c.kind == Kind::Partial) {
            EXPECT_EQ(range.first, c.first);
            EXPECT_EQ(range.last, c.last);
        }
    }
}

TEST(StaticFileTest, EmptyFileSatisfiesNoRange) {
    EXPECT_EQ(SelectRange("bytes=0-", 0).kind, ByteRange::Kind::Unsatisfiable);
    EXPECT_EQ(SelectRange("bytes=-1", 0).kind, ByteRange::Kind::Unsatisfiable);
}

struct PlanCase {
    const char* name;
    RequestConditions request;
    int status;
    uint64_t first, length;
};

TEST(StaticFileTest, PlansStatusFromValidatorsAndRange) {
    FileValidators file;
    file.size = 1000;
    file.modified = 1700000000;
    file.entityTag = "\"abc-1\"";
    const std::string modified = HttpDate(file.modified);
    const std::string later = HttpDate(file.modified + 60);
    const std::string earlier = HttpDate(file.modified - 60);

    auto with = [](auto change) {
        RequestConditions request;
        change(request);
        return request;
    };
    const PlanCase cases[] = {
        {"plain", {}, 200, 0, 1000},
        {"tag matches", with([](auto& r) { r.ifNoneMatch = "\"abc-1\""; }), 304, 0, 0},
        {"weak tag matches", with([](auto& r) { r.ifNoneMatch = "W/\"abc-1\""; }), 304, 0, 0},
        {"tag in a list", with([](auto& r) { r.ifNoneMatch = "\"x\", \"abc-1\""; }), 304, 0, 0},
        {"star", with([](auto& r) { r.ifNoneMatch = "*"; }), 304, 0, 0},
        {"other tag", with([](auto& r) { r.ifNoneMatch = "\"abc-2\""; }), 200, 0, 1000},
        {"not modified since", with([&](auto& r) { r.ifModifiedSince = modified; }), 304, 0, 0},
        {"modified later than asked", with([&](auto& r) { r.ifModifiedSince = earlier; }), 200, 0,
         1000},
        {"unreadable date ignored", with([](auto& r) { r.ifModifiedSince = "yesterday"; }), 200, 0,
         1000},
        {"tag decides over date", with([&](auto& r) {
             r.ifNoneMatch = "\"abc-2\"";
             r.ifModifiedSince = later;
         }),
         200, 0, 1000},
        {"range", with([](auto& r) { r.range = "bytes=100-199"; }), 206, 100, 100},
        {"range past the end", with([](auto& r) { r.range = "bytes=1000-"; }), 416, 0, 0},
        {"range on HEAD ignored", with([](auto& r) {
             r.range = "bytes=100-199";
             r.rangesApply = false;
         }),
         200, 0, 1000},
        {"if-range with the tag", with([](auto& r) {
             r.range = "bytes=100-199";
             r.ifRange = "\"abc-1\"";
         }),
         206, 100, 100},
        {"if-range with another tag", with([](auto& r) {
             r.range = "bytes=100-199";
             r.ifRange = "\"abc-2\"";
         }),
         200, 0, 1000},
        {"if-range with a weak tag", with([](auto& r) {
             r.range = "bytes=100-199";
             r.ifRange = "W/\"abc-1\"";
         }),
         200, 0, 1000},
        {"if-range with the date", with([&](auto& r) {
             r.range = "bytes=100-199";
             r.ifRange = modified;
         }),
         206, 100, 100},
        {"if-range with an older date", with([&](auto& r) {
             r.range = "bytes=100-199";
             r.ifRange = earlier;
         }),
         200, 0, 1000},
    };
    for (const PlanCase& c : cases) {
        SCOPED_TRACE(c.name);
        const ResponsePlan plan = PlanFileResponse(c.request, file);
        EXPECT_EQ(plan.status, c.status);
        EXPECT_EQ(plan.first, c.first);
        EXPECT_EQ(plan.length, c.length);
    }
}

TEST(StaticFileTest, HttpDateRoundTrips) {
    EXPECT_EQ(HttpDate(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(ParseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT"), std::optional<time_t>(784111777));
    EXPECT_EQ(ParseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT trailing"), std::nullopt);
    EXPECT_EQ(ParseHttpDate(""), std::nullopt);
}

TEST(StaticFileTest, EntityTagChangesWithSizeAndTime) {
    const timespec when{1700000000, 5};
    const std::string tag = EntityTagFor(100, when);
    EXPECT_EQ(tag.front(), '"');
    EXPECT_EQ(tag.back(), '"');
    EXPECT_NE(tag, EntityTagFor(101, when));
    EXPECT_NE(tag, EntityTagFor(100, timespec{1700000000, 6}));
    EXPECT_NE(tag, EntityTagFor(100, timespec{1700000001, 5}));
}

struct MimeCase {
    const char* path;
    const char* type;
};

TEST(StaticFileTest, ContentTypeByExtension) {
    const MimeCase cases[] = {
        {"/a/page.html", "text/html"},
        {"/a/clip.mp4", "video/mp4"},
        {"/a/clip.M4V", "video/x-m4v"},
        {"/a/clip.webm", "video/webm"},
        {"/a/clip.flv", "video/x-flv"},
        {"/a/clip.f4v", "video/x-f4v"},
        {"/a/clip.wmv", "video/x-ms-wmv"},
        {"/a/clip.asf", "video/x-ms-asf"},
        {"/a/clip.rm", "application/vnd.rn-realmedia"},
        {"/a/clip.rmvb", "application/vnd.rn-realmedia-vbr"},
        {"/a/song.mp3", "audio/mpeg"},
        {"/a/list.m3u8", "application/vnd.apple.mpegurl"},
        {"/a/part.ts", "video/mp2t"},
        {"/a/style.CSS", "text/css"},
        {"/a.d/noextension", "application/octet-stream"},
        {"/a/archive.unknownext", "application/octet-stream"},
    };
    for (const MimeCase& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(MimeTypeFor(c.path), c.type);
    }
}

struct OptionsCase {
    const char* name;
    std::vector<std::string> arguments;
    bool ok;
    std::string listen;  // every address, "ADDR:PORT" joined with ' '
    int threads;
};

std::string Listened(const ServeOptions& options) {
    std::string joined;
    for (const ListenAddress& listen : options.listen)
        joined += (joined.empty() ? "" : " ") + listen.address + ":" + std::to_string(listen.port);
    return joined;
}

TEST(ServeOptionsTest, ParsesTheCommandLine) {
    const OptionsCase cases[] = {
        {"defaults", {"--root", "/srv"}, true, "127.0.0.1:8080", 1},
        {"listen and threads",
         {"--root=/srv", "--listen", "0.0.0.0:80", "--threads=4"},
         true,
         "0.0.0.0:80",
         4},
        {"any free port", {"--root", "/srv", "--listen", "127.0.0.1:0"}, true, "127.0.0.1:0", 1},
        {"ipv6", {"--root", "/srv", "--listen", "[::1]:8081"}, true, "[::1]:8081", 1},
        {"every address, both families",
         {"--root", "/srv", "--listen", "0.0.0.0:80", "--listen=[::]:80"},
         true,
         "0.0.0.0:80 [::]:80",
         1},
        {"a later value replaces", {"--root", "/srv", "--threads", "8", "--threads=2"}, true,
         "127.0.0.1:8080", 2},
        {"no root", {"--listen", "127.0.0.1:80"}, false, "", 0},
        {"port missing", {"--root", "/srv", "--listen", "127.0.0.1"}, false, "", 0},
        {"address missing", {"--root", "/srv", "--listen", ":80"}, false, "", 0},
        {"port too big", {"--root", "/srv", "--listen", "127.0.0.1:65536"}, false, "", 0},
        {"port with suffix", {"--root", "/srv", "--listen", "127.0.0.1:443s"}, false, "", 0},
        {"bare ipv6", {"--root", "/srv", "--listen", "::1:80"}, false, "", 0},
        {"host name", {"--root", "/srv", "--listen", "localhost:80"}, false, "", 0},
        {"no threads", {"--root", "/srv", "--threads", "0"}, false, "", 0},
        {"threads not a number", {"--root", "/srv", "--threads", "many"}, false, "", 0},
        {"value missing", {"--root"}, false, "", 0},
        {"flag with a value that is no truth", {"--root", "/srv", "--quiet=maybe"}, false, "", 0},
        {"unknown option", {"--root", "/srv", "--verbose"}, false, "", 0},
        {"stray argument", {"--root", "/srv", "extra"}, false, "", 0},
        {"no request timeout", {"--root", "/srv", "--request-timeout", "0"}, false, "", 0},
    };
    for (const OptionsCase& c : cases) {
        SCOPED_TRACE(c.name);
        const ParsedOptions parsed = ParseServeOptions(c.arguments);
        EXPECT_EQ(parsed.error.empty(), c.ok) << parsed.error;
        if (!c.ok) continue;
        EXPECT_EQ(Listened(parsed.options), c.listen);
        EXPECT_EQ(parsed.options.threads, c.threads);
    }
}

TEST(ServeOptionsTest, MistypedOptionsGetASuggestion) {
    const struct {
        const char* typed;
        std::string error;
    } cases[] = {
        {"--lisen=127.0.0.1:80", "unknown option --lisen=127.0.0.1:80 (did you mean --listen?)"},
        {"--server-nme", "unknown option --server-nme (did you mean --server-name?)"},
        {"--colour", "unknown option --colour"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        EXPECT_EQ(ParseServeOptions({"--root", "/srv", c.typed}).error, c.error);
    }
}

TEST(ServeOptionsTest, HelpNamesEveryOption) {
    const std::string help = UsageText();
    for (const char* option : {"--root", "--listen", "--filter", "--server-name",
                               "--allow-default-config", "--threads", "--access-log", "--quiet",
                               "--request-timeout", "--drain-timeout", "--version", "--help"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
}

TEST(ServeOptionsTest, HelpNeedsNoRootAndFlagsAreSet) {
    EXPECT_TRUE(ParseServeOptions({"--help"}).options.help);
    EXPECT_TRUE(ParseServeOptions({"--help"}).error.empty());
    const ParsedOptions parsed =
        ParseServeOptions({"--root", "/srv", "--quiet", "--filter", "/lib/f.so"});
    EXPECT_TRUE(parsed.options.quiet);
    EXPECT_EQ(parsed.options.filter, "/lib/f.so");
    EXPECT_EQ(parsed.options.root, "/srv");
}

TEST(ServeOptionsTest, BindingAndDefaultConfig) {
    const ParsedOptions bound =
        ParseServeOptions({"--root", "/srv", "--server-name", "WWW.Example.test.",
                           "--server-name=[::1]", "--allow-default-config"});
    ASSERT_EQ(bound.error, "");
    EXPECT_EQ(bound.options.serverNames, (std::vector<std::string>{"www.example.test", "[::1]"}));
    EXPECT_TRUE(bound.options.allowDefaultConfig);

    const ParsedOptions plain = ParseServeOptions({"--root", "/srv"});
    EXPECT_TRUE(plain.options.serverNames.empty());
    EXPECT_FALSE(plain.options.allowDefaultConfig);

    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        std::string error;
    } refused[] = {
        {"name with a port", {"--root", "/srv", "--server-name", "a.test:80"}, "a.test:80"},
        {"empty name", {"--root", "/srv", "--server-name="}, "--server-name"},
        {"no name", {"--root", "/srv", "--server-name"}, "--server-name"},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.name);
        EXPECT_NE(ParseServeOptions(c.arguments).error.find(c.error), std::string::npos)
            << ParseServeOptions(c.arguments).error;
    }
}

TEST(AccessLogTest, CombinedLogFormatWithTheFilterLast) {
    AccessRecord record;
    record.client = "127.0.0.1";
    record.requestLine = "GET /media/clip.mp4?kavro=ab HTTP/1.1";
    record.status = 206;
    record.bytes = 100;
    record.filter = "NEXT";
    record.referer = "http://www.example.test/page.html";
    record.userAgent = "NSPlayer/9.0";
    EXPECT_EQ(FormatAccessLine(record, 784111777),
              "127.0.0.1 - - [06/Nov/1994:08:49:37 +0000] \"GET /media/clip.mp4?kavro=ab HTTP/1.1\" "
              "206 100 \"http://www.example.test/page.html\" \"NSPlayer/9.0\" NEXT\n");
}

TEST(AccessLogTest, ReasonFollowsTheFilterFieldOnlyWhenGiven) {
    AccessRecord record;
    record.client = "127.0.0.1";
    record.requestLine = "GET /f.zip HTTP/1.1";
    record.status = 403;
    record.bytes = 363;
    record.filter = "FINISHED:wrote=363";
    record.reason = "token-expired";
    EXPECT_EQ(FormatAccessLine(record, 0),
              "127.0.0.1 - - [01/Jan/1970:00:00:00 +0000] \"GET /f.zip HTTP/1.1\" 403 363 \"-\" "
              "\"-\" FINISHED:wrote=363 reason=token-expired\n");
    record.reason = "a b\"";
    EXPECT_TRUE(FormatAccessLine(record, 0).ends_with(" reason=a\\x20b\\x22\n"))
        << FormatAccessLine(record, 0);
}

TEST(FilterReasonTest, TheReasonLineOfTheAddedHeaders) {
    const struct {
        const char* name;
        const char* headers;
        const char* reason;
    } cases[] = {
        {"none", "", ""},
        {"only line", "X-Qelmor-Reason: token-missing\r\n", "token-missing"},
        {"among others, any case", "A: 1\r\nx-qelmor-REASON:  super-class\r\nB: 2\r\n",
         "super-class"},
        {"bare line feeds", "X-Qelmor-Reason: foreign-referer\n", "foreign-referer"},
        {"a name that only starts alike", "X-Qelmor-Reasons: no\r\n", ""},
    };
    for (const auto& c : cases) {
        FilterOutcome outcome;
        outcome.responseHeaders = c.headers;
        EXPECT_EQ(FilterReason(outcome), c.reason) << c.name;
    }
}

TEST(AccessLogTest, ClosedConnectionAndHostileBytes) {
    AccessRecord record;
    record.client = "127.0.0.1";
    record.requestLine = "GET /\"x\\\x1b[2J\xB1 HTTP/1.1";
    record.status = 0;
    record.filter = "FINISHED:closed";
    EXPECT_EQ(FormatAccessLine(record, 0),
              "127.0.0.1 - - [01/Jan/1970:00:00:00 +0000] \"GET /\\x22x\\x5C\\x1B[2J\\xB1 HTTP/1.1\" "
              "444 0 \"-\" \"-\" FINISHED:closed\n");
}

}  // namespace
}  // namespace qelmor::serve

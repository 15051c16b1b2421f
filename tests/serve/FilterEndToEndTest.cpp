// The real filter behind the real server, through real HTTP.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/serve/SiteFixture.h"

namespace qelmor::serve::testing {
namespace {

using std::chrono::minutes;
using std::chrono::system_clock;

constexpr const char* kPlayer = "User-Agent: NSPlayer/9.0";
constexpr const char* kBrowser = "User-Agent: Mozilla/5.0 (X11; Linux x86_64)";

std::string LineContaining(const std::string& text, const std::string& part) {
    const size_t at = text.find(part);
    if (at == std::string::npos) return {};
    const size_t before = text.rfind('\n', at);
    const size_t first = before == std::string::npos ? 0 : before + 1;
    const size_t end = text.find('\n', at);
    return text.substr(first, end == std::string::npos ? std::string::npos : end - first);
}

using FilterEndToEndTest = SiteTest;

TEST_F(FilterEndToEndTest, RegistrationIsLogged) {
    EXPECT_NE(server_.Output().find("/filter/qelmor.so: \"qelmor.0\", version 4.0, flags "
                                    "0x00081000 (URL_MAP|ORDER_HIGH)"),
              std::string::npos)
        << server_.Output();
}

TEST_F(FilterEndToEndTest, SameHostPageAndItsStyleSheet) {
    const HttpResponse page = client_.Get(Url("/index.html"));
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.body, kVideoPage);
    EXPECT_EQ(page.Header("content-type"), "text/html");

    const HttpResponse index = client_.Get(Url("/"));
    EXPECT_EQ(index.status, 200);
    EXPECT_EQ(index.body, kVideoPage);

    const HttpResponse style = client_.Get(Url("/style.css"), {SameHostReferer()});
    EXPECT_EQ(style.status, 200);
    EXPECT_EQ(style.body, kVideoStyle);
    EXPECT_EQ(style.Header("content-type"), "text/css");
}

struct RefusalCase {
    const char* name;
    std::string target;
    std::vector<std::string> headers;
};

TEST_F(FilterEndToEndTest, RefusalsGetTheExactBlockPage) {
    const RefusalCase cases[] = {
        {"hotlinked style sheet", "/style.css", {"Referer: http://elsewhere.test/page.html"}},
        {"style sheet without referer", "/style.css", {}},
        {"referer from another port", "/style.css", {"Referer: http://127.0.0.1:1/index.html"}},
        {"download without token", "/files/guide.zip", {SameHostReferer()}},
        {"download with a wrong token", "/files/guide.zip?kavro=" + std::string(32, '0'), {}},
        {"super class", "/data.mdb", {SameHostReferer()}},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        const HttpResponse response = client_.Get(Url(c.target), c.headers);
        EXPECT_EQ(response.curlCode, 0);
        EXPECT_EQ(response.status, 403);
        EXPECT_EQ(response.Header("content-type"), "text/html");
        EXPECT_EQ(response.Header("content-length"), std::to_string(kVideoBlockPage.size()));
        EXPECT_EQ(response.Header("connection"), "close");
        EXPECT_EQ(response.body, kVideoBlockPage);
    }
}

struct MediaCase {
    const char* name;
    std::string query;
    std::vector<std::string> headers;
    bool servesClip;  // otherwise the KAVRO.mp4 notice
};

TEST_F(FilterEndToEndTest, MediaNeedsTokenAndPlayer) {
    const std::string token = VideoToken("127.0.0.1");
    std::string upper = token;
    for (char& c : upper)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    const MediaCase cases[] = {
        {"valid token, player", "?kavro=" + token, {kPlayer}, true},
        {"token in capitals", "?KAVRO=" + upper, {kPlayer}, true},
        {"token among parameters", "?a=1&kavro=" + token + "&b=2", {kPlayer}, true},
        {"valid token, browser", "?kavro=" + token, {kBrowser}, false},
        {"token of another address", "?kavro=" + VideoToken("10.1.2.3"), {kPlayer}, false},
        {"no token", "", {kPlayer}, false},
        {"token in the cookie only", "", {kPlayer, "Cookie: kavro=" + token}, false},
    };
    for (const MediaCase& c : cases) {
        SCOPED_TRACE(c.name);
        const HttpResponse response = client_.Get(Url("/media/clip.mp4" + c.query), c.headers);
        EXPECT_EQ(response.status, 200);
        EXPECT_EQ(response.Header("content-type"), "video/mp4");
        EXPECT_TRUE(response.body == (c.servesClip ? kVideoClip : kVideoNotice))
            << "got " << response.body.size() << " bytes";
    }
}

TEST_F(FilterEndToEndTest, MediaRangeIsAnsweredWithTheRightBytes) {
    const std::string url = Url("/media/clip.mp4?kavro=" + VideoToken("127.0.0.1"));
    const HttpResponse part = client_.Get(url, {kPlayer, "Range: bytes=1000-1999"});
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.Header("content-range"), "bytes 1000-1999/" + std::to_string(kVideoClip.size()));
    EXPECT_TRUE(part.body == kVideoClip.substr(1000, 1000));

    const HttpResponse tail = client_.Get(url, {kPlayer, "Range: bytes=-17"});
    EXPECT_EQ(tail.status, 206);
    EXPECT_TRUE(tail.body == kVideoClip.substr(kVideoClip.size() - 17));

    const HttpResponse beyond = client_.Get(url, {kPlayer, "Range: bytes=999999-"});
    EXPECT_EQ(beyond.status, 416);
    EXPECT_EQ(beyond.Header("content-range"), "bytes */" + std::to_string(kVideoClip.size()));
    EXPECT_TRUE(beyond.body.empty());
}

TEST_F(FilterEndToEndTest, DivertedPathIsServedFromTheRootOr404) {
    const HttpResponse diverted = client_.Get(Url("/media/clip.mp4"), {kPlayer});
    EXPECT_EQ(diverted.status, 200);
    EXPECT_TRUE(diverted.body == kVideoNotice);

    // No KAVRO.flv in the root.
    const HttpResponse missing = client_.Get(Url("/media/other.flv"), {kPlayer});
    EXPECT_EQ(missing.status, 404);
}

struct SecurityCase {
    const char* name;
    std::string query;
    int status;
    std::string body;
};

TEST_F(FilterEndToEndTest, SecurityChecksSendTheirMessage) {
    const SecurityCase cases[] = {
        {"query at the limit", "?" + std::string(200, 'q'), 200, "page"},
        {"query one over the limit", "?" + std::string(201, 'q'), 403, kLengthMessage},
        {"query of ten thousand bytes", "?" + std::string(10000, 'q'), 403, kLengthMessage},
        {"bad characters", "?x=%3C%3E&y=<>", 403, kCharacterMessage},
        {"one bad character alone", "?x=<", 200, "page"},
    };
    for (const SecurityCase& c : cases) {
        SCOPED_TRACE(c.name);
        const HttpResponse response = client_.Get(Url("/index.html" + c.query));
        EXPECT_EQ(response.status, c.status);
        EXPECT_EQ(response.body, c.body == "page" ? kVideoPage : c.body);
        if (c.status == 403) {
            EXPECT_EQ(response.Header("content-type"), "text/html");
        }
    }
}

TEST_F(FilterEndToEndTest, HeadGetsHeadersOnly) {
    HttpRequest media{Url("/media/clip.mp4?kavro=" + VideoToken("127.0.0.1")), {kPlayer}, "HEAD"};
    const HttpResponse served = client_.Send(media);
    EXPECT_EQ(served.status, 200);
    EXPECT_EQ(served.Header("content-length"), std::to_string(kVideoClip.size()));
    EXPECT_TRUE(served.body.empty());

    HttpRequest hotlink{Url("/style.css"), {"Referer: http://elsewhere.test/"}, "HEAD"};
    const HttpResponse refused = client_.Send(hotlink);
    EXPECT_EQ(refused.status, 403);
    EXPECT_EQ(refused.Header("content-length"), std::to_string(kVideoBlockPage.size()));
    EXPECT_TRUE(refused.body.empty());
}

TEST_F(FilterEndToEndTest, ValidatorsAndKeepAlive) {
    const HttpResponse first = client_.Get(Url("/index.html"));
    ASSERT_EQ(first.status, 200);
    const std::string tag = first.Header("etag");
    ASSERT_FALSE(tag.empty());
    EXPECT_FALSE(first.Header("last-modified").empty());

    const HttpResponse again = client_.Get(Url("/index.html"), {"If-None-Match: " + tag});
    EXPECT_EQ(again.status, 304);
    EXPECT_TRUE(again.body.empty());
    EXPECT_EQ(again.connects, 0) << "the connection should have been kept";

    const HttpResponse since =
        client_.Get(Url("/index.html"), {"If-Modified-Since: " + first.Header("last-modified")});
    EXPECT_EQ(since.status, 304);
}

TEST_F(FilterEndToEndTest, AccessLogShowsEveryDecision) {
    const std::string token = VideoToken("127.0.0.1");
    client_.Get(Url("/media/clip.mp4?kavro=" + token), {kPlayer, "Range: bytes=0-99"});
    client_.Get(Url("/style.css"), {"Referer: http://elsewhere.test/"});
    client_.Get(Url("/media/clip.mp4"), {kPlayer});
    client_.Send({Url("/../etc/passwd"), {}, "GET", true});

    const std::string page = std::to_string(kVideoBlockPage.size());
    const std::string lines[] = {
        "\"GET /media/clip.mp4?kavro=" + token + " HTTP/1.1\" 206 100 \"-\" \"" +
            std::string(kPlayer).substr(12) + "\" NEXT\n",
        "\"GET /style.css HTTP/1.1\" 403 " + page + " \"http://elsewhere.test/\" \"-\" FINISHED:wrote=" +
            page + "\n",
        "\"GET /media/clip.mp4 HTTP/1.1\" 200 " + std::to_string(kVideoNotice.size()) + " \"-\" \"" +
            std::string(kPlayer).substr(12) + "\" FINISHED:path=KAVRO.mp4\n",
        "\"GET /../etc/passwd HTTP/1.1\" 400 ",
    };
    for (const std::string& line : lines) {
        SCOPED_TRACE(line);
        EXPECT_TRUE(server_.WaitForOutput(line)) << server_.Output();
    }
    EXPECT_TRUE(server_.Output().find("127.0.0.1 - - [") != std::string::npos);
    // The traversal never reached the filter.
    EXPECT_TRUE(LineContaining(server_.Output(), "/../etc/passwd").ends_with(" \"-\" \"-\" -"))
        << server_.Output();
}

// Tokens of mode 2: key, address, date, hour and minute.
class TimeTokenTest : public SiteTest {
  protected:
    TimeTokenTest()
        : SiteTest(
              "[KAVRO]\nPubKey=e2e-key\nEncryptMode=2\nMediaExt=.mp4\nPlayOnline=0\n"
              "Mediaaction=0\n") {}

    static std::string TokenAt(system_clock::time_point when, const std::string& address) {
        const ClockTexts texts = ClockTextsAt(when);
        return Md5Hex(kVideoKey + address + texts.date + texts.hour + texts.minute);
    }

    // The request with a token of `offset` from now; asked again when the
    // minute turned while it was on its way.
    HttpResponse FetchWithToken(minutes offset, const std::string& address) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            const auto before = system_clock::now();
            const std::string token = TokenAt(before + offset, address);
            HttpResponse response = client_.Get(Url("/media/clip.mp4?kavro=" + token));
            if (ClockTextsAt(before).minute == ClockTextsAt(system_clock::now()).minute) {
                return response;
            }
        }
        ADD_FAILURE() << "the minute kept turning";
        return {};
    }
};

TEST_F(TimeTokenTest, CurrentTokenServesStaleOrForeignDoesNot) {
    const HttpResponse current = FetchWithToken(minutes(0), "127.0.0.1");
    EXPECT_EQ(current.status, 200);
    EXPECT_TRUE(current.body == kVideoClip);

    const HttpResponse stale = FetchWithToken(minutes(-2), "127.0.0.1");
    EXPECT_EQ(stale.status, 200);
    EXPECT_TRUE(stale.body == kVideoNotice) << "a token two minutes old was accepted";

    const HttpResponse foreign = FetchWithToken(minutes(0), "127.0.0.2");
    EXPECT_EQ(foreign.status, 200);
    EXPECT_TRUE(foreign.body == kVideoNotice) << "a token of another address was accepted";
}

}  // namespace
}  // namespace qelmor::serve::testing

// qelmor explain: one request through the filter's policy, the deciding
// step in words and what the client receives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "tests/tool/ToolHarness.h"

namespace qelmor::tooltest {
namespace {

const std::string kSiteIni =
    "[KAVRO]\nDomainName=www.site.test\nFriendDomain=www.friend.test\nPubFile=logo.png\n"
    "OpenSecurity=1\nUrlLength=100\nBadChar=%27\nPubKey=s3cr3t\nSuperExt=.mdb\n"
    "CommonExt=.css\nAdvancedExt=.zip\nAdvancedAction=0\nMediaExt=.wmv.rmvb\nAlert=<b>Stop</b>\n"
    "PauseTime=5\nRedirectUrl=http://www.site.test/\n";

// The default block page, piece by piece, for the values above.
const std::string kBlockPage =
    "<html><head><meta http-equiv=\"Refresh\" content=\"5;URL=http://www.site.test/\" /><title>"
    "</title></head><body><b>Stop</b><p><iframe height=200 width=560 frameborder=0 scrolling=No "
    "src=http://ads.qelmor.invalid/guangg/guangg.asp></iframe></p></body></html>    ";
const std::string kPage = "receives: block page, " + std::to_string(kBlockPage.size()) + " bytes:";
const std::string kToken = Md5UpperHex("s3cr3t127.0.0.112/8/261041");

std::string Lower(std::string text) {
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The request of a case, with the defaults it does not give itself.
std::vector<std::string> WithDefaults(const std::vector<std::string>& request) {
    std::vector<std::string> args{"explain"};
    for (const auto& [option, value] :
         {std::pair<std::string, std::string>{"--at", "2026-12-08 10:41"},
          {"--host", "www.site.test"},
          {"--addr", "127.0.0.1"}}) {
        if (std::none_of(request.begin(), request.end(),
                         [&](const std::string& a) { return a.rfind(option, 0) == 0; })) {
            args.insert(args.end(), {option, value});
        }
    }
    args.insert(args.end(), request.begin(), request.end());
    return args;
}

struct ExplainCase {
    const char* name;
    std::string modeLines;  // added to the site's file
    std::vector<std::string> request;
    std::vector<std::string> expected;  // the first lines printed
};

class ToolExplainTest : public ::testing::TestWithParam<ExplainCase> {};

TEST_P(ToolExplainTest, SaysWhatTheFilterDecidesAndSends) {
    const ExplainCase& c = GetParam();
    Folder folder;
    folder.Write("KAVRO.ini", kSiteIni + c.modeLines);
    const RunResult run = RunTool(WithDefaults(c.request), {folder.Path()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::vector<std::string> lines = Lines(run.out);
    lines.resize(std::min(lines.size(), c.expected.size()));
    EXPECT_EQ(lines, c.expected) << run.out;
}

const std::string kMode2 = "EncryptMode=2\n";

INSTANTIATE_TEST_SUITE_P(
    Requests, ToolExplainTest,
    ::testing::Values(
        ExplainCase{
            "MediaPlayerWithToken",
            kMode2,
            {"--path", "/s/f.wmv", "--query", "i=7&kavro=" + kToken, "--agent", "NSPlayer/9"},
            {"result: pass",
             "step: media class: token valid for 127.0.0.1 at 10:41 (player agent \"NSPlayer/9\")",
             "reason: token-valid",
             "token: \"" + kToken + "\" from the query string, valid; the filter expects " + kToken,
             "receives: file \"/s/f.wmv\""}},
        ExplainCase{"TokenOfTheMinuteBefore",
                    kMode2,
                    {"--path", "/s/f.wmv", "--query", "kavro=" + kToken, "--at=2026-12-08 10:42"},
                    {"result: refused", "step: media class: token invalid for 127.0.0.1 at 10:42",
                     "reason: token-expired",
                     "token: \"" + kToken +
                         "\" from the query string, expired: valid at 10:41 (TokenGrace 0); the "
                         "filter expects " +
                         Md5UpperHex("s3cr3t127.0.0.112/8/261042"),
                     kPage, kBlockPage}},
        ExplainCase{"BrowserAgent",
                    kMode2,
                    {"--path", "/s/f.wmv", "--query", "kavro=" + kToken, "--agent", "Mozilla/5.0"},
                    {"result: refused",
                     "step: media class: not a player agent (\"Mozilla/5.0\"; token valid for "
                     "127.0.0.1 at 10:41)",
                     "reason: not-player-agent"}},
        ExplainCase{"RmIsInRmvb",
                    kMode2,
                    {"--path", "/s/old.rm"},
                    {"result: refused", "step: media class: token invalid for 127.0.0.1 at 10:41",
                     "reason: token-missing"}},
        ExplainCase{
            "DivertedKeepsCase",
            kMode2,
            {"--path", "/s/Pack.ZIP"},
            {"result: refused", "step: advanced class: token invalid for 127.0.0.1 at 10:41",
             "reason: token-missing",
             "token: \"\" from the query string, missing: no \"kavro=\" in the query string; the "
             "filter expects " +
                 kToken,
             "receives: diverted path \"KAVRO.ZIP\""}},
        ExplainCase{
            "LowerCaseTokenInCookie",
            kMode2 + "PassMode=0\n",
            {"--path", "/s/p.zip", "--query", "kavro=1", "--cookie", "a=1; KAVRO=" + Lower(kToken)},
            {"result: pass", "step: advanced class: token valid for 127.0.0.1 at 10:41",
             "reason: token-valid",
             "token: \"" + kToken + "\" from the cookie, valid; the filter expects " + kToken}},
        ExplainCase{"Mode1NotForAnAddress",
                    "EncryptMode=1\n",
                    {"--path", "/s/p.zip", "--query", "kavro=" + Md5UpperHex("s3cr3t12/8/261041")},
                    {"result: pass", "step: advanced class: token valid at 10:41",
                     "reason: token-valid"}},
        ExplainCase{"Mode0HasNoMinute",
                    "",
                    {"--path", "/s/p.zip"},
                    {"result: refused", "step: advanced class: token invalid for 127.0.0.1",
                     "reason: token-missing"}},
        ExplainCase{"ModeOutOfRange",
                    "EncryptMode=9\n",
                    {"--path", "/s/p.zip"},
                    {"result: refused",
                     "step: advanced class: token invalid (EncryptMode 9: no token can be valid)",
                     "reason: token-missing",
                     "token: \"\" from the query string, missing: no \"kavro=\" in the query "
                     "string; the filter expects none"}},
        ExplainCase{"CommonForeignReferer",
                    kMode2,
                    {"--path", "/s/a.css", "--referer", "http://evil.test/p"},
                    {"result: refused",
                     "step: common class: foreign referer (referer host \"evil.test\", host "
                     "\"www.site.test\")",
                     "reason: foreign-referer", kPage, kBlockPage}},
        ExplainCase{"CommonSameHost",
                    kMode2,
                    {"--path", "/s/a.css", "--referer", "http://WWW.site.test/i.html"},
                    {"result: pass", "step: common class: same-host referer (\"WWW.site.test\")",
                     "reason: same-host-referer"}},
        ExplainCase{
            "FriendlyByContainment",
            kMode2,
            {"--path", "/s/d.mdb", "--referer", "http://friend.test/x"},
            {"result: pass", "step: friendly referer (\"friend.test\" is in FriendDomain)",
             "reason: friendly-referer"}},
        ExplainCase{"OtherHost",
                    kMode2,
                    {"--path", "/s/d.mdb", "--host", "site.test"},
                    {"result: pass",
                     "step: other host: not examined (host \"site.test\", DomainName "
                     "\"www.site.test\")",
                     "reason: other-host"}},
        ExplainCase{"PublicFile",
                    kMode2,
                    {"--path", "/s/LOGO.png"},
                    {"result: pass", "step: public file (\"LOGO.png\" is in PubFile)",
                     "reason: public-file"}},
        ExplainCase{
            "Super",
            kMode2,
            {"--path", "/s/d.mdb"},
            {"result: refused", "step: super class: always refused (\".mdb\" is in SuperExt)",
             "reason: super-class", kPage, kBlockPage}},
        ExplainCase{"NoExtension",
                    kMode2,
                    {"--path", "/s/media"},
                    {"result: pass", "step: no extension (path \"/s/media\")",
                     "reason: no-extension", "receives: file \"/s/media\""}},
        ExplainCase{"QueryAtTheLimit",
                    kMode2,
                    {"--path", "/s/a.mp4", "--query", std::string(100, 'q')},
                    {"result: pass", "step: no class (\".mp4\" is in no list)",
                     "reason: no-class"}},
        ExplainCase{"QueryOverTheLimit",
                    kMode2,
                    {"--path", "/s/a.mp4", "--query", std::string(101, 'q')},
                    {"result: refused",
                     "step: security check: query string too long (101 bytes, UrlLength 100)",
                     "reason: query-too-long", "receives: length message, 32 bytes:"}},
        ExplainCase{"BadChar",
                    kMode2,
                    {"--path", "/s/a.mp4", "--query", "q=%27"},
                    {"result: refused", "step: security check: query string has BadChar (\"%27\")",
                     "reason: query-bad-text", "receives: character message, 32 bytes:"}},
        ExplainCase{"GraceTakesTheMinuteBefore",
                    kMode2 + "TokenGrace=1\n",
                    {"--path", "/s/f.wmv", "--query", "kavro=" + kToken, "--agent", "NSPlayer/9",
                     "--at=2026-12-08 10:42"},
                    {"result: pass",
                     "step: media class: token valid for 127.0.0.1 at 10:42 (player agent "
                     "\"NSPlayer/9\")",
                     "reason: token-valid",
                     "token: \"" + kToken +
                         "\" from the query string, valid: made at 10:41, within TokenGrace 1; "
                         "the filter expects " + Md5UpperHex("s3cr3t127.0.0.112/8/261042")}},
        ExplainCase{"GraceTakesAPageServerAhead",
                    kMode2 + "TokenGrace=1\n",
                    {"--path", "/s/p.zip", "--query", "kavro=" + kToken, "--at=2026-12-08 10:40"},
                    {"result: pass", "step: advanced class: token valid for 127.0.0.1 at 10:40",
                     "reason: token-valid",
                     "token: \"" + kToken +
                         "\" from the query string, valid: made at 10:41, ahead of this clock, "
                         "within TokenGrace 1; the filter expects " +
                         Md5UpperHex("s3cr3t127.0.0.112/8/261040")}},
        ExplainCase{"ExpiredAcrossMidnight",
                    kMode2 + "TokenGrace=1\n",
                    {"--path", "/s/p.zip", "--query",
                     "kavro=" + Md5UpperHex("s3cr3t127.0.0.112/7/262358"), "--at=2026-12-08 00:00"},
                    {"result: refused", "step: advanced class: token invalid for 127.0.0.1 at 00:00",
                     "reason: token-expired",
                     "token: \"" + Md5UpperHex("s3cr3t127.0.0.112/7/262358") +
                         "\" from the query string, expired: valid at 23:58 on 2026-12-07 "
                         "(TokenGrace 1); the filter expects " +
                         Md5UpperHex("s3cr3t127.0.0.112/8/2600")}},
        ExplainCase{"TokenOfAnotherAddressIsInvalid",
                    kMode2 + "TokenGrace=1\n",
                    {"--path", "/s/p.zip", "--query", "kavro=" + kToken, "--addr", "10.0.0.9"},
                    {"result: refused", "step: advanced class: token invalid for 10.0.0.9 at 10:41",
                     "reason: token-invalid"}},
        ExplainCase{"TokenOlderThanAnHourIsInvalid",
                    kMode2,
                    {"--path", "/s/p.zip", "--query", "kavro=" + kToken, "--at=2026-12-08 11:42"},
                    {"result: refused", "step: advanced class: token invalid for 127.0.0.1 at 11:42",
                     "reason: token-invalid"}},
        ExplainCase{"TokenAnHourOldIsExpired",
                    kMode2,
                    {"--path", "/s/p.zip", "--query", "kavro=" + kToken, "--at=2026-12-08 11:41"},
                    {"result: refused", "step: advanced class: token invalid for 127.0.0.1 at 11:41",
                     "reason: token-expired"}}),
    [](const auto& test) { return std::string(test.param.name); });

// The JSON read back by Python's parser; the body, encoded as Latin-1, must
// be the bytes sent, which Python then reads as GBK.
constexpr char kReadJson[] = R"(import json, sys
text = open(sys.argv[1], encoding="ascii").read()
assert text.count("\n") == 1 and text.endswith("\n"), "not one line"
d = json.loads(text)
body = d["body"]
token = d["token"] or {}
print(d["result"], d["receives"], d["path"], token.get("found"), d["reason"], token.get("state"),
      token.get("validAt"), sep="|")
print(d["step"])
print(None if body is None else body.encode("latin-1").decode("gbk"))
)";

struct JsonCase {
    const char* name;
    std::vector<std::string> request;
    std::string expected;
};

class ToolExplainJsonTest : public ::testing::TestWithParam<JsonCase> {};

TEST_P(ToolExplainJsonTest, IsOneObjectWithTheSameFacts) {
    const JsonCase& c = GetParam();
    Folder folder;
    // The first Title of the section counts: a quote, a backslash, a tab
    // and GBK bytes to escape.
    folder.Write("KAVRO.ini", "[KAVRO]\nTitle=\"Q\"\\\t\xb2\xbb\"\n" + kSiteIni.substr(8) + kMode2);
    std::vector<std::string> args = WithDefaults(c.request);
    args.push_back("--json");
    const RunResult run = RunTool(args, {folder.Path()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const RunResult parsed =
        RunProgram(QELMOR_PYTHON, {"-c", kReadJson, folder.Write("out.json", run.out)},
                   {"", {{"PYTHONIOENCODING", "utf-8"}}});
    EXPECT_EQ(parsed.out, c.expected) << parsed.err << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ToolExplainJsonTest,
    ::testing::Values(JsonCase{"LengthMessage",
                               {"--path", "/s/a.mp4", "--query", std::string(101, 'q')},
                               "refused|length message|None|None|query-too-long|None|None\n"
                               "security check: query string too long (101 bytes, UrlLength 100)\n"
                               "本站开启了URL长度安全检测功能。 \n"},
                      JsonCase{"BlockPageWithEscapes",
                               {"--path", "/s/f.wmv", "--query", "kavro=ab\"c"},
                               "refused|block page|None|AB\"C|token-invalid|invalid|None\n"
                               "media class: token invalid for 127.0.0.1 at 10:41\n" +
                                   kBlockPage.substr(0, kBlockPage.find("</title>")) + "Q\"\\\t不" +
                                   kBlockPage.substr(kBlockPage.find("</title>")) + "\n"},
                      JsonCase{"DivertedPath",
                               {"--path", "/s/\"x\".zip"},
                               "refused|diverted path|KAVRO.zip||token-missing|missing|None\n"
                               "advanced class: token invalid for 127.0.0.1 at 10:41\nNone\n"},
                      JsonCase{"ExpiredToken",
                               {"--path", "/s/x.zip", "--query", "kavro=" + kToken,
                                "--at=2026-12-08 10:43"},
                               "refused|diverted path|KAVRO.zip|" + kToken +
                                   "|token-expired|expired|10:41\n"
                                   "advanced class: token invalid for 127.0.0.1 at 10:43\nNone\n"}),
    [](const auto& test) { return std::string(test.param.name); });

struct ExitCase {
    const char* name;
    std::vector<std::string> request;
    int withExitStatus;
};

// Scripts ask "was it refused?" through the exit status, only when they
// say so; without --exit-status a refusal explained is a success.
TEST(ToolExplainExitTest, ExitStatusSaysRefusedOnlyWhenAsked) {
    const ExitCase cases[] = {
        {"pass", {"--path", "/s/a.mp4"}, 0},
        {"refused", {"--path", "/s/d.mdb"}, 1},
        {"refused, as JSON", {"--path", "/s/d.mdb", "--json"}, 1},
    };
    for (const ExitCase& c : cases) {
        Folder folder;
        folder.Write("KAVRO.ini", kSiteIni);
        std::vector<std::string> args = WithDefaults(c.request);
        EXPECT_EQ(RunTool(args, {folder.Path()}).exitCode, 0) << c.name;
        args.push_back("--exit-status");
        const RunResult run = RunTool(args, {folder.Path()});
        EXPECT_EQ(run.exitCode, c.withExitStatus) << c.name << run.err;
        EXPECT_FALSE(run.out.empty()) << c.name;
    }
}

}  // namespace
}  // namespace qelmor::tooltest

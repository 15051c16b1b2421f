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
             "token: \"" + kToken + "\" from the query string; the filter expects " + kToken,
             "receives: file \"/s/f.wmv\""}},
        ExplainCase{"TokenOfTheMinuteBefore",
                    kMode2,
                    {"--path", "/s/f.wmv", "--query", "kavro=" + kToken, "--at=2026-12-08 10:42"},
                    {"result: refused", "step: media class: token invalid for 127.0.0.1 at 10:42",
                     "token: \"" + kToken + "\" from the query string; the filter expects " +
                         Md5UpperHex("s3cr3t127.0.0.112/8/261042"),
                     kPage, kBlockPage}},
        ExplainCase{"BrowserAgent",
                    kMode2,
                    {"--path", "/s/f.wmv", "--query", "kavro=" + kToken, "--agent", "Mozilla/5.0"},
                    {"result: refused",
                     "step: media class: not a player agent (\"Mozilla/5.0\"; token valid for "
                     "127.0.0.1 at 10:41)"}},
        ExplainCase{"RmIsInRmvb",
                    kMode2,
                    {"--path", "/s/old.rm"},
                    {"result: refused", "step: media class: token invalid for 127.0.0.1 at 10:41"}},
        ExplainCase{
            "DivertedKeepsCase",
            kMode2,
            {"--path", "/s/Pack.ZIP"},
            {"result: refused", "step: advanced class: token invalid for 127.0.0.1 at 10:41",
             "token: \"\" from the query string; the filter expects " + kToken,
             "receives: diverted path \"KAVRO.ZIP\""}},
        ExplainCase{
            "LowerCaseTokenInCookie",
            kMode2 + "PassMode=0\n",
            {"--path", "/s/p.zip", "--query", "kavro=1", "--cookie", "a=1; KAVRO=" + Lower(kToken)},
            {"result: pass", "step: advanced class: token valid for 127.0.0.1 at 10:41",
             "token: \"" + kToken + "\" from the cookie; the filter expects " + kToken}},
        ExplainCase{"Mode1NotForAnAddress",
                    "EncryptMode=1\n",
                    {"--path", "/s/p.zip", "--query", "kavro=" + Md5UpperHex("s3cr3t12/8/261041")},
                    {"result: pass", "step: advanced class: token valid at 10:41"}},
        ExplainCase{"Mode0HasNoMinute",
                    "",
                    {"--path", "/s/p.zip"},
                    {"result: refused", "step: advanced class: token invalid for 127.0.0.1"}},
        ExplainCase{"ModeOutOfRange",
                    "EncryptMode=9\n",
                    {"--path", "/s/p.zip"},
                    {"result: refused",
                     "step: advanced class: token invalid (EncryptMode 9: no token can be valid)",
                     "token: \"\" from the query string; the filter expects none"}},
        ExplainCase{"CommonForeignReferer",
                    kMode2,
                    {"--path", "/s/a.css", "--referer", "http://evil.test/p"},
                    {"result: refused",
                     "step: common class: foreign referer (referer host \"evil.test\", host "
                     "\"www.site.test\")",
                     kPage, kBlockPage}},
        ExplainCase{"CommonSameHost",
                    kMode2,
                    {"--path", "/s/a.css", "--referer", "http://WWW.site.test/i.html"},
                    {"result: pass", "step: common class: same-host referer (\"WWW.site.test\")"}},
        ExplainCase{
            "FriendlyByContainment",
            kMode2,
            {"--path", "/s/d.mdb", "--referer", "http://friend.test/x"},
            {"result: pass", "step: friendly referer (\"friend.test\" is in FriendDomain)"}},
        ExplainCase{"OtherHost",
                    kMode2,
                    {"--path", "/s/d.mdb", "--host", "site.test"},
                    {"result: pass",
                     "step: other host: not examined (host \"site.test\", DomainName "
                     "\"www.site.test\")"}},
        ExplainCase{"PublicFile",
                    kMode2,
                    {"--path", "/s/LOGO.png"},
                    {"result: pass", "step: public file (\"LOGO.png\" is in PubFile)"}},
        ExplainCase{
            "Super",
            kMode2,
            {"--path", "/s/d.mdb"},
            {"result: refused", "step: super class: always refused (\".mdb\" is in SuperExt)",
             kPage, kBlockPage}},
        ExplainCase{"NoExtension",
                    kMode2,
                    {"--path", "/s/media"},
                    {"result: pass", "step: no extension (path \"/s/media\")",
                     "receives: file \"/s/media\""}},
        ExplainCase{"QueryAtTheLimit",
                    kMode2,
                    {"--path", "/s/a.mp4", "--query", std::string(100, 'q')},
                    {"result: pass", "step: no class (\".mp4\" is in no list)"}},
        ExplainCase{"QueryOverTheLimit",
                    kMode2,
                    {"--path", "/s/a.mp4", "--query", std::string(101, 'q')},
                    {"result: refused",
                     "step: security check: query string too long (101 bytes, UrlLength 100)",
                     "receives: length message, 32 bytes:"}},
        ExplainCase{"BadChar",
                    kMode2,
                    {"--path", "/s/a.mp4", "--query", "q=%27"},
                    {"result: refused", "step: security check: query string has BadChar (\"%27\")",
                     "receives: character message, 32 bytes:"}}),
    [](const auto& test) { return std::string(test.param.name); });

// The JSON read back by Python's parser; the body, encoded as Latin-1, must
// be the bytes sent, which Python then reads as GBK.
constexpr char kReadJson[] = R"(import json, sys
text = open(sys.argv[1], encoding="ascii").read()
assert text.count("\n") == 1 and text.endswith("\n"), "not one line"
d = json.loads(text)
body = d["body"]
print(d["result"], d["receives"], d["path"], d["token"] and d["token"]["found"], sep="|")
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
                               "refused|length message|None|None\n"
                               "security check: query string too long (101 bytes, UrlLength 100)\n"
                               "本站开启了URL长度安全检测功能。 \n"},
                      JsonCase{"BlockPageWithEscapes",
                               {"--path", "/s/f.wmv", "--query", "kavro=ab\"c"},
                               "refused|block page|None|AB\"C\n"
                               "media class: token invalid for 127.0.0.1 at 10:41\n" +
                                   kBlockPage.substr(0, kBlockPage.find("</title>")) + "Q\"\\\t不" +
                                   kBlockPage.substr(kBlockPage.find("</title>")) + "\n"},
                      JsonCase{"DivertedPath",
                               {"--path", "/s/\"x\".zip"},
                               "refused|diverted path|KAVRO.zip|\n"
                               "advanced class: token invalid for 127.0.0.1 at 10:41\nNone\n"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace qelmor::tooltest

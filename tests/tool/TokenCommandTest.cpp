// qelmor token: the digest input as an issuing page builds it, MD5 by
// OpenSSL, against what the tool prints.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "tests/tool/ToolHarness.h"

namespace qelmor::tooltest {
namespace {

struct TokenCase {
    const char* name;
    std::string ini;  // empty: no file
    std::vector<std::string> args;
    std::string digestInput;
};

class ToolTokenTest : public ::testing::TestWithParam<TokenCase> {};

TEST_P(ToolTokenTest, PrintsTheDigestOfThePageInput) {
    const TokenCase& c = GetParam();
    Folder folder;
    if (!c.ini.empty()) folder.Write("KAVRO.ini", c.ini);
    const RunResult run = RunTool(c.args, {folder.Path()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, Md5UpperHex(c.digestInput) + "\n");
}

const std::string kKey = "[KAVRO]\nPubKey=s3cr3t\n";
const std::vector<std::string> kAt0905{"token", "--client", "10.1.2.3", "--at", "2026-12-08 09:05"};

INSTANTIATE_TEST_SUITE_P(
    Modes, ToolTokenTest,
    ::testing::Values(
        TokenCase{"NoFileGivesDefaults", "", {"token", "--client", "::1"}, "ruftal::1"},
        TokenCase{"Mode0", kKey + "EncryptMode=0\n", kAt0905, "s3cr3t10.1.2.3"},
        TokenCase{"Mode1WithoutClient",
                  kKey + "EncryptMode=1\n",
                  {"token", "--at", "2026-12-08 09:05"},
                  "s3cr3t12/8/2695"},
        TokenCase{"Mode2", kKey + "EncryptMode=2\n", kAt0905, "s3cr3t10.1.2.312/8/2695"},
        TokenCase{"Mode3Hexadecimal", kKey + "EncryptMode=0x3\n", kAt0905,
                  "s3cr3t12/8/269510.1.2.3"},
        TokenCase{"LastMinuteOfYear",
                  kKey + "EncryptMode=1\n",
                  {"token", "--at", "2027-12-31 23:59"},
                  "s3cr3t12/31/272359"},
        TokenCase{"LeapDayYearWithZero",
                  kKey + "EncryptMode=1\n",
                  {"token", "--at", "2008-02-29 00:00"},
                  "s3cr3t2/29/0800"},
        TokenCase{"DatePattern",
                  kKey + "EncryptMode=1\n",
                  {"token", "--at", "2026-12-08 09:05", "--date-pattern", "yyyy-MM-dd"},
                  "s3cr3t2026-12-0895"},
        TokenCase{"KeyCutToFifty",
                  "[KAVRO]\nPubKey=" + std::string(60, 'k') + "\n",
                  {"token", "--client", "a"},
                  std::string(50, 'k') + "a"}),
    [](const auto& test) { return std::string(test.param.name); });

struct LinkCase {
    const char* name;
    std::string url, before, after;  // the link is before + token + after
};

class ToolLinkTest : public ::testing::TestWithParam<LinkCase> {};

TEST_P(ToolLinkTest, AppendsTheTokenParameter) {
    const LinkCase& c = GetParam();
    const RunResult run = RunTool({"token", "--client", "a", "--link", c.url});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, c.before + Md5UpperHex("ruftala") + c.after + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Urls, ToolLinkTest,
    ::testing::Values(LinkCase{"NoQuery", "http://h/a.wmv", "http://h/a.wmv?kavro=", ""},
                      LinkCase{"Query", "/a.wmv?p=2", "/a.wmv?p=2&kavro=", ""},
                      LinkCase{"EmptyQuery", "/a.wmv?", "/a.wmv?kavro=", ""},
                      LinkCase{"EndsInAmpersand", "/a.wmv?p=2&", "/a.wmv?p=2&kavro=", ""},
                      LinkCase{"Fragment", "/a.wmv?p=2#t", "/a.wmv?p=2&kavro=", "#t"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(ToolTokenVerboseTest, ShowsThePiecesInDigestOrder) {
    Folder folder;
    folder.Write("KAVRO.ini", "[KAVRO]\nPubKey=s3cr3t\nEncryptMode=3\n");
    const RunResult run =
        RunTool({"token", "--client", "10.1.2.3", "--at", "2026-12-08 09:05", "--verbose"},
                {folder.Path()});
    const std::vector<std::string> expected{"EncryptMode 3 at 2026-12-08 09:05",
                                            "key      \"s3cr3t\"",
                                            "date     \"12/8/26\"",
                                            "hour     \"9\"",
                                            "minute   \"5\"",
                                            "address  \"10.1.2.3\"",
                                            "input    \"s3cr3t12/8/269510.1.2.3\"",
                                            "token    " + Md5UpperHex("s3cr3t12/8/269510.1.2.3"),
                                            "accepted 09:05 (TokenGrace 0)"};
    EXPECT_EQ(Lines(run.out), expected);
    EXPECT_EQ(run.err, "");
}

// The minutes a token is taken in, as the filter takes it: its own and
// TokenGrace more.
TEST(ToolTokenVerboseTest, SaysInWhichMinutesTheTokenIsTaken) {
    struct Case {
        const char* name;
        std::string ini;
        std::string at;
        std::string accepted;
    } cases[] = {
        {"no grace", "EncryptMode=2\n", "2026-12-08 09:05", "accepted 09:05 (TokenGrace 0)"},
        {"grace 2", "EncryptMode=2\nTokenGrace=2\n", "2026-12-08 09:05",
         "accepted 09:03 to 09:07 (TokenGrace 2)"},
        {"into the next day", "EncryptMode=1\nTokenGrace=3\n", "2026-12-08 23:58",
         "accepted 23:55 to 00:01 of the next day (TokenGrace 3)"},
        {"from the day before", "EncryptMode=2\nTokenGrace=2\n", "2027-01-01 00:01",
         "accepted 23:59 of the day before to 00:03 (TokenGrace 2)"},
        {"beyond the most", "EncryptMode=3\nTokenGrace=99\n", "2026-12-08 09:05",
         "accepted 08:05 to 10:05 (TokenGrace 60)"},
        {"without a clock", "EncryptMode=0\nTokenGrace=5\n", "2026-12-08 09:05",
         "accepted at any time (EncryptMode 0)"},
    };
    for (const Case& c : cases) {
        Folder folder;
        folder.Write("KAVRO.ini", "[KAVRO]\n" + c.ini);
        const RunResult run = RunTool(
            {"token", "--client", "10.1.2.3", "--at", c.at, "--verbose"}, {folder.Path()});
        const std::vector<std::string> lines = Lines(run.out);
        EXPECT_EQ(lines.empty() ? "" : lines.back(), c.accepted) << c.name << run.err;
    }
}

// A KAVRO.ini that exists but is no file of settings (a FIFO such as
// "--ini <(printf ...)", a device, a folder) must neither hang the tool nor
// yield answers for the default key.
TEST(ToolUnreadableIniTest, RefusesWithoutWaiting) {
    struct Case {
        const char* name;
        std::vector<std::string> command;  // before "--ini FILE"
        int exitCode;
        const char* says;  // on standard error, or for config on standard output
    };
    const Case commands[] = {
        {"token", {"token", "--client", "10.1.2.3"}, 1, "cannot be read"},
        {"explain", {"explain", "--path", "/srv/a.wmv"}, 1, "cannot be read"},
        {"config", {"config"}, 1, "cannot be read: every key takes its default"},
    };
    struct Kind {
        const char* name;
        std::function<void(const std::string&)> make;
    };
    const Kind kinds[] = {
        {"FIFO", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0644), 0); }},
        {"link to /dev/zero",
         [](const std::string& path) { ASSERT_EQ(symlink("/dev/zero", path.c_str()), 0); }},
        {"folder", [](const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0); }},
    };
    for (const Kind& kind : kinds) {
        for (const Case& c : commands) {
            SCOPED_TRACE(std::string(kind.name) + ", " + c.name);
            Folder folder;
            const std::string ini = folder.Path() + "/site.ini";
            kind.make(ini);
            std::vector<std::string> args = {"30", QELMOR_TOOL_PROGRAM};
            args.insert(args.end(), c.command.begin(), c.command.end());
            args.insert(args.end(), {"--ini", ini});
            // timeout(1) ends a run that hangs with status 124.
            const RunResult run = RunProgram("/usr/bin/timeout", args, {folder.Path()});
            EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
            EXPECT_NE((run.err + run.out).find(c.says), std::string::npos) << run.out << run.err;
            EXPECT_EQ(run.out.find("token"), std::string::npos) << run.out;
        }
    }
}

TEST(ToolTokenNoteTest, MissingFileIsNotedOnStandardError) {
    const RunResult run = RunTool({"token", "--client", "a"});
    EXPECT_EQ(run.err, "qelmor token: note: KAVRO.ini not found; every key takes its default\n");
}

}  // namespace
}  // namespace qelmor::tooltest

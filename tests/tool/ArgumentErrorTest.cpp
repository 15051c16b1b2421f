// Bad command lines end with exit status 2 and one line that names the bad
// argument; --help describes each command.
#include <gtest/gtest.h>

#include "tests/tool/ToolHarness.h"

namespace qelmor::tooltest {
namespace {

struct ErrorCase {
    const char* name;
    std::string ini;  // the KAVRO.ini of the working folder
    std::vector<std::string> args;
    std::string message;  // the whole of standard error, less its line end
};

class ToolArgumentErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ToolArgumentErrorTest, ExitsTwoWithOneLine) {
    const ErrorCase& c = GetParam();
    Folder folder;
    folder.Write("KAVRO.ini", "[KAVRO]\n" + c.ini);
    const RunResult run = RunTool(c.args, {folder.Path()});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.err, c.message + "\n");
    EXPECT_EQ(run.out, "");
}

const std::string kBadAt = " is not a date and time \"YYYY-MM-DD HH:MM\"";

INSTANTIATE_TEST_SUITE_P(
    CommandLines, ToolArgumentErrorTest,
    ::testing::Values(
        ErrorCase{"NoCommand", "", {}, "qelmor: no command given (see qelmor --help)"},
        ErrorCase{"VersionWithArguments",
                  "",
                  {"--version", "token"},
                  "qelmor: --version takes no arguments"},
        ErrorCase{"UnknownCommand",
                  "",
                  {"tokens"},
                  "qelmor: unknown command \"tokens\" (see qelmor --help)"},
        ErrorCase{
            "UnknownOption", "", {"token", "--mode", "2"}, "qelmor token: unknown option --mode"},
        ErrorCase{"MistypedOption",
                  "",
                  {"token", "--clinet", "1.2.3.4"},
                  "qelmor token: unknown option --clinet (did you mean --client?)"},
        ErrorCase{"StrayArgument",
                  "",
                  {"token", "1.2.3.4"},
                  "qelmor token: unexpected argument \"1.2.3.4\""},
        ErrorCase{"NoValue", "", {"token", "--client"}, "qelmor token: --client needs a value"},
        ErrorCase{"ValueIsAnOption",
                  "",
                  {"token", "--client", "--at=x"},
                  "qelmor token: --client needs a value"},
        ErrorCase{"Twice",
                  "",
                  {"token", "--client", "a", "--client=b"},
                  "qelmor token: --client is given twice"},
        ErrorCase{"FlagWithValue",
                  "",
                  {"token", "--client", "a", "--verbose=1"},
                  "qelmor token: --verbose takes no value"},
        ErrorCase{"ClientNeeded",
                  "EncryptMode=3\n",
                  {"token"},
                  "qelmor token: --client is needed: EncryptMode 3 digests the client's address"},
        ErrorCase{"ModeOutside",
                  "EncryptMode=4\n",
                  {"token", "--client", "a"},
                  "qelmor token: EncryptMode 4 in KAVRO.ini is outside 0 to 3: no token can be "
                  "valid"},
        ErrorCase{"AtNoLeapDay",
                  "",
                  {"token", "--client", "a", "--at", "2026-02-29 10:00"},
                  "qelmor token: --at: \"2026-02-29 10:00\"" + kBadAt},
        ErrorCase{"AtHour24",
                  "",
                  {"token", "--client", "a", "--at", "2026-12-08 24:00"},
                  "qelmor token: --at: \"2026-12-08 24:00\"" + kBadAt},
        ErrorCase{"AtShortHour",
                  "",
                  {"explain", "--path", "/a", "--at", "2026-12-08 9:05"},
                  "qelmor explain: --at: \"2026-12-08 9:05\"" + kBadAt},
        ErrorCase{"LinkWithCookieToken",
                  "PassMode=0\n",
                  {"token", "--client", "a", "--link", "/f"},
                  "qelmor token: --link: PassMode is 0 in KAVRO.ini, so the filter takes the token "
                  "from the cookie \"kavro=" +
                      Md5UpperHex("ruftala") + "\", not from the link"},
        ErrorCase{"LinkHidesToken",
                  "",
                  {"token", "--client", "a", "--link", "/f?mykavro=1"},
                  "qelmor token: --link: \"/f?mykavro=1\" already carries \"kavro=\" in its query "
                  "string; the filter would read that instead of the token"},
        ErrorCase{"ExplainWithoutPath",
                  "",
                  {"explain", "--addr", "a"},
                  "qelmor explain: --path is needed: the physical path of the file"},
        ErrorCase{"ConfigTakesNoClient",
                  "",
                  {"config", "--client", "a"},
                  "qelmor config: unknown option --client"}),
    [](const auto& test) { return std::string(test.param.name); });

struct HelpCase {
    const char* name;
    std::vector<std::string> args;
    std::string firstLine;
};

class ToolHelpTest : public ::testing::TestWithParam<HelpCase> {};

TEST_P(ToolHelpTest, PrintsUsageAndExitsZero) {
    const RunResult run = RunTool(GetParam().args);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out.substr(0, run.out.find('\n')), GetParam().firstLine);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ToolHelpTest,
    ::testing::Values(
        HelpCase{"TopLevel", {"--help"}, "Usage: qelmor COMMAND [OPTIONS]"},
        HelpCase{"TokenHelpBeatsErrors",
                 {"token", "--bogus", "-h"},
                 "Usage: qelmor token [--ini FILE] [--client ADDR] [--at \"YYYY-MM-DD HH:MM\"]"},
        HelpCase{"HelpExplain",
                 {"help", "explain"},
                 "Usage: qelmor explain [--ini FILE] --path PATH [--host HOST] [--referer URL]"},
        HelpCase{"Config", {"config", "--help"}, "Usage: qelmor config [--ini FILE] [--server-name NAME]"}),
    [](const auto& test) { return std::string(test.param.name); });

// The Debian packages take their version from CMake's project version, so
// this is the version of the package that holds the tool.
TEST(ToolVersionTest, PrintsTheProjectVersionAndExitsZero) {
    const RunResult run = RunTool({"--version"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, std::string("qelmor ") + QELMOR_PROJECT_VERSION + "\n");
    EXPECT_EQ(run.err, "");
}

}  // namespace
}  // namespace qelmor::tooltest

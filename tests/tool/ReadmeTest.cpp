// The README's tool examples print what the README shows, and its PHP and
// Python page snippets build the tokens the tool prints.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>

#include "tests/tool/ToolHarness.h"

namespace qelmor::tooltest {
namespace {

// The bodies of the ```language blocks of the README section `heading`.
std::vector<std::string> Blocks(const std::string& heading, const std::string& language) {
    const std::string readme = ReadFile(QELMOR_README);
    const size_t start = readme.find("\n" + heading + "\n");
    const std::string section = start == std::string::npos
                                    ? ""
                                    : readme.substr(start, readme.find("\n## ", start + 1) - start);
    std::vector<std::string> blocks;
    const std::string open = "```" + language + "\n";
    for (size_t at = section.find(open); at != std::string::npos; at = section.find(open, at + 1)) {
        const size_t body = at + open.size();
        blocks.push_back(section.substr(body, section.find("\n```", body) + 1 - body));
    }
    return blocks;
}

TEST(ToolReadmeTest, ToolExamplesPrintWhatTheReadmeShows) {
    Folder folder;  // one for both sections: later examples use earlier files
    const std::string path = std::filesystem::path(QELMOR_TOOL_PROGRAM).parent_path().string() +
                             ":" + std::getenv("PATH");
    size_t commands = 0;
    for (const char* heading : {"## For site pages", "## qelmor tool"}) {
        for (const std::string& console : Blocks(heading, "console")) {
            std::string command, shown;
            // "$ command" lines, each followed by what it prints.
            for (const std::string& line : Lines(console + "$ \n")) {
                if (line.rfind("$ ", 0) != 0) {
                    shown += line + "\n";
                    continue;
                }
                if (!command.empty()) {
                    const RunResult run =
                        RunProgram("/bin/bash", {"-c", command}, {folder.Path(), {{"PATH", path}}});
                    EXPECT_EQ(run.out, shown) << "$ " << command << "\n" << run.err;
                    ++commands;
                }
                command = line.substr(2);
                shown.clear();
            }
        }
    }
    EXPECT_GE(commands, 7u);
}

// Each snippet with a line that prints its token for the command line's
// key, address, mode and seconds since 1970.
struct Snippet {
    const char* language;
    const char* interpreter;
    std::vector<std::string> options;
    const char* call;
};

const Snippet kSnippets[] = {
    {"php",
     QELMOR_PHP,
     {"-d", "date.timezone=UTC"},
     "echo kavro_token($argv[1], $argv[2], (int) $argv[3], (int) $argv[4]), \"\\n\";\n"},
    {"python",
     QELMOR_PYTHON,
     {},
     "import sys\nprint(kavro_token(sys.argv[1], sys.argv[2], int(sys.argv[3]), "
     "int(sys.argv[4])))\n"},
};

std::string SnippetToken(const Snippet& snippet, const std::string& address, int mode,
                         const std::string& at) {
    const std::vector<std::string> blocks = Blocks("## For site pages", snippet.language);
    EXPECT_EQ(blocks.size(), 1u) << snippet.language;
    EXPECT_EQ(std::string(snippet.interpreter).find("NOTFOUND"), std::string::npos);
    if (blocks.size() != 1) return {};
    std::tm t{};
    strptime(at.c_str(), "%Y-%m-%d %H:%M", &t);
    Folder folder;
    std::vector<std::string> args = snippet.options;
    args.insert(args.end(), {folder.Write("page", blocks[0] + "\n" + snippet.call), "s3cr3t",
                             address, std::to_string(mode), std::to_string(timegm(&t))});
    const RunResult run = RunProgram(snippet.interpreter, args, {"", {{"TZ", "UTC"}}});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return run.out;
}

struct Moment {
    const char* name;
    int mode;
    const char* at;
};

class ToolSnippetTest : public ::testing::TestWithParam<Moment> {};

TEST_P(ToolSnippetTest, BuildsTheToolsToken) {
    Folder folder;
    folder.Write("KAVRO.ini",
                 "[KAVRO]\nPubKey=s3cr3t\nEncryptMode=" + std::to_string(GetParam().mode) + "\n");
    const RunResult tool =
        RunTool({"token", "--client", "203.0.113.7", "--at", GetParam().at}, {folder.Path()});
    ASSERT_EQ(tool.exitCode, 0) << tool.err;
    for (const Snippet& snippet : kSnippets) {
        EXPECT_EQ(SnippetToken(snippet, "203.0.113.7", GetParam().mode, GetParam().at), tool.out)
            << snippet.language;
    }
}

INSTANTIATE_TEST_SUITE_P(Moments, ToolSnippetTest,
                         ::testing::Values(Moment{"Mode0", 0, "2026-12-08 09:05"},
                                           Moment{"Mode1Midnight", 1, "2027-01-01 00:00"},
                                           Moment{"Mode2YearWithZero", 2, "2009-10-11 23:59"},
                                           Moment{"Mode3LeapDay", 3, "2028-02-29 13:07"}),
                         [](const auto& test) { return std::string(test.param.name); });

// The snippet's token is one the filter lets through in its minute only.
TEST(ToolSnippetPolicyTest, PythonTokenPassesInItsMinute) {
    Folder folder;
    folder.Write("KAVRO.ini", "[KAVRO]\nPubKey=s3cr3t\nEncryptMode=3\nAdvancedExt=.zip\n");
    std::string token = SnippetToken(kSnippets[1], "198.51.100.4", 3, "2026-12-08 21:37");
    token.erase(token.find_last_not_of('\n') + 1);
    for (const auto& [at, result] : {std::pair{"2026-12-08 21:37", "result: pass"},
                                     std::pair{"2026-12-08 21:38", "result: refused"}}) {
        const RunResult run = RunTool({"explain", "--path", "/s/p.zip", "--addr", "198.51.100.4",
                                       "--query", "kavro=" + token, "--at", at},
                                      {folder.Path()});
        EXPECT_EQ(run.out.substr(0, run.out.find('\n')), result) << at;
    }
}

}  // namespace
}  // namespace qelmor::tooltest

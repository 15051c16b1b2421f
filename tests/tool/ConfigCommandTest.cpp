// qelmor config: the effective configuration with its sources, and the
// warnings for common mistakes.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "tests/tool/ToolHarness.h"

namespace qelmor::tooltest {
namespace {

struct ConfigCase {
    const char* name;
    std::string ini;                    // empty: no file
    std::vector<std::string> rows;      // "Key source value", blanks collapsed
    std::vector<std::string> warnings;  // each in one warning line, in order
    std::string serverName = {};        // --server-name, when not empty
};

std::string Collapsed(const std::string& line) {
    std::istringstream words(line);
    std::string key, source, value;
    words >> key >> source >> std::ws;
    std::getline(words, value);
    return key + " " + source + " " + value;
}

class ToolConfigTest : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ToolConfigTest, PrintsEveryKeyAndWarns) {
    const ConfigCase& c = GetParam();
    Folder folder;
    if (!c.ini.empty()) folder.Write("site.ini", c.ini);
    std::vector<std::string> args = {"config", "--ini", "site.ini"};
    if (!c.serverName.empty()) args.insert(args.end(), {"--server-name", c.serverName});
    const RunResult run = RunTool(args, {folder.Path()});
    EXPECT_EQ(run.exitCode, c.warnings.empty() ? 0 : 1) << run.out;

    const std::vector<std::string> lines = Lines(run.out);
    // The file and 24 keys, then the warnings.
    const size_t keyLines = 25;
    ASSERT_GE(lines.size(), keyLines) << run.out;
    EXPECT_TRUE(lines[keyLines - 1].starts_with("ReasonHeader ")) << run.out;
    EXPECT_EQ(lines[0], "file: site.ini");
    std::vector<std::string> rows;
    std::transform(lines.begin() + 1, lines.begin() + long(keyLines), std::back_inserter(rows), Collapsed);
    for (const std::string& row : c.rows)
        EXPECT_NE(std::find(rows.begin(), rows.end(), row), rows.end()) << row << "\n" << run.out;
    ASSERT_EQ(lines.size() - keyLines, c.warnings.size()) << run.out;
    for (size_t i = 0; i < c.warnings.size(); ++i) {
        EXPECT_EQ(lines[keyLines + i].rfind("warning: ", 0), 0u);
        EXPECT_NE(lines[keyLines + i].find(c.warnings[i]), std::string::npos) << lines[keyLines + i];
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, ToolConfigTest,
    ::testing::Values(
        ConfigCase{"Clean",
                   "; site\n[KAVRO]\nDomainName=www.a.test\nMediaExt=.wmv .mp4\nEncryptMode=0x2\n"
                   "PauseTime=\nMediaAction=0\nTitle=\"Hi\"\n",
                   {"DomainName file \"www.a.test\"", "EncryptMode file 2", "PauseTime default 3",
                    "Mediaaction file 0", "Title file \"Hi\"", "PubKey default \"ruftal\"",
                    "RedirectUrl default \"http://localhost/\""},
                   {},
                   "www.a.test"},
        // The filter passes other host names unexamined; only the server's
        // binding keeps them from the files.
        ConfigCase{"DomainNameOnAnUnboundServer",
                   "[KAVRO]\nDomainName=www.a.test\n",
                   {},
                   {"DomainName is \"www.a.test\": requests for any other host name are served "
                    "unexamined"}},
        ConfigCase{"ServerBoundToTheDomainWithAPort",
                   "[KAVRO]\nDomainName=www.a.test\n",
                   {},
                   {},
                   "WWW.A.TEST.:8080"},
        ConfigCase{"ServerBoundToAnotherName",
                   "[KAVRO]\nDomainName=www.a.test\n",
                   {},
                   {"the server answers \"a.test\" but DomainName is \"www.a.test\": requests "
                    "for \"a.test\" are served unexamined"},
                   "a.test"},
        ConfigCase{"MissingFile", "", {"OpenSecurity default 0"}, {"site.ini not found"}},
        ConfigCase{"NoSection",
                   "[kavro2]\nPubKey=x\n",
                   {"PubKey default \"ruftal\""},
                   {"no [KAVRO] section in site.ini"}},
        ConfigCase{"MisspeltKey",
                   "[KAVRO]\nMediaction=0\n",
                   {"Mediaaction default 1"},
                   {"unknown key \"Mediaction\" (did you mean Mediaaction?)"}},
        ConfigCase{"TransposedKey", "[KAVRO]\nTitel=x\n", {}, {"(did you mean Title?)"}},
        ConfigCase{"UnrelatedKey",
                   "[KAVRO]\nColour=red\n",
                   {},
                   {"unknown key \"Colour\"; the filter ignores it"}},
        ConfigCase{"KeyTwice",
                   "[KAVRO]\nPubKey=one\npubkey=two\n",
                   {"PubKey file \"one\""},
                   {"PubKey is given more than once; the filter reads the first"}},
        ConfigCase{"TextCut",
                   "[KAVRO]\nDomainName=" + std::string(60, 'd') + "\n",
                   {"DomainName file \"" + std::string(50, 'd') + "\""},
                   {"DomainName is 60 bytes long; the filter keeps the first 50"},
                   std::string(50, 'd')},
        ConfigCase{"WordsForNumbers",
                   "[KAVRO]\nOpenSecurity=true\nPauseTime=five\n",
                   {"OpenSecurity default 0", "PauseTime default 3"},
                   {"OpenSecurity: \"true\" is not a number, so the default 0 applies (write 1",
                    "PauseTime: \"five\" is not a number, so the default 3 applies"}},
        ConfigCase{"NumbersTheFilterReads",
                   "[KAVRO]\nPauseTime=$1F\nUrlLength=1e3\nOpenSecurity=-5\n",
                   {"PauseTime file 31", "UrlLength default 0", "OpenSecurity file 1"},
                   {"UrlLength: \"1e3\" is not a number"}},
        ConfigCase{"TwoLists",
                   "[KAVRO]\nCommonExt=.jpg\nMediaExt=.JPG.wmv\n",
                   {},
                   {"\".jpg\" is in CommonExt and MediaExt; the filter applies CommonExt"}},
        ConfigCase{"ShorterInEarlierEntry",
                   "[KAVRO]\nSuperExt=.rmvb\nMediaExt=.rm\n",
                   {},
                   {"\".rm\" is in SuperExt and MediaExt; the filter applies SuperExt"}},
        ConfigCase{"RmTakenByRmvb",
                   "[KAVRO]\nMediaExt=.rmvb.wmv\n",
                   {},
                   {"MediaExt: \".rm\" is contained in \".rmvb\", so \".rm\" files are taken"}},
        ConfigCase{"RmListedToo", "[KAVRO]\nMediaExt=.rm .rmvb\n", {}, {}},
        ConfigCase{"NoDots", "[KAVRO]\nCommonExt=jpg,*.png\n", {}, {"\"jpg\" has no dot"}},
        ConfigCase{"FriendShortHosts",
                   "[KAVRO]\nFriendDomain=www.friend.test, 10.0.0.1 x.test\n",
                   {},
                   {"also short ones such as \"d.test\" (in \"www.friend.test\"): any site"}},
        ConfigCase{"DomainNameBlank",
                   "[KAVRO]\nDomainName=\"www.a.test \"\n",
                   {},
                   {"DomainName \"www.a.test \" has blanks: no Host header equals it",
                    "the server answers \"www.a.test\" but DomainName is \"www.a.test \""},
                   "www.a.test"},
        ConfigCase{"NegativeUrlLength",
                   "[KAVRO]\nUrlLength=-1\n",
                   {"UrlLength file -1"},
                   {"every request gets the length message, even one without a query string "
                    "(OpenSecurity is 0 now)"}},
        ConfigCase{"GraceWithinTheWarning", "[KAVRO]\nEncryptMode=2\nTokenGrace=10\n",
                   {"TokenGrace file 10"}, {}},
        ConfigCase{"GraceAboveTen",
                   "[KAVRO]\nEncryptMode=2\nTokenGrace=11\n",
                   {"TokenGrace file 11"},
                   {"TokenGrace 11: a copied link works for up to 12 minutes"}},
        ConfigCase{"GraceAboveTheMost",
                   "[KAVRO]\nEncryptMode=1\nTokenGrace=0x100\n",
                   {"TokenGrace file 60"},
                   {"TokenGrace 256 is outside 0 to 60: taken as 60",
                    "TokenGrace 60: a copied link works for up to 61 minutes"}},
        ConfigCase{"GraceNegative", "[KAVRO]\nEncryptMode=1\nTokenGrace=-3\n",
                   {"TokenGrace file 0"}, {"TokenGrace -3 is outside 0 to 60: taken as 0"}},
        ConfigCase{"GraceWithoutTime",
                   "[KAVRO]\nEncryptMode=0\nTokenGrace=2\nReasonHeader=1\n",
                   {"TokenGrace file 2", "ReasonHeader file 1"},
                   {"TokenGrace has no effect with EncryptMode 0"}},
        ConfigCase{"EncryptModeOutside",
                   "[KAVRO]\nEncryptMode=-1\n",
                   {"EncryptMode file -1"},
                   {"EncryptMode -1 is outside 0 to 3: no token can be valid"}},
        ConfigCase{"UnprintableBytes",
                   "[KAVRO]\nTitle=\xb2\xbb\\x\n",
                   {"Title file \"\\xb2\\xbb\\\\x\""},
                   {}}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace qelmor::tooltest

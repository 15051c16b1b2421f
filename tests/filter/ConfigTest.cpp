#include <gtest/gtest.h>

#include <functional>

#include "filter/FilterConfig.h"
#include "tests/support/FakeServer.h"

namespace qelmor {
namespace {

using testing::TempFolder;

FilterConfig LoadFrom(const std::string& ini) {
    TempFolder folder;
    folder.Write("KAVRO.ini", ini);
    FilterConfig config;
    LoadFilterConfig(config, folder.File("KAVRO.ini"));
    return config;
}

TEST(ConfigTest, MissingFileGivesEveryDefault) {
    FilterConfig config;
    config.PubKey = "left over";
    config.PassMode = false;
    LoadFilterConfig(config, "/nonexistent/folder/KAVRO.ini");
    EXPECT_EQ(config.PubKey, "ruftal");
    EXPECT_TRUE(config.PassMode);
    EXPECT_FALSE(config.OpenSecurity);
    EXPECT_TRUE(config.CommonAction && config.AdvancedAction && config.Mediaaction &&
                config.SuperAction && config.PlayOnline);
    EXPECT_EQ(config.PauseTime, 3);
    EXPECT_EQ(config.UrlLength, 0);
    EXPECT_EQ(config.EncryptMode, 0);
    EXPECT_EQ(config.DomainName, "");
    EXPECT_EQ(config.RedirectUrl.rfind("http://", 0), 0u);
}

TEST(ConfigTest, ValueRules) {
    struct Case {
        const char* name;
        std::string body;  // lines of the [KAVRO] section
        std::function<bool(const FilterConfig&)> holds;
    } cases[] = {
        {"hex with 0x", "EncryptMode=0x2", [](auto& c) { return c.EncryptMode == 2; }},
        {"hex with 0X", "UrlLength=0X1f", [](auto& c) { return c.UrlLength == 31; }},
        {"hex with dollar", "EncryptMode=$2", [](auto& c) { return c.EncryptMode == 2; }},
        {"word is not a number", "EncryptMode=two", [](auto& c) { return c.EncryptMode == 0; }},
        {"0x alone is not a number", "PauseTime=0x", [](auto& c) { return c.PauseTime == 3; }},
        {"empty integer keeps default", "PauseTime=", [](auto& c) { return c.PauseTime == 3; }},
        {"negative integer", "PauseTime=-1", [](auto& c) { return c.PauseTime == -1; }},
        {"flag 1", "OpenSecurity=1", [](auto& c) { return c.OpenSecurity; }},
        {"flag -5 is true", "OpenSecurity=-5", [](auto& c) { return c.OpenSecurity; }},
        {"flag word keeps default", "OpenSecurity=true", [](auto& c) { return !c.OpenSecurity; }},
        {"flag 0", "CommonAction=0", [](auto& c) { return !c.CommonAction; }},
        {"flag hex 0x0", "SuperAction=0x0", [](auto& c) { return !c.SuperAction; }},
        {"Mediaaction in any case", "MEDIAACTION=0", [](auto& c) { return !c.Mediaaction; }},
        {"key names any case", "pubkey=abc", [](auto& c) { return c.PubKey == "abc"; }},
        {"empty text replaces default", "PubKey=", [](auto& c) { return c.PubKey.empty(); }},
        {"DomainName cut to 50", "DomainName=" + std::string(60, 'd'),
         [](auto& c) { return c.DomainName == std::string(50, 'd'); }},
        {"PubKey cut to 50", "PubKey=" + std::string(51, 'k'),
         [](auto& c) { return c.PubKey == std::string(50, 'k'); }},
        {"FriendDomain cut to 255", "FriendDomain=" + std::string(300, 'f'),
         [](auto& c) { return c.FriendDomain == std::string(255, 'f'); }},
        {"Title kept as bytes", "Title=\xbd\xfb\xd6\xb9 <b>",
         [](auto& c) { return c.Title == "\xbd\xfb\xd6\xb9 <b>"; }},
        {"integer with blanks around", "UrlLength =  100 ",
         [](auto& c) { return c.UrlLength == 100; }},
        {"out of range keeps default", "UrlLength=2147483648",
         [](auto& c) { return c.UrlLength == 0; }},
    };
    for (const Case& c : cases) {
        const FilterConfig config = LoadFrom(std::string("[KAVRO]\r\n") + c.body + "\r\n");
        EXPECT_TRUE(c.holds(config)) << c.name;
    }
}

TEST(ConfigTest, OtherSectionsAreIgnored) {
    const FilterConfig config = LoadFrom("[OTHER]\nPubKey=wrong\n[KAVRO]\nEncryptMode=3\n");
    EXPECT_EQ(config.PubKey, "ruftal");
    EXPECT_EQ(config.EncryptMode, 3);
}

}  // namespace
}  // namespace qelmor

// A small video site in a folder of its own, the real filter library beside
// its KAVRO.ini, and qelmor-serve running over it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/serve/ServeHarness.h"

namespace qelmor::serve::testing {

inline constexpr const char* kPubKey = "e2e-key";

// Refusals of the media class divert to KAVRO plus the extension; the other
// classes show the block page.
inline const std::string kSiteIni =
    "[KAVRO]\n"
    "PubKey=e2e-key\n"
    "EncryptMode=0\n"
    "PassMode=1\n"
    "CommonExt=.css.png\n"
    "CommonAction=1\n"
    "AdvancedExt=.zip\n"
    "AdvancedAction=1\n"
    "MediaExt=.mp4.flv\n"
    "PlayOnline=1\n"
    "Mediaaction=0\n"
    "SuperExt=.mdb\n"
    "SuperAction=1\n"
    "OpenSecurity=1\n"
    "UrlLength=200\n"
    "BadChar=<>\n"
    "Title=No hotlinks\n"
    "Alert=Fetch it from our pages.\n"
    "PauseTime=4\n"
    "RedirectUrl=http://site.test/\n";

// The block page for kSiteIni, piece by piece as the filter builds it.
inline std::string ExpectedBlockPage() {
    return std::string("<html><head><meta http-equiv=\"Refresh\" content=\"") + "4" +
           ";URL=" + "http://site.test/" + "\" /><title>" + "No hotlinks" +
           "</title></head><body>" + "Fetch it from our pages." +
           "<p><iframe height=200 width=560 frameborder=0 scrolling=No src=http://" +
           "ads.qelmor.invalid" + "/guangg/guangg.asp></iframe></p></body></html>    ";
}

// "本站开启了URL长度安全检测功能。 " and "本站开启了URL字符安全检测功能。 " in GBK.
inline const std::string kLengthMessage =
    "\xB1\xBE\xD5\xBE\xBF\xAA\xC6\xF4\xC1\xCB\x55\x52\x4C\xB3\xA4\xB6\xC8\xB0\xB2\xC8\xAB\xBC"
    "\xEC\xB2\xE2\xB9\xA6\xC4\xDC\xA1\xA3\x20";
inline const std::string kCharacterMessage =
    "\xB1\xBE\xD5\xBE\xBF\xAA\xC6\xF4\xC1\xCB\x55\x52\x4C\xD7\xD6\xB7\xFB\xB0\xB2\xC8\xAB\xBC"
    "\xEC\xB2\xE2\xB9\xA6\xC4\xDC\xA1\xA3\x20";

struct Site {
    TempTree tree;
    std::string page = "<html><body><h1>Videos</h1></body></html>\n";
    std::string style = "body { color: #333; }\n";
    std::string clip = PatternBytes(64 * 1024 + 17, 1);
    std::string notice = PatternBytes(3000, 2);
    std::string guide = PatternBytes(5000, 3);
    std::string big = PatternBytes(4 * 1024 * 1024, 4);

    explicit Site(const std::string& ini) {
        tree.Write("site/index.html", page);
        tree.Write("site/style.css", style);
        tree.Write("site/media/clip.mp4", clip);
        tree.Write("site/media/big.mp4", big);
        tree.Write("site/media/other.flv", PatternBytes(100, 5));
        tree.Write("site/KAVRO.mp4", notice);
        tree.Write("site/files/guide.zip", guide);
        tree.Write("site/data.mdb", "secret");
        tree.Copy(FilterLibrary(), "filter/qelmor.so");
        tree.Write("filter/KAVRO.ini", ini);
    }

    std::vector<std::string> Arguments() const {
        return {"--root", tree.File("site"), "--filter", tree.File("filter/qelmor.so"), "--threads",
                "8"};
    }
};

inline std::string TokenFor(const std::string& address) {
    return Md5Hex(kPubKey + address);
}

class SiteTest : public ::testing::Test {
  protected:
    explicit SiteTest(std::string ini = kSiteIni) : site_(ini) {}

    void SetUp() override {
        ASSERT_TRUE(server_.Start(site_.Arguments())) << server_.Output() << server_.Errors();
    }

    // A clean exit also means no sanitizer finding in the server.
    void TearDown() override { EXPECT_EQ(server_.Stop(), 0) << server_.Errors(); }

    std::string Url(const std::string& target) const { return server_.Url(target); }
    std::string SameHostReferer() const { return "Referer: " + Url("/index.html"); }

    Site site_;
    ServeProcess server_;
    HttpClient client_;
};

}  // namespace qelmor::serve::testing

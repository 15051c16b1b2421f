// A small video site in a folder of its own, the real filter library beside
// its KAVRO.ini, and qelmor-serve running over it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/hosttest/VideoSite.h"
#include "tests/serve/ServeHarness.h"

namespace qelmor::serve::testing {

struct Site {
    TempDir tree;

    explicit Site(const std::string& ini) {
        for (const auto& [relative, content] : VideoSiteFiles())
            tree.Write("site/" + relative, content);
        tree.Write("site/media/big.mp4", PatternBytes(4 * 1024 * 1024, 4));
        tree.Copy(FilterLibrary(), "filter/qelmor.so");
        tree.Write("filter/KAVRO.ini", ini);
    }

    std::vector<std::string> Arguments() const {
        return {"--root", tree.File("site"), "--filter", tree.File("filter/qelmor.so"), "--threads",
                "8"};
    }
};

class SiteTest : public ::testing::Test {
  protected:
    explicit SiteTest(std::string ini = kVideoIni) : site_(ini) {}

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

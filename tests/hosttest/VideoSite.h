// The small video site that the end-to-end tests put the real filter in
// front of: its KAVRO.ini, the files of its document root, and the answers
// the filter gives for it.
#pragma once

#include <map>
#include <string>

#include "tests/hosttest/HostHarness.h"

namespace qelmor::hosttest {

inline constexpr const char* kVideoKey = "e2e-key";

// Refusals of the media class divert to KAVRO plus the extension; the other
// classes show the block page.
inline const std::string kVideoIni =
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

// The block page of kVideoIni.
inline const std::string kVideoBlockPage =
    "<html><head><meta http-equiv=\"Refresh\" content=\"4;URL=http://site.test/\" />"
    "<title>No hotlinks</title></head><body>Fetch it from our pages.<p><iframe height=200 "
    "width=560 frameborder=0 scrolling=No src=http://ads.qelmor.invalid/guangg/guangg.asp>"
    "</iframe></p></body></html>    ";

// "本站开启了URL长度安全检测功能。 " and "本站开启了URL字符安全检测功能。 " in GBK.
inline const std::string kLengthMessage =
    "\xB1\xBE\xD5\xBE\xBF\xAA\xC6\xF4\xC1\xCB\x55\x52\x4C\xB3\xA4\xB6\xC8\xB0\xB2\xC8\xAB\xBC"
    "\xEC\xB2\xE2\xB9\xA6\xC4\xDC\xA1\xA3\x20";
inline const std::string kCharacterMessage =
    "\xB1\xBE\xD5\xBE\xBF\xAA\xC6\xF4\xC1\xCB\x55\x52\x4C\xD7\xD6\xB7\xFB\xB0\xB2\xC8\xAB\xBC"
    "\xEC\xB2\xE2\xB9\xA6\xC4\xDC\xA1\xA3\x20";

inline const std::string kVideoPage = "<html><body><h1>Videos</h1></body></html>\n";
inline const std::string kVideoStyle = "body { color: #333; }\n";
inline const std::string kVideoClip = PatternBytes(64 * 1024 + 17, 1);
inline const std::string kVideoNotice = PatternBytes(3000, 2);  // KAVRO.mp4
inline const std::string kVideoGuide = PatternBytes(5000, 3);

// The document root, by path under it. media/other.flv has no notice clip
// to be diverted to.
inline std::map<std::string, std::string> VideoSiteFiles() {
    return {{"index.html", kVideoPage},     {"style.css", kVideoStyle},
            {"media/clip.mp4", kVideoClip}, {"media/other.flv", PatternBytes(100, 5)},
            {"KAVRO.mp4", kVideoNotice},    {"files/guide.zip", kVideoGuide},
            {"data.mdb", "secret"}};
}

// The token for a client at `address`.
inline std::string VideoToken(const std::string& address) {
    return Md5Hex(kVideoKey + address);
}

}  // namespace qelmor::hosttest

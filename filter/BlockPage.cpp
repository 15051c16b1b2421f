#include "filter/BlockPage.h"

#include "text/TextRules.h"

namespace qelmor {
namespace {

// "本站开启了URL长度安全检测功能。 " and "本站开启了URL字符安全检测功能。 " in
// GBK. Kept as bytes: the page declares no character set and the sites that
// use it serve GBK.
constexpr char kLengthMessageBytes[] =
    "\xb1\xbe\xd5\xbe\xbf\xaa\xc6\xf4\xc1\xcb"
    "URL"
    "\xb3\xa4\xb6\xc8\xb0\xb2\xc8\xab"
    "\xbc\xec\xb2\xe2\xb9\xa6\xc4\xdc\xa1\xa3 ";
constexpr char kCharacterMessageBytes[] =
    "\xb1\xbe\xd5\xbe\xbf\xaa\xc6\xf4\xc1\xcb"
    "URL"
    "\xd7\xd6\xb7\xfb\xb0\xb2\xc8\xab"
    "\xbc\xec\xb2\xe2\xb9\xa6\xc4\xdc\xa1\xa3 ";
static_assert(sizeof kLengthMessageBytes - 1 == 32);
static_assert(sizeof kCharacterMessageBytes - 1 == 32);

constexpr std::string_view kPageOpen = "<html><head><meta http-equiv=\"Refresh\" content=\"";
constexpr std::string_view kPageUrl = ";URL=";
constexpr std::string_view kPageTitle = "\" /><title>";
constexpr std::string_view kPageBody = "</title></head><body>";
constexpr std::string_view kFrameOpen =
    "<p><iframe height=200 width=560 frameborder=0 scrolling=No src=http://";
constexpr std::string_view kFrameClose = "/guangg/guangg.asp></iframe></p></body></html>    ";

}  // namespace

const std::string_view kLengthMessage(kLengthMessageBytes, sizeof kLengthMessageBytes - 1);
const std::string_view kCharacterMessage(kCharacterMessageBytes, sizeof kCharacterMessageBytes - 1);

// Configured texts go in as stored: operators put markup in Title and Alert.
std::string BlockPageTemplate(const FilterConfig& config) {
    const std::string pause = DecimalText(config.PauseTime);
    std::string page;
    page.reserve(kPageOpen.size() + pause.size() + kPageUrl.size() + config.RedirectUrl.size() +
                 kPageTitle.size() + config.Title.size() + kPageBody.size() + config.Alert.size() +
                 kFrameOpen.size() + kAdvertHost.size() + kFrameClose.size());
    page += kPageOpen;
    page += pause;
    page += kPageUrl;
    page += config.RedirectUrl;
    page += kPageTitle;
    page += config.Title;
    page += kPageBody;
    page += config.Alert;
    page += kFrameOpen;
    page += kAdvertHost;
    page += kFrameClose;
    return page;
}

}  // namespace qelmor

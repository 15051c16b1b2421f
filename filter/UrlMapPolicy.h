// The decision for one URL-map notification: let the request go on, or
// refuse and end it.
#pragma once

#include <cstdint>
#include <string_view>

#include "filter/FilterConfig.h"
#include "isapi/Isapi4.h"
#include "text/DateRules.h"

namespace qelmor {

// The step of the policy that decided, in the order the steps run.
enum class PolicyStep : uint8_t {
    OtherHost,             // host differs from DomainName: not examined
    OtherNotification,     // not a URL-map notification
    FriendlyReferer,       // the referer's host is in FriendDomain
    QueryTooLong,          // security check: length message sent
    QueryHasBadChar,       // security check: character message sent
    NoExtension,           // the path has no extension
    PublicFile,            // the file name is in PubFile
    SuperClass,            // always refused
    CommonSameHost,        // common class, referer from the requested host
    CommonForeignReferer,  // common class, refused
    AdvancedValidToken,
    AdvancedInvalidToken,  // refused
    MediaValidToken,       // served: valid token, player agent or PlayOnline off
    MediaNotPlayer,        // refused: valid token but not a player agent
    MediaInvalidToken,     // refused
    NoClass,               // the extension is in no list
    ResourceExhausted,     // refused: the decision could not be completed
};

struct Decision {
    uint32_t status;
    PolicyStep step;
};

const char* PolicyStepName(PolicyStep step);

std::string_view RefererHost(std::string_view referer);
bool IsPlayerAgent(std::string_view userAgent);
// The host header as the host gate compares it with DomainName: without a
// trailing ":" with or without digits (an IPv6 literal keeps its brackets),
// then without one trailing dot. "www.example.test.:8080" gives
// "www.example.test"; a non-numeric port leaves the header whole.
std::string_view HostForDomainGate(std::string_view host);

uint32_t RefuseRequest(HTTP_FILTER_CONTEXT* context, HTTP_FILTER_URL_MAP* urlMap,
                       bool showBlockPage, std::string_view extension, const FilterConfig& config);

Decision UrlMapPolicy(HTTP_FILTER_CONTEXT* context, uint32_t notificationType, void* notification,
                      const FilterConfig& config, const LocaleSettings& locale);

}  // namespace qelmor

// A server in the tool's own process that hands one request to the filter's
// URL-map policy and records what the filter did with it.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "filter/FilterConfig.h"
#include "filter/UrlMapPolicy.h"
#include "text/DateRules.h"

namespace qelmor::tool {

struct PolicyRequest {
    // Only the variables the request carries; reading any other fails as
    // it does for an absent header.
    std::vector<std::pair<std::string, std::string>> variables;
    std::string physicalPath;
};

struct PolicyOutcome {
    Decision decision{};
    std::string written;    // the bytes sent to the client
    std::string finalPath;  // the physical path after the call
};

PolicyOutcome RunPolicy(const PolicyRequest& request, const FilterConfig& config,
                        const LocaleSettings& locale);

}  // namespace qelmor::tool

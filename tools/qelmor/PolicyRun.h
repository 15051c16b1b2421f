// One request through the filter's own decision, and what the server would
// then do with it: the bytes the client is sent, the physical path served.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "filter/AccessToken.h"
#include "filter/FilterConfig.h"
#include "filter/UrlMapPolicy.h"
#include "text/DateRules.h"

namespace qelmor::tool {

struct PolicyRequest {
    // Only the variables the request carries; any other reads as empty, as
    // an absent header does.
    std::vector<std::pair<std::string, std::string>> variables;
    std::string physicalPath;
};

struct PolicyOutcome {
    Verdict verdict{PolicyStep::NoClass};
    Decision decision{};
    std::string written;    // the bytes sent to the client
    std::string finalPath;  // the physical path after the decision
};

PolicyOutcome RunPolicy(const PolicyRequest& request, const FilterConfig& config,
                        const LocaleSettings& locale, const TokenClock& clock);

}  // namespace qelmor::tool

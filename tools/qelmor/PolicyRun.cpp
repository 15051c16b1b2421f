#include "tools/qelmor/PolicyRun.h"

#include <algorithm>

#include "filter/BlockPage.h"

namespace qelmor::tool {
namespace {

std::string_view ValueOf(const PolicyRequest& request, std::string_view name) {
    const auto& variables = request.variables;
    const auto found = std::find_if(variables.begin(), variables.end(),
                                    [&](const auto& variable) { return variable.first == name; });
    return found == variables.end() ? std::string_view() : std::string_view(found->second);
}

}  // namespace

PolicyOutcome RunPolicy(const PolicyRequest& request, const FilterConfig& config,
                        const LocaleSettings& locale, const TokenClock& clock) {
    RequestFacts facts;
    facts.host = ValueOf(request, "HTTP_HOST");
    facts.referer = ValueOf(request, "HTTP_REFERER");
    facts.address = ValueOf(request, "REMOTE_ADDR");
    facts.query = ValueOf(request, "QUERY_STRING");
    facts.cookie = ValueOf(request, "HTTP_COOKIE");
    facts.agent = ValueOf(request, "HTTP_USER_AGENT");
    // A server hands the path over up to its terminating zero.
    facts.physicalPath = request.physicalPath.c_str();

    PolicyOutcome outcome;
    const ClockReading reading(clock);
    outcome.verdict = DecideUrlMap(facts, config, locale, reading);
    LookForExpiry(outcome.verdict, facts, config, locale, reading);
    outcome.decision = {outcome.verdict.Status(), outcome.verdict.step};
    outcome.finalPath = std::string(facts.physicalPath);
    switch (outcome.verdict.action) {
        case Action::Pass:
            break;
        case Action::BlockPage:
            outcome.written = BlockPageTemplate(config);
            break;
        case Action::LengthMessage:
            outcome.written = kLengthMessage;
            break;
        case Action::CharacterMessage:
            outcome.written = kCharacterMessage;
            break;
        case Action::Divert:
            outcome.finalPath = std::string(kDivertedLeaf) + std::string(outcome.verdict.extension);
            break;
    }
    return outcome;
}

}  // namespace qelmor::tool

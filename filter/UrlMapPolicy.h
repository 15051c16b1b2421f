// The decision for one URL-map notification: let the request go on, or
// refuse and end it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "filter/AccessToken.h"
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

// The leaf of a diverted request's path, which the extension follows.
inline constexpr std::string_view kDivertedLeaf = "KAVRO";

// What the server is to do with the request.
enum class Action : uint8_t {
    Pass,              // let it go on unchanged
    BlockPage,         // write the block page and end it
    LengthMessage,     // write the query-length message and end it
    CharacterMessage,  // write the query-character message and end it
    Divert,            // make "KAVRO" plus the extension its physical path and end it
};

// The outcome of one decision, as a value: the step that decided and the
// action. A diverted request's extension is a view into the facts' path.
struct Verdict {
    PolicyStep step;
    Action action = Action::Pass;
    std::string_view extension = {};
    // What the token check found, for the steps that check one.
    TokenCheck token = {};
    // For a refused timed token: how many minutes ago it was valid, when
    // that was looked for (see MinutesSinceValid); 0 otherwise.
    int expiredMinutes = 0;

    uint32_t Status() const {
        return action == Action::Pass ? SF_STATUS_REQ_NEXT_NOTIFICATION : SF_STATUS_REQ_FINISHED;
    }
};

// What a decision looks at, gathered once. A notification of another kind
// than URL-map is decided by the host gate alone and needs only the host.
struct RequestFacts {
    bool urlMap = true;
    std::string_view host, referer, address, query, cookie, agent;
    std::string_view physicalPath;  // up to its terminating zero
};

// The status that goes back to the server and the step that decided.
struct Decision {
    uint32_t status;
    PolicyStep step;
};

const char* PolicyStepName(PolicyStep step);

// A stable code for why the request went on or was refused
// ("token-missing", "foreign-referer", ...), the same in the response
// header, the hosts' logs and the tools.
std::string_view ReasonCode(const Verdict& verdict);
// How far back a refused timed token is looked for, to call it expired.
inline constexpr int kExpiryLookBack = 60;
// For a verdict that refused a token of no accepted minute: fills
// `expiredMinutes` with how long ago, within kExpiryLookBack, it was valid.
// A digest per minute looked at, so only for those who asked for reasons.
void LookForExpiry(Verdict& verdict, const RequestFacts& facts, const FilterConfig& config,
                   const LocaleSettings& locale, const ClockReading& clock);

std::string_view RefererHost(std::string_view referer);
bool IsPlayerAgent(std::string_view userAgent);
// The host header as the host gate compares it with DomainName: without a
// trailing ":" with or without digits (an IPv6 literal keeps its brackets),
// then without one trailing dot. "www.example.test.:8080" gives
// "www.example.test"; a non-numeric port leaves the header whole.
std::string_view HostForDomainGate(std::string_view host);
// The host gate: whether requests for `host` are examined at all. Those for
// other hosts pass unexamined.
bool IsExaminedHost(std::string_view host, const FilterConfig& config);

// The classes of files, in the order their lists are tested.
enum class FileClass : uint8_t { None, Super, Common, Advanced, Media };

// The class of a file with `extension` (its dot included): the first list,
// in the order super, common, advanced, media, that contains it.
FileClass ClassOfExtension(std::string_view extension, const FilterConfig& config);

// The decision for one request. Reads nothing but its arguments (the clock
// only when a timed token is checked) and changes nothing. It is the host
// gate, then the examination; a server that gathers facts as it goes asks
// the gate first and gathers the rest only for requests it lets through.
Verdict DecideUrlMap(const RequestFacts& facts, const FilterConfig& config,
                     const LocaleSettings& locale, const ClockReading& clock);
// The first two steps, which need only the host and the kind of
// notification: a verdict for requests they pass unexamined, else nothing.
std::optional<Verdict> DecideHostGate(const RequestFacts& facts, const FilterConfig& config);
// The remaining steps, for a request the gate let through.
Verdict DecideExamined(const RequestFacts& facts, const FilterConfig& config,
                       const LocaleSettings& locale, const ClockReading& clock);

}  // namespace qelmor

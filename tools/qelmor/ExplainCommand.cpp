#include <cstdio>
#include <optional>

#include "text/TextRules.h"
#include "tools/qelmor/Commands.h"
#include "tools/qelmor/PolicyRun.h"
#include "tools/qelmor/Printing.h"

namespace qelmor::tool {
namespace {

constexpr OptionInfo kOptions[] = {
    kIniOption,       {"--path", true},   {"--host", true},   {"--referer", true},
    {"--addr", true}, {"--query", true},  {"--cookie", true}, {"--agent", true},
    kAtOption,        kDatePatternOption, {"--json", false},  {"--exit-status", false},
};

constexpr char kHelp[] =
    R"(Usage: qelmor explain [--ini FILE] --path PATH [--host HOST] [--referer URL]
                      [--addr ADDR] [--query TEXT] [--cookie TEXT] [--agent TEXT]
                      [--at "YYYY-MM-DD HH:MM"] [--date-pattern PATTERN] [--json]
                      [--exit-status]

Runs one request through the filter's own URL-map policy, with a server in
this process, and prints the result (pass or refused), the step that decided
it, the reason code (as ReasonHeader sends it in X-Qelmor-Reason), and what
the client receives: the file, the diverted path, or the bytes of the block
page or message. A refused token is told apart as missing, expired (valid
at an earlier minute within the last hour, past TokenGrace) or invalid.

  --ini FILE              the filter's INI file (default: KAVRO.ini in this
                          folder; a missing file means every key's default)
  --path PATH             the physical path the server mapped the URL to
  --host HOST             the Host header (HTTP_HOST)
  --referer URL           the Referer header (HTTP_REFERER)
  --addr ADDR             the client's address (REMOTE_ADDR)
  --query TEXT            the query string as sent, without "?" (QUERY_STRING)
  --cookie TEXT           the Cookie header (HTTP_COOKIE)
  --agent TEXT            the User-Agent header (HTTP_USER_AGENT)
  --at "YYYY-MM-DD HH:MM" the server's local date and minute (default: now)
  --date-pattern PATTERN  the server's short date pattern (see qelmor token)
  --json                  print one JSON object instead
  --exit-status           exit 1 when the request is refused

A header that is not given is absent from the request. Bytes that are not
printable ASCII are shown as \xHH; in JSON, byte values from 0x80 on are
written \u0080 to \u00ff, one code point per byte (decode the string as
Latin-1 to get the bytes back).

Exit status: 0 when the request was explained (with --exit-status: when it
passes, and 1 when it is refused); 2 for a bad argument.
)";

struct Request {
    std::optional<std::string> host, referer, addr, query, cookie, agent;
    std::string path;
};

struct TokenFacts {
    const char* source;
    std::string found, expected;
    const char* state;     // "valid", "missing", "expired" or "invalid"
    std::string validAt;   // for a valid or expired timed token: "HH:MM", maybe a day
    std::string judgment;  // what the text output says of it
};

struct Explanation {
    bool pass = false;
    std::string step;
    std::string reason;
    std::optional<TokenFacts> token;
    const char* receives = "";
    std::optional<std::string> path, body;
};

// A view into the request, which outlives every TokenInput built from it.
std::string_view ValueOr(const std::optional<std::string>& value) {
    return value ? std::string_view(*value) : std::string_view();
}

bool IsTokenStep(PolicyStep step) {
    switch (step) {
        case PolicyStep::AdvancedValidToken:
        case PolicyStep::AdvancedInvalidToken:
        case PolicyStep::MediaValidToken:
        case PolicyStep::MediaNotPlayer:
        case PolicyStep::MediaInvalidToken:
            return true;
        default:
            return false;
    }
}

// " for 127.0.0.1 at 10:41", as far as the mode digests each.
std::string TokenScope(const Request& request, const Setting& setting) {
    const TokenInput input = TokenInputAt(ValueOr(request.addr), setting);
    if (!input.valid) {
        return " (EncryptMode " + DecimalText(setting.config.EncryptMode) +
               ": no token can be valid)";
    }
    std::string scope;
    if (TokenUsesAddress(setting)) {
        scope += request.addr && !request.addr->empty() ? " for " + *request.addr
                                                        : " for an empty address";
    }
    if (input.usesClock) {
        scope += " at " + ClockText(setting.clock.time.hour, setting.clock.time.minute);
    }
    return scope;
}

// The policy's name for the step, with the facts of this request that made
// it decide.
std::string DescribeStep(PolicyStep step, const Request& request, const Setting& setting) {
    const FilterConfig& config = setting.config;
    const LeadByteSet& leads = CurrentLocale().LeadBytes;
    const std::string_view host = ValueOr(request.host);
    const std::string_view query = ValueOr(request.query);
    const std::string_view agent = ValueOr(request.agent);
    const std::string refererHost(RefererHost(ValueOr(request.referer)));
    const std::string extension(PathExtension(request.path, leads));
    const std::string name = PolicyStepName(step);

    switch (step) {
        case PolicyStep::OtherHost:
            return name + " (host " + Quoted(host) + ", DomainName " + Quoted(config.DomainName) +
                   ")";
        case PolicyStep::FriendlyReferer:
            return name + " (" + Quoted(refererHost) + " is in FriendDomain)";
        case PolicyStep::QueryTooLong:
            return name + " (" + DecimalText(int32_t(query.size())) + " bytes, UrlLength " +
                   DecimalText(config.UrlLength) + ")";
        case PolicyStep::QueryHasBadChar:
            return name + " (" + Quoted(config.BadChar) + ")";
        case PolicyStep::NoExtension:
            return name + " (path " + Quoted(request.path) + ")";
        case PolicyStep::PublicFile:
            return name + " (" + Quoted(PathFileName(request.path, leads)) + " is in PubFile)";
        case PolicyStep::SuperClass:
            return name + " (" + Quoted(extension) + " is in SuperExt)";
        case PolicyStep::CommonSameHost:
            return name + " (" + Quoted(refererHost) + ")";
        case PolicyStep::CommonForeignReferer:
            return name + " (referer host " + Quoted(refererHost) + ", host " + Quoted(host) + ")";
        case PolicyStep::AdvancedValidToken:
        case PolicyStep::AdvancedInvalidToken:
        case PolicyStep::MediaInvalidToken:
            return name + TokenScope(request, setting);
        case PolicyStep::MediaValidToken:
            return name + TokenScope(request, setting) +
                   (config.PlayOnline ? " (player agent " + Quoted(agent) + ")"
                                      : std::string(" (PlayOnline 0)"));
        case PolicyStep::MediaNotPlayer:
            return name + " (" + Quoted(agent) + "; token valid" + TokenScope(request, setting) +
                   ")";
        case PolicyStep::NoClass:
            return name + " (" + Quoted(extension) + " is in no list)";
        default:
            return name;
    }
}

// "09:05", or "23:59 on 2026-12-10" when the minute is of another day.
std::string MinuteText(const TokenMinute& at, const CalendarDate& today) {
    std::string text = ClockText(at.hour, at.minute);
    if (at.date.year != today.year || at.date.month != today.month || at.date.day != today.day) {
        char date[32];
        std::snprintf(date, sizeof date, " on %04d-%02d-%02d", at.date.year, at.date.month,
                      at.date.day);
        text += date;
    }
    return text;
}

TokenFacts DescribeToken(const Request& request, const Setting& setting, const Verdict& verdict) {
    const FilterConfig& config = setting.config;
    const AccessToken found =
        ExtractAccessToken(ValueOr(request.query), ValueOr(request.cookie), config);
    TokenFacts facts{config.PassMode ? "query string" : "cookie", std::string(found.Text()),
                     ExpectedTokenText(TokenInputAt(ValueOr(request.addr), setting)), "", "", ""};
    const TokenMinute now{setting.clock.date, setting.clock.time.hour, setting.clock.time.minute};
    const std::string grace = "TokenGrace " + DecimalText(config.TokenGrace);
    if (verdict.token.state == TokenState::Valid) {
        facts.state = "valid";
        facts.judgment = "valid";
        if (verdict.token.minutesEarlier != 0) {
            facts.validAt =
                MinuteText(MinutesEarlier(now, verdict.token.minutesEarlier), now.date);
            facts.judgment += ": made at " + facts.validAt +
                              (verdict.token.minutesEarlier < 0 ? ", ahead of this clock" : "") +
                              ", within " + grace;
        }
    } else if (verdict.token.state == TokenState::Missing) {
        facts.state = "missing";
        facts.judgment = std::string("missing: no \"kavro=\" in the ") + facts.source;
    } else if (verdict.expiredMinutes > 0) {
        facts.state = "expired";
        facts.validAt = MinuteText(MinutesEarlier(now, verdict.expiredMinutes), now.date);
        facts.judgment = "expired: valid at " + facts.validAt + " (" + grace + ")";
    } else {
        facts.state = "invalid";
        facts.judgment = "invalid";
    }
    return facts;
}

Explanation Explain(const Request& request, const Setting& setting) {
    PolicyRequest server;
    server.physicalPath = request.path;
    const std::pair<const char*, const std::optional<std::string>*> variables[] = {
        {"HTTP_HOST", &request.host},     {"HTTP_REFERER", &request.referer},
        {"REMOTE_ADDR", &request.addr},   {"QUERY_STRING", &request.query},
        {"HTTP_COOKIE", &request.cookie}, {"HTTP_USER_AGENT", &request.agent},
    };
    for (const auto& [name, value] : variables) {
        if (*value) server.variables.emplace_back(name, **value);
    }
    const TokenClock clock{setting.clock.date, setting.clock.time, setting.clock.time};
    const PolicyOutcome outcome = RunPolicy(server, setting.config, CurrentLocale(), clock);

    Explanation explanation;
    explanation.pass = outcome.decision.status == SF_STATUS_REQ_NEXT_NOTIFICATION;
    explanation.step = DescribeStep(outcome.decision.step, request, setting);
    explanation.reason = ReasonCode(outcome.verdict);
    if (IsTokenStep(outcome.decision.step)) {
        explanation.token = DescribeToken(request, setting, outcome.verdict);
    }

    switch (outcome.verdict.action) {
        case Action::Pass:
            explanation.receives = "file";
            explanation.path = outcome.finalPath;
            break;
        case Action::LengthMessage:
            explanation.receives = "length message";
            explanation.body = outcome.written;
            break;
        case Action::CharacterMessage:
            explanation.receives = "character message";
            explanation.body = outcome.written;
            break;
        case Action::BlockPage:
            explanation.receives = "block page";
            explanation.body = outcome.written;
            break;
        case Action::Divert:
            // Ended with nothing written: the server serves the replaced path.
            explanation.receives = "diverted path";
            explanation.path = outcome.finalPath;
            break;
    }
    return explanation;
}

void PrintText(const Explanation& explanation) {
    std::printf("result: %s\n", explanation.pass ? "pass" : "refused");
    std::printf("step: %s\n", explanation.step.c_str());
    std::printf("reason: %s\n", explanation.reason.c_str());
    if (const auto& token = explanation.token) {
        std::printf("token: %s from the %s, %s; the filter expects %s\n",
                    Quoted(token->found).c_str(), token->source, token->judgment.c_str(),
                    token->expected.empty() ? "none" : token->expected.c_str());
    }
    if (explanation.path) {
        std::printf("receives: %s %s\n", explanation.receives, Quoted(*explanation.path).c_str());
    } else if (explanation.body) {
        std::printf("receives: %s, %zu bytes:\n%s\n", explanation.receives,
                    explanation.body->size(), Printable(*explanation.body).c_str());
    }
}

std::string JsonOrNull(const std::optional<std::string>& text) {
    return text ? JsonString(*text) : "null";
}

void PrintJson(const Explanation& explanation) {
    std::string out = "{\"result\":";
    out += JsonString(explanation.pass ? "pass" : "refused");
    out += ",\"step\":" + JsonString(explanation.step);
    out += ",\"reason\":" + JsonString(explanation.reason);
    out += ",\"token\":";
    if (const auto& token = explanation.token) {
        out += "{\"source\":" + JsonString(token->source) +
               ",\"found\":" + JsonString(token->found) +
               ",\"expected\":" + (token->expected.empty() ? "null" : JsonString(token->expected)) +
               ",\"state\":" + JsonString(token->state) + ",\"validAt\":" +
               (token->validAt.empty() ? "null" : JsonString(token->validAt)) + "}";
    } else {
        out += "null";
    }
    out += ",\"receives\":" + JsonString(explanation.receives);
    out += ",\"path\":" + JsonOrNull(explanation.path);
    out += ",\"body\":" + JsonOrNull(explanation.body);
    out += "}\n";
    std::fputs(out.c_str(), stdout);
}

}  // namespace

int RunExplain(std::span<const std::string> args) {
    const Arguments arguments(args, kOptions);
    if (arguments.WantsHelp()) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    Setting setting = LoadSetting(arguments);
    RequireReadableIni(setting);
    FixDateAndClock(arguments, setting);

    Request request;
    const std::string* path = arguments.Value("--path");
    if (path == nullptr) throw UsageError("--path is needed: the physical path of the file");
    request.path = *path;
    const std::pair<const char*, std::optional<std::string>*> headers[] = {
        {"--host", &request.host},   {"--referer", &request.referer}, {"--addr", &request.addr},
        {"--query", &request.query}, {"--cookie", &request.cookie},   {"--agent", &request.agent},
    };
    for (const auto& [option, field] : headers) {
        if (const std::string* value = arguments.Value(option)) *field = *value;
    }

    const Explanation explanation = Explain(request, setting);
    NoteIniState("explain", setting);
    if (arguments.Has("--json")) {
        PrintJson(explanation);
    } else {
        PrintText(explanation);
    }
    return arguments.Has("--exit-status") && !explanation.pass ? 1 : 0;
}

}  // namespace qelmor::tool

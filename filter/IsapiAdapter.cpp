#include "filter/IsapiAdapter.h"

#include <cstring>
#include <optional>
#include <string>

#include "filter/BlockPage.h"
#include "filter/ServerServices.h"
#include "platform/Platform.h"
#include "text/TextRules.h"

namespace qelmor {
namespace {

// The size reported on success counts the terminating zero.
std::string_view ValueOf(const char* bytes, uint32_t reportedSize, uint32_t offered) {
    if (reportedSize == 0) return {};
    const uint32_t length = reportedSize > offered ? offered - 1 : reportedSize - 1;
    return {bytes, length};
}

std::string_view PhysicalPathOf(const HTTP_FILTER_URL_MAP* urlMap) {
    if (urlMap == nullptr || urlMap->pszPhysicalPath == nullptr) return {};
    const char* path = urlMap->pszPhysicalPath;
    const size_t length =
        urlMap->cbPathBuff > 0 ? strnlen(path, urlMap->cbPathBuff) : std::strlen(path);
    return {path, length};
}

// The values the facts are views into, one fixed buffer each.
struct FactBuffers {
    ServerVarBuffer host, referer, address, query, cookie, agent;
};

}  // namespace

std::string_view GetServerVar(HTTP_FILTER_CONTEXT* context, const char* name,
                              ServerVarBuffer& buffer) {
    if (context == nullptr || context->GetServerVariable == nullptr) return {};
    char* variable = const_cast<char*>(name);
    uint32_t size = kServerVarBuffer;
    if (context->GetServerVariable(context, variable, buffer.fixed, &size)) {
        return ValueOf(buffer.fixed, size, kServerVarBuffer);
    }
    // A value too long for the fixed buffer must not read as empty: an empty
    // query string passes the security checks and an empty cookie loses its
    // token. Offer exactly the size the server asked for, once.
    if (size <= kServerVarBuffer) return {};
    // Neither no room for the value (std::bad_alloc) nor a server that will
    // not hand it over reads as an empty value: both end the decision with a
    // refusal rather than letting the request pass unchecked.
    const uint32_t needed = size;
    buffer.large.reset(new char[needed]);
    size = needed;
    if (!context->GetServerVariable(context, variable, buffer.large.get(), &size)) {
        throw ServerVarUnavailable{name};
    }
    return ValueOf(buffer.large.get(), size, needed);
}

void WriteToClient(HTTP_FILTER_CONTEXT* context, std::string_view text) {
    if (context == nullptr || context->WriteClient == nullptr) return;
    uint32_t length = uint32_t(text.size());
    context->WriteClient(context, const_cast<char*>(text.data()), &length, 0);
}

bool ReplacePhysicalPath(HTTP_FILTER_CONTEXT* context, HTTP_FILTER_URL_MAP* urlMap,
                         std::string_view text) {
    if (urlMap == nullptr || text.size() >= UINT32_MAX) return false;
    const uint32_t needed = uint32_t(text.size()) + 1;
    if (urlMap->pszPhysicalPath != nullptr && needed <= urlMap->cbPathBuff) {
        std::memcpy(urlMap->pszPhysicalPath, text.data(), text.size());
        urlMap->pszPhysicalPath[text.size()] = '\0';
        return true;
    }
    if (context == nullptr || context->AllocMem == nullptr) return false;
    auto* storage = static_cast<char*>(context->AllocMem(context, needed, 0));
    if (storage == nullptr) return false;
    std::memcpy(storage, text.data(), text.size());
    storage[text.size()] = '\0';
    urlMap->pszPhysicalPath = storage;
    urlMap->cbPathBuff = needed;
    return true;
}

uint32_t RefuseRequest(HTTP_FILTER_CONTEXT* context, HTTP_FILTER_URL_MAP* urlMap,
                       bool showBlockPage, std::string_view extension, const FilterConfig& config) {
    if (showBlockPage) {
        SendBlockPage(context, {}, config);
    } else {
        // "KAVRO" plus the extension as the path gave it: a file the site
        // keeps beside its root for diverted requests, or a 404.
        char diverted[kDivertedLeaf.size() + 256];
        if (extension.size() < 256) {
            std::memcpy(diverted, kDivertedLeaf.data(), kDivertedLeaf.size());
            std::memcpy(diverted + kDivertedLeaf.size(), extension.data(), extension.size());
            ReplacePhysicalPath(context, urlMap,
                                {diverted, kDivertedLeaf.size() + extension.size()});
        } else {
            std::string longer(kDivertedLeaf);
            longer += extension;
            ReplacePhysicalPath(context, urlMap, longer);
        }
    }
    return SF_STATUS_REQ_FINISHED;
}

void SendBlockPage(HTTP_FILTER_CONTEXT* context, std::string_view message,
                   const FilterConfig& config) {
    if (TrimText(message).empty()) {
        WriteToClient(context, BlockPageTemplate(config));
    } else {
        WriteToClient(context, message);
    }
}

namespace {

// "X-Qelmor-Reason: <code>" on the refusal's response. A token that was
// valid within the last hour reads as expired, which costs a digest per
// minute looked at: only servers that asked for the header pay it.
void AddReasonHeader(HTTP_FILTER_CONTEXT* context, Verdict& verdict, const RequestFacts& facts,
                     const FilterConfig& config, const LocaleSettings& locale,
                     const ClockReading& clock) {
    if (context == nullptr || context->AddResponseHeaders == nullptr) return;
    LookForExpiry(verdict, facts, config, locale, clock);
    constexpr std::string_view kName = "X-Qelmor-Reason: ";
    const std::string_view code = ReasonCode(verdict);
    char line[64];
    if (kName.size() + code.size() + 3 > sizeof line) return;
    std::memcpy(line, kName.data(), kName.size());
    std::memcpy(line + kName.size(), code.data(), code.size());
    std::memcpy(line + kName.size() + code.size(), "\r\n", 3);
    context->AddResponseHeaders(context, line, 0);
}

}  // namespace

TokenClock ReadTokenClock() {
    // The date first, then the clock once for the hour and once for the
    // minute, as the issuing pages expect.
    TokenClock clock;
    clock.date = platform::LocalDateNow();
    clock.hourClock = platform::LocalTimeNow();
    clock.minuteClock = platform::LocalTimeNow();
    return clock;
}

Decision UrlMapPolicy(HTTP_FILTER_CONTEXT* context, uint32_t notificationType, void* notification,
                      const FilterConfig& config, const LocaleSettings& locale,
                      const ClockReading& clock) {
    FactBuffers buffers;
    RequestFacts facts;
    // The host gate runs for every notification; the rest is read only for
    // a URL-map notification the gate lets through.
    facts.host = GetServerVar(context, "HTTP_HOST", buffers.host);
    facts.urlMap = notificationType == SF_NOTIFY_URL_MAP;
    auto* urlMap = static_cast<HTTP_FILTER_URL_MAP*>(notification);
    std::optional<Verdict> verdict = DecideHostGate(facts, config);
    if (!verdict) {
        facts.referer = GetServerVar(context, "HTTP_REFERER", buffers.referer);
        facts.address = GetServerVar(context, "REMOTE_ADDR", buffers.address);
        facts.query = GetServerVar(context, "QUERY_STRING", buffers.query);
        facts.cookie = GetServerVar(context, "HTTP_COOKIE", buffers.cookie);
        facts.agent = GetServerVar(context, "HTTP_USER_AGENT", buffers.agent);
        facts.physicalPath = PhysicalPathOf(urlMap);
        verdict = DecideExamined(facts, config, locale, clock);
    }

    if (verdict->action != Action::Pass && config.ReasonHeader) {
        AddReasonHeader(context, *verdict, facts, config, locale, clock);
    }

    switch (verdict->action) {
        case Action::Pass:
            break;
        case Action::BlockPage:
            SendBlockPage(context, {}, config);
            break;
        case Action::LengthMessage:
            SendBlockPage(context, kLengthMessage, config);
            break;
        case Action::CharacterMessage:
            SendBlockPage(context, kCharacterMessage, config);
            break;
        case Action::Divert:
            RefuseRequest(context, urlMap, false, verdict->extension, config);
            break;
    }
    return {verdict->Status(), verdict->step};
}

}  // namespace qelmor

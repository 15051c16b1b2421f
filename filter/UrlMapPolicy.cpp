#include "filter/UrlMapPolicy.h"

#include <cstring>

#include "filter/AccessToken.h"
#include "filter/BlockPage.h"
#include "filter/ServerServices.h"
#include "text/TextRules.h"

namespace qelmor {
namespace {

constexpr std::string_view kPlayerAgents[] = {"RMA", "NSPlayer", "Windows-Media-Player", "Flash"};
constexpr std::string_view kDivertedLeaf = "KAVRO";

bool StartsWithUpper(std::string_view text, std::string_view upperPrefix) {
    return text.size() >= upperPrefix.size() &&
           EqualsUpper(text.substr(0, upperPrefix.size()), upperPrefix);
}

bool IsAsciiDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// Unexamined requests for other hosts. Servers route "site.test.",
// "site.test:" and "site.test:8080" to the site "site.test", so each of
// those spellings must be examined as the site too.
bool IsExaminedHost(std::string_view host, const FilterConfig& config) {
    if (TrimText(config.DomainName).empty()) return true;
    return EqualsUpper(host, config.DomainName) ||
           EqualsUpper(HostForDomainGate(host), config.DomainName);
}

std::string_view PhysicalPathOf(const HTTP_FILTER_URL_MAP* urlMap) {
    if (urlMap == nullptr || urlMap->pszPhysicalPath == nullptr) return {};
    const char* path = urlMap->pszPhysicalPath;
    const size_t length =
        urlMap->cbPathBuff > 0 ? strnlen(path, urlMap->cbPathBuff) : std::strlen(path);
    return {path, length};
}

struct Request {
    std::string_view host, referer, address, query, cookie, agent;
    std::string_view refererHost;
};

Decision Finished(PolicyStep step) {
    return {SF_STATUS_REQ_FINISHED, step};
}
Decision Next(PolicyStep step) {
    return {SF_STATUS_REQ_NEXT_NOTIFICATION, step};
}

bool HasValidToken(const Request& request, const FilterConfig& config,
                   const LocaleSettings& locale) {
    const AccessToken token = ExtractAccessToken(request.query, request.cookie, config);
    return CheckAccessToken(token, request.address, config, locale);
}

}  // namespace

std::string_view RefererHost(std::string_view referer) {
    // "https://" is one byte longer than "http://"; every other scheme (or
    // none) loses its first seven bytes unexamined.
    const int64_t schemeLength = StartsWithUpper(referer, "HTTPS://") ? 8 : 7;
    const std::string_view rest = SubText(referer, schemeLength + 1, int64_t(referer.size()));
    const int slash = TextPos(rest, "/");
    return slash > 0 ? rest.substr(0, size_t(slash - 1)) : rest;
}

bool IsPlayerAgent(std::string_view userAgent) {
    for (std::string_view agent : kPlayerAgents) {
        if (ContainsText(userAgent, agent)) return true;
    }
    return false;
}

std::string_view HostForDomainGate(std::string_view host) {
    const size_t colon = host.rfind(':');
    const size_t bracket = host.rfind(']');
    const bool portColon =
        colon != std::string_view::npos && (bracket == std::string_view::npos || bracket < colon);
    if (portColon) {
        const std::string_view port = host.substr(colon + 1);
        if (port.empty() || IsAsciiDigits(port)) host = host.substr(0, colon);
    }
    if (host.ends_with('.')) host.remove_suffix(1);
    return host;
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

Decision UrlMapPolicy(HTTP_FILTER_CONTEXT* context, uint32_t notificationType, void* notification,
                      const FilterConfig& config, const LocaleSettings& locale) {
    ServerVarBuffer hostBuffer, refererBuffer, addressBuffer, queryBuffer, cookieBuffer,
        agentBuffer;
    Request request;
    request.host = GetServerVar(context, "HTTP_HOST", hostBuffer);
    if (!IsExaminedHost(request.host, config)) return Next(PolicyStep::OtherHost);
    if (notificationType != SF_NOTIFY_URL_MAP) return Next(PolicyStep::OtherNotification);

    request.referer = GetServerVar(context, "HTTP_REFERER", refererBuffer);
    request.address = GetServerVar(context, "REMOTE_ADDR", addressBuffer);
    request.query = GetServerVar(context, "QUERY_STRING", queryBuffer);
    request.cookie = GetServerVar(context, "HTTP_COOKIE", cookieBuffer);
    request.agent = GetServerVar(context, "HTTP_USER_AGENT", agentBuffer);
    request.refererHost = RefererHost(request.referer);

    if (ContainsUpper(config.FriendDomain, request.refererHost)) {
        return Next(PolicyStep::FriendlyReferer);
    }

    if (config.OpenSecurity) {
        if (config.UrlLength != 0 && int64_t(request.query.size()) > int64_t(config.UrlLength)) {
            SendBlockPage(context, kLengthMessage, config);
            return Finished(PolicyStep::QueryTooLong);
        }
        if (ContainsText(request.query, config.BadChar)) {
            SendBlockPage(context, kCharacterMessage, config);
            return Finished(PolicyStep::QueryHasBadChar);
        }
    }

    auto* urlMap = static_cast<HTTP_FILTER_URL_MAP*>(notification);
    const std::string_view path = PhysicalPathOf(urlMap);
    const std::string_view extension = PathExtension(path, locale.LeadBytes);
    if (extension.empty()) return Next(PolicyStep::NoExtension);

    if (ContainsUpper(config.PubFile, PathFileName(path, locale.LeadBytes))) {
        return Next(PolicyStep::PublicFile);
    }

    if (ContainsUpper(config.SuperExt, extension)) {
        RefuseRequest(context, urlMap, config.SuperAction, extension, config);
        return Finished(PolicyStep::SuperClass);
    }

    if (ContainsUpper(config.CommonExt, extension)) {
        if (EqualsUpper(request.refererHost, request.host)) {
            return Next(PolicyStep::CommonSameHost);
        }
        RefuseRequest(context, urlMap, config.CommonAction, extension, config);
        return Finished(PolicyStep::CommonForeignReferer);
    }

    if (ContainsUpper(config.AdvancedExt, extension)) {
        if (HasValidToken(request, config, locale)) return Next(PolicyStep::AdvancedValidToken);
        RefuseRequest(context, urlMap, config.AdvancedAction, extension, config);
        return Finished(PolicyStep::AdvancedInvalidToken);
    }

    if (ContainsUpper(config.MediaExt, extension)) {
        if (!HasValidToken(request, config, locale)) {
            RefuseRequest(context, urlMap, config.Mediaaction, extension, config);
            return Finished(PolicyStep::MediaInvalidToken);
        }
        if (!config.PlayOnline || IsPlayerAgent(request.agent)) {
            return Next(PolicyStep::MediaValidToken);
        }
        RefuseRequest(context, urlMap, config.Mediaaction, extension, config);
        return Finished(PolicyStep::MediaNotPlayer);
    }

    return Next(PolicyStep::NoClass);
}

const char* PolicyStepName(PolicyStep step) {
    switch (step) {
        case PolicyStep::OtherHost:
            return "other host: not examined";
        case PolicyStep::OtherNotification:
            return "not a URL-map notification";
        case PolicyStep::FriendlyReferer:
            return "friendly referer";
        case PolicyStep::QueryTooLong:
            return "security check: query string too long";
        case PolicyStep::QueryHasBadChar:
            return "security check: query string has BadChar";
        case PolicyStep::NoExtension:
            return "no extension";
        case PolicyStep::PublicFile:
            return "public file";
        case PolicyStep::SuperClass:
            return "super class: always refused";
        case PolicyStep::CommonSameHost:
            return "common class: same-host referer";
        case PolicyStep::CommonForeignReferer:
            return "common class: foreign referer";
        case PolicyStep::AdvancedValidToken:
            return "advanced class: token valid";
        case PolicyStep::AdvancedInvalidToken:
            return "advanced class: token invalid";
        case PolicyStep::MediaValidToken:
            return "media class: token valid";
        case PolicyStep::MediaNotPlayer:
            return "media class: not a player agent";
        case PolicyStep::MediaInvalidToken:
            return "media class: token invalid";
        case PolicyStep::NoClass:
            return "no class";
        case PolicyStep::ResourceExhausted:
            return "resource exhausted: refused";
    }
    return "unknown";
}

}  // namespace qelmor

#include "filter/UrlMapPolicy.h"

#include "text/TextRules.h"

namespace qelmor {
namespace {

constexpr std::string_view kPlayerAgents[] = {"RMA", "NSPlayer", "Windows-Media-Player", "Flash"};

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

// Whether `foldedList` (upper case already) contains `text` without regard
// to ASCII case. The request's side is folded on the stack.
bool FoldedListContains(std::string_view foldedList, std::string_view text) {
    if (text.empty() || text.size() > foldedList.size()) return false;
    char folded[64];
    if (text.size() > sizeof folded) return ContainsUpper(foldedList, text);
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        folded[i] = c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
    }
    // The lists are a few dozen bytes: a plain scan beats the setup of a
    // general search.
    const size_t lastStart = foldedList.size() - text.size();
    for (size_t start = 0; start <= lastStart; ++start) {
        if (foldedList[start] != folded[0]) continue;
        size_t k = 1;
        while (k < text.size() && foldedList[start + k] == folded[k]) ++k;
        if (k == text.size()) return true;
    }
    return false;
}

Verdict Passed(PolicyStep step) {
    return {step, Action::Pass};
}

// The class's refusal: the block page, or the diverted path.
Verdict Refused(PolicyStep step, bool showBlockPage, std::string_view extension) {
    return showBlockPage ? Verdict{step, Action::BlockPage} : Verdict{step, Action::Divert, extension};
}

bool HasValidToken(const RequestFacts& facts, const FilterConfig& config,
                   const LocaleSettings& locale, const ClockReading& clock) {
    const AccessToken token = ExtractAccessToken(facts.query, facts.cookie, config);
    return CheckAccessToken(token, facts.address, config, locale, clock);
}

}  // namespace

// Servers route "site.test.", "site.test:" and "site.test:8080" to the site
// "site.test", so each of those spellings is examined as the site too.
bool IsExaminedHost(std::string_view host, const FilterConfig& config) {
    if (TrimText(config.DomainName).empty()) return true;
    return EqualsUpper(host, config.DomainName) ||
           EqualsUpper(HostForDomainGate(host), config.DomainName);
}

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

FileClass ClassOfExtension(std::string_view extension, const FilterConfig& config) {
    const FilterConfig::FoldedLists& lists = config.Folded;
    if (FoldedListContains(lists.SuperExt, extension)) return FileClass::Super;
    if (FoldedListContains(lists.CommonExt, extension)) return FileClass::Common;
    if (FoldedListContains(lists.AdvancedExt, extension)) return FileClass::Advanced;
    if (FoldedListContains(lists.MediaExt, extension)) return FileClass::Media;
    return FileClass::None;
}

Verdict DecideUrlMap(const RequestFacts& facts, const FilterConfig& config,
                     const LocaleSettings& locale, const ClockReading& clock) {
    if (const std::optional<Verdict> gate = DecideHostGate(facts, config)) return *gate;
    return DecideExamined(facts, config, locale, clock);
}

std::optional<Verdict> DecideHostGate(const RequestFacts& facts, const FilterConfig& config) {
    if (!IsExaminedHost(facts.host, config)) return Passed(PolicyStep::OtherHost);
    if (!facts.urlMap) return Passed(PolicyStep::OtherNotification);
    return std::nullopt;
}

Verdict DecideExamined(const RequestFacts& facts, const FilterConfig& config,
                       const LocaleSettings& locale, const ClockReading& clock) {
    const std::string_view refererHost = RefererHost(facts.referer);
    if (FoldedListContains(config.Folded.FriendDomain, refererHost)) {
        return Passed(PolicyStep::FriendlyReferer);
    }

    if (config.OpenSecurity) {
        if (config.UrlLength != 0 && int64_t(facts.query.size()) > int64_t(config.UrlLength)) {
            return {PolicyStep::QueryTooLong, Action::LengthMessage};
        }
        if (ContainsText(facts.query, config.BadChar)) {
            return {PolicyStep::QueryHasBadChar, Action::CharacterMessage};
        }
    }

    const std::string_view path = facts.physicalPath;
    const std::string_view extension = PathExtension(path, locale.LeadBytes);
    if (extension.empty()) return Passed(PolicyStep::NoExtension);

    if (FoldedListContains(config.Folded.PubFile, PathFileName(path, locale.LeadBytes))) {
        return Passed(PolicyStep::PublicFile);
    }

    switch (ClassOfExtension(extension, config)) {
        case FileClass::None:
            break;
        case FileClass::Super:
            return Refused(PolicyStep::SuperClass, config.SuperAction, extension);
        case FileClass::Common:
            if (EqualsUpper(refererHost, facts.host)) return Passed(PolicyStep::CommonSameHost);
            return Refused(PolicyStep::CommonForeignReferer, config.CommonAction, extension);
        case FileClass::Advanced:
            if (HasValidToken(facts, config, locale, clock)) {
                return Passed(PolicyStep::AdvancedValidToken);
            }
            return Refused(PolicyStep::AdvancedInvalidToken, config.AdvancedAction, extension);
        case FileClass::Media:
            if (!HasValidToken(facts, config, locale, clock)) {
                return Refused(PolicyStep::MediaInvalidToken, config.Mediaaction, extension);
            }
            if (!config.PlayOnline || IsPlayerAgent(facts.agent)) {
                return Passed(PolicyStep::MediaValidToken);
            }
            return Refused(PolicyStep::MediaNotPlayer, config.Mediaaction, extension);
    }

    return Passed(PolicyStep::NoClass);
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

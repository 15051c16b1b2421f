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

// A request's text folded to ASCII upper case on the stack, for searching
// the lists that were folded when the settings were built. Longer texts
// than the stack holds are searched with the case-blind scan instead.
class FoldedText {
  public:
    explicit FoldedText(std::string_view text) : original_(text) {
        if (text.size() > sizeof bytes_) return;
        for (size_t i = 0; i < text.size(); ++i) {
            const char c = text[i];
            bytes_[i] = c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
        }
        folded_ = true;
    }

    // Whether `foldedList` (upper case already) contains the text.
    bool In(std::string_view foldedList) const {
        const size_t size = original_.size();
        if (size == 0 || size > foldedList.size()) return false;
        if (!folded_) return ContainsUpper(foldedList, original_);
        // The lists are a few dozen bytes: a plain scan beats the setup of
        // a general search.
        const size_t lastStart = foldedList.size() - size;
        for (size_t start = 0; start <= lastStart; ++start) {
            if (foldedList[start] != bytes_[0]) continue;
            size_t k = 1;
            while (k < size && foldedList[start + k] == bytes_[k]) ++k;
            if (k == size) return true;
        }
        return false;
    }

  private:
    std::string_view original_;
    char bytes_[64];
    bool folded_ = false;
};

Verdict Passed(PolicyStep step) {
    return {step, Action::Pass};
}

// The class's refusal: the block page, or the diverted path.
Verdict Refused(PolicyStep step, bool showBlockPage, std::string_view extension,
                TokenCheck token = {}) {
    Verdict verdict{step, showBlockPage ? Action::BlockPage : Action::Divert};
    if (!showBlockPage) verdict.extension = extension;
    verdict.token = token;
    return verdict;
}

Verdict PassedWith(PolicyStep step, TokenCheck token) {
    Verdict verdict = Passed(step);
    verdict.token = token;
    return verdict;
}

TokenCheck CheckRequestToken(const RequestFacts& facts, const FilterConfig& config,
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
    const FoldedText folded(extension);
    if (folded.In(lists.SuperExt)) return FileClass::Super;
    if (folded.In(lists.CommonExt)) return FileClass::Common;
    if (folded.In(lists.AdvancedExt)) return FileClass::Advanced;
    if (folded.In(lists.MediaExt)) return FileClass::Media;
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
    if (FoldedText(refererHost).In(config.Folded.FriendDomain)) {
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

    if (FoldedText(PathFileName(path, locale.LeadBytes)).In(config.Folded.PubFile)) {
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
        case FileClass::Advanced: {
            const TokenCheck token = CheckRequestToken(facts, config, locale, clock);
            if (token.state == TokenState::Valid) {
                return PassedWith(PolicyStep::AdvancedValidToken, token);
            }
            return Refused(PolicyStep::AdvancedInvalidToken, config.AdvancedAction, extension,
                           token);
        }
        case FileClass::Media: {
            const TokenCheck token = CheckRequestToken(facts, config, locale, clock);
            if (token.state != TokenState::Valid) {
                return Refused(PolicyStep::MediaInvalidToken, config.Mediaaction, extension, token);
            }
            if (!config.PlayOnline || IsPlayerAgent(facts.agent)) {
                return PassedWith(PolicyStep::MediaValidToken, token);
            }
            return Refused(PolicyStep::MediaNotPlayer, config.Mediaaction, extension, token);
        }
    }

    return Passed(PolicyStep::NoClass);
}

void LookForExpiry(Verdict& verdict, const RequestFacts& facts, const FilterConfig& config,
                   const LocaleSettings& locale, const ClockReading& clock) {
    const bool tokenRefused = verdict.step == PolicyStep::AdvancedInvalidToken ||
                              verdict.step == PolicyStep::MediaInvalidToken;
    if (!tokenRefused || verdict.token.state != TokenState::Invalid) return;
    const AccessToken token = ExtractAccessToken(facts.query, facts.cookie, config);
    verdict.expiredMinutes =
        MinutesSinceValid(token, facts.address, config, locale, clock, kExpiryLookBack);
}

std::string_view ReasonCode(const Verdict& verdict) {
    switch (verdict.step) {
        case PolicyStep::OtherHost:
            return "other-host";
        case PolicyStep::OtherNotification:
            return "other-notification";
        case PolicyStep::FriendlyReferer:
            return "friendly-referer";
        case PolicyStep::QueryTooLong:
            return "query-too-long";
        case PolicyStep::QueryHasBadChar:
            return "query-bad-text";
        case PolicyStep::NoExtension:
            return "no-extension";
        case PolicyStep::PublicFile:
            return "public-file";
        case PolicyStep::SuperClass:
            return "super-class";
        case PolicyStep::CommonSameHost:
            return "same-host-referer";
        case PolicyStep::CommonForeignReferer:
            return "foreign-referer";
        case PolicyStep::AdvancedValidToken:
        case PolicyStep::MediaValidToken:
            return "token-valid";
        case PolicyStep::AdvancedInvalidToken:
        case PolicyStep::MediaInvalidToken:
            if (verdict.token.state == TokenState::Missing) return "token-missing";
            return verdict.expiredMinutes > 0 ? "token-expired" : "token-invalid";
        case PolicyStep::MediaNotPlayer:
            return "not-player-agent";
        case PolicyStep::NoClass:
            return "no-class";
        case PolicyStep::ResourceExhausted:
            return "resource-exhausted";
    }
    return "unknown";
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

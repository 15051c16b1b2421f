#include "hosts/serve/RequestRules.h"

#include <algorithm>

#include "hosts/serve/AsciiCase.h"

namespace qelmor::serve {
namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsHexDigit(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool IsAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool AllDigits(std::string_view text) {
    return std::all_of(text.begin(), text.end(), IsDigit);
}

// A reg-name of RFC 3986: unreserved characters, sub-delims and %XX.
bool IsRegName(std::string_view name) {
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (IsAlpha(c) || IsDigit(c)) continue;
        if (c == '%') {
            if (i + 2 >= name.size() || !IsHexDigit(name[i + 1]) || !IsHexDigit(name[i + 2])) {
                return false;
            }
            i += 2;
            continue;
        }
        if (std::string_view("-._~!$&'()*+,;=").find(c) == std::string_view::npos) return false;
    }
    return true;
}

struct HostParts {
    std::string_view name;  // with its brackets when it is an IPv6 literal
    bool hasPort = false;
};

std::optional<HostParts> SplitHost(std::string_view host) {
    HostParts parts;
    std::string_view rest;
    if (!host.empty() && host.front() == '[') {
        const size_t close = host.find(']');
        if (close == std::string_view::npos || close < 2) return std::nullopt;
        const std::string_view literal = host.substr(1, close - 1);
        const bool plausible = literal.find(':') != std::string_view::npos &&
                               std::all_of(literal.begin(), literal.end(), [](char c) {
                                   return IsHexDigit(c) || c == ':' || c == '.';
                               });
        if (!plausible) return std::nullopt;
        parts.name = host.substr(0, close + 1);
        rest = host.substr(close + 1);
    } else {
        const size_t colon = host.find(':');
        parts.name = host.substr(0, colon);
        if (colon != std::string_view::npos) rest = host.substr(colon);
        if (!IsRegName(parts.name)) return std::nullopt;
    }
    if (!rest.empty()) {
        if (rest.front() != ':' || !AllDigits(rest.substr(1))) return std::nullopt;
        parts.hasPort = true;
    }
    return parts;
}

}  // namespace

std::optional<std::string> CanonicalHost(std::string_view host) {
    if (host.empty()) return std::string();
    const auto parts = SplitHost(host);
    if (!parts) return std::nullopt;
    std::string name = LowerAscii(parts->name);
    if (name.ends_with('.')) name.pop_back();
    if (name.empty()) return std::nullopt;
    return name;
}

std::optional<std::string> CanonicalServerName(std::string_view name) {
    const auto parts = SplitHost(name);
    if (!parts || parts->hasPort || parts->name.empty()) return std::nullopt;
    return CanonicalHost(name);
}

RequestTarget ParseRequestTarget(std::string_view target) {
    RequestTarget parsed;
    if (target == "*") {
        parsed.form = TargetForm::Asterisk;
        return parsed;
    }
    std::string_view rest = target;
    if (!target.starts_with('/')) {
        const size_t separator = target.find("://");
        if (separator == std::string_view::npos) return parsed;
        const std::string_view scheme = target.substr(0, separator);
        if (!EqualsNoCase(scheme, "http") && !EqualsNoCase(scheme, "https")) return parsed;
        rest = target.substr(separator + 3);
        const size_t end = std::min(rest.find_first_of("/?#"), rest.size());
        const std::string_view authority = rest.substr(0, end);
        // Credentials have no place in a request, and would let the
        // text before the '@' pass for the host in a careless reading.
        if (authority.empty() || authority.find('@') != std::string_view::npos) return parsed;
        parsed.authority = std::string(authority);
        rest = rest.substr(end);
        if (rest.starts_with('#')) return parsed;
        parsed.form = TargetForm::Absolute;
    } else {
        parsed.form = TargetForm::Origin;
    }
    const size_t question = rest.find('?');
    const std::string_view path = rest.substr(0, question);
    parsed.path.assign(path.empty() ? std::string_view("/") : path);
    if (question != std::string_view::npos) parsed.query = std::string(rest.substr(question + 1));
    return parsed;
}

int StatusOf(Admission admission) {
    switch (admission) {
        case Admission::Proceed:
        case Admission::ServerOptions:
            return 200;
        case Admission::BadRequest:
            return 400;
        case Admission::Misdirected:
            return 421;
        case Admission::TargetTooLong:
            return 414;
        case Admission::HeadersTooLarge:
            return 431;
    }
    return 500;
}

Admission AdmitRequest(RequestFacts& request, const std::vector<std::string>& serverNames) {
    if (request.target.size() > kMaxTargetBytes) return Admission::TargetTooLong;
    if (request.headers.size() > kMaxHeaderLines) return Admission::HeadersTooLarge;
    size_t headerBytes = 0;
    for (const auto& [name, value] : request.headers)
        headerBytes += name.size() + value.size() + 4;  // ": " and CRLF
    if (headerBytes > kMaxHeaderBytes) return Admission::HeadersTooLarge;

    RequestTarget target = ParseRequestTarget(request.target);
    if (target.form == TargetForm::Invalid) return Admission::BadRequest;

    // One Host, and in HTTP/1.1 always one: with two, the filter and
    // whatever stands in front of this server could each judge another.
    std::vector<std::pair<std::string, std::string>>::iterator hostHeader = request.headers.end();
    for (auto header = request.headers.begin(); header != request.headers.end(); ++header) {
        if (!EqualsNoCase(header->first, "Host")) continue;
        if (hostHeader != request.headers.end()) return Admission::BadRequest;
        hostHeader = header;
    }
    if (hostHeader == request.headers.end() && request.httpVersion == "1.1") {
        return Admission::BadRequest;
    }

    // The host of an absolute URI is the one the client means; the Host
    // header beside it is ignored, and the filter reads the URI's.
    std::optional<std::string> host;
    if (target.form == TargetForm::Absolute) {
        if (hostHeader != request.headers.end()) {
            hostHeader->second = target.authority;
        } else {
            request.headers.emplace_back("Host", target.authority);
        }
        host = target.authority;
    } else if (hostHeader != request.headers.end()) {
        host = hostHeader->second;
    }
    std::optional<std::string> canonical;
    if (host) {
        canonical = CanonicalHost(*host);
        if (!canonical) return Admission::BadRequest;
    }

    if (!serverNames.empty()) {
        const bool bound = canonical && std::find(serverNames.begin(), serverNames.end(),
                                                  *canonical) != serverNames.end();
        if (!bound) return Admission::Misdirected;
    }

    if (target.form == TargetForm::Asterisk) {
        return request.method == "OPTIONS" ? Admission::ServerOptions : Admission::BadRequest;
    }
    request.rawPath = std::move(target.path);
    request.rawQuery = std::move(target.query);
    return Admission::Proceed;
}

}  // namespace qelmor::serve

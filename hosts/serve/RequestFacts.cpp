#include "hosts/serve/RequestFacts.h"

#include "hosts/serve/AsciiCase.h"

namespace qelmor::serve {
namespace {

// Whether header `header` is the one IIS names HTTP_`upperSuffix`.
bool IsHeaderVariable(std::string_view header, std::string_view upperSuffix) {
    if (header.size() != upperSuffix.size()) return false;
    for (size_t i = 0; i < header.size(); ++i) {
        const char c = header[i] == '-' ? '_' : AsciiUpper(header[i]);
        if (c != upperSuffix[i]) return false;
    }
    return true;
}

std::optional<std::string> JoinedHeader(const RequestFacts& request, std::string_view upperSuffix) {
    const std::string_view separator = upperSuffix == "COOKIE" ? "; " : ", ";
    std::optional<std::string> joined;
    for (const auto& [header, value] : request.headers) {
        if (!IsHeaderVariable(header, upperSuffix)) continue;
        if (joined) {
            joined->append(separator);
            joined->append(value);
        } else {
            joined = value;
        }
    }
    return joined;
}

}  // namespace

std::optional<std::string> ServerVariable(const RequestFacts& request, std::string_view name) {
    std::string upper(name);
    for (char& c : upper)
        c = AsciiUpper(c);

    constexpr std::string_view kHeaderPrefix = "HTTP_";
    if (upper.size() > kHeaderPrefix.size() && upper.starts_with(kHeaderPrefix)) {
        return JoinedHeader(request, std::string_view(upper).substr(kHeaderPrefix.size()));
    }
    if (upper == "REQUEST_METHOD") return request.method;
    if (upper == "URL" || upper == "PATH_INFO") return request.url;
    if (upper == "QUERY_STRING") return request.rawQuery.value_or(std::string());
    if (upper == "REMOTE_ADDR" || upper == "REMOTE_HOST") return request.remoteAddr;
    if (upper == "REMOTE_PORT") return std::to_string(request.remotePort);
    if (upper == "SERVER_PORT") return std::to_string(request.serverPort);
    if (upper == "SERVER_PORT_SECURE") return std::string(request.secure ? "1" : "0");
    if (upper == "HTTPS") return std::string(request.secure ? "on" : "off");
    if (upper == "SERVER_PROTOCOL") return "HTTP/" + request.httpVersion;
    return std::nullopt;
}

std::optional<std::string_view> HeaderValue(const RequestFacts& request, std::string_view name) {
    for (const auto& [header, value] : request.headers) {
        if (EqualsNoCase(header, name)) return std::string_view(value);
    }
    return std::nullopt;
}

namespace {

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// The next line of `bytes` from `at`, without its CRLF or bare LF; nothing
// when no line end follows.
std::optional<std::string_view> NextLine(std::string_view bytes, size_t& at) {
    const size_t end = bytes.find('\n', at);
    if (end == std::string_view::npos) return std::nullopt;
    std::string_view line = bytes.substr(at, end - at);
    if (line.ends_with('\r')) line.remove_suffix(1);
    at = end + 1;
    return line;
}

}  // namespace

bool ReadRequestHead(std::string_view bytes, RequestFacts& request) {
    size_t at = 0;
    // Empty lines before a request line are allowed, as in every server.
    std::optional<std::string_view> line;
    while ((line = NextLine(bytes, at)) && line->empty()) {
    }
    if (!line) return false;
    const size_t firstSpace = line->find(' ');
    const size_t lastSpace = line->rfind(' ');
    if (firstSpace == std::string_view::npos || lastSpace == firstSpace) return false;
    const std::string_view version = line->substr(lastSpace + 1);
    if (!version.starts_with("HTTP/")) return false;
    request.method = std::string(line->substr(0, firstSpace));
    request.target = std::string(TrimBlanks(line->substr(firstSpace + 1, lastSpace - firstSpace - 1)));
    request.httpVersion = std::string(version.substr(5));
    request.headers.clear();
    while ((line = NextLine(bytes, at))) {
        if (line->empty()) return true;
        const size_t colon = line->find(':');
        if (colon == 0 || colon == std::string_view::npos || line->front() == ' ' ||
            line->front() == '\t') {
            return false;
        }
        request.headers.emplace_back(std::string(line->substr(0, colon)),
                                     std::string(TrimBlanks(line->substr(colon + 1))));
    }
    return false;
}

std::string RequestLine(const RequestFacts& request) {
    std::string line = request.method;
    line += ' ';
    if (!request.target.empty()) {
        line += request.target;
    } else {
        line += request.rawPath;
        if (request.rawQuery) {
            line += '?';
            line += *request.rawQuery;
        }
    }
    line += " HTTP/";
    line += request.httpVersion;
    return line;
}

}  // namespace qelmor::serve

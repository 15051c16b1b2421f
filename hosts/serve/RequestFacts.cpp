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

// What the server knows of one request, copied out of the HTTP library's
// request record before the filter runs. Plain data, so the filter's side of
// the server can be exercised without a socket.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qelmor::serve {

struct RequestFacts {
    std::string method;                   // "GET"
    std::string target;                   // as received: "/a?b", "http://host/a?b" or "*"
    std::string rawPath;                  // the target's path as received, still encoded
    std::optional<std::string> rawQuery;  // after the '?', as received; none without a '?'
    std::string httpVersion;              // "1.1"
    std::string remoteAddr;
    int remotePort = 0;
    int serverPort = 0;
    bool secure = false;
    // In arrival order; a header sent twice appears twice.
    std::vector<std::pair<std::string, std::string>> headers;
    // The decoded, normalised path, filled in once the request is mapped.
    std::string url;
};

// The server variable `name` as IIS offers it, matched without regard to
// case. Headers are reached as HTTP_<NAME>, the name upper-cased with '-' as
// '_'; repeats are joined with ", " (with "; " for Cookie). Nothing for a
// variable that does not exist for this request, such as an absent header:
// IIS fails those reads rather than giving an empty value.
std::optional<std::string> ServerVariable(const RequestFacts& request, std::string_view name);

// The first value of header `name` (case-insensitive), if sent.
std::optional<std::string_view> HeaderValue(const RequestFacts& request, std::string_view name);

// The request line and header lines of an HTTP/1 request head as the client
// sent them, every header in order, repeats and Host included, values
// without the blanks around them. `bytes` may run on past the head's empty
// line. False when there is no complete head, or it holds a line that is no
// header (a folded continuation among them).
bool ReadRequestHead(std::string_view bytes, RequestFacts& request);

// "GET /path?query HTTP/1.1" as the client sent it: the target as received,
// or, when that is not known, the path and query.
std::string RequestLine(const RequestFacts& request);

}  // namespace qelmor::serve

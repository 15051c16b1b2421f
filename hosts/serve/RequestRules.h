// What a request must be before any file is looked at: a target of a form
// the server answers, a head within its limits, one host, and a host the
// server is bound to. Plain functions over RequestFacts, so every rule can
// be checked without a socket.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/serve/RequestFacts.h"

namespace qelmor::serve {

// The longest request target answered (path and query as sent, or the
// whole absolute URI): the filter must see a long query to refuse it with
// its own message, and a longer target is no link of any site.
inline constexpr size_t kMaxTargetBytes = 16 * 1024;
// The header lines of one request, each counted as "name: value" and its
// line end.
inline constexpr size_t kMaxHeaderBytes = 32 * 1024;
// More header lines than any browser sends; a request with this many is
// refused rather than judged on headers a filter might not expect.
inline constexpr size_t kMaxHeaderLines = 63;

// The host of a Host header or of an absolute URI in the form hosts are
// compared in: ASCII letters in lower case, a port (":8080", or ":" alone)
// dropped and then one trailing dot; an IPv6 literal keeps its brackets.
// Nothing when the text is not a host with an optional port at all.
std::optional<std::string> CanonicalHost(std::string_view host);

// A name given to --server-name, in the same form; nothing when it is no
// host name or carries a port.
std::optional<std::string> CanonicalServerName(std::string_view name);

enum class TargetForm {
    Origin,    // "/path?query"
    Absolute,  // "http://host/path?query"
    Asterisk,  // "*"
    Invalid,
};

struct RequestTarget {
    TargetForm form = TargetForm::Invalid;
    std::string authority;  // of an absolute URI: "host:port" as sent
    std::string path;       // still encoded; "/" for an absolute URI without one
    std::optional<std::string> query;
};

// The request target as the client sent it.
RequestTarget ParseRequestTarget(std::string_view target);

enum class Admission {
    Proceed,          // map the path and ask the filter
    ServerOptions,    // OPTIONS *: about the server, no file
    BadRequest,       // 400
    Misdirected,      // 421: a host this server is not bound to
    TargetTooLong,    // 414
    HeadersTooLarge,  // 431
};

// The HTTP status of a refusal.
int StatusOf(Admission admission);

// Whether `request` may go on, and under which host. `request.target` is
// the target as sent. An absolute URI replaces the request's path, query
// and Host header with its own, since its host is the one the client means.
// With `serverNames` (canonical, from CanonicalServerName) only those hosts
// are answered; without any, every host is.
Admission AdmitRequest(RequestFacts& request, const std::vector<std::string>& serverNames);

}  // namespace qelmor::serve

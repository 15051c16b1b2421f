// From the path a client asked for to a file under the document root.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qelmor::serve {

// %XX escapes decoded; '+' stays '+', as it does in a path. Nothing for a
// malformed escape or an encoded or raw NUL, which no file name can hold.
std::optional<std::string> PercentDecode(std::string_view raw);

// "." and empty segments dropped, ".." applied; a trailing slash kept.
// Nothing when a ".." would climb above the top, or when the path does not
// begin with '/'.
std::optional<std::string> NormalizePath(std::string_view decoded);

enum class PathVerdict {
    Mapped,
    BadRequest,  // malformed, or it would leave the root
    TooLong,     // longer than the filter's path buffer allows
};

struct MappedPath {
    PathVerdict verdict = PathVerdict::BadRequest;
    std::string url;       // decoded and normalised, "/dir/file.mp4"
    std::string physical;  // root + url
};

// `root` is an absolute directory. `limit` counts the terminating zero, as
// the filter's path buffer does.
MappedPath MapRequestPath(std::string_view root, std::string_view rawPath, size_t limit);

// The Location of the redirect that adds the final slash to directory `url`
// (decoded and normalised): that path, percent-encoded where a path needs
// it, with one leading slash so that no client reads a host into it, and
// the query as received.
std::string DirectoryLocation(std::string_view url, const std::optional<std::string>& rawQuery);

// The file a path put in place by the filter stands for: an absolute path as
// it is; a relative one under the root, so a site keeps its notice clips
// ("KAVRO.wmv") beside its pages. Nothing when a relative path would leave
// the root.
std::optional<std::string> ResolveFilterPath(std::string_view root, std::string_view path);

}  // namespace qelmor::serve

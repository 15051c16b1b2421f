#include "hosts/serve/RequestPath.h"

#include <vector>

namespace qelmor::serve {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string JoinUnder(std::string_view root, std::string_view absolute) {
    std::string joined(root);
    while (!joined.empty() && joined.back() == '/')
        joined.pop_back();
    joined += absolute;
    return joined;
}

bool KeptInPath(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("-._~!$&'()*+,;=:@/").find(char(c)) != std::string_view::npos;
}

// Bytes a query may not carry into a header line or a fragment.
bool KeptInQuery(unsigned char c) {
    return c > 0x20 && c < 0x7F && c != '#';
}

void AppendEscape(std::string& out, unsigned char c) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 0x0F];
}

}  // namespace

std::string DirectoryLocation(std::string_view url, const std::optional<std::string>& rawQuery) {
    while (url.starts_with('/'))
        url.remove_prefix(1);
    std::string location = "/";
    for (const char c : url) {
        if (KeptInPath(static_cast<unsigned char>(c))) {
            location += c;
        } else {
            AppendEscape(location, static_cast<unsigned char>(c));
        }
    }
    if (!location.ends_with('/')) location += '/';
    if (rawQuery) {
        location += '?';
        for (const char c : *rawQuery) {
            if (KeptInQuery(static_cast<unsigned char>(c))) {
                location += c;
            } else {
                AppendEscape(location, static_cast<unsigned char>(c));
            }
        }
    }
    return location;
}

std::optional<std::string> PercentDecode(std::string_view raw) {
    std::string decoded;
    decoded.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '%') {
            if (i + 2 >= raw.size()) return std::nullopt;
            const int high = HexValue(raw[i + 1]);
            const int low = HexValue(raw[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            c = char(high * 16 + low);
            i += 2;
        }
        if (c == '\0') return std::nullopt;
        decoded += c;
    }
    return decoded;
}

std::optional<std::string> NormalizePath(std::string_view decoded) {
    if (decoded.empty() || decoded.front() != '/') return std::nullopt;
    std::vector<std::string_view> segments;
    bool trailingSlash = false;
    size_t start = 1;
    while (start <= decoded.size()) {
        size_t end = decoded.find('/', start);
        if (end == std::string_view::npos) end = decoded.size();
        const std::string_view segment = decoded.substr(start, end - start);
        const bool last = end == decoded.size();
        if (segment == "..") {
            if (segments.empty()) return std::nullopt;
            segments.pop_back();
        } else if (!segment.empty() && segment != ".") {
            segments.push_back(segment);
        }
        // "/dir/", "/dir/." and "/dir/.." all name a directory.
        if (last) trailingSlash = segment.empty() || segment == "." || segment == "..";
        start = end + 1;
    }
    std::string normalized;
    for (std::string_view segment : segments) {
        normalized += '/';
        normalized += segment;
    }
    if (normalized.empty() || trailingSlash) normalized += '/';
    return normalized;
}

MappedPath MapRequestPath(std::string_view root, std::string_view rawPath, size_t limit) {
    MappedPath mapped;
    const auto decoded = PercentDecode(rawPath);
    if (!decoded) return mapped;
    auto normalized = NormalizePath(*decoded);
    if (!normalized) return mapped;
    mapped.physical = JoinUnder(root, *normalized);
    mapped.url = std::move(*normalized);
    mapped.verdict =
        mapped.physical.size() + 1 > limit ? PathVerdict::TooLong : PathVerdict::Mapped;
    return mapped;
}

std::optional<std::string> ResolveFilterPath(std::string_view root, std::string_view path) {
    if (path.empty()) return std::nullopt;
    if (path.front() == '/') return std::string(path);
    std::string absolute;
    absolute.reserve(path.size() + 1);
    absolute += '/';
    absolute += path;
    auto normalized = NormalizePath(absolute);
    if (!normalized) return std::nullopt;
    return JoinUnder(root, *normalized);
}

}  // namespace qelmor::serve

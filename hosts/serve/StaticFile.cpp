#include "hosts/serve/StaticFile.h"

#include <h2o.h>

#include <array>
#include <cinttypes>
#include <cstdio>
#include <utility>

#include "hosts/serve/AsciiCase.h"

namespace qelmor::serve {
namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// Digits only; a number too big for 64 bits saturates, which is as
// unsatisfiable as any other position past the end.
std::optional<uint64_t> ParseDigits(std::string_view text) {
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const uint64_t digit = uint64_t(c - '0');
        value = value > (UINT64_MAX - digit) / 10 ? UINT64_MAX : value * 10 + digit;
    }
    return value;
}

std::string_view OpaqueTag(std::string_view tag) {
    tag = Trim(tag);
    if (tag.starts_with("W/")) tag.remove_prefix(2);
    return tag;
}

bool IfRangeHolds(std::string_view ifRange, const FileValidators& file) {
    ifRange = Trim(ifRange);
    // A weak tag never validates a partial answer.
    if (ifRange.starts_with("W/")) return false;
    if (ifRange.starts_with("\"")) return ifRange == file.entityTag;
    const auto date = ParseHttpDate(ifRange);
    return date && *date == file.modified;
}

bool NotModified(const RequestConditions& request, const FileValidators& file) {
    if (request.ifNoneMatch) return EntityTagListMatches(*request.ifNoneMatch, file.entityTag);
    if (request.ifModifiedSince) {
        const auto since = ParseHttpDate(*request.ifModifiedSince);
        return since && file.modified <= *since;
    }
    return false;
}

constexpr std::array<std::pair<std::string_view, std::string_view>, 31> kMimeTypes{{
    {"html", "text/html"},
    {"htm", "text/html"},
    {"css", "text/css"},
    {"js", "text/javascript"},
    {"json", "application/json"},
    {"txt", "text/plain"},
    {"xml", "text/xml"},
    {"svg", "image/svg+xml"},
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},
    {"webp", "image/webp"},
    {"ico", "image/x-icon"},
    {"wav", "audio/wav"},
    {"mp3", "audio/mpeg"},
    {"mp4", "video/mp4"},
    {"m4v", "video/x-m4v"},
    {"webm", "video/webm"},
    {"flv", "video/x-flv"},
    {"f4v", "video/x-f4v"},
    {"wmv", "video/x-ms-wmv"},
    {"asf", "video/x-ms-asf"},
    {"rm", "application/vnd.rn-realmedia"},
    {"rmvb", "application/vnd.rn-realmedia-vbr"},
    {"m3u8", "application/vnd.apple.mpegurl"},
    {"ts", "video/mp2t"},
    {"zip", "application/zip"},
    {"rar", "application/vnd.rar"},
    {"pdf", "application/pdf"},
    {"exe", "application/octet-stream"},
}};

}  // namespace

ByteRange SelectRange(std::string_view rangeHeader, uint64_t size) {
    ByteRange whole;
    std::string_view wanted = Trim(rangeHeader);
    constexpr std::string_view kUnit = "bytes=";
    if (wanted.size() < kUnit.size() || LowerAscii(wanted.substr(0, kUnit.size())) != kUnit) {
        return whole;
    }
    wanted = Trim(wanted.substr(kUnit.size()));
    if (wanted.find(',') != std::string_view::npos) return whole;
    const size_t dash = wanted.find('-');
    if (dash == std::string_view::npos) return whole;
    const std::string_view firstText = Trim(wanted.substr(0, dash));
    const std::string_view lastText = Trim(wanted.substr(dash + 1));

    ByteRange range;
    range.kind = ByteRange::Kind::Partial;
    if (firstText.empty()) {
        // "-n": the last n bytes.
        const auto suffix = ParseDigits(lastText);
        if (!suffix) return whole;
        if (*suffix == 0 || size == 0) return {ByteRange::Kind::Unsatisfiable, 0, 0};
        range.first = *suffix >= size ? 0 : size - *suffix;
        range.last = size - 1;
        return range;
    }
    const auto first = ParseDigits(firstText);
    if (!first) return whole;
    std::optional<uint64_t> last;
    if (!lastText.empty()) {
        last = ParseDigits(lastText);
        if (!last || *last < *first) return whole;
    }
    if (*first >= size) return {ByteRange::Kind::Unsatisfiable, 0, 0};
    range.first = *first;
    range.last = last && *last < size - 1 ? *last : size - 1;
    return range;
}

ResponsePlan PlanFileResponse(const RequestConditions& request, const FileValidators& file) {
    if (NotModified(request, file)) return {304, 0, 0};
    if (request.range && request.rangesApply &&
        (!request.ifRange || IfRangeHolds(*request.ifRange, file))) {
        const ByteRange range = SelectRange(*request.range, file.size);
        if (range.kind == ByteRange::Kind::Unsatisfiable) return {416, 0, 0};
        if (range.kind == ByteRange::Kind::Partial) {
            return {206, range.first, range.last - range.first + 1};
        }
    }
    return {200, 0, file.size};
}

std::string MimeTypeFor(std::string_view path) {
    const size_t slash = path.rfind('/');
    const std::string_view leaf = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const size_t dot = leaf.rfind('.');
    if (dot != std::string_view::npos) {
        const std::string extension = LowerAscii(leaf.substr(dot + 1));
        for (const auto& [known, type] : kMimeTypes) {
            if (known == extension) return std::string(type);
        }
    }
    // h2o's table knows many more; for a name it does not know it says
    // application/octet-stream, so a browser never shows a binary as text.
    static h2o_mimemap_t* const h2oTypes = h2o_mimemap_create();
    if (dot == std::string_view::npos || dot + 1 == leaf.size()) return "application/octet-stream";
    const std::string extension = LowerAscii(leaf.substr(dot + 1));
    const h2o_mimemap_type_t* type = h2o_mimemap_get_type_by_extension(
        h2oTypes, h2o_iovec_init(extension.data(), extension.size()));
    if (type == nullptr || type->type != h2o_mimemap_type_t::H2O_MIMEMAP_TYPE_MIMETYPE)
        return "application/octet-stream";
    return std::string(type->data.mimetype.base, type->data.mimetype.len);
}

std::string EntityTagFor(uint64_t size, const timespec& modified) {
    char tag[80];
    std::snprintf(tag, sizeof tag, "\"%" PRIx64 "-%" PRIx64 "-%" PRIx64 "\"",
                  uint64_t(modified.tv_sec), uint64_t(modified.tv_nsec), size);
    return tag;
}

std::string HttpDate(time_t when) {
    tm utc{};
    gmtime_r(&when, &utc);
    char text[64];
    const size_t length = std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc);
    return std::string(text, length);
}

std::optional<time_t> ParseHttpDate(std::string_view text) {
    const std::string copy(Trim(text));
    tm utc{};
    const char* end = strptime(copy.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &utc);
    if (end == nullptr || *end != '\0') return std::nullopt;
    return timegm(&utc);
}

bool EntityTagListMatches(std::string_view list, std::string_view entityTag) {
    const std::string_view wanted = OpaqueTag(entityTag);
    while (!list.empty()) {
        const size_t comma = list.find(',');
        const std::string_view item = Trim(list.substr(0, comma));
        if (item == "*" || (!item.empty() && OpaqueTag(item) == wanted)) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

}  // namespace qelmor::serve

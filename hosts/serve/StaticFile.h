// The decisions of static file serving that do not need a connection: which
// status and which bytes a request gets, and the headers that describe a
// file.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace qelmor::serve {

struct ByteRange {
    enum class Kind { Whole, Partial, Unsatisfiable };
    Kind kind = Kind::Whole;
    uint64_t first = 0;
    uint64_t last = 0;  // inclusive
};

// One "bytes=" range of a Range header against a file of `size` bytes. A
// header we do not honour (another unit, several ranges, bad syntax) gives
// Whole, which the standard allows in place of a partial answer.
ByteRange SelectRange(std::string_view rangeHeader, uint64_t size);

struct FileValidators {
    uint64_t size = 0;
    time_t modified = 0;
    std::string entityTag;  // with its quotes
};

struct RequestConditions {
    std::optional<std::string_view> ifNoneMatch;
    std::optional<std::string_view> ifModifiedSince;
    std::optional<std::string_view> range;
    std::optional<std::string_view> ifRange;
    bool rangesApply = true;  // only GET has partial answers
};

struct ResponsePlan {
    int status = 200;  // 200, 206, 304 or 416
    uint64_t first = 0;
    uint64_t length = 0;  // bytes of the body
};

ResponsePlan PlanFileResponse(const RequestConditions& request, const FileValidators& file);

// Content type by extension, letter case ignored.
std::string MimeTypeFor(std::string_view path);

std::string EntityTagFor(uint64_t size, const timespec& modified);

// IMF-fixdate, "Sun, 06 Nov 1994 08:49:37 GMT".
std::string HttpDate(time_t when);
std::optional<time_t> ParseHttpDate(std::string_view text);

// Whether an If-None-Match list names `entityTag`, by weak comparison.
bool EntityTagListMatches(std::string_view list, std::string_view entityTag);

}  // namespace qelmor::serve

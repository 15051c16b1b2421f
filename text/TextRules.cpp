#include "text/TextRules.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace qelmor {
namespace {

inline uint8_t ByteAt(std::string_view text, int64_t position) {
    return static_cast<uint8_t>(text[static_cast<size_t>(position - 1)]);
}

inline char UpperByte(char byte) {
    return (byte >= 'a' && byte <= 'z') ? static_cast<char>(byte - ('a' - 'A')) : byte;
}

inline bool IsDelimiter(uint8_t byte, std::string_view delimiters, char extra) {
    if (extra != '\0' && byte == static_cast<uint8_t>(extra)) return true;
    return std::memchr(delimiters.data(), byte, delimiters.size()) != nullptr;
}

// `extra` lets PathExtension add the dot to the delimiters without building
// a new delimiter text on every request; '\0' means none.
int64_t LastDelimiter(std::string_view delimiters, char extra, std::string_view text,
                      const LeadByteSet& leads) {
    int64_t i = static_cast<int64_t>(text.size());
    while (i > 0) {
        const uint8_t byte = ByteAt(text, i);
        if (byte != 0 && IsDelimiter(byte, delimiters, extra)) {
            if (!IsTrailByte(text, i, leads)) return i;
            // The delimiter is the second half of a double-byte character:
            // skip the whole character.
            i -= 2;
        } else {
            --i;
        }
    }
    return 0;
}

}  // namespace

void LeadByteSet::AddRange(uint8_t first, uint8_t last) {
    if (first > last) return;
    for (unsigned byte = first; byte <= last; ++byte)
        isLead[byte] = true;
    any = true;
}

int TextPos(std::string_view haystack, std::string_view needle) {
    if (needle.empty() || haystack.empty() || needle.size() > haystack.size()) return 0;
    const size_t found = haystack.find(needle);
    return found == std::string_view::npos ? 0 : static_cast<int>(found + 1);
}

bool ContainsText(std::string_view haystack, std::string_view needle) {
    return TextPos(haystack, needle) > 0;
}

std::string AsciiUpper(std::string_view text) {
    std::string upper(text);
    AsciiUpperInPlace(upper.data(), upper.size());
    return upper;
}

void AsciiUpperInPlace(char* bytes, size_t length) {
    for (size_t i = 0; i < length; ++i)
        bytes[i] = UpperByte(bytes[i]);
}

std::string_view TrimText(std::string_view text) {
    auto isTrimmed = [](char byte) { return static_cast<uint8_t>(byte) <= 0x20; };
    size_t first = 0;
    size_t end = text.size();
    while (first < end && isTrimmed(text[first]))
        ++first;
    while (end > first && isTrimmed(text[end - 1]))
        --end;
    return text.substr(first, end - first);
}

bool TextEquals(std::string_view a, std::string_view b) {
    return a == b;
}

bool ContainsUpper(std::string_view haystack, std::string_view needle) {
    if (needle.empty() || needle.size() > haystack.size()) return false;
    const size_t lastStart = haystack.size() - needle.size();
    const char first = UpperByte(needle[0]);
    for (size_t start = 0; start <= lastStart; ++start) {
        if (UpperByte(haystack[start]) != first) continue;
        size_t k = 1;
        while (k < needle.size() && UpperByte(haystack[start + k]) == UpperByte(needle[k]))
            ++k;
        if (k == needle.size()) return true;
    }
    return false;
}

bool EqualsUpper(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (UpperByte(a[i]) != UpperByte(b[i])) return false;
    }
    return true;
}

std::string_view SubText(std::string_view text, int64_t index, int64_t count) {
    const int64_t length = static_cast<int64_t>(text.size());
    if (length == 0) return {};
    // A start before the text is moved to its first byte; the count keeps
    // counting from there rather than from the requested start.
    if (index < 1) index = 1;
    if (index > length || count < 0) return {};
    const int64_t remaining = length - index + 1;
    return text.substr(static_cast<size_t>(index - 1),
                       static_cast<size_t>(std::min(count, remaining)));
}

bool IsTrailByte(std::string_view text, int64_t index, const LeadByteSet& leads) {
    const int64_t length = static_cast<int64_t>(text.size());
    if (leads.Empty() || index <= 1 || index > length || ByteAt(text, index) == 0) return false;
    // Judged from the byte backwards only: an odd run of lead bytes right
    // before it means the last of them pairs with this byte.
    int64_t run = 0;
    for (int64_t j = index - 1; j >= 1 && leads.Contains(ByteAt(text, j)); --j)
        ++run;
    return run % 2 == 1;
}

int64_t LastSeparatorIndex(std::string_view delimiters, std::string_view text,
                           const LeadByteSet& leads) {
    return LastDelimiter(delimiters, '\0', text, leads);
}

std::string_view PathDirectory(std::string_view path, const LeadByteSet& leads,
                               std::string_view delimiters) {
    return SubText(path, 1, LastSeparatorIndex(delimiters, path, leads));
}

std::string_view PathFileName(std::string_view path, const LeadByteSet& leads,
                              std::string_view delimiters) {
    return SubText(path, LastSeparatorIndex(delimiters, path, leads) + 1,
                   static_cast<int64_t>(path.size()));
}

std::string_view PathExtension(std::string_view path, const LeadByteSet& leads,
                               std::string_view delimiters) {
    const int64_t k = LastDelimiter(delimiters, '.', path, leads);
    if (k > 0 && ByteAt(path, k) == '.') return SubText(path, k, static_cast<int64_t>(path.size()));
    return {};
}

std::string DecimalText(int32_t value) {
    // Widened first so that the magnitude of INT32_MIN is representable.
    uint32_t magnitude = value < 0 ? static_cast<uint32_t>(-static_cast<int64_t>(value))
                                   : static_cast<uint32_t>(value);
    char digits[12];
    size_t at = sizeof digits;
    do {
        digits[--at] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) digits[--at] = '-';
    return std::string(digits + at, sizeof digits - at);
}

int32_t ParseInteger(std::string_view text, int32_t fallback) {
    // The text ends at its first zero byte, as a C string would.
    const size_t zero = text.find('\0');
    if (zero != std::string_view::npos) text = text.substr(0, zero);

    size_t at = 0;
    while (at < text.size() && text[at] == ' ')
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) {
        negative = text[at] == '-';
        ++at;
    }

    bool hex = false;
    if (at < text.size() && (text[at] == '$' || text[at] == 'x' || text[at] == 'X')) {
        hex = true;
        at += 1;
    } else if (at + 1 < text.size() && text[at] == '0' &&
               (text[at + 1] == 'x' || text[at + 1] == 'X')) {
        hex = true;
        at += 2;
    }
    if (at >= text.size()) return fallback;

    if (hex) {
        uint32_t value = 0;
        for (; at < text.size(); ++at) {
            const char c = text[at];
            uint32_t digit;
            if (c >= '0' && c <= '9') {
                digit = static_cast<uint32_t>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                digit = static_cast<uint32_t>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                digit = static_cast<uint32_t>(c - 'A' + 10);
            } else {
                return fallback;
            }
            if (value > 0x0FFFFFFFu) return fallback;
            value = value * 16 + digit;
        }
        // The 32 bits are a signed value; the sign then negates it with
        // wrap-around, so "-$80000000" stays -2147483648.
        if (negative) value = 0u - value;
        return static_cast<int32_t>(value);
    }

    int64_t value = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (c < '0' || c > '9') return fallback;
        if (value > 214748364) return fallback;
        value = value * 10 + (c - '0');
    }
    if (negative) value = -value;
    if (value < INT32_MIN || value > INT32_MAX) return fallback;
    return static_cast<int32_t>(value);
}

size_t EditDistance(std::string_view a, std::string_view b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace qelmor

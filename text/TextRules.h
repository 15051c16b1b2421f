// Byte-text and number rules on which every comparison of the filter rests.
//
// Texts are bytes of the host's ANSI code page and are never converted.
// Positions are 1-based, as the policy and the configuration reader count
// them; 0 means "not found". Results that are parts of an argument are
// returned as views into that argument, so nothing here allocates except
// AsciiUpper and DecimalText.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace qelmor {

// The byte values that begin a double-byte character in the host's code page.
// Empty for a single-byte code page (the default everywhere but on CJK hosts).
struct LeadByteSet {
    std::array<bool, 256> isLead{};
    bool any = false;

    void AddRange(uint8_t first, uint8_t last);
    bool Contains(uint8_t byte) const { return isLead[byte]; }
    bool Empty() const { return !any; }
};

// Path delimiters of the platform the library runs on. IIS hands us
// "D:\site\movie.rm"; a Linux server hands us "/srv/site/movie.rm".
#ifdef _WIN32
inline constexpr std::string_view kPlatformPathDelimiters = "\\:";
#else
inline constexpr std::string_view kPlatformPathDelimiters = "/";
#endif

int TextPos(std::string_view haystack, std::string_view needle);
bool ContainsText(std::string_view haystack, std::string_view needle);
std::string AsciiUpper(std::string_view text);
void AsciiUpperInPlace(char* bytes, size_t length);
std::string_view TrimText(std::string_view text);
bool TextEquals(std::string_view a, std::string_view b);

// The case-insensitive forms the policy uses: the same results as applying
// AsciiUpper to both sides first, without building the upper-cased copies.
bool ContainsUpper(std::string_view haystack, std::string_view needle);
bool EqualsUpper(std::string_view a, std::string_view b);

// Levenshtein distance: insertions, deletions and substitutions of bytes.
// For telling which option a mistyped one meant.
size_t EditDistance(std::string_view a, std::string_view b);

std::string_view SubText(std::string_view text, int64_t index, int64_t count);

bool IsTrailByte(std::string_view text, int64_t index, const LeadByteSet& leads);
int64_t LastSeparatorIndex(std::string_view delimiters, std::string_view text,
                           const LeadByteSet& leads);

std::string_view PathDirectory(std::string_view path, const LeadByteSet& leads,
                               std::string_view delimiters = kPlatformPathDelimiters);
std::string_view PathFileName(std::string_view path, const LeadByteSet& leads,
                              std::string_view delimiters = kPlatformPathDelimiters);
std::string_view PathExtension(std::string_view path, const LeadByteSet& leads,
                               std::string_view delimiters = kPlatformPathDelimiters);

std::string DecimalText(int32_t value);
int32_t ParseInteger(std::string_view text, int32_t fallback);

}  // namespace qelmor

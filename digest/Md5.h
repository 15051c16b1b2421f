// MD5 message digest (RFC 1321), fed in pieces through Md5 or all at once
// through DigestText, and its rendering as lower-case hexadecimal text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qelmor {

using Digest = std::array<uint8_t, 16>;

// One digest: Update with the message's pieces in order, then Final once.
// The pieces of a token hold its key, so Final wipes the whole object to
// zeros; it is spent then, and the next digest takes a new one.
class Md5 {
  public:
    void Update(std::string_view text) { Update(text.data(), text.size()); }
    void Update(const void* bytes, size_t length);
    Digest Final();

  private:
    void Block(const uint8_t block[64]);

    uint32_t a_ = 0x67452301;
    uint32_t b_ = 0xefcdab89;
    uint32_t c_ = 0x98badcfe;
    uint32_t d_ = 0x10325476;
    // Bytes so far. The digest takes the message length in bits modulo
    // 2^64, which this times eight is whatever the length.
    uint64_t length_ = 0;
    uint8_t buffer_[64];
};

Digest DigestText(std::string_view text);

// Writes the 32 lower-case hexadecimal characters of `digest` to `out`.
void DigestToHex(const Digest& digest, char out[32]);
std::string DigestToHex(const Digest& digest);

}  // namespace qelmor

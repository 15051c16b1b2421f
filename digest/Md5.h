// MD5 message digest (RFC 1321) with an init/update/final interface, and its
// rendering as lower-case hexadecimal text.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace qelmor {

using Digest = std::array<uint8_t, 16>;

struct DigestState {
    uint32_t A, B, C, D;
    uint32_t count[2];  // message length in bits, low word first
    uint8_t buffer[64];
};

void DigestInit(DigestState& state);
void DigestUpdate(DigestState& state, const void* bytes, uint32_t length);
// Ends the computation and wipes the state to zeros.
Digest DigestFinal(DigestState& state);
void DigestBlock(DigestState& state, const uint8_t block[64]);

Digest DigestText(std::string_view text);

// Writes the 32 lower-case hexadecimal characters of `digest` to `out`.
void DigestToHex(const Digest& digest, char out[32]);
std::string DigestToHex(const Digest& digest);

}  // namespace qelmor

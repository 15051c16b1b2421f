#include "digest/Md5.h"

#include <cstring>

namespace qelmor {
namespace {

inline uint32_t RotateLeft(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

inline uint32_t ReadLittleEndian(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void WriteLittleEndian(uint32_t value, uint8_t* p) {
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
    p[2] = uint8_t(value >> 16);
    p[3] = uint8_t(value >> 24);
}

// One step of a round: a = b + ((a + f(b,c,d) + x + t) <<< s). The word
// and constant are added first: they do not wait for the previous step.
#define QELMOR_MD5_STEP(f, a, b, c, d, x, t, s) \
    a += (x) + (t);                             \
    a += f(b, c, d);                            \
    a = RotateLeft(a, s) + (b)

inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) {
    return z ^ (x & (y ^ z));
}
// The two halves share no bits, so they may be added; the half without x
// can be computed before the previous step ends.
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) {
    return (y & ~z) + (x & z);
}
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) {
    return x ^ y ^ z;
}
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) {
    return y ^ (x | ~z);
}

// The compiler may drop a plain memset of storage that is never read again.
// The empty assembly statement claims to read the memory, so the stores must
// stay; unlike byte-wise volatile stores they remain one wide memset, which
// matters when every token check ends here.
void WipeBytes(void* bytes, size_t length) {
    std::memset(bytes, 0, length);
    __asm__ __volatile__("" : : "r"(bytes) : "memory");
}

}  // namespace

void Md5::Block(const uint8_t block[64]) {
    uint32_t x[16];
    for (int k = 0; k < 16; ++k)
        x[k] = ReadLittleEndian(block + 4 * k);
    uint32_t a = a_, b = b_, c = c_, d = d_;

    // clang-format off
    QELMOR_MD5_STEP(F, a, b, c, d, x[0], 0xd76aa478, 7);
    QELMOR_MD5_STEP(F, d, a, b, c, x[1], 0xe8c7b756, 12);
    QELMOR_MD5_STEP(F, c, d, a, b, x[2], 0x242070db, 17);
    QELMOR_MD5_STEP(F, b, c, d, a, x[3], 0xc1bdceee, 22);
    QELMOR_MD5_STEP(F, a, b, c, d, x[4], 0xf57c0faf, 7);
    QELMOR_MD5_STEP(F, d, a, b, c, x[5], 0x4787c62a, 12);
    QELMOR_MD5_STEP(F, c, d, a, b, x[6], 0xa8304613, 17);
    QELMOR_MD5_STEP(F, b, c, d, a, x[7], 0xfd469501, 22);
    QELMOR_MD5_STEP(F, a, b, c, d, x[8], 0x698098d8, 7);
    QELMOR_MD5_STEP(F, d, a, b, c, x[9], 0x8b44f7af, 12);
    QELMOR_MD5_STEP(F, c, d, a, b, x[10], 0xffff5bb1, 17);
    QELMOR_MD5_STEP(F, b, c, d, a, x[11], 0x895cd7be, 22);
    QELMOR_MD5_STEP(F, a, b, c, d, x[12], 0x6b901122, 7);
    QELMOR_MD5_STEP(F, d, a, b, c, x[13], 0xfd987193, 12);
    QELMOR_MD5_STEP(F, c, d, a, b, x[14], 0xa679438e, 17);
    QELMOR_MD5_STEP(F, b, c, d, a, x[15], 0x49b40821, 22);

    QELMOR_MD5_STEP(G, a, b, c, d, x[1], 0xf61e2562, 5);
    QELMOR_MD5_STEP(G, d, a, b, c, x[6], 0xc040b340, 9);
    QELMOR_MD5_STEP(G, c, d, a, b, x[11], 0x265e5a51, 14);
    QELMOR_MD5_STEP(G, b, c, d, a, x[0], 0xe9b6c7aa, 20);
    QELMOR_MD5_STEP(G, a, b, c, d, x[5], 0xd62f105d, 5);
    QELMOR_MD5_STEP(G, d, a, b, c, x[10], 0x02441453, 9);
    QELMOR_MD5_STEP(G, c, d, a, b, x[15], 0xd8a1e681, 14);
    QELMOR_MD5_STEP(G, b, c, d, a, x[4], 0xe7d3fbc8, 20);
    QELMOR_MD5_STEP(G, a, b, c, d, x[9], 0x21e1cde6, 5);
    QELMOR_MD5_STEP(G, d, a, b, c, x[14], 0xc33707d6, 9);
    QELMOR_MD5_STEP(G, c, d, a, b, x[3], 0xf4d50d87, 14);
    QELMOR_MD5_STEP(G, b, c, d, a, x[8], 0x455a14ed, 20);
    QELMOR_MD5_STEP(G, a, b, c, d, x[13], 0xa9e3e905, 5);
    QELMOR_MD5_STEP(G, d, a, b, c, x[2], 0xfcefa3f8, 9);
    QELMOR_MD5_STEP(G, c, d, a, b, x[7], 0x676f02d9, 14);
    QELMOR_MD5_STEP(G, b, c, d, a, x[12], 0x8d2a4c8a, 20);

    QELMOR_MD5_STEP(H, a, b, c, d, x[5], 0xfffa3942, 4);
    QELMOR_MD5_STEP(H, d, a, b, c, x[8], 0x8771f681, 11);
    QELMOR_MD5_STEP(H, c, d, a, b, x[11], 0x6d9d6122, 16);
    QELMOR_MD5_STEP(H, b, c, d, a, x[14], 0xfde5380c, 23);
    QELMOR_MD5_STEP(H, a, b, c, d, x[1], 0xa4beea44, 4);
    QELMOR_MD5_STEP(H, d, a, b, c, x[4], 0x4bdecfa9, 11);
    QELMOR_MD5_STEP(H, c, d, a, b, x[7], 0xf6bb4b60, 16);
    QELMOR_MD5_STEP(H, b, c, d, a, x[10], 0xbebfbc70, 23);
    QELMOR_MD5_STEP(H, a, b, c, d, x[13], 0x289b7ec6, 4);
    QELMOR_MD5_STEP(H, d, a, b, c, x[0], 0xeaa127fa, 11);
    QELMOR_MD5_STEP(H, c, d, a, b, x[3], 0xd4ef3085, 16);
    QELMOR_MD5_STEP(H, b, c, d, a, x[6], 0x04881d05, 23);
    QELMOR_MD5_STEP(H, a, b, c, d, x[9], 0xd9d4d039, 4);
    QELMOR_MD5_STEP(H, d, a, b, c, x[12], 0xe6db99e5, 11);
    QELMOR_MD5_STEP(H, c, d, a, b, x[15], 0x1fa27cf8, 16);
    QELMOR_MD5_STEP(H, b, c, d, a, x[2], 0xc4ac5665, 23);

    QELMOR_MD5_STEP(I, a, b, c, d, x[0], 0xf4292244, 6);
    QELMOR_MD5_STEP(I, d, a, b, c, x[7], 0x432aff97, 10);
    QELMOR_MD5_STEP(I, c, d, a, b, x[14], 0xab9423a7, 15);
    QELMOR_MD5_STEP(I, b, c, d, a, x[5], 0xfc93a039, 21);
    QELMOR_MD5_STEP(I, a, b, c, d, x[12], 0x655b59c3, 6);
    QELMOR_MD5_STEP(I, d, a, b, c, x[3], 0x8f0ccc92, 10);
    QELMOR_MD5_STEP(I, c, d, a, b, x[10], 0xffeff47d, 15);
    QELMOR_MD5_STEP(I, b, c, d, a, x[1], 0x85845dd1, 21);
    QELMOR_MD5_STEP(I, a, b, c, d, x[8], 0x6fa87e4f, 6);
    QELMOR_MD5_STEP(I, d, a, b, c, x[15], 0xfe2ce6e0, 10);
    QELMOR_MD5_STEP(I, c, d, a, b, x[6], 0xa3014314, 15);
    QELMOR_MD5_STEP(I, b, c, d, a, x[13], 0x4e0811a1, 21);
    QELMOR_MD5_STEP(I, a, b, c, d, x[4], 0xf7537e82, 6);
    QELMOR_MD5_STEP(I, d, a, b, c, x[11], 0xbd3af235, 10);
    QELMOR_MD5_STEP(I, c, d, a, b, x[2], 0x2ad7d2bb, 15);
    QELMOR_MD5_STEP(I, b, c, d, a, x[9], 0xeb86d391, 21);
    // clang-format on

    a_ += a;
    b_ += b;
    c_ += c;
    d_ += d;
}

#undef QELMOR_MD5_STEP

void Md5::Update(const void* bytes, size_t length) {
    const uint8_t* input = static_cast<const uint8_t*>(bytes);
    const size_t index = size_t(length_ & 63);
    length_ += length;

    const size_t room = 64 - index;
    if (length < room) {
        if (length != 0) std::memcpy(buffer_ + index, input, length);
        return;
    }
    std::memcpy(buffer_ + index, input, room);
    Block(buffer_);
    size_t p = room;
    // Whole blocks are compressed where they lie, without a copy.
    for (; length - p >= 64; p += 64)
        Block(input + p);
    if (length != p) std::memcpy(buffer_, input + p, length - p);
}

Digest Md5::Final() {
    // The padding and the bit count are written straight into the buffer:
    // one or two compressions, with no detour through Update.
    const size_t index = size_t(length_ & 63);
    buffer_[index] = 0x80;
    if (index < 56) {
        std::memset(buffer_ + index + 1, 0, 55 - index);
    } else {
        std::memset(buffer_ + index + 1, 0, 63 - index);
        Block(buffer_);
        std::memset(buffer_, 0, 56);
    }
    const uint64_t bits = length_ << 3;
    WriteLittleEndian(uint32_t(bits), buffer_ + 56);
    WriteLittleEndian(uint32_t(bits >> 32), buffer_ + 60);
    Block(buffer_);

    Digest digest;
    WriteLittleEndian(a_, digest.data());
    WriteLittleEndian(b_, digest.data() + 4);
    WriteLittleEndian(c_, digest.data() + 8);
    WriteLittleEndian(d_, digest.data() + 12);
    WipeBytes(this, sizeof *this);
    return digest;
}

Digest DigestText(std::string_view text) {
    Md5 md5;
    md5.Update(text);
    return md5.Final();
}

void DigestToHex(const Digest& digest, char out[32]) {
    static constexpr char kAlphabet[] = "0123456789abcdef";
    for (size_t i = 0; i < digest.size(); ++i) {
        out[2 * i] = kAlphabet[digest[i] >> 4];
        out[2 * i + 1] = kAlphabet[digest[i] & 15];
    }
}

std::string DigestToHex(const Digest& digest) {
    std::string hex(32, '\0');
    DigestToHex(digest, hex.data());
    return hex;
}

}  // namespace qelmor

#include <openssl/md5.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "digest/Md5.h"

namespace qelmor {
namespace {

std::string HexOf(std::string_view text) {
    return DigestToHex(DigestText(text));
}

std::string OpenSslHex(const std::vector<uint8_t>& bytes) {
    unsigned char out[MD5_DIGEST_LENGTH];
    // The one-shot call is deprecated in OpenSSL 3 but is exactly what we
    // compare with.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    MD5(bytes.data(), bytes.size(), out);
#pragma GCC diagnostic pop
    Digest digest;
    std::copy(out, out + 16, digest.begin());
    return DigestToHex(digest);
}

TEST(DigestTest, Rfc1321TestSuite) {
    struct Case {
        const char* name;
        std::string input;
        const char* hex;
    } cases[] = {
        {"empty", "", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"alphabet", "abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"alphanumeric", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"eight times digits",
         "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HexOf(c.input), c.hex) << c.name;
}

// Every length across the padding boundaries (55/56, 63/64/65, 119/120) and
// beyond, fed whole and in random pieces, against OpenSSL.
TEST(DigestTest, MatchesOpenSslForEveryLengthAndSplit) {
    std::mt19937 random(20261209);
    for (size_t length = 0; length <= 300; ++length) {
        std::vector<uint8_t> bytes(length);
        for (auto& b : bytes)
            b = uint8_t(random());
        const std::string expected = OpenSslHex(bytes);

        std::string_view whole(reinterpret_cast<const char*>(bytes.data()), length);
        ASSERT_EQ(HexOf(whole), expected) << "whole, length " << length;

        Md5 md5;
        size_t fed = 0;
        while (fed < length) {
            size_t piece = std::uniform_int_distribution<size_t>(0, 130)(random);
            piece = std::min(piece, length - fed);
            md5.Update(bytes.data() + fed, piece);
            fed += piece;
        }
        ASSERT_EQ(DigestToHex(md5.Final()), expected) << "pieces, length " << length;
    }
}

TEST(DigestTest, FixedPiecesEqualOneCall) {
    std::string text(1 + 63 + 64 + 7, 'q');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = char(0x80 + i % 128);
    Md5 md5;
    size_t at = 0;
    for (size_t piece : {1, 0, 63, 64, 7}) {
        md5.Update(std::string_view(text).substr(at, piece));
        at += piece;
    }
    EXPECT_EQ(DigestToHex(md5.Final()), HexOf(text));
}

// The length enters the digest in bits, modulo 2^64; from 512 MiB on it no
// longer fits 32 bits. One pass through such a message, against OpenSSL's
// own pieces, with the digest taken at each length of the table.
TEST(DigestTest, LengthsPast32BitsOfBitsMatchOpenSsl) {
    constexpr uint64_t k2To32Bits = uint64_t(1) << 29;  // bytes
    struct Case {
        const char* name;
        uint64_t length;
    } cases[] = {
        {"one byte short of 2^32 bits", k2To32Bits - 1},
        {"2^32 bits", k2To32Bits},
        {"2^32 bits and a block and a byte", k2To32Bits + 65},
    };
    // An odd piece length keeps the pieces off the block boundaries, so
    // both the buffered and the in-place blocks are taken.
    std::vector<uint8_t> piece(1000003);
    std::mt19937 random(20261210);
    for (auto& b : piece)
        b = uint8_t(random());

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Md5 md5;
    MD5_CTX reference;
    MD5_Init(&reference);
    uint64_t fed = 0;
    for (const Case& c : cases) {
        while (fed < c.length) {
            const size_t n = size_t(std::min<uint64_t>(piece.size(), c.length - fed));
            md5.Update(piece.data(), n);
            MD5_Update(&reference, piece.data(), n);
            fed += n;
        }
        Md5 ours = md5;
        MD5_CTX theirs = reference;
        unsigned char out[MD5_DIGEST_LENGTH];
        MD5_Final(out, &theirs);
        Digest expected;
        std::copy(out, out + 16, expected.begin());
        EXPECT_EQ(DigestToHex(ours.Final()), DigestToHex(expected)) << c.name;
    }
#pragma GCC diagnostic pop
}

TEST(DigestTest, FinalWipesTheWholeState) {
    Md5 md5;
    md5.Update("some bytes that stay in the buffer");
    md5.Final();
    const auto* raw = reinterpret_cast<const uint8_t*>(&md5);
    for (size_t i = 0; i < sizeof md5; ++i)
        ASSERT_EQ(raw[i], 0) << "byte " << i;
}

TEST(DigestTest, HexKeepsLeadingZerosAndIsLowerCase) {
    Digest digest{};
    digest[0] = 0x0a;
    digest[15] = 0xf0;
    const std::string hex = DigestToHex(digest);
    EXPECT_EQ(hex, "0a0000000000000000000000000000f0");
}

}  // namespace
}  // namespace qelmor

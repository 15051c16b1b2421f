#include <openssl/md5.h>

#include <gtest/gtest.h>

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

        DigestState state;
        DigestInit(state);
        size_t fed = 0;
        while (fed < length) {
            size_t piece = std::uniform_int_distribution<size_t>(0, 130)(random);
            piece = std::min(piece, length - fed);
            DigestUpdate(state, bytes.data() + fed, uint32_t(piece));
            fed += piece;
        }
        ASSERT_EQ(DigestToHex(DigestFinal(state)), expected) << "pieces, length " << length;
    }
}

TEST(DigestTest, FixedPiecesEqualOneCall) {
    std::string text(1 + 63 + 64 + 7, 'q');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = char(0x80 + i % 128);
    DigestState state;
    DigestInit(state);
    size_t at = 0;
    for (uint32_t piece : {1u, 0u, 63u, 64u, 7u}) {
        DigestUpdate(state, text.data() + at, piece);
        at += piece;
    }
    EXPECT_EQ(DigestToHex(DigestFinal(state)), HexOf(text));
}

TEST(DigestTest, FinalWipesTheWholeState) {
    DigestState state;
    DigestInit(state);
    DigestUpdate(state, "some bytes that stay in the buffer", 34);
    DigestFinal(state);
    const auto* raw = reinterpret_cast<const uint8_t*>(&state);
    for (size_t i = 0; i < sizeof state; ++i)
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

// MD5 fed in pieces the fuzzer chooses against the one-shot digest of the
// same bytes and against OpenSSL's.
#include <openssl/md5.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "digest/Md5.h"
#include "tests/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte gives the number of cuts, up to 31; each cut takes two
    // bytes for its piece length (up to 511, empty pieces included, so that
    // pieces both inside one block and across several are tried). The rest
    // is the message; whatever the cuts leave is the last piece.
    const size_t cuts = size == 0 ? 0 : std::min<size_t>(data[0] % 32, (size - 1) / 2);
    const uint8_t* lengths = data + (size == 0 ? 0 : 1);
    const size_t header = size == 0 ? 0 : 1 + 2 * cuts;
    const uint8_t* message = data + header;
    const size_t messageSize = size - header;

    qelmor::Md5 md5;
    size_t at = 0;
    for (size_t i = 0; i < cuts; ++i) {
        const size_t wanted = (size_t(lengths[2 * i]) | size_t(lengths[2 * i + 1]) << 8) % 512;
        const size_t piece = std::min(wanted, messageSize - at);
        md5.Update(message + at, piece);
        at += piece;
    }
    md5.Update(message + at, messageSize - at);
    const qelmor::Digest pieces = md5.Final();

    static constexpr uint8_t kZeros[sizeof md5] = {};
    FUZZ_CHECK(std::memcmp(&md5, kZeros, sizeof md5) == 0, "Final wipes the whole object");

    const std::string_view text(reinterpret_cast<const char*>(message), messageSize);
    const qelmor::Digest oneShot = qelmor::DigestText(text);
    FUZZ_CHECK(pieces == oneShot, "pieces and one shot give one digest");

    unsigned char reference[MD5_DIGEST_LENGTH];
// MD5() is deprecated in OpenSSL 3; it is the reference here all the same.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    MD5(message, messageSize, reference);
#pragma GCC diagnostic pop
    FUZZ_CHECK(std::memcmp(reference, oneShot.data(), sizeof reference) == 0,
               "the digest is RFC 1321's");

    char hex[32];
    qelmor::DigestToHex(oneShot, hex);
    static constexpr char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < sizeof reference; ++i) {
        FUZZ_CHECK(hex[2 * i] == kDigits[reference[i] >> 4] &&
                       hex[2 * i + 1] == kDigits[reference[i] & 15],
                   "two lower-case hexadecimal digits per byte, high half first");
    }
    FUZZ_CHECK(qelmor::DigestToHex(oneShot) == std::string_view(hex, sizeof hex),
               "both hex forms agree");
    return 0;
}

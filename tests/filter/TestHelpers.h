// Shared pieces of the filter tests: an OpenSSL-computed token, and a copy
// of the built library in a folder of its own.
#pragma once

#include <openssl/md5.h>

#include <ctime>
#include <string>

#include "tests/support/FakeServer.h"

namespace qelmor::testing {

inline std::string OpenSslUpperHex(const std::string& input) {
    unsigned char digest[MD5_DIGEST_LENGTH];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    MD5(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
#pragma GCC diagnostic pop
    static const char kHex[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned char b : digest) {
        hex += kHex[b >> 4];
        hex += kHex[b & 15];
    }
    return hex;
}

// The digest input as the issuing page builds it, with the default short
// date pattern m/d/yy of a host without date settings.
inline std::string TokenInputAt(int mode, const std::string& key, const std::string& address,
                                const std::tm& t) {
    char date[32];
    std::snprintf(date, sizeof date, "%d/%d/%02d", t.tm_mon + 1, t.tm_mday, t.tm_year % 100);
    const std::string clock = date + std::to_string(t.tm_hour) + std::to_string(t.tm_min);
    switch (mode) {
        case 0:
            return key + address;
        case 1:
            return key + clock;
        case 2:
            return key + address + clock;
        case 3:
            return key + clock + address;
        default:
            return "no token is valid in this mode";
    }
}

// The filter reads CLOCK_REALTIME; time() reads the coarse clock, which can
// lag it by a tick, so a minute checked with time() before and after a call
// could miss the filter's turn of the minute.
inline std::tm LocalTimeIn(int minuteOffset) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::time_t at = now.tv_sec + minuteOffset * 60;
    std::tm local{};
    localtime_r(&at, &local);
    return local;
}

inline std::string TokenNow(int mode, const std::string& key, const std::string& address,
                            int minuteOffset) {
    return OpenSslUpperHex(TokenInputAt(mode, key, address, LocalTimeIn(minuteOffset)));
}

inline int MinuteOfDayNow() {
    const std::tm t = LocalTimeIn(0);
    return t.tm_hour * 60 + t.tm_min;
}

// The built filter library copied as qelmor.so into a fresh folder, beside
// which each test writes its own KAVRO.ini.
struct InstalledFilter {
    TempFolder folder;
    std::string libraryPath;

    explicit InstalledFilter(const std::string& leaf = "qelmor.so") {
        libraryPath = folder.File(leaf);
        folder.CopyIn(QELMOR_LIBRARY_PATH, leaf);
    }
    void WriteIni(const std::string& ini) const { folder.Write("KAVRO.ini", ini); }
};

}  // namespace qelmor::testing

namespace qelmor::testing {
inline std::string Lowered(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    }
    return text;
}
}  // namespace qelmor::testing

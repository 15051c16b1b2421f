// The Windows test server: plays IIS for qelmor.dll loaded with LoadLibraryA
// from a temporary folder, runs the shared table of policy cases through it,
// and holds the platform layer and the host's locale to what the locale named
// on the command line must give. One line per check; exit status 1 when any
// check fails, 2 on a usage error.
#include <windows.h>

#include <cstdio>
#include <string>

#include "tests/windows/Checks.h"

namespace qelmor::wintest {

void Report::Check(std::string_view name, const std::string& failure) {
    ++checks_;
    if (failure.empty()) {
        std::printf("PASS %.*s\n", int(name.size()), name.data());
    } else {
        ++failures_;
        std::printf("FAIL %.*s: %s\n", int(name.size()), name.data(), failure.c_str());
    }
    std::fflush(stdout);
}

std::string Printable(std::string_view bytes) {
    std::string shown;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            shown += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            shown += escaped;
        }
    }
    return shown;
}

std::string Quoted(std::string_view bytes) {
    std::string quoted = "'";
    quoted += Printable(bytes);
    quoted += '\'';
    return quoted;
}

std::string HostShortDate(int year, int month, int day) {
    SYSTEMTIME at{};
    at.wYear = WORD(year);
    at.wMonth = WORD(month);
    at.wDay = WORD(day);
    char text[256];
    const int length =
        GetDateFormatA(GetThreadLocale(), DATE_SHORTDATE, &at, nullptr, text, sizeof text);
    return length > 0 ? std::string(text, size_t(length - 1)) : std::string();
}

}  // namespace qelmor::wintest

int main(int argc, char** argv) {
    using namespace qelmor::wintest;
    const LocaleExpectation* expectation =
        argc >= 2 && argc <= 3 ? FindLocaleExpectation(argv[1]) : nullptr;
    if (expectation == nullptr) {
        std::fprintf(stderr, "usage: %s en_US|zh_CN [LIBRARY]\n", argc > 0 ? argv[0] : "wintest");
        return 2;
    }
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    const std::string executable(self, length);
    const std::string folder = executable.substr(0, executable.find_last_of("\\/") + 1);
    const std::string library = argc == 3 ? argv[2] : folder + "qelmor.dll";

    Report report;
    RunPlatformChecks(report);
    RunLocaleChecks(report, *expectation);
    RunLibraryChecks(report, library, folder, *expectation);
    std::printf("%s: %d checks, %d failed\n", expectation->name, report.Checks(),
                report.Failures());
    return report.Failures() == 0 ? 0 : 1;
}

// The sections of the Windows test server. Each prints one line per named
// check and counts the failures in the shared report.
#pragma once

#include <string>
#include <string_view>

namespace qelmor::wintest {

class Report {
  public:
    // An empty failure text is a pass.
    void Check(std::string_view name, const std::string& failure);
    int Failures() const { return failures_; }
    int Checks() const { return checks_; }

  private:
    int failures_ = 0;
    int checks_ = 0;
};

// What the host's locale is expected to give; chosen by the locale name on
// the command line, which must match the LC_ALL the program runs under.
struct LocaleExpectation {
    const char* name;
    const char* shortPattern;
    bool dbcs;
    unsigned leadFirst;
    unsigned leadLast;
    const char* ninthOfDecember2026;  // its short date text
};

const LocaleExpectation* FindLocaleExpectation(std::string_view name);

// Bytes shown with everything outside printable ASCII as \xNN.
std::string Printable(std::string_view bytes);
// Printable, between single quotes.
std::string Quoted(std::string_view bytes);

// The short date text Windows itself renders for a date in the thread's
// locale: the yardstick for the filter's own rendering.
std::string HostShortDate(int year, int month, int day);

void RunPlatformChecks(Report& report);
void RunLocaleChecks(Report& report, const LocaleExpectation& expectation);
void RunLibraryChecks(Report& report, const std::string& libraryPath,
                      const std::string& executableFolder, const LocaleExpectation& expectation);

}  // namespace qelmor::wintest

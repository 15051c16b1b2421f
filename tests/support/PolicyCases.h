// One table of named policy cases, run by every test server: the Linux one
// over qelmor.so and the Windows one over qelmor.dll.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <string>

#include "filter/UrlMapPolicy.h"
#include "tests/support/FakeServer.h"

namespace qelmor::testing {

enum class Outcome {
    Pass,              // NEXT, nothing written, path unchanged
    BlockPage,         // FINISHED, the block page written
    LengthMessage,     // FINISHED, exactly the 32-byte length message
    CharacterMessage,  // FINISHED, exactly the 32-byte character message
    Diverted,          // FINISHED, nothing written, path replaced
    Bytes,             // FINISHED, exactly `bytes` written
};

// Texts may hold markers that the runner replaces:
//   {TOKEN} / {token}  the valid token now for the case's address (upper / lower case)
//   {STALE}            the token of the previous minute
//   {STALE2}, {STALE3} the tokens of two and three minutes before
//   {AHEAD}, {AHEAD2}  the tokens of the next minute and the one after
//   {OTHER}            the token now for the address 10.9.9.9
// A null text means the server has no such variable.
struct CaseConfig {
    const char* ini;  // the whole KAVRO.ini
    int mode;         // its EncryptMode, for the token markers
    const char* key;  // its PubKey
};

struct PolicyCase {
    const char* name;
    const CaseConfig* config;
    const char* host = "www.example.test";
    const char* referer = nullptr;
    const char* address = "192.0.2.10";
    const char* query = nullptr;
    const char* cookie = nullptr;
    const char* agent = nullptr;
    const char* path = "/srv/www/file.txt";  // '/' becomes '\' on Windows
    size_t queryPadding = 0;                 // bytes of 'q' appended to the query
    size_t cookiePadding = 0;                // bytes of 'c' put before the cookie
    uint32_t pathBufferSize = 260;
    uint32_t notificationType = SF_NOTIFY_URL_MAP;
    Outcome outcome = Outcome::Pass;
    PolicyStep step = PolicyStep::NoClass;
    const char* expected = nullptr;  // the diverted path or the exact bytes
    // The reason a refusal gives, where the step alone does not say it: a
    // refused token is "token-invalid" unless this says otherwise.
    const char* reason = nullptr;
};

std::span<const PolicyCase> AllPolicyCases();

// Computes the token the filter should accept: EncryptMode, PubKey, address
// and minute offset from now (negative: earlier).
using TokenMaker = std::function<std::string(int mode, const std::string& key,
                                             const std::string& address, int minuteOffset)>;

// What a test server offers the runner.
struct CaseHost {
    // Writes `ini` as KAVRO.ini beside the filter and registers it again.
    std::function<bool(const std::string& ini)> configure;
    // Runs one request; reports the deciding step when the host can see it.
    std::function<uint32_t(FakeRequest&, std::optional<PolicyStep>&)> run;
    TokenMaker token;
    // Current local minute of the day, to notice a minute boundary.
    std::function<int()> minuteOfDay;
    bool windowsPaths = false;
};

// Runs one case; returns the empty text when it holds, else what differed.
std::string RunPolicyCase(const PolicyCase& policyCase, const CaseHost& host);

// The request a case describes, with markers resolved (for tests that
// replay the table, for instance from several threads).
FakeRequest BuildRequest(const PolicyCase& policyCase, const CaseHost& host);

// The GBK bytes of the two fixed messages, written out independently of the
// filter's own copy.
extern const char kExpectedLengthMessage[];
extern const char kExpectedCharacterMessage[];

}  // namespace qelmor::testing

namespace qelmor::testing {
// Test output names a case instead of dumping its bytes.
inline void PrintTo(const PolicyCase& policyCase, std::ostream* out) {
    *out << policyCase.name;
}
}  // namespace qelmor::testing

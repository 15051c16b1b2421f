// Registration through the export, and one notification through the ISAPI
// adapter as the entry point makes it: the INI file, the server variables,
// the physical path, the size of the path buffer and the host's lead bytes
// come from the fuzzer. The moment of the request is a value taken from the
// input, so that "{T}" in the query string or the cookie can stand for the
// token the filter accepts at that moment.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>

#include "filter/AccessToken.h"
#include "filter/BlockPage.h"
#include "filter/IsapiAdapter.h"
#include "filter/Lifecycle.h"
#include "isapi/Isapi4.h"
#include "platform/Platform.h"
#include "tests/fuzz/FuzzCheck.h"
#include "tests/support/FakeServer.h"
#include "text/DateRules.h"

extern "C" int32_t GetFilterVersion(HTTP_FILTER_VERSION* version);

namespace {

constexpr const char* kVariableNames[] = {"HTTP_HOST",    "HTTP_REFERER", "REMOTE_ADDR",
                                          "QUERY_STRING", "HTTP_COOKIE",  "HTTP_USER_AGENT"};
constexpr size_t kPaddings[] = {0, 0, 0, 100, 4094, 4095, 4096, 9000};
constexpr std::string_view kTokenMarker = "{T}";

// How the server answers GetServerVariable.
enum class Quirk : uint8_t {
    None,
    ZeroSizeOnSuccess,  // reports success with a size of 0
    SecondReadFails,    // asks for a larger buffer, then fails anyway
};

qelmor::platform::LocalClock fixedClock;

void ReplaceMarker(std::string& text, const std::string& token) {
    const size_t at = text.find(kTokenMarker);
    if (at != std::string::npos) text.replace(at, kTokenMarker.size(), token);
}

const std::string& IniPath() {
    static const std::string path = qelmor::ConfigFileName(qelmor::LocaleSettings().LeadBytes);
    return path;
}

// The filter takes its lead bytes from the host once, at load; a host with
// a double-byte code page is played by deciding through the adapter with
// such settings.
const qelmor::LocaleSettings& DoubleByteLocale() {
    static const qelmor::LocaleSettings locale = [] {
        qelmor::LocaleSettings settings;
        settings.LeadBytes.AddRange(0x81, 0xFE);
        return settings;
    }();
    return locale;
}

// As the entry point decides, with the request's moment given as a value.
uint32_t DecideAsTheEntryPointDoes(HTTP_FILTER_CONTEXT* context, uint32_t type, void* notification,
                                   const qelmor::FilterConfig& config,
                                   const qelmor::LocaleSettings& locale,
                                   const qelmor::TokenClock& clock) {
    try {
        return qelmor::UrlMapPolicy(context, type, notification, config, locale,
                                    qelmor::ClockReading(clock))
            .status;
    } catch (...) {
        return SF_STATUS_REQ_FINISHED;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    qelmor::testing::FakeRequest request;
    const Quirk quirk = Quirk(input.ConsumeIntegralInRange<uint8_t>(0, 2));
    request.zeroSizeOnSuccess = quirk == Quirk::ZeroSizeOnSuccess;
    request.failLongRetry = quirk == Quirk::SecondReadFails;
    request.failAllocMem = input.ConsumeIntegralInRange<uint8_t>(0, 7) == 0;
    const bool urlMapNotification = input.ConsumeIntegralInRange<uint8_t>(0, 7) != 0;
    const bool nullNotification = input.ConsumeIntegralInRange<uint8_t>(0, 31) == 0;
    const bool doubleByte = input.ConsumeBool();
    const qelmor::LocaleSettings hostLocale;
    const qelmor::LocaleSettings& locale = doubleByte ? DoubleByteLocale() : hostLocale;
    fixedClock.date = {input.ConsumeIntegralInRange<int>(1, 9999),
                       input.ConsumeIntegralInRange<int>(1, 12),
                       input.ConsumeIntegralInRange<int>(1, 31)};
    fixedClock.time = {input.ConsumeIntegralInRange<int>(0, 23),
                       input.ConsumeIntegralInRange<int>(0, 59), 0, 0};
    const uint32_t pathBufferSize = input.ConsumeIntegralInRange<uint32_t>(0, 600);

    for (const char* name : kVariableNames) {
        if (input.ConsumeIntegralInRange<uint8_t>(0, 7) == 0) continue;  // absent
        std::string value = input.ConsumeRandomLengthString(300);
        const size_t padding =
            kPaddings[input.ConsumeIntegralInRange<size_t>(0, std::size(kPaddings) - 1)];
        value.append(padding, std::strcmp(name, "QUERY_STRING") == 0 ? 'q' : 'c');
        request.variables.emplace(name, std::move(value));
    }
    const std::string physicalPath = input.ConsumeRandomLengthString(400);
    const std::string ini = input.ConsumeRemainingBytesAsString();

    {
        std::ofstream file(IniPath(), std::ios::binary | std::ios::trunc);
        file.write(ini.data(), std::streamsize(ini.size()));
    }
    // Every settings object a registration publishes lives until the module
    // is unloaded; a host registers once per start or reload, this target
    // once per input, so each input gets a module of its own.
    qelmor::UnloadModule();
    FUZZ_CHECK(qelmor::LoadModule(), "the module loads");
    HTTP_FILTER_VERSION version{};
    version.dwServerFilterVersion = HTTP_FILTER_REVISION;
    FUZZ_CHECK(GetFilterVersion(&version) != 0, "the filter registers with any INI file");
    FUZZ_CHECK(version.dwFlags == (SF_NOTIFY_ORDER_HIGH | SF_NOTIFY_URL_MAP),
               "the filter asks for URL-map notifications only");
    FUZZ_CHECK(std::strcmp(version.lpszFilterDesc, "qelmor.0") == 0, "the description");

    // The token the filter accepts for this request now.
    qelmor::FilterConfig config;
    qelmor::LoadFilterConfig(config, IniPath());
    std::string address;
    for (const auto& [name, value] : request.variables) {
        if (name == "REMOTE_ADDR") address = value;
    }
    const qelmor::TokenInput tokenInput = qelmor::BuildTokenInput(
        address, fixedClock.date, fixedClock.time, fixedClock.time, config, locale);
    const std::string token = qelmor::ExpectedTokenText(tokenInput);
    for (auto& [name, value] : request.variables)
        ReplaceMarker(value, token);

    // A server buffer of exactly the announced size when the path fits it.
    request.physicalPath = physicalPath;
    request.pathBufferSize = pathBufferSize;
    request.pathBeyondBuffer = true;
    request.notificationType = urlMapNotification ? SF_NOTIFY_URL_MAP : SF_NOTIFY_PREPROC_HEADERS;
    request.nullNotification = nullNotification;
    const qelmor::TokenClock clock{fixedClock.date, fixedClock.time, fixedClock.time};
    const uint32_t status = qelmor::testing::RunRequest(
        request, [&](HTTP_FILTER_CONTEXT* context, uint32_t type, void* notification) {
            return DecideAsTheEntryPointDoes(context, type, notification, config, locale, clock);
        });
    // For reading what a saved input does: QELMOR_FUZZ_VERBOSE=1.
    static const bool verbose = std::getenv("QELMOR_FUZZ_VERBOSE") != nullptr;
    if (verbose) {
        std::fprintf(stderr, "status %s, %zu bytes written, path \"%s\", token %s\n",
                     status == SF_STATUS_REQ_FINISHED ? "FINISHED" : "NEXT", request.bytesWritten,
                     request.finalPath.c_str(), token.c_str());
    }
    FUZZ_CHECK(status == SF_STATUS_REQ_NEXT_NOTIFICATION || status == SF_STATUS_REQ_FINISHED,
               "the filter passes or finishes");

    const size_t finalLength = request.finalPath.size();
    const std::string_view finalPath = request.finalPath;
    const bool pathChanged =
        !request.pathInServerBuffer || finalPath != std::string_view(physicalPath.c_str());
    if (!urlMapNotification) {
        // The host gate reads the host for them too; a host the server
        // withholds cannot be judged, and ends the request.
        FUZZ_CHECK(status == SF_STATUS_REQ_NEXT_NOTIFICATION || request.withheldLongValue,
                   "only URL-map notifications are decided");
    }
    if (status == SF_STATUS_REQ_NEXT_NOTIFICATION) {
        FUZZ_CHECK(request.bytesWritten == 0 && !pathChanged,
                   "a passed request is left as it came");
    }
    if (request.pathInServerBuffer && pathChanged) {
        FUZZ_CHECK(finalLength < pathBufferSize, "a path replaced in place fits the buffer");
    }
    if (!request.pathInServerBuffer) {
        FUZZ_CHECK(!request.allocations.empty() &&
                       request.finalPathAddress == request.allocations.back().get() &&
                       finalLength < request.allocationSizes.back() &&
                       request.finalPathBufferSize == request.allocationSizes.back(),
                   "a longer path lives in the server's memory, with its size");
    }

    // A refusal either writes one whole answer or diverts the path, never both.
    FUZZ_CHECK(request.writeCalls <= 1, "at most one write to the client");
    if (request.writeCalls != 0) {
        const std::string& bytes = request.written;
        FUZZ_CHECK(!pathChanged, "a written answer leaves the path alone");
        FUZZ_CHECK(bytes == qelmor::kLengthMessage || bytes == qelmor::kCharacterMessage ||
                       bytes == qelmor::BlockPageTemplate(config),
                   "the client receives a message or the block page, whole");
    }
    if (pathChanged) {
        // The filter saw the path up to its zero byte or the announced size.
        const char* original = physicalPath.c_str();
        const std::string_view seen(original, pathBufferSize > 0 ? strnlen(original, pathBufferSize)
                                                                 : std::strlen(original));
        constexpr std::string_view kLeaf = "KAVRO";
        FUZZ_CHECK(finalPath.starts_with(kLeaf) && finalPath.size() > kLeaf.size() &&
                       finalPath[kLeaf.size()] == '.' &&
                       seen.ends_with(finalPath.substr(kLeaf.size())),
                   "a diverted path is KAVRO and the requested file's extension");
    }
    if (request.withheldLongValue) {
        // A value the filter could not see must not read as an empty one.
        FUZZ_CHECK(status == SF_STATUS_REQ_FINISHED && request.writeCalls == 0 && !pathChanged,
                   "a long value the server withheld ends the request unanswered");
    }
    if (status == SF_STATUS_REQ_FINISHED && request.writeCalls == 0 && !pathChanged) {
        // Diverting "KAVRO.x" to itself leaves no visible change.
        const bool sameDiversion = std::string_view(physicalPath.c_str()).starts_with("KAVRO.");
        FUZZ_CHECK(request.failAllocMem || sameDiversion || request.withheldLongValue,
                   "a refusal without an answer only when the server had no memory or "
                   "withheld a value");
    }
    return 0;
}

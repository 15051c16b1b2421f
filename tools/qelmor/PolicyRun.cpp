#include "tools/qelmor/PolicyRun.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "isapi/Isapi4.h"

namespace qelmor::tool {
namespace {

// IIS offers MAX_PATH bytes for the physical path.
constexpr uint32_t kPathBuffer = 260;

struct Exchange {
    const PolicyRequest& request;
    std::string written;
    std::vector<std::unique_ptr<char[]>> allocations;
};

Exchange& ExchangeOf(HTTP_FILTER_CONTEXT* context) {
    return *static_cast<Exchange*>(context->ServerContext);
}

// As IIS: an unknown name fails; a buffer that is too small fails with the
// size needed, terminating zero included.
int32_t QELMOR_WINAPI GetServerVariable(HTTP_FILTER_CONTEXT* context, char* name, void* buffer,
                                        uint32_t* size) {
    const auto& variables = ExchangeOf(context).request.variables;
    const auto found = std::find_if(variables.begin(), variables.end(),
                                    [&](const auto& variable) { return variable.first == name; });
    if (found == variables.end()) return 0;
    const uint32_t needed = uint32_t(found->second.size()) + 1;
    if (buffer == nullptr || *size < needed) {
        *size = needed;
        return 0;
    }
    std::memcpy(buffer, found->second.c_str(), needed);
    *size = needed;
    return 1;
}

int32_t QELMOR_WINAPI AddResponseHeaders(HTTP_FILTER_CONTEXT*, char*, uint32_t) {
    return 1;
}

int32_t QELMOR_WINAPI WriteClient(HTTP_FILTER_CONTEXT* context, void* bytes, uint32_t* length,
                                  uint32_t) {
    ExchangeOf(context).written.append(static_cast<const char*>(bytes), *length);
    return 1;
}

void* QELMOR_WINAPI AllocMem(HTTP_FILTER_CONTEXT* context, uint32_t size, uint32_t) {
    auto& allocations = ExchangeOf(context).allocations;
    allocations.emplace_back(new char[size]);
    return allocations.back().get();
}

int32_t QELMOR_WINAPI ServerSupportFunction(HTTP_FILTER_CONTEXT*, uint32_t, void*, uintptr_t,
                                            uintptr_t) {
    return 0;
}

}  // namespace

PolicyOutcome RunPolicy(const PolicyRequest& request, const FilterConfig& config,
                        const LocaleSettings& locale) {
    Exchange exchange{request, {}, {}};
    HTTP_FILTER_CONTEXT context{};
    context.cb = sizeof context;
    context.Revision = HTTP_FILTER_REVISION;
    context.ServerContext = &exchange;
    context.GetServerVariable = GetServerVariable;
    context.AddResponseHeaders = AddResponseHeaders;
    context.WriteClient = WriteClient;
    context.AllocMem = AllocMem;
    context.ServerSupportFunction = ServerSupportFunction;

    const uint32_t bufferSize =
        std::max<uint32_t>(kPathBuffer, uint32_t(request.physicalPath.size()) + 1);
    std::vector<char> pathBuffer(bufferSize, '\0');
    std::memcpy(pathBuffer.data(), request.physicalPath.data(), request.physicalPath.size());
    HTTP_FILTER_URL_MAP urlMap{};
    urlMap.pszURL = "/";
    urlMap.pszPhysicalPath = pathBuffer.data();
    urlMap.cbPathBuff = bufferSize;

    PolicyOutcome outcome;
    outcome.decision = UrlMapPolicy(&context, SF_NOTIFY_URL_MAP, &urlMap, config, locale);
    outcome.written = std::move(exchange.written);
    outcome.finalPath = urlMap.pszPhysicalPath == nullptr ? "" : urlMap.pszPhysicalPath;
    return outcome;
}

}  // namespace qelmor::tool

#include "hosts/serve/FilterHost.h"

#include "hosts/serve/AsciiCase.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace qelmor::serve {
namespace {

constexpr int32_t kFalse = 0;
constexpr int32_t kTrue = 1;
constexpr uint32_t kNotEnoughMemoryCode = 8;

// The storage of one notification. ServerContext points here.
struct Notification {
    const RequestFacts* request = nullptr;
    std::string written;
    std::string responseHeaders;
    std::vector<std::unique_ptr<char[]>> allocations;  // AllocMem, freed with the request
};

Notification* NotificationOf(HTTP_FILTER_CONTEXT* context) {
    return context == nullptr ? nullptr : static_cast<Notification*>(context->ServerContext);
}

// A POSIX caller looks for the reason of a failed call in errno, so that is
// where the Win32 code that IIS would leave for GetLastError goes.
int32_t Fail(uint32_t code) {
    errno = int(code);
    return kFalse;
}

int32_t QELMOR_WINAPI GetServerVariable(HTTP_FILTER_CONTEXT* context, char* name, void* buffer,
                                        uint32_t* size) {
    Notification* notification = NotificationOf(context);
    if (notification == nullptr || name == nullptr || size == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER_CODE);
    }
    try {
        const auto value = ServerVariable(*notification->request, name);
        if (!value) return Fail(ERROR_INVALID_INDEX_CODE);
        if (value->size() >= UINT32_MAX) return Fail(ERROR_INVALID_PARAMETER_CODE);
        const uint32_t needed = uint32_t(value->size()) + 1;
        if (buffer == nullptr || *size < needed) {
            *size = needed;
            return Fail(ERROR_INSUFFICIENT_BUFFER_CODE);
        }
        std::memcpy(buffer, value->c_str(), needed);
        *size = needed;
        return kTrue;
    } catch (const std::bad_alloc&) {
        return Fail(kNotEnoughMemoryCode);
    }
}

int32_t QELMOR_WINAPI AddResponseHeaders(HTTP_FILTER_CONTEXT* context, char* headers, uint32_t) {
    Notification* notification = NotificationOf(context);
    if (notification == nullptr || headers == nullptr) return Fail(ERROR_INVALID_PARAMETER_CODE);
    try {
        notification->responseHeaders += headers;
        return kTrue;
    } catch (const std::bad_alloc&) {
        return Fail(kNotEnoughMemoryCode);
    }
}

int32_t QELMOR_WINAPI WriteClient(HTTP_FILTER_CONTEXT* context, void* bytes, uint32_t* length,
                                  uint32_t) {
    Notification* notification = NotificationOf(context);
    if (notification == nullptr || length == nullptr || (bytes == nullptr && *length != 0)) {
        return Fail(ERROR_INVALID_PARAMETER_CODE);
    }
    try {
        notification->written.append(static_cast<const char*>(bytes), *length);
        return kTrue;
    } catch (const std::bad_alloc&) {
        return Fail(kNotEnoughMemoryCode);
    }
}

void* QELMOR_WINAPI AllocMem(HTTP_FILTER_CONTEXT* context, uint32_t size, uint32_t) {
    Notification* notification = NotificationOf(context);
    if (notification == nullptr) {
        Fail(ERROR_INVALID_PARAMETER_CODE);
        return nullptr;
    }
    try {
        notification->allocations.emplace_back(new char[size == 0 ? 1 : size]());
        return notification->allocations.back().get();
    } catch (const std::bad_alloc&) {
        Fail(kNotEnoughMemoryCode);
        return nullptr;
    }
}

int32_t QELMOR_WINAPI ServerSupportFunction(HTTP_FILTER_CONTEXT*, uint32_t, void*, uintptr_t,
                                            uintptr_t) {
    return Fail(ERROR_INVALID_PARAMETER_CODE);
}

std::string PathAfterCall(const HTTP_FILTER_URL_MAP& urlMap, const char* ownBuffer) {
    if (urlMap.pszPhysicalPath == nullptr) return {};
    // Our own buffer is bounded by its size; a replacement the filter made is
    // zero-terminated by contract, and no usable path is longer than PATH_MAX.
    const size_t bound = urlMap.pszPhysicalPath == ownBuffer ? urlMap.cbPathBuff : PATH_MAX;
    return std::string(urlMap.pszPhysicalPath, strnlen(urlMap.pszPhysicalPath, bound));
}

}  // namespace

std::unique_ptr<FilterHost> FilterHost::Load(const std::string& path, std::string& error) {
    // dlopen searches the library path for a bare name; a filter is a file.
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) {
        error = "filter library " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<FilterHost> host(new FilterHost);
    host->path_ = resolved;
    host->handle_ = dlopen(resolved, RTLD_NOW | RTLD_LOCAL);
    if (host->handle_ == nullptr) {
        const char* reason = dlerror();
        error = "cannot load filter library " + host->path_ + ": " +
                (reason != nullptr ? reason : "unknown reason");
        return nullptr;
    }
    auto getFilterVersion =
        reinterpret_cast<PFN_GETFILTERVERSION>(dlsym(host->handle_, "GetFilterVersion"));
    host->httpFilterProc_ =
        reinterpret_cast<PFN_HTTPFILTERPROC>(dlsym(host->handle_, "HttpFilterProc"));
    if (getFilterVersion == nullptr || host->httpFilterProc_ == nullptr) {
        error = host->path_ + " is not an ISAPI filter: it does not export " +
                (getFilterVersion == nullptr ? "GetFilterVersion" : "HttpFilterProc");
        return nullptr;
    }

    host->getFilterVersion_ = getFilterVersion;
    if (!host->Register(error)) return nullptr;
    return host;
}

bool FilterHost::Register(std::string& error) {
    HTTP_FILTER_VERSION version{};
    version.dwServerFilterVersion = HTTP_FILTER_REVISION;
    if (getFilterVersion_(&version) == kFalse) {
        error = "the filter " + path_ + " refused to register (GetFilterVersion failed)";
        return false;
    }
    registration_.filterVersion = version.dwFilterVersion;
    registration_.flags = version.dwFlags;
    registration_.description.assign(
        version.lpszFilterDesc, strnlen(version.lpszFilterDesc, sizeof version.lpszFilterDesc));
    urlMapRegistered_.store((version.dwFlags & SF_NOTIFY_URL_MAP) != 0, std::memory_order_release);
    return true;
}

FilterHost::~FilterHost() {
    if (handle_ != nullptr) dlclose(handle_);
}

FilterOutcome FilterHost::RunUrlMap(const RequestFacts& request,
                                    const std::string& physicalPath) const {
    FilterOutcome outcome;
    outcome.finalPath = physicalPath;
    if (!urlMapRegistered_.load(std::memory_order_acquire)) return outcome;

    Notification notification;
    notification.request = &request;

    HTTP_FILTER_CONTEXT context{};
    context.cb = sizeof context;
    context.Revision = HTTP_FILTER_REVISION;
    context.ServerContext = &notification;
    context.fIsSecurePort = request.secure ? kTrue : kFalse;
    context.GetServerVariable = GetServerVariable;
    context.AddResponseHeaders = AddResponseHeaders;
    context.WriteClient = WriteClient;
    context.AllocMem = AllocMem;
    context.ServerSupportFunction = ServerSupportFunction;

    // Exactly PATH_MAX bytes, as announced, so a filter that writes past the
    // size it was given is caught by the sanitizers.
    std::vector<char> pathBuffer(PATH_MAX, '\0');
    physicalPath.copy(pathBuffer.data(), pathBuffer.size() - 1);
    HTTP_FILTER_URL_MAP urlMap{};
    urlMap.pszURL = request.url.c_str();
    urlMap.pszPhysicalPath = pathBuffer.data();
    urlMap.cbPathBuff = uint32_t(pathBuffer.size());

    outcome.called = true;
    outcome.status = httpFilterProc_(&context, SF_NOTIFY_URL_MAP, &urlMap);
    outcome.finalPath = PathAfterCall(urlMap, pathBuffer.data());
    outcome.pathReplaced = outcome.finalPath != physicalPath;
    outcome.written = std::move(notification.written);
    outcome.responseHeaders = std::move(notification.responseHeaders);
    return outcome;
}

std::string DescribeFilterFlags(uint32_t flags) {
    static constexpr struct {
        uint32_t bit;
        const char* name;
    } kNames[] = {
        {SF_NOTIFY_SECURE_PORT, "SECURE_PORT"},
        {SF_NOTIFY_NONSECURE_PORT, "NONSECURE_PORT"},
        {SF_NOTIFY_READ_RAW_DATA, "READ_RAW_DATA"},
        {SF_NOTIFY_PREPROC_HEADERS, "PREPROC_HEADERS"},
        {SF_NOTIFY_AUTHENTICATION, "AUTHENTICATION"},
        {SF_NOTIFY_URL_MAP, "URL_MAP"},
        {SF_NOTIFY_ACCESS_DENIED, "ACCESS_DENIED"},
        {SF_NOTIFY_SEND_RESPONSE, "SEND_RESPONSE"},
        {SF_NOTIFY_SEND_RAW_DATA, "SEND_RAW_DATA"},
        {SF_NOTIFY_LOG, "LOG"},
        {SF_NOTIFY_END_OF_REQUEST, "END_OF_REQUEST"},
        {SF_NOTIFY_END_OF_NET_SESSION, "END_OF_NET_SESSION"},
        {SF_NOTIFY_ORDER_HIGH, "ORDER_HIGH"},
        {SF_NOTIFY_ORDER_MEDIUM, "ORDER_MEDIUM"},
        {SF_NOTIFY_ORDER_LOW, "ORDER_LOW"},
    };
    std::string names;
    uint32_t rest = flags;
    for (const auto& entry : kNames) {
        if ((flags & entry.bit) == 0) continue;
        if (!names.empty()) names += '|';
        names += entry.name;
        rest &= ~entry.bit;
    }
    if (rest != 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08X", rest);
        if (!names.empty()) names += '|';
        names += hex;
    }
    return names.empty() ? "none" : names;
}

std::string DescribeFilterStatus(uint32_t status) {
    switch (status) {
        case SF_STATUS_REQ_NEXT_NOTIFICATION:
            return "NEXT";
        case SF_STATUS_REQ_FINISHED:
            return "FINISHED";
        case SF_STATUS_REQ_FINISHED_KEEP_CONN:
            return "FINISHED_KEEP_CONN";
        case SF_STATUS_REQ_HANDLED_NOTIFICATION:
            return "HANDLED";
        case SF_STATUS_REQ_ERROR:
            return "ERROR";
        case SF_STATUS_REQ_READ_NEXT:
            return "READ_NEXT";
        default:
            break;
    }
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", status);
    return hex;
}

std::string FilterReason(const FilterOutcome& outcome) {
    constexpr std::string_view kName = "x-qelmor-reason:";
    std::string_view rest = outcome.responseHeaders;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (line.size() < kName.size() || !EqualsNoCase(line.substr(0, kName.size()), kName))
            continue;
        line.remove_prefix(kName.size());
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        return std::string(line);
    }
    return {};
}

}  // namespace qelmor::serve

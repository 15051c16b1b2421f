#include "tests/support/FakeServer.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace qelmor::testing {
namespace {

FakeRequest& RequestOf(HTTP_FILTER_CONTEXT* context) {
    return *static_cast<FakeRequest*>(context->ServerContext);
}

void SetError(uint32_t code) {
#ifdef _WIN32
    SetLastError(code);
#else
    (void)code;
#endif
}

int32_t QELMOR_WINAPI GetServerVariable(HTTP_FILTER_CONTEXT* context, char* name, void* buffer,
                                        uint32_t* size) {
    FakeRequest& request = RequestOf(context);
    if (request.recordReads) request.variablesRead.emplace_back(name);
    const auto found = request.variables.find(std::string_view(name));
    if (found == request.variables.end()) {
        SetError(ERROR_INVALID_INDEX_CODE);
        return 0;
    }
    const uint32_t needed = uint32_t(found->second.size()) + 1;
    if (request.failLongRetry && buffer != nullptr && needed > 4096 && *size >= needed) {
        request.withheldLongValue = true;
        SetError(ERROR_NOT_ENOUGH_MEMORY_CODE);
        return 0;
    }
    if (buffer == nullptr || *size < needed) {
        *size = needed;
        SetError(ERROR_INSUFFICIENT_BUFFER_CODE);
        return 0;
    }
    std::memcpy(buffer, found->second.c_str(), needed);
    *size = request.zeroSizeOnSuccess ? 0 : needed;
    return 1;
}

int32_t QELMOR_WINAPI AddResponseHeaders(HTTP_FILTER_CONTEXT* context, char* headers, uint32_t) {
    FakeRequest& request = RequestOf(context);
    if (request.recordWrites && headers != nullptr) request.addedHeaders += headers;
    return 1;
}

int32_t QELMOR_WINAPI WriteClient(HTTP_FILTER_CONTEXT* context, void* bytes, uint32_t* length,
                                  uint32_t) {
    FakeRequest& request = RequestOf(context);
    if (request.recordWrites) request.written.append(static_cast<const char*>(bytes), *length);
    request.bytesWritten += *length;
    ++request.writeCalls;
    return 1;
}

void* QELMOR_WINAPI AllocMem(HTTP_FILTER_CONTEXT* context, uint32_t size, uint32_t) {
    FakeRequest& request = RequestOf(context);
    if (request.failAllocMem) return nullptr;
    if (!request.arena.empty()) {
        // Aligned as the heap would align it.
        constexpr uintptr_t kAlign = 16;
        const uintptr_t base = reinterpret_cast<uintptr_t>(request.arena.data());
        const uintptr_t at = (base + request.arenaUsed + kAlign - 1) & ~(kAlign - 1);
        const size_t offset = size_t(at - base);
        if (offset > request.arena.size() || request.arena.size() - offset < size) return nullptr;
        request.arenaUsed = offset + size;
        return request.arena.data() + offset;
    }
    // Exactly the size asked for, so a write past it is caught by ASan.
    request.allocations.emplace_back(new char[size == 0 ? 1 : size]);
    request.allocationSizes.push_back(size);
    return request.allocations.back().get();
}

int32_t QELMOR_WINAPI ServerSupportFunction(HTTP_FILTER_CONTEXT*, uint32_t, void*, uintptr_t,
                                            uintptr_t) {
    return 0;
}

}  // namespace

FilterLibrary::FilterLibrary(const std::string& path) {
#ifdef _WIN32
    HMODULE module = LoadLibraryA(path.c_str());
    handle_ = module;
    if (module == nullptr) {
        error_ = "LoadLibraryA failed: " + std::to_string(GetLastError());
        return;
    }
    // FARPROC goes through the generic function type, which the compiler
    // accepts as a cast to any other.
    using AnyFunction = void (*)();
    getFilterVersion_ = reinterpret_cast<PFN_GETFILTERVERSION>(
        reinterpret_cast<AnyFunction>(GetProcAddress(module, "GetFilterVersion")));
    httpFilterProc_ = reinterpret_cast<PFN_HTTPFILTERPROC>(
        reinterpret_cast<AnyFunction>(GetProcAddress(module, "HttpFilterProc")));
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        error_ = dlerror();
        return;
    }
    getFilterVersion_ = reinterpret_cast<PFN_GETFILTERVERSION>(dlsym(handle_, "GetFilterVersion"));
    httpFilterProc_ = reinterpret_cast<PFN_HTTPFILTERPROC>(dlsym(handle_, "HttpFilterProc"));
#endif
    if (!Loaded()) error_ = "entry points missing";
}

FilterLibrary::~FilterLibrary() {
    if (handle_ == nullptr) return;
#ifdef _WIN32
    FreeLibrary(static_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
}

int32_t FilterLibrary::Register(HTTP_FILTER_VERSION& version) {
    return getFilterVersion_(&version);
}

uint32_t FilterLibrary::Run(FakeRequest& request) {
    return RunRequest(request, [this](HTTP_FILTER_CONTEXT* context, uint32_t type, void* map) {
        return httpFilterProc_(context, type, map);
    });
}

uint32_t RunRequest(FakeRequest& request, const FilterProc& proc) {
    HTTP_FILTER_CONTEXT context{};
    context.cb = sizeof context;
    context.Revision = HTTP_FILTER_REVISION;
    context.ServerContext = &request;
    context.GetServerVariable = GetServerVariable;
    context.AddResponseHeaders = AddResponseHeaders;
    context.WriteClient = WriteClient;
    context.AllocMem = AllocMem;
    context.ServerSupportFunction = ServerSupportFunction;

    // Exactly the announced size, so a write past it is caught by ASan,
    // unless the path is to go in whole or the caller lends the storage.
    std::vector<char> ownBuffer;
    std::span<char> pathBuffer = request.pathStorage;
    size_t pathLength = 0;
    if (pathBuffer.empty()) {
        size_t bufferSize = std::max<size_t>(request.pathBufferSize, 1);
        if (request.pathBeyondBuffer) {
            pathLength = std::strlen(request.physicalPath.c_str());
            bufferSize = std::max(bufferSize, pathLength + 1);
        }
        ownBuffer.assign(bufferSize, '\0');
        pathBuffer = ownBuffer;
    }
    if (!request.pathBeyondBuffer || !request.pathStorage.empty())
        pathLength = std::min(request.physicalPath.size(), pathBuffer.size() - 1);
    std::memcpy(pathBuffer.data(), request.physicalPath.data(), pathLength);
    pathBuffer[pathLength] = '\0';
    HTTP_FILTER_URL_MAP urlMap{};
    urlMap.pszURL = "/";
    urlMap.pszPhysicalPath = pathBuffer.data();
    urlMap.cbPathBuff = request.pathBufferSize;
    request.arenaUsed = 0;

    const uint32_t status =
        proc(&context, request.notificationType, request.nullNotification ? nullptr : &urlMap);
    request.pathInServerBuffer = urlMap.pszPhysicalPath == pathBuffer.data();
    request.finalPathAddress = urlMap.pszPhysicalPath;
    request.finalPathBufferSize = urlMap.cbPathBuff;
    request.finalPath = urlMap.pszPhysicalPath == nullptr ? "" : urlMap.pszPhysicalPath;
    return status;
}

TempFolder::TempFolder() {
    std::random_device seed;
    const auto base = std::filesystem::temp_directory_path();
    for (;;) {
        auto candidate = base / ("qelmor-test-" + std::to_string(seed()));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate.string();
            return;
        }
    }
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempFolder::File(const std::string& leaf) const {
    return (std::filesystem::path(path_) / leaf).string();
}

void TempFolder::Write(const std::string& leaf, const std::string& content) const {
    std::ofstream(File(leaf), std::ios::binary) << content;
}

void TempFolder::CopyIn(const std::string& source, const std::string& leaf) const {
    std::filesystem::copy_file(source, File(leaf),
                               std::filesystem::copy_options::overwrite_existing);
}

}  // namespace qelmor::testing

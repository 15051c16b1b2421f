#include "bench/BenchServer.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace qelmor::bench {
namespace {

BenchRequest& RequestOf(HTTP_FILTER_CONTEXT* context) {
    return *static_cast<BenchRequest*>(context->ServerContext);
}

int32_t QELMOR_WINAPI GetServerVariable(HTTP_FILTER_CONTEXT* context, char* name, void* buffer,
                                        uint32_t* size) {
    BenchRequest& request = RequestOf(context);
    for (size_t i = 0; i < request.variableCount; ++i) {
        const BenchVariable& variable = request.variables[i];
        if (std::strcmp(variable.name, name) != 0) continue;
        const uint32_t needed = uint32_t(variable.value.size()) + 1;
        if (buffer == nullptr || *size < needed) {
            *size = needed;
            return 0;
        }
        std::memcpy(buffer, variable.value.data(), variable.value.size());
        static_cast<char*>(buffer)[variable.value.size()] = '\0';
        *size = needed;
        return 1;
    }
    return 0;
}

int32_t QELMOR_WINAPI AddResponseHeaders(HTTP_FILTER_CONTEXT*, char*, uint32_t) {
    return 1;
}

int32_t QELMOR_WINAPI WriteClient(HTTP_FILTER_CONTEXT* context, void*, uint32_t* length, uint32_t) {
    RequestOf(context).bytesWritten += *length;
    return 1;
}

void* QELMOR_WINAPI AllocMem(HTTP_FILTER_CONTEXT* context, uint32_t size, uint32_t) {
    BenchRequest& request = RequestOf(context);
    const size_t rounded = (size_t(size) + 15) & ~size_t(15);
    if (rounded > request.arena.size() - request.arenaUsed) return nullptr;
    void* block = request.arena.data() + request.arenaUsed;
    request.arenaUsed += rounded;
    return block;
}

int32_t QELMOR_WINAPI ServerSupportFunction(HTTP_FILTER_CONTEXT*, uint32_t, void*, uintptr_t,
                                            uintptr_t) {
    return 0;
}

}  // namespace

LoadedFilter::LoadedFilter(const std::string& libraryPath, const std::string& ini) {
    std::string pattern = (std::filesystem::temp_directory_path() / "qelmor-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        error_ = "cannot create a temporary folder";
        return;
    }
    folder_ = pattern;
    const std::filesystem::path library = std::filesystem::path(folder_) / "qelmor.so";
    std::error_code failure;
    std::filesystem::copy_file(libraryPath, library, failure);
    if (failure) {
        error_ = "cannot copy " + libraryPath + ": " + failure.message();
        return;
    }
    std::ofstream(std::filesystem::path(folder_) / "KAVRO.ini", std::ios::binary) << ini;

    handle_ = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        error_ = dlerror();
        return;
    }
    auto getFilterVersion =
        reinterpret_cast<PFN_GETFILTERVERSION>(dlsym(handle_, "GetFilterVersion"));
    proc_ = reinterpret_cast<PFN_HTTPFILTERPROC>(dlsym(handle_, "HttpFilterProc"));
    if (getFilterVersion == nullptr || proc_ == nullptr) {
        error_ = "entry points missing";
        proc_ = nullptr;
        return;
    }
    HTTP_FILTER_VERSION version{};
    version.dwServerFilterVersion = HTTP_FILTER_REVISION;
    if (!getFilterVersion(&version)) {
        error_ = "GetFilterVersion refused";
        proc_ = nullptr;
    }
}

LoadedFilter::~LoadedFilter() {
    if (handle_ != nullptr) dlclose(handle_);
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

void BenchRequest::Set(const char* name, std::string_view value) {
    for (size_t i = 0; i < variableCount; ++i) {
        if (std::strcmp(variables[i].name, name) == 0) {
            variables[i].value = value;
            return;
        }
    }
    if (variableCount < kMaxVariables) variables[variableCount++] = {name, value};
}

bool BenchRequest::PathReplaced() const {
    return finalPath != pathBuffer.data() || std::string_view(finalPath) != physicalPath;
}

uint32_t RunDecision(PFN_HTTPFILTERPROC proc, BenchRequest& request) {
    HTTP_FILTER_CONTEXT context{};
    context.cb = sizeof context;
    context.Revision = HTTP_FILTER_REVISION;
    context.ServerContext = &request;
    context.GetServerVariable = GetServerVariable;
    context.AddResponseHeaders = AddResponseHeaders;
    context.WriteClient = WriteClient;
    context.AllocMem = AllocMem;
    context.ServerSupportFunction = ServerSupportFunction;

    // The server maps the URL anew for every request.
    const size_t pathLength = std::min(request.physicalPath.size(), request.pathBuffer.size() - 1);
    std::memcpy(request.pathBuffer.data(), request.physicalPath.data(), pathLength);
    request.pathBuffer[pathLength] = '\0';
    HTTP_FILTER_URL_MAP urlMap{};
    urlMap.pszURL = "/";
    urlMap.pszPhysicalPath = request.pathBuffer.data();
    urlMap.cbPathBuff = request.pathBufferSize;
    request.bytesWritten = 0;
    request.arenaUsed = 0;

    const uint32_t status = proc(&context, SF_NOTIFY_URL_MAP, &urlMap);
    request.finalPath = urlMap.pszPhysicalPath;
    return status;
}

}  // namespace qelmor::bench

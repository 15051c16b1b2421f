#include "filter/ServerServices.h"

#include <cstring>

namespace qelmor {
namespace {

// The size reported on success counts the terminating zero.
std::string_view ValueOf(const char* bytes, uint32_t reportedSize, uint32_t offered) {
    if (reportedSize == 0) return {};
    const uint32_t length = reportedSize > offered ? offered - 1 : reportedSize - 1;
    return {bytes, length};
}

}  // namespace

std::string_view GetServerVar(HTTP_FILTER_CONTEXT* context, const char* name,
                              ServerVarBuffer& buffer) {
    if (context == nullptr || context->GetServerVariable == nullptr) return {};
    char* variable = const_cast<char*>(name);
    uint32_t size = kServerVarBuffer;
    if (context->GetServerVariable(context, variable, buffer.fixed, &size)) {
        return ValueOf(buffer.fixed, size, kServerVarBuffer);
    }
    // A value too long for the fixed buffer must not read as empty: an empty
    // query string passes the security checks and an empty cookie loses its
    // token. Offer exactly the size the server asked for, once.
    if (size <= kServerVarBuffer) return {};
    // No room for the value is not an empty value: std::bad_alloc ends the
    // decision with a refusal rather than letting the request pass unchecked.
    const uint32_t needed = size;
    buffer.large.reset(new char[needed]);
    size = needed;
    // The value exists and is long; an empty text in its place would let a
    // long query string pass the length check.
    if (!context->GetServerVariable(context, variable, buffer.large.get(), &size)) {
        throw ServerVarUnavailable{name};
    }
    return ValueOf(buffer.large.get(), size, needed);
}

void WriteToClient(HTTP_FILTER_CONTEXT* context, std::string_view text) {
    if (context == nullptr || context->WriteClient == nullptr) return;
    uint32_t length = uint32_t(text.size());
    context->WriteClient(context, const_cast<char*>(text.data()), &length, 0);
}

bool ReplacePhysicalPath(HTTP_FILTER_CONTEXT* context, HTTP_FILTER_URL_MAP* urlMap,
                         std::string_view text) {
    if (urlMap == nullptr || text.size() >= UINT32_MAX) return false;
    const uint32_t needed = uint32_t(text.size()) + 1;
    if (urlMap->pszPhysicalPath != nullptr && needed <= urlMap->cbPathBuff) {
        std::memcpy(urlMap->pszPhysicalPath, text.data(), text.size());
        urlMap->pszPhysicalPath[text.size()] = '\0';
        return true;
    }
    if (context == nullptr || context->AllocMem == nullptr) return false;
    auto* storage = static_cast<char*>(context->AllocMem(context, needed, 0));
    if (storage == nullptr) return false;
    std::memcpy(storage, text.data(), text.size());
    storage[text.size()] = '\0';
    urlMap->pszPhysicalPath = storage;
    urlMap->cbPathBuff = needed;
    return true;
}

}  // namespace qelmor

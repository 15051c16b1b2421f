// A filter library for testing the host: what it does depends on the URL,
// so one server exercises every service and every kind of result.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "isapi/Isapi4.h"

#define STUB_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::string ReadVariable(HTTP_FILTER_CONTEXT* context, const char* name) {
    char buffer[8192];
    uint32_t size = sizeof buffer;
    errno = 0;
    if (context->GetServerVariable(context, const_cast<char*>(name), buffer, &size)) {
        return std::string(name) + "=" + std::string(buffer, size - 1) + "\n";
    }
    return std::string(name) + "!" + std::to_string(errno) + "\n";
}

// How the server answers a buffer that is too small, or no buffer at all.
std::string ProbeSmallBuffer(HTTP_FILTER_CONTEXT* context, const char* name, bool noBuffer) {
    char buffer[2] = {'x', 'x'};
    uint32_t size = sizeof buffer;
    errno = 0;
    const int32_t ok = context->GetServerVariable(context, const_cast<char*>(name),
                                                  noBuffer ? nullptr : buffer, &size);
    return std::string(noBuffer ? "NOBUFFER " : "SMALL ") + name + " ok=" + std::to_string(ok) +
           " size=" + std::to_string(size) + " error=" + std::to_string(errno) + "\n";
}

void Write(HTTP_FILTER_CONTEXT* context, const std::string& text) {
    uint32_t length = uint32_t(text.size());
    context->WriteClient(context, const_cast<char*>(text.data()), &length, 0);
}

std::string Extension(const char* path) {
    const char* slash = std::strrchr(path, '/');
    const char* dot = std::strrchr(slash != nullptr ? slash : path, '.');
    return dot != nullptr ? dot : "";
}

bool StartsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

void ReplaceInPlace(HTTP_FILTER_URL_MAP* map, const std::string& path) {
    std::memcpy(map->pszPhysicalPath, path.c_str(), path.size() + 1);
}

}  // namespace

STUB_EXPORT int32_t GetFilterVersion(HTTP_FILTER_VERSION* version) {
#ifdef QELMOR_STUB_REFUSES
    (void)version;
    return 0;
#else
    version->dwFilterVersion = HTTP_FILTER_REVISION;
    std::snprintf(version->lpszFilterDesc, sizeof version->lpszFilterDesc, "stub filter");
    version->dwFlags = SF_NOTIFY_URL_MAP | SF_NOTIFY_ORDER_LOW;
    return 1;
#endif
}

STUB_EXPORT uint32_t HttpFilterProc(HTTP_FILTER_CONTEXT* context, uint32_t type, void* data) {
    if (type != SF_NOTIFY_URL_MAP) return SF_STATUS_REQ_NEXT_NOTIFICATION;
    auto* map = static_cast<HTTP_FILTER_URL_MAP*>(data);
    const char* url = map->pszURL;

    if (StartsWith(url, "/vars")) {
        std::string body = "PATH=" + std::string(map->pszPhysicalPath) + "\n";
        body += "CB=" + std::to_string(map->cbPathBuff) + "\n";
        body += "SECURE=" + std::to_string(context->fIsSecurePort) + "\n";
        for (const char* name :
             {"HTTP_HOST", "HTTP_REFERER", "REMOTE_ADDR", "QUERY_STRING", "HTTP_COOKIE",
              "HTTP_USER_AGENT", "HTTP_X_MULTI", "HTTP_X_EMPTY", "HTTP_ABSENT", "REQUEST_METHOD",
              "URL", "SERVER_PORT", "HTTPS", "http_user_agent", "NO_SUCH_VARIABLE"}) {
            body += ReadVariable(context, name);
        }
        body += ProbeSmallBuffer(context, "HTTP_USER_AGENT", false);
        body += ProbeSmallBuffer(context, "HTTP_USER_AGENT", true);
        body += ProbeSmallBuffer(context, "HTTP_ABSENT", false);
        // Headers and body in two writes: the server must keep both.
        Write(context, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\n\r\n");
        Write(context, body);
        return SF_STATUS_REQ_FINISHED;
    }
    if (StartsWith(url, "/page")) {
        Write(context, "<p>refused by the stub</p>");
        return SF_STATUS_REQ_FINISHED;
    }
    if (StartsWith(url, "/close")) return SF_STATUS_REQ_FINISHED;
    if (StartsWith(url, "/divert/")) {
        ReplaceInPlace(map, "KAVRO" + Extension(map->pszPhysicalPath));
        return SF_STATUS_REQ_FINISHED;
    }
    if (StartsWith(url, "/divert-alloc")) {
        char query[4096];
        uint32_t size = sizeof query;
        if (!context->GetServerVariable(context, const_cast<char*>("QUERY_STRING"), query, &size)) {
            return SF_STATUS_REQ_ERROR;
        }
        char* copy = static_cast<char*>(context->AllocMem(context, size, 0));
        if (copy == nullptr) return SF_STATUS_REQ_ERROR;
        std::memcpy(copy, query, size);
        map->pszPhysicalPath = copy;
        map->cbPathBuff = size;
        return SF_STATUS_REQ_FINISHED;
    }
    if (StartsWith(url, "/escape")) {
        ReplaceInPlace(map, "../outside.txt");
        return SF_STATUS_REQ_FINISHED;
    }
    if (StartsWith(url, "/next-divert")) {
        ReplaceInPlace(map, "notice.txt");
        return SF_STATUS_REQ_NEXT_NOTIFICATION;
    }
    if (StartsWith(url, "/header")) {
        context->AddResponseHeaders(context, const_cast<char*>("X-Stub: added\r\n"), 0);
        return SF_STATUS_REQ_NEXT_NOTIFICATION;
    }
    if (StartsWith(url, "/error")) return SF_STATUS_REQ_ERROR;
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

// A filter library that stands in for the real one when a host is tested:
// what it does depends on the first segment of the URL, so one site reaches
// every service of the filter context and every kind of result.
//
// QELMOR_STUB_REFUSES builds one that a host must refuse to register.
// QELMOR_STUB_BARE_REPORT writes the variable report without a status line,
// which a host answers as a refusal page of its own making.
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

// How the host answers a buffer that is too small, or none at all.
std::string ProbeSmallBuffer(HTTP_FILTER_CONTEXT* context, const char* name, bool noBuffer) {
    char buffer[2] = {'x', 'x'};
    uint32_t size = sizeof buffer;
    errno = 0;
    const int32_t ok = context->GetServerVariable(context, const_cast<char*>(name),
                                                  noBuffer ? nullptr : buffer, &size);
    return std::string(noBuffer ? "NOBUFFER " : "SMALL ") + name + " ok=" + std::to_string(ok) +
           " size=" + std::to_string(size) + " error=" + std::to_string(errno) + "\n";
}

std::string QueryString(HTTP_FILTER_CONTEXT* context) {
    char query[4096];
    uint32_t size = sizeof query;
    if (!context->GetServerVariable(context, const_cast<char*>("QUERY_STRING"), query, &size) ||
        size == 0) {
        return {};
    }
    return std::string(query, size - 1);
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
    if (path.size() < map->cbPathBuff)
        std::memcpy(map->pszPhysicalPath, path.c_str(), path.size() + 1);
}

// The document root: the physical path without the URL it was mapped from.
std::string RootOf(const HTTP_FILTER_URL_MAP* map) {
    const std::string path = map->pszPhysicalPath;
    const size_t url = std::strlen(map->pszURL);
    return path.size() >= url ? path.substr(0, path.size() - url) : std::string();
}

std::string VariableReport(HTTP_FILTER_CONTEXT* context, const HTTP_FILTER_URL_MAP* map) {
    std::string report = "PATH=" + std::string(map->pszPhysicalPath) + "\n";
    report += "CB=" + std::to_string(map->cbPathBuff) + "\n";
    report += "SECURE=" + std::to_string(context->fIsSecurePort) + "\n";
    for (const char* name :
         {"HTTP_HOST", "HTTP_REFERER", "REMOTE_ADDR", "QUERY_STRING", "HTTP_COOKIE",
          "HTTP_USER_AGENT", "HTTP_X_MULTI", "HTTP_X_EMPTY", "HTTP_ABSENT", "REQUEST_METHOD", "URL",
          "SERVER_PORT", "HTTPS", "http_user_agent", "NO_SUCH_VARIABLE"}) {
        report += ReadVariable(context, name);
    }
    report += ProbeSmallBuffer(context, "HTTP_USER_AGENT", false);
    report += ProbeSmallBuffer(context, "HTTP_USER_AGENT", true);
    report += ProbeSmallBuffer(context, "HTTP_ABSENT", false);
    return report;
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
        const std::string report = VariableReport(context, map);
#ifdef QELMOR_STUB_BARE_REPORT
        // In two writes: the host must keep both, in order.
        const size_t half = report.size() / 2;
        Write(context, report.substr(0, half));
        Write(context, report.substr(half));
#else
        // Headers and body in two writes: the host must keep both.
        Write(context, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                           std::to_string(report.size()) + "\r\n\r\n");
        Write(context, report);
#endif
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
        // A path in memory of the host's, which must outlive the call: the
        // one in the query string, or else the notice clip of the root.
        std::string target = QueryString(context);
        if (target.empty()) target = "KAVRO.wmv";
        char* copy = static_cast<char*>(context->AllocMem(context, uint32_t(target.size() + 1), 0));
        if (copy == nullptr) return SF_STATUS_REQ_ERROR;
        std::memcpy(copy, target.c_str(), target.size() + 1);
        map->pszPhysicalPath = copy;
        map->cbPathBuff = uint32_t(target.size() + 1);
        return SF_STATUS_REQ_FINISHED;
    }
    if (StartsWith(url, "/divert-absolute")) {
        ReplaceInPlace(map, RootOf(map) + "/notice.txt");
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

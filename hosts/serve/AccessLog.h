// One line per request on standard output: who asked, what, how it was
// answered and what the filter decided.
#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

namespace qelmor::serve {

struct AccessRecord {
    std::string client;
    std::string requestLine;
    int status = 0;      // 0: the connection was closed without a response
    uint64_t bytes = 0;  // body bytes sent; the raw bytes a filter wrote
    std::string filter;  // what the filter decided, "-" when it did not run
    // As the client sent them, so a refusal can be traced to the page that
    // embedded the file; empty when absent.
    std::string referer;
    std::string userAgent;
};

// 127.0.0.1 [09/Dec/2026:17:54:43 +0000] "GET / HTTP/1.1" 200 512 NEXT "referer" "agent"
// Bytes a terminal or a log reader could trip on are written as \xHH.
std::string FormatAccessLine(const AccessRecord& record, time_t when);

// Printable ASCII as it is, anything else (and '"', '\\') as \xHH.
std::string EscapeForLog(std::string_view text);

class AccessLog {
  public:
    explicit AccessLog(bool enabled) : enabled_(enabled) {}
    void Write(const AccessRecord& record);

  private:
    bool enabled_;
    std::mutex mutex_;
};

}  // namespace qelmor::serve

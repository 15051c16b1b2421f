// One line per request in the Combined Log Format, with what the filter
// decided as a last field, on standard output or appended to a file.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

namespace qelmor::serve {

struct AccessRecord {
    std::string client;
    std::string requestLine;
    int status = 0;      // 0: the connection was closed without a response (logged 444)
    uint64_t bytes = 0;  // body bytes sent
    std::string filter;  // what the filter decided, "-" when it did not run
    // The reason the filter gave (X-Qelmor-Reason), logged after the filter
    // field as "reason=CODE"; empty when it gave none, and no field then.
    std::string reason;
    // As the client sent them, so a refusal can be traced to the page that
    // embedded the file; empty when absent.
    std::string referer;
    std::string userAgent;
};

// 127.0.0.1 - - [09/Dec/2026:17:54:43 +0000] "GET / HTTP/1.1" 200 512 "referer" "agent" NEXT
// and, for a refusal whose reason the filter gave, " reason=token-expired".
// Bytes a terminal or a log reader could trip on are written as \xHH.
std::string FormatAccessLine(const AccessRecord& record, time_t when);

// Printable ASCII as it is, anything else (and '"', '\\') as \xHH.
std::string EscapeForLog(std::string_view text);

class AccessLog {
  public:
    enum class Target { None, StandardOutput, File };

    AccessLog() = default;
    ~AccessLog();
    AccessLog(const AccessLog&) = delete;
    AccessLog& operator=(const AccessLog&) = delete;

    void Disable();
    void UseStandardOutput();
    // Appends to `path`, creating it. False, with `error`, when it cannot be
    // opened; the log stays as it was.
    bool UseFile(const std::string& path, std::string& error);
    // Opens the file again by its name, for a log rotated away under us.
    // False, with `error`, when it cannot be; the old file is kept.
    bool Reopen(std::string& error);

    void Write(const AccessRecord& record);

  private:
    std::mutex mutex_;
    std::atomic<Target> target_{Target::StandardOutput};
    std::string path_;
    int fd_ = -1;
};

}  // namespace qelmor::serve

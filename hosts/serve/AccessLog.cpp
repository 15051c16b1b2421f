#include "hosts/serve/AccessLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace qelmor::serve {

std::string EscapeForLog(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F || c == '"' || c == '\\') {
            escaped += "\\x";
            escaped += kHex[byte >> 4];
            escaped += kHex[byte & 0x0F];
        } else {
            escaped += c;
        }
    }
    return escaped;
}

namespace {
constexpr int kClosedWithoutAnswer = 444;
}  // namespace

std::string FormatAccessLine(const AccessRecord& record, time_t when) {
    tm utc{};
    gmtime_r(&when, &utc);
    char stamp[40];
    std::strftime(stamp, sizeof stamp, "[%d/%b/%Y:%H:%M:%S +0000]", &utc);

    std::string line = record.client.empty() ? "-" : EscapeForLog(record.client);
    line += " - - ";
    line += stamp;
    line += " \"";
    line += EscapeForLog(record.requestLine);
    line += "\" ";
    // A connection closed without an answer is logged 444, as nginx logs
    // it: log tools want a number there.
    line += std::to_string(record.status == 0 ? kClosedWithoutAnswer : record.status);
    line += ' ';
    line += std::to_string(record.bytes);
    for (const std::string* quoted : {&record.referer, &record.userAgent}) {
        line += " \"";
        line += quoted->empty() ? "-" : EscapeForLog(*quoted);
        line += '"';
    }
    line += ' ';
    line += record.filter.empty() ? "-" : EscapeForLog(record.filter);
    if (!record.reason.empty()) {
        // One field, whatever a filter put there.
        line += " reason=";
        for (const char c : EscapeForLog(record.reason)) {
            if (c == ' ') {
                line += "\\x20";
            } else {
                line += c;
            }
        }
    }
    line += '\n';
    return line;
}

AccessLog::~AccessLog() {
    if (fd_ >= 0) close(fd_);
}

void AccessLog::Disable() {
    std::lock_guard lock(mutex_);
    target_ = Target::None;
}

void AccessLog::UseStandardOutput() {
    std::lock_guard lock(mutex_);
    target_ = Target::StandardOutput;
}

bool AccessLog::UseFile(const std::string& path, std::string& error) {
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) {
        error = "access log " + path + ": " + std::strerror(errno);
        return false;
    }
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
    path_ = path;
    target_ = Target::File;
    return true;
}

bool AccessLog::Reopen(std::string& error) {
    std::string path;
    {
        std::lock_guard lock(mutex_);
        if (target_ != Target::File) return true;
        path = path_;
    }
    return UseFile(path, error);
}

void AccessLog::Write(const AccessRecord& record) {
    if (target_ == Target::None) return;
    const std::string line = FormatAccessLine(record, time(nullptr));
    std::lock_guard lock(mutex_);
    if (target_ == Target::File) {
        // One write per line, so that lines from many loops never mix and a
        // reader never sees half of one.
        (void)!write(fd_, line.data(), line.size());
    } else if (target_ == Target::StandardOutput) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }
}

}  // namespace qelmor::serve

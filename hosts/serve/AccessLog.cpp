#include "hosts/serve/AccessLog.h"

#include <cinttypes>
#include <cstdio>

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

std::string FormatAccessLine(const AccessRecord& record, time_t when) {
    tm utc{};
    gmtime_r(&when, &utc);
    char stamp[40];
    std::strftime(stamp, sizeof stamp, "[%d/%b/%Y:%H:%M:%S +0000]", &utc);

    std::string status = record.status == 0 ? "-" : std::to_string(record.status);
    std::string line = EscapeForLog(record.client);
    line += ' ';
    line += stamp;
    line += " \"";
    line += EscapeForLog(record.requestLine);
    line += "\" ";
    line += status;
    line += ' ';
    line += std::to_string(record.bytes);
    line += ' ';
    line += record.filter.empty() ? "-" : EscapeForLog(record.filter);
    for (const std::string* quoted : {&record.referer, &record.userAgent}) {
        line += " \"";
        line += quoted->empty() ? "-" : EscapeForLog(*quoted);
        line += '"';
    }
    line += '\n';
    return line;
}

void AccessLog::Write(const AccessRecord& record) {
    if (!enabled_) return;
    const std::string line = FormatAccessLine(record, time(nullptr));
    std::lock_guard lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

}  // namespace qelmor::serve

#include "hosts/serve/HttpServer.h"

#include <civetweb.h>
#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <optional>
#include <thread>

#include "hosts/serve/RequestPath.h"
#include "hosts/serve/StaticFile.h"

namespace qelmor::serve {
namespace {

constexpr size_t kCopyChunk = 64 * 1024;
constexpr const char* kIndexFile = "index.html";
// begin_request must return a status for civetweb's bookkeeping even when
// nothing was sent; the access log shows such a request as "-".
constexpr int kClosedWithoutAnswer = 444;

// Validation on every use: whether a client may have a file depends on its
// referer, token and clock, so no shared cache may keep one and a browser
// asks again (cheaply, with its validators) before reusing what it has.
constexpr const char* kStaticCacheControl = "private, no-cache";

// An open file and what we know of it; `error` is errno of the failed step.
class OpenedFile {
  public:
    explicit OpenedFile(const std::string& path) {
        // O_NONBLOCK so that a FIFO under the root cannot hold a worker; it
        // is refused later as not a regular file.
        fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd_ < 0 || fstat(fd_, &info_) != 0) error_ = errno;
    }
    ~OpenedFile() {
        if (fd_ >= 0) close(fd_);
    }
    OpenedFile(const OpenedFile&) = delete;
    OpenedFile& operator=(const OpenedFile&) = delete;

    bool ok() const { return error_ == 0; }
    int error() const { return error_; }
    int fd() const { return fd_; }
    const struct stat& info() const { return info_; }

  private:
    int fd_ = -1;
    int error_ = 0;
    struct stat info_ = {};
};

// One response on one connection, and what the access log says of it.
class Reply {
  public:
    Reply(mg_connection* connection, bool headRequest)
        : connection_(connection), headRequest_(headRequest) {}

    void Start(int status) {
        status_ = status;
        started_ = true;
        mg_response_header_start(connection_, status);
    }
    void Header(const char* name, const std::string& value) {
        mg_response_header_add(connection_, name, value.c_str(), int(value.size()));
    }
    void HeaderLines(const std::string& lines) {
        if (!lines.empty()) mg_response_header_add_lines(connection_, lines.c_str());
    }
    void SendHeaders() { mg_response_header_send(connection_); }

    // Body bytes, which a HEAD request does not get. False when the client
    // is gone.
    bool Body(const char* bytes, size_t length) {
        if (headRequest_ || length == 0) return true;
        const int sent = mg_write(connection_, bytes, length);
        if (sent > 0) bytes_ += uint64_t(sent);
        if (sent < 0 || size_t(sent) != length) {
            CloseAfter();
            return false;
        }
        return true;
    }

    // Bytes exactly as given, status line and headers included.
    void Raw(const std::string& bytes, int loggedStatus) {
        status_ = loggedStatus;
        started_ = true;
        const int sent = mg_write(connection_, bytes.data(), bytes.size());
        if (sent > 0) bytes_ += uint64_t(sent);
    }

    void CloseAfter() { mg_disable_connection_keep_alive(connection_); }

    const char* StatusText(int status) const {
        return mg_get_response_code_text(connection_, status);
    }

    int status() const { return status_; }
    uint64_t bytes() const { return bytes_; }
    bool started() const { return started_; }

  private:
    mg_connection* connection_;
    bool headRequest_;
    bool started_ = false;
    int status_ = 0;
    uint64_t bytes_ = 0;
};

void SendSimple(Reply& reply, int status, const std::string& extraHeaders = {}) {
    const std::string title = std::to_string(status) + " " + reply.StatusText(status);
    const std::string body = "<html><head><title>" + title + "</title></head><body><h1>" + title +
                             "</h1></body></html>\n";
    reply.Start(status);
    reply.Header("Content-Type", "text/html");
    reply.Header("Content-Length", std::to_string(body.size()));
    reply.HeaderLines(extraHeaders);
    reply.SendHeaders();
    reply.Body(body.data(), body.size());
}

RequestFacts FactsOf(const mg_request_info& info) {
    RequestFacts request;
    request.method = info.request_method != nullptr ? info.request_method : "";
    const char* target = info.local_uri_raw != nullptr ? info.local_uri_raw : info.request_uri;
    request.rawPath = target != nullptr ? target : "";
    if (info.query_string != nullptr) request.rawQuery = info.query_string;
    request.httpVersion = info.http_version != nullptr ? info.http_version : "";
    request.remoteAddr = info.remote_addr;
    request.remotePort = info.remote_port;
    request.serverPort = info.server_port;
    request.secure = info.is_ssl != 0;
    for (int i = 0; i < info.num_headers; ++i) {
        const mg_header& header = info.http_headers[i];
        request.headers.emplace_back(header.name != nullptr ? header.name : "",
                                     header.value != nullptr ? header.value : "");
    }
    return request;
}

// "HTTP/1.1 302 Found..." gives 302; anything else 0.
int StatusOfRawResponse(const std::string& bytes) {
    const size_t space = bytes.find(' ');
    if (space == std::string::npos || space + 4 > bytes.size()) return 0;
    int status = 0;
    for (size_t i = space + 1; i < space + 4; ++i) {
        if (bytes[i] < '0' || bytes[i] > '9') return 0;
        status = status * 10 + (bytes[i] - '0');
    }
    return status;
}

std::optional<std::string_view> Header(const RequestFacts& request, std::string_view name) {
    return HeaderValue(request, name);
}

void ServeFile(Reply& reply, const RequestFacts& request, std::string path,
               const std::string& extraHeaders, bool redirectDirectory) {
    if (request.method != "GET" && request.method != "HEAD") {
        SendSimple(reply, 405, "Allow: GET, HEAD\r\n" + extraHeaders);
        return;
    }
    auto file = std::make_unique<OpenedFile>(path);
    if (!file->ok()) {
        SendSimple(reply, file->error() == EACCES ? 403 : 404, extraHeaders);
        return;
    }
    if (S_ISDIR(file->info().st_mode)) {
        if (redirectDirectory && !request.url.ends_with('/')) {
            // Relative links in the index page need the slash.
            std::string location = request.rawPath + "/";
            if (request.rawQuery) location += "?" + *request.rawQuery;
            SendSimple(reply, 301, "Location: " + location + "\r\n" + extraHeaders);
            return;
        }
        if (!path.ends_with('/')) path += '/';
        path += kIndexFile;
        file = std::make_unique<OpenedFile>(path);
        if (!file->ok()) {
            SendSimple(reply, file->error() == EACCES ? 403 : 404, extraHeaders);
            return;
        }
    }
    if (!S_ISREG(file->info().st_mode)) {
        SendSimple(reply, 404, extraHeaders);
        return;
    }
    const struct stat& info = file->info();

    FileValidators validators;
    validators.size = uint64_t(info.st_size);
    validators.modified = info.st_mtim.tv_sec;
    validators.entityTag = EntityTagFor(validators.size, info.st_mtim);
    RequestConditions conditions;
    conditions.ifNoneMatch = Header(request, "If-None-Match");
    conditions.ifModifiedSince = Header(request, "If-Modified-Since");
    conditions.range = Header(request, "Range");
    conditions.ifRange = Header(request, "If-Range");
    conditions.rangesApply = request.method == "GET";
    const ResponsePlan plan = PlanFileResponse(conditions, validators);

    reply.Start(plan.status);
    reply.Header("Last-Modified", HttpDate(validators.modified));
    reply.Header("ETag", validators.entityTag);
    reply.Header("Cache-Control", kStaticCacheControl);
    if (plan.status != 304) {
        reply.Header("Accept-Ranges", "bytes");
        reply.Header("Content-Length", std::to_string(plan.length));
    }
    if (plan.status == 200 || plan.status == 206) reply.Header("Content-Type", MimeTypeFor(path));
    if (plan.status == 206) {
        char range[96];
        std::snprintf(range, sizeof range, "bytes %" PRIu64 "-%" PRIu64 "/%" PRIu64, plan.first,
                      plan.first + plan.length - 1, validators.size);
        reply.Header("Content-Range", range);
    } else if (plan.status == 416) {
        reply.Header("Content-Range", "bytes */" + std::to_string(validators.size));
    }
    reply.HeaderLines(extraHeaders);
    reply.SendHeaders();
    if (request.method != "GET" || plan.length == 0) return;

    auto buffer = std::make_unique<char[]>(kCopyChunk);
    uint64_t offset = plan.first;
    uint64_t remaining = plan.length;
    while (remaining > 0) {
        const size_t want = remaining < kCopyChunk ? size_t(remaining) : kCopyChunk;
        const ssize_t got = pread(file->fd(), buffer.get(), want, off_t(offset));
        if (got <= 0) {
            // The file shrank under us: the promised length cannot be kept.
            reply.CloseAfter();
            return;
        }
        if (!reply.Body(buffer.get(), size_t(got))) return;
        offset += uint64_t(got);
        remaining -= uint64_t(got);
    }
}

// Where a notification left the request, in a word or two for the log.
std::string FilterNote(const FilterOutcome& outcome) {
    if (!outcome.called) return "not-registered";
    std::string note = DescribeFilterStatus(outcome.status);
    if (!outcome.written.empty()) {
        note += ":wrote=" + std::to_string(outcome.written.size());
    } else if (outcome.pathReplaced) {
        note += ":path=" + outcome.finalPath;
    } else if (outcome.status == SF_STATUS_REQ_FINISHED ||
               outcome.status == SF_STATUS_REQ_FINISHED_KEEP_CONN) {
        note += ":closed";
    }
    return note;
}

void Answer(Reply& reply, const std::string& root, const FilterHost& filter, RequestFacts& request,
            std::string& filterNote) {
    const MappedPath mapped = MapRequestPath(root, request.rawPath, PATH_MAX);
    if (mapped.verdict != PathVerdict::Mapped) {
        // A client that sends such paths gets no second request on this
        // connection.
        reply.CloseAfter();
        SendSimple(reply, mapped.verdict == PathVerdict::TooLong ? 414 : 400);
        return;
    }
    request.url = mapped.url;

    // The default document is what the client will get, so it is what the
    // filter judges, as IIS maps it before the notification.
    std::string physical = mapped.physical;
    if (mapped.url.ends_with('/')) {
        const std::string index = physical + kIndexFile;
        struct stat info = {};
        if (index.size() < PATH_MAX && stat(index.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            physical = index;
        }
    }

    const FilterOutcome outcome = filter.RunUrlMap(request, physical);
    filterNote = FilterNote(outcome);

    switch (outcome.status) {
        case SF_STATUS_REQ_NEXT_NOTIFICATION:
        case SF_STATUS_REQ_HANDLED_NOTIFICATION: {
            if (!outcome.pathReplaced) {
                ServeFile(reply, request, physical, outcome.responseHeaders, true);
                return;
            }
            const auto path = ResolveFilterPath(root, outcome.finalPath);
            if (path) {
                ServeFile(reply, request, *path, outcome.responseHeaders, false);
            } else {
                SendSimple(reply, 404, outcome.responseHeaders);
            }
            return;
        }
        case SF_STATUS_REQ_FINISHED:
        case SF_STATUS_REQ_FINISHED_KEEP_CONN: {
            if (!outcome.written.empty()) {
                // IIS sends what the filter wrote as it is and ends the
                // connection. Without a status line a browser would show
                // nothing, so bare bytes become the body of a 403.
                reply.CloseAfter();
                if (outcome.written.starts_with("HTTP/")) {
                    reply.Raw(outcome.written, StatusOfRawResponse(outcome.written));
                    return;
                }
                reply.Start(403);
                reply.Header("Content-Type", "text/html");
                reply.Header("Content-Length", std::to_string(outcome.written.size()));
                reply.HeaderLines(outcome.responseHeaders);
                reply.SendHeaders();
                reply.Body(outcome.written.data(), outcome.written.size());
                return;
            }
            if (outcome.pathReplaced) {
                const auto path = ResolveFilterPath(root, outcome.finalPath);
                if (path) {
                    ServeFile(reply, request, *path, outcome.responseHeaders, false);
                } else {
                    SendSimple(reply, 404, outcome.responseHeaders);
                }
                return;
            }
            // Finished with nothing to say: IIS just drops the connection.
            reply.CloseAfter();
            return;
        }
        default:
            reply.CloseAfter();
            SendSimple(reply, 500);
            return;
    }
}

// Connects to our own listening socket and hangs up at once.
void WakeListener(const std::string& listenAddress, int port) {
    std::string host = listenAddress;
    if (host.size() >= 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    if (host == "0.0.0.0") host = "127.0.0.1";
    if (host == "::") host = "::1";
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return;
    const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        connect(fd, found->ai_addr, found->ai_addrlen);
        close(fd);
    }
    freeaddrinfo(found);
}

int BeginRequest(mg_connection* connection) {
    auto* server = static_cast<HttpServer*>(mg_get_request_info(connection)->user_data);
    return server->HandleRequest(connection);
}

int LogMessage(const mg_connection*, const char* message) {
    std::fprintf(stderr, "qelmor-serve: %s\n", message);
    return 1;
}

}  // namespace

HttpServer::HttpServer(const FilterHost& filter, ServerSettings settings)
    : filter_(filter), settings_(std::move(settings)), log_(!settings_.quiet) {}

HttpServer::~HttpServer() {
    Stop();
}

bool HttpServer::Start(std::string& error) {
    mg_callbacks callbacks{};
    callbacks.begin_request = BeginRequest;
    callbacks.log_message = LogMessage;

    const std::string ports = settings_.listenAddress + ":" + std::to_string(settings_.listenPort);
    const std::string threads = std::to_string(settings_.threads);
    // Name and value pairs.
    // clang-format off
    const char* options[] = {
        "listening_ports", ports.c_str(),
        "num_threads", threads.c_str(),
        // We decode and check the path ourselves, before the filter sees it.
        "decode_url", "no",
        "enable_keep_alive", "yes",
        "keep_alive_timeout_ms", "5000",
        "request_timeout_ms", "10000",
        // Headers and body go out in separate writes; without this a small
        // answer on a kept-alive connection waits for the delayed ACK.
        "tcp_nodelay", "1",
        "enable_directory_listing", "no",
        "max_request_size", "16384",
        nullptr,
    };
    // clang-format on
    mg_init_data init{};
    init.callbacks = &callbacks;
    init.user_data = this;
    init.configuration_options = options;
    unsigned code = 0;
    char text[256] = {};
    mg_error_data failure{};
    failure.code = &code;
    failure.text = text;
    failure.text_buffer_size = sizeof text;
    context_ = mg_start2(&init, &failure);
    if (context_ == nullptr) {
        error = "cannot listen on " + ports + ": " + (text[0] != '\0' ? text : "unknown error");
        return false;
    }
    return true;
}

void HttpServer::Stop() {
    if (context_ == nullptr) return;
    const int port = Port();
    std::atomic<bool> stopped{false};
    std::thread stopper([this, &stopped] {
        mg_stop(context_);
        stopped = true;
    });
    // civetweb's listening thread looks at the stop flag only between polls
    // of the listening socket, two seconds apart; a connection wakes it.
    while (!stopped) {
        WakeListener(settings_.listenAddress, port);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stopper.join();
    context_ = nullptr;
}

int HttpServer::Port() const {
    if (context_ == nullptr) return 0;
    mg_server_port port{};
    return mg_get_server_ports(context_, 1, &port) >= 1 ? port.port : 0;
}

int HttpServer::HandleRequest(mg_connection* connection) {
    const mg_request_info* info = mg_get_request_info(connection);
    AccessRecord record;
    record.filter = "-";
    Reply reply(connection, false);
    try {
        RequestFacts request = FactsOf(*info);
        record.client = request.remoteAddr;
        record.requestLine = RequestLine(request);
        record.referer = HeaderValue(request, "Referer").value_or("");
        record.userAgent = HeaderValue(request, "User-Agent").value_or("");
        reply = Reply(connection, request.method == "HEAD");
        Answer(reply, settings_.root, filter_, request, record.filter);
    } catch (...) {
        // Nothing may unwind into civetweb. Half an answer cannot be
        // mended, only cut off.
        reply.CloseAfter();
        try {
            if (!reply.started()) SendSimple(reply, 500);
        } catch (...) {
        }
    }
    record.status = reply.status();
    record.bytes = reply.bytes();
    try {
        log_.Write(record);
    } catch (...) {
        // A line lost to an exhausted heap is not worth the request.
    }
    return record.status > 0 && record.status < 1000 ? record.status : kClosedWithoutAnswer;
}

}  // namespace qelmor::serve

#include "hosts/serve/HttpServer.h"

#include <civetweb.h>
#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <optional>
#include <thread>

#include "hosts/serve/RequestPath.h"
#include "hosts/serve/RequestRules.h"
#include "hosts/serve/StaticFile.h"

namespace qelmor::serve {
namespace {

constexpr size_t kCopyChunk = 64 * 1024;
// What civetweb reads of a request head before it gives up with its own
// 400 and no chance for us to answer. One buffer of this size per worker
// thread, filled only as far as a client sends.
constexpr size_t kRequestHeadReadLimit = 2 * 1024 * 1024;
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
// Normally civetweb keeps the response head and decides on keep-alive; a
// request that civetweb handed to no handler is answered after civetweb has
// finished with it, when its head buffer is no longer ours to fill, so that
// answer is written directly and ends the connection.
class Reply {
  public:
    enum class Mode { Civetweb, Direct };

    Reply(mg_connection* connection, bool headRequest, Mode mode = Mode::Civetweb,
          std::string httpVersion = "1.1")
        : connection_(connection),
          headRequest_(headRequest),
          direct_(mode == Mode::Direct),
          httpVersion_(std::move(httpVersion)) {}

    void Start(int status) {
        status_ = status;
        started_ = true;
        if (direct_) {
            head_ = "HTTP/" + httpVersion_ + " " + std::to_string(status) + " " +
                    StatusText(status) + "\r\n";
        } else {
            mg_response_header_start(connection_, status);
        }
    }
    void Header(const char* name, const std::string& value) {
        if (direct_) {
            AddDirect(name, value);
        } else {
            mg_response_header_add(connection_, name, value.c_str(), int(value.size()));
        }
    }
    // "Name: value\r\n" lines, as a filter adds them.
    void HeaderLines(const std::string& lines) {
        if (lines.empty()) return;
        if (!direct_) {
            mg_response_header_add_lines(connection_, lines.c_str());
            return;
        }
        size_t start = 0;
        while (start < lines.size()) {
            size_t end = lines.find('\n', start);
            if (end == std::string::npos) end = lines.size();
            std::string_view line(lines.data() + start, end - start);
            if (line.ends_with('\r')) line.remove_suffix(1);
            if (line.empty()) break;
            const size_t colon = line.find(':');
            if (colon != std::string_view::npos && colon > 0) {
                std::string_view value = line.substr(colon + 1);
                while (value.starts_with(' ') || value.starts_with('\t'))
                    value.remove_prefix(1);
                AddDirect(std::string(line.substr(0, colon)), std::string(value));
            }
            start = end + 1;
        }
    }
    void SendHeaders() {
        if (!direct_) {
            mg_response_header_send(connection_);
            return;
        }
        if (!hasDate_) AddDirect("Date", HttpDate(time(nullptr)));
        if (!hasConnection_) AddDirect("Connection", "close");
        head_ += "\r\n";
        mg_write(connection_, head_.data(), head_.size());
    }

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

    void CloseAfter() {
        if (!direct_) mg_disable_connection_keep_alive(connection_);
    }

    const char* StatusText(int status) const {
        return mg_get_response_code_text(connection_, status);
    }

    int status() const { return status_; }
    uint64_t bytes() const { return bytes_; }
    bool started() const { return started_; }

  private:
    void AddDirect(const std::string& name, const std::string& value) {
        if (EqualsNoCase(name, "Date")) hasDate_ = true;
        if (EqualsNoCase(name, "Connection")) hasConnection_ = true;
        head_ += name + ": " + value + "\r\n";
    }

    static bool EqualsNoCase(std::string_view a, std::string_view b) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i) {
            if (std::tolower(static_cast<unsigned char>(a[i])) !=
                std::tolower(static_cast<unsigned char>(b[i]))) {
                return false;
            }
        }
        return true;
    }

    mg_connection* connection_;
    bool headRequest_;
    bool direct_;
    std::string httpVersion_;
    std::string head_;
    bool hasDate_ = false;
    bool hasConnection_ = false;
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

// `routed`: civetweb passed the request to begin_request, having cut the
// query off request_uri; otherwise request_uri is the whole target and
// query_string is left from an earlier request.
RequestFacts FactsOf(const mg_request_info& info, bool routed) {
    RequestFacts request;
    request.method = info.request_method != nullptr ? info.request_method : "";
    request.target = info.request_uri != nullptr ? info.request_uri : "";
    if (routed && info.query_string != nullptr) {
        request.target += '?';
        request.target += info.query_string;
    }
    request.httpVersion = info.http_version != nullptr ? info.http_version : "";
    request.remoteAddr = info.remote_addr;
    request.remotePort = info.remote_port;
    request.serverPort = info.server_port;
    request.secure = info.is_ssl != 0;
    for (int i = 0; i < info.num_headers; ++i) {
        const mg_header& header = info.http_headers[i];
        std::string value = header.value != nullptr ? header.value : "";
        // Blanks around a value are no part of it; civetweb drops only
        // those before it. "Host: name " names the host "name".
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
            value.pop_back();
        request.headers.emplace_back(header.name != nullptr ? header.name : "", std::move(value));
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
            // Relative links in the index page need the slash. The path
            // as sent may begin with "//", which a client reads as a host.
            SendSimple(reply, 301,
                       "Location: " + DirectoryLocation(request.url, request.rawQuery) + "\r\n" +
                           extraHeaders);
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

void Answer(Reply& reply, const ServerSettings& settings, const FilterHost& filter,
            RequestFacts& request, std::string& filterNote) {
    const std::string& root = settings.root;
    const Admission admission = AdmitRequest(request, settings.serverNames);
    if (admission == Admission::ServerOptions) {
        reply.Start(200);
        reply.Header("Allow", "GET, HEAD, OPTIONS");
        reply.Header("Content-Length", "0");
        reply.SendHeaders();
        return;
    }
    if (admission != Admission::Proceed) {
        reply.CloseAfter();
        SendSimple(reply, StatusOf(admission));
        return;
    }

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

// Set on a connection whose request civetweb refused itself.
char refusedByCivetweb;

int BeginRequest(mg_connection* connection) {
    auto* server = static_cast<HttpServer*>(mg_get_request_info(connection)->user_data);
    return server->HandleRequest(connection, true);
}

int HttpError(mg_connection* connection, int, const char*) {
    mg_set_user_connection_data(connection, &refusedByCivetweb);
    return 1;  // civetweb sends its own page
}

// civetweb parses "OPTIONS *" and absolute-form targets (unless one names
// its own port and authentication domain) but hands them to no handler and
// closes the connection without a word. Such a request is still in the
// request record when the connection closes, with no local URI; it is
// answered here, before civetweb shuts the socket.
void ConnectionClose(const mg_connection* connection) {
    const mg_request_info* info = mg_get_request_info(connection);
    if (info == nullptr || info->request_method == nullptr || info->request_uri == nullptr ||
        info->local_uri != nullptr || mg_get_user_connection_data(connection) != nullptr) {
        return;
    }
    auto* server = static_cast<HttpServer*>(info->user_data);
    // The callback gets the connection as const only because most uses just
    // look; the socket is open and this thread still owns it.
    server->HandleRequest(const_cast<mg_connection*>(connection), false);
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
    callbacks.http_error = HttpError;
    callbacks.connection_close = ConnectionClose;
    callbacks.log_message = LogMessage;

    const std::string ports = settings_.listenAddress + ":" + std::to_string(settings_.listenPort);
    const std::string threads = std::to_string(settings_.threads);
    const std::string readLimit = std::to_string(kRequestHeadReadLimit);
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
        // Room to read a head well over our own limits, so that it is
        // answered 414 or 431 rather than cut off by civetweb.
        "max_request_size", readLimit.c_str(),
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

int HttpServer::HandleRequest(mg_connection* connection, bool routed) {
    const mg_request_info* info = mg_get_request_info(connection);
    const Reply::Mode mode = routed ? Reply::Mode::Civetweb : Reply::Mode::Direct;
    const std::string version = info->http_version != nullptr ? info->http_version : "1.0";
    AccessRecord record;
    record.filter = "-";
    Reply reply(connection, false, mode, version);
    try {
        RequestFacts request = FactsOf(*info, routed);
        record.client = request.remoteAddr;
        record.requestLine = RequestLine(request);
        record.referer = HeaderValue(request, "Referer").value_or("");
        record.userAgent = HeaderValue(request, "User-Agent").value_or("");
        reply = Reply(connection, request.method == "HEAD", mode, version);
        Answer(reply, settings_, filter_, request, record.filter);
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

#include "hosts/serve/HttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <h2o.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>

#include "hosts/serve/RequestPath.h"
#include "hosts/serve/RequestRules.h"
#include "hosts/serve/StaticFile.h"

namespace qelmor::serve {
namespace {

// Read and sent a piece at a time, so that a thousand slow viewers hold a
// thousand small buffers, not a thousand files.
constexpr size_t kBodyChunk = 32 * 1024;
// SO_SNDBUF of every connection (the kernel doubles it for its bookkeeping).
constexpr int kSendBuffer = 256 * 1024;
constexpr const char* kIndexFile = "index.html";
// Only GET and HEAD are served; a body that comes with another method is
// read before the 405, and no more of it than this.
constexpr size_t kMaxRequestBody = 64 * 1024;
// How many connections one readiness of a listener takes at once, so that a
// flood of new connections cannot starve the ones already open.
constexpr int kAcceptBurst = 64;
// The environment entry that carries the filter's result to the log line.
constexpr std::string_view kFilterNoteKey = "qelmor.filter";
constexpr std::string_view kFilterReasonKey = "qelmor.reason";
// Set on a request whose connection was closed without an answer.
constexpr std::string_view kDroppedKey = "qelmor.dropped";

// Validation on every use: whether a client may have a file depends on its
// referer, token and clock, so no shared cache may keep one and a browser
// asks again (cheaply, with its validators) before reusing what it has.
constexpr std::string_view kStaticCacheControl = "private, no-cache";

const char* ReasonPhrase(int status) {
    switch (status) {
        case 200: return "OK";
        case 206: return "Partial Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 304: return "Not Modified";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 414: return "URI Too Long";
        case 416: return "Range Not Satisfiable";
        case 421: return "Misdirected Request";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Unknown";
    }
}

struct Worker;
thread_local Worker* tWorker = nullptr;

}  // namespace

struct HttpServer::Impl {
    const FilterHost& filter;
    ServerSettings settings;
    AccessLog& log;
    h2o_globalconf_t config{};
    bool configured = false;
    std::vector<int> listenFds;
    std::vector<std::string> urls;
    std::vector<std::unique_ptr<Worker>> workers;

    Impl(const FilterHost& f, ServerSettings s, AccessLog& l)
        : filter(f), settings(std::move(s)), log(l) {}
};

namespace {

// One event loop on a thread of its own.
struct Worker {
    HttpServer::Impl* server = nullptr;
    h2o_context_t context{};
    h2o_accept_ctx_t accept{};
    std::vector<h2o_socket_t*> listeners;
    int wakeFds[2] = {-1, -1};
    h2o_socket_t* wake = nullptr;
    std::atomic<bool> stopRequested{false};
    bool stopping = false;
    // Requests whose response is not yet all written.
    size_t requestsInFlight = 0;
    std::thread thread;
};

// ---- Responses --------------------------------------------------------------

h2o_iovec_t PoolCopy(h2o_req_t* req, std::string_view text) {
    return h2o_strdup(&req->pool, text.data(), text.size());
}

void AddHeader(h2o_req_t* req, std::string_view name, std::string_view value) {
    // h2o finds its own tokens by the lower-case name and keeps the case as
    // given for the wire.
    std::string lower(name);
    for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    const h2o_iovec_t lowered = PoolCopy(req, lower);
    const h2o_iovec_t original = PoolCopy(req, name);
    const h2o_iovec_t copied = PoolCopy(req, value);
    h2o_add_header_by_str(&req->pool, &req->res.headers, lowered.base, lowered.len, 1,
                          original.base, copied.base, copied.len);
}

// "Name: value\r\n" lines, as a filter adds them.
void AddHeaderLines(h2o_req_t* req, std::string_view lines) {
    while (!lines.empty()) {
        size_t end = lines.find('\n');
        std::string_view line = lines.substr(0, end);
        lines = end == std::string_view::npos ? std::string_view() : lines.substr(end + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (line.empty()) break;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) continue;
        std::string_view value = line.substr(colon + 1);
        while (value.starts_with(' ') || value.starts_with('\t')) value.remove_prefix(1);
        AddHeader(req, line.substr(0, colon), value);
    }
}

void SetEnv(h2o_req_t* req, std::string_view key, std::string_view value) {
    h2o_vector_reserve(&req->pool, &req->env, req->env.size + 2);
    req->env.entries[req->env.size++] = PoolCopy(req, key);
    req->env.entries[req->env.size++] = PoolCopy(req, value);
}

std::optional<std::string_view> GetEnv(const h2o_req_t* req, std::string_view key) {
    for (size_t i = 0; i + 1 < req->env.size; i += 2) {
        const h2o_iovec_t& name = req->env.entries[i];
        if (std::string_view(name.base, name.len) == key) {
            return std::string_view(req->env.entries[i + 1].base, req->env.entries[i + 1].len);
        }
    }
    return std::nullopt;
}

void CloseAfter(h2o_req_t* req) {
    req->http1_is_persistent = 0;
}

bool IsHead(const h2o_req_t* req) {
    return std::string_view(req->method.base, req->method.len) == "HEAD";
}

// A whole answer at once; h2o leaves out the body of a HEAD.
void SendBytes(h2o_req_t* req, int status, std::string_view body) {
    req->res.status = status;
    req->res.reason = ReasonPhrase(status);
    req->res.content_length = body.size();
    h2o_send_inline(req, body.data(), body.size());
}

void SendSimple(h2o_req_t* req, int status, std::string_view extraHeaders = {}) {
    const std::string title = std::to_string(status) + " " + ReasonPhrase(status);
    const std::string body =
        "<html><head><title>" + title + "</title></head><body><h1>" + title + "</h1></body></html>\n";
    AddHeader(req, "Content-Type", "text/html");
    AddHeaderLines(req, extraHeaders);
    SendBytes(req, status, body);
}

// IIS drops the connection when a filter finishes a request without a word.
// The socket is shut down under h2o, which then fails to send the empty
// answer it is given and closes the connection as it does for any client
// that went away.
void DropConnection(h2o_req_t* req) {
    SetEnv(req, kDroppedKey, "1");
    CloseAfter(req);
    if (req->conn->callbacks->get_socket != nullptr) {
        if (h2o_socket_t* socket = req->conn->callbacks->get_socket(req->conn))
            shutdown(h2o_socket_get_fd(socket), SHUT_RDWR);
    }
    req->res.status = 500;
    req->res.reason = ReasonPhrase(500);
    req->res.content_length = 0;
    h2o_send_inline(req, "", 0);
}

// A whole response the filter wrote ("HTTP/1.1 302 Found\r\n..."): its
// status, reason, headers and body go out as the filter wrote them; h2o
// frames them (length, date, connection) for the protocol in use.
bool SendWrittenResponse(h2o_req_t* req, std::string_view written) {
    RequestFacts parsed;
    size_t headEnd = written.find("\r\n\r\n");
    size_t bodyAt = headEnd == std::string_view::npos ? headEnd : headEnd + 4;
    if (headEnd == std::string_view::npos) {
        headEnd = written.find("\n\n");
        bodyAt = headEnd == std::string_view::npos ? headEnd : headEnd + 2;
    }
    if (headEnd == std::string_view::npos) return false;
    const size_t lineEnd = written.find('\n');
    std::string_view statusLine = written.substr(0, lineEnd);
    if (statusLine.ends_with('\r')) statusLine.remove_suffix(1);
    // "HTTP/1.1 302 Found"
    const size_t space = statusLine.find(' ');
    if (space == std::string_view::npos || statusLine.size() < space + 4) return false;
    int status = 0;
    for (size_t i = space + 1; i < space + 4; ++i) {
        if (statusLine[i] < '0' || statusLine[i] > '9') return false;
        status = status * 10 + (statusLine[i] - '0');
    }
    if (status < 200 || status > 599) return false;
    std::string_view reason = statusLine.substr(std::min(statusLine.size(), space + 5));

    const std::string_view body = written.substr(bodyAt);
    std::string_view headers = written.substr(lineEnd + 1, headEnd + 2 - (lineEnd + 1));
    while (!headers.empty()) {
        const size_t end = headers.find('\n');
        std::string_view line = headers.substr(0, end);
        headers = end == std::string_view::npos ? std::string_view() : headers.substr(end + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) continue;
        std::string name(line.substr(0, colon));
        for (char& c : name) c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
        // Framing is the server's to give, for the body that is sent.
        if (name == "content-length" || name == "transfer-encoding" || name == "connection" ||
            name == "date" || name == "keep-alive") {
            continue;
        }
        std::string_view value = line.substr(colon + 1);
        while (value.starts_with(' ') || value.starts_with('\t')) value.remove_prefix(1);
        AddHeader(req, line.substr(0, colon), value);
    }
    req->res.status = status;
    req->res.reason = PoolCopy(req, reason.empty() ? ReasonPhrase(status) : reason).base;
    req->res.content_length = body.size();
    h2o_send_inline(req, body.data(), body.size());
    return true;
}

// ---- Files ------------------------------------------------------------------

// The body of a file response, read a piece at a time as the client takes
// it. h2o calls Proceed when the last piece is on its way and Stop when the
// client is gone.
//
// The next piece waits for the loop's next turn: a write into a socket
// buffer with room completes at once, and sending on from there would let
// a thousand downloads fill every kernel buffer they have before the loop
// looks for a new request again.
struct FileBody {
    h2o_generator_t generator;
    h2o_timeout_entry_t nextTurn;
    h2o_req_t* req;
    Worker* worker;
    int fd;
    uint64_t offset;
    uint64_t remaining;
    char* buffer;

    void Close() {
        if (h2o_timeout_is_linked(&nextTurn)) h2o_timeout_unlink(&nextTurn);
        if (fd < 0) return;
        close(fd);
        fd = -1;
    }

    static void Proceed(h2o_generator_t* generator, h2o_req_t*) {
        auto* body = reinterpret_cast<FileBody*>(generator);
        h2o_timeout_link(body->worker->context.loop, &body->worker->context.zero_timeout,
                         &body->nextTurn);
    }
    static void OnNextTurn(h2o_timeout_entry_t* entry) {
        auto* body = reinterpret_cast<FileBody*>(reinterpret_cast<char*>(entry) -
                                                 offsetof(FileBody, nextTurn));
        body->SendNext();
    }
    static void Stop(h2o_generator_t* generator, h2o_req_t*) {
        reinterpret_cast<FileBody*>(generator)->Close();
    }

    void SendNext() {
        const size_t want = remaining < kBodyChunk ? size_t(remaining) : kBodyChunk;
        const ssize_t got = pread(fd, buffer, want, off_t(offset));
        if (got <= 0) {
            // The file shrank under us: the promised length cannot be kept.
            Close();
            h2o_send(req, nullptr, 0, H2O_SEND_STATE_ERROR);
            return;
        }
        offset += uint64_t(got);
        remaining -= uint64_t(got);
        h2o_iovec_t piece = h2o_iovec_init(buffer, size_t(got));
        if (remaining == 0) {
            Close();
            h2o_send(req, &piece, 1, H2O_SEND_STATE_FINAL);
        } else {
            h2o_send(req, &piece, 1, H2O_SEND_STATE_IN_PROGRESS);
        }
    }
};

// An open file and what we know of it; `error` is errno of the failed step.
struct OpenedFile {
    int fd = -1;
    int error = 0;
    struct stat info {};

    explicit OpenedFile(const std::string& path) {
        // O_NONBLOCK so that a FIFO under the root cannot hold the loop; it
        // is refused as not a regular file.
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0 || fstat(fd, &info) != 0) error = errno;
    }
    ~OpenedFile() {
        if (fd >= 0) close(fd);
    }
    OpenedFile(const OpenedFile&) = delete;
    OpenedFile& operator=(const OpenedFile&) = delete;
    int Release() {
        const int released = fd;
        fd = -1;
        return released;
    }
};

void ServeFile(h2o_req_t* req, const RequestFacts& request, std::string path,
               std::string_view extraHeaders, bool redirectDirectory) {
    if (request.method != "GET" && request.method != "HEAD") {
        AddHeader(req, "Allow", "GET, HEAD");
        SendSimple(req, 405, extraHeaders);
        return;
    }
    auto file = std::make_unique<OpenedFile>(path);
    if (file->error != 0) {
        SendSimple(req, file->error == EACCES ? 403 : 404, extraHeaders);
        return;
    }
    if (S_ISDIR(file->info.st_mode)) {
        if (redirectDirectory && !request.url.ends_with('/')) {
            // Relative links in the index page need the slash. The path
            // as sent may begin with "//", which a client reads as a host.
            AddHeader(req, "Location", DirectoryLocation(request.url, request.rawQuery));
            SendSimple(req, 301, extraHeaders);
            return;
        }
        if (!path.ends_with('/')) path += '/';
        path += kIndexFile;
        file = std::make_unique<OpenedFile>(path);
        if (file->error != 0) {
            SendSimple(req, file->error == EACCES ? 403 : 404, extraHeaders);
            return;
        }
    }
    if (!S_ISREG(file->info.st_mode)) {
        SendSimple(req, 404, extraHeaders);
        return;
    }

    FileValidators validators;
    validators.size = uint64_t(file->info.st_size);
    validators.modified = file->info.st_mtim.tv_sec;
    validators.entityTag = EntityTagFor(validators.size, file->info.st_mtim);
    RequestConditions conditions;
    conditions.ifNoneMatch = HeaderValue(request, "If-None-Match");
    conditions.ifModifiedSince = HeaderValue(request, "If-Modified-Since");
    conditions.range = HeaderValue(request, "Range");
    conditions.ifRange = HeaderValue(request, "If-Range");
    conditions.rangesApply = request.method == "GET";
    const ResponsePlan plan = PlanFileResponse(conditions, validators);

    AddHeader(req, "Last-Modified", HttpDate(validators.modified));
    AddHeader(req, "ETag", validators.entityTag);
    AddHeader(req, "Cache-Control", kStaticCacheControl);
    if (plan.status != 304) AddHeader(req, "Accept-Ranges", "bytes");
    if (plan.status == 200 || plan.status == 206) AddHeader(req, "Content-Type", MimeTypeFor(path));
    if (plan.status == 206) {
        char range[96];
        std::snprintf(range, sizeof range, "bytes %" PRIu64 "-%" PRIu64 "/%" PRIu64, plan.first,
                      plan.first + plan.length - 1, validators.size);
        AddHeader(req, "Content-Range", range);
    } else if (plan.status == 416) {
        AddHeader(req, "Content-Range", "bytes */" + std::to_string(validators.size));
    }
    AddHeaderLines(req, extraHeaders);
    req->res.status = plan.status;
    req->res.reason = ReasonPhrase(plan.status);
    if (plan.status == 304) {
        h2o_send_inline(req, "", 0);
        return;
    }
    req->res.content_length = plan.length;
    if (IsHead(req) || plan.length == 0) {
        static h2o_generator_t nothing = {nullptr, nullptr};
        h2o_start_response(req, &nothing);
        h2o_send(req, nullptr, 0, H2O_SEND_STATE_FINAL);
        return;
    }

    auto* body = static_cast<FileBody*>(h2o_mem_alloc_pool(&req->pool, sizeof(FileBody)));
    body->generator = {FileBody::Proceed, FileBody::Stop};
    body->nextTurn = {};
    body->nextTurn.cb = FileBody::OnNextTurn;
    body->req = req;
    body->worker = tWorker;
    body->fd = file->Release();
    body->offset = plan.first;
    body->remaining = plan.length;
    body->buffer = static_cast<char*>(h2o_mem_alloc_pool(&req->pool, kBodyChunk));
    h2o_start_response(req, &body->generator);
    body->SendNext();
}

// ---- Requests ---------------------------------------------------------------

std::string AddressText(const sockaddr* address, int& port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        port = ntohs(v4->sin_port);
    } else if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        port = ntohs(v6->sin6_port);
        // A v4 client on a dual-stack socket is a v4 client.
        const std::string_view shown(text);
        if (shown.starts_with("::ffff:") && shown.find('.') != std::string_view::npos)
            return std::string(shown.substr(7));
    }
    return text;
}

// The request as the client sent it. An HTTP/1 head is read again from the
// connection's input, where h2o keeps it until the response is done: h2o
// itself keeps one Host header and takes none for the first hostconf's
// name, and the filter and the rules must see what came. An HTTP/2 request
// has no repeated or missing authority to hide.
bool GatherFacts(h2o_req_t* req, RequestFacts& request) {
    const std::string_view method(req->input.method.base, req->input.method.len);
    const std::string_view target(req->input.path.base, req->input.path.len);
    if (req->version < 0x200) {
        h2o_socket_t* socket = req->conn->callbacks->get_socket != nullptr
                                   ? req->conn->callbacks->get_socket(req->conn)
                                   : nullptr;
        if (socket == nullptr || socket->input == nullptr) return false;
        const std::string_view input(socket->input->bytes, socket->input->size);
        if (!ReadRequestHead(input, request)) return false;
        if (request.method != method || request.target != target) return false;
    } else {
        request.method = std::string(method);
        request.target = std::string(target);
        request.httpVersion.assign(1, '2');
        request.headers.emplace_back("Host",
                                     std::string(req->input.authority.base, req->input.authority.len));
        for (size_t i = 0; i < req->headers.size; ++i) {
            const h2o_header_t& header = req->headers.entries[i];
            request.headers.emplace_back(std::string(header.name->base, header.name->len),
                                         std::string(header.value.base, header.value.len));
        }
    }
    sockaddr_storage address{};
    if (req->conn->callbacks->get_peername(req->conn, reinterpret_cast<sockaddr*>(&address)) > 0)
        request.remoteAddr = AddressText(reinterpret_cast<sockaddr*>(&address), request.remotePort);
    address = {};
    if (req->conn->callbacks->get_sockname(req->conn, reinterpret_cast<sockaddr*>(&address)) > 0)
        AddressText(reinterpret_cast<sockaddr*>(&address), request.serverPort);
    request.secure = false;
    return true;
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

void Answer(h2o_req_t* req, const HttpServer::Impl& server, RequestFacts& request) {
    const std::string& root = server.settings.root;
    const Admission admission = AdmitRequest(request, server.settings.serverNames);
    if (admission == Admission::ServerOptions) {
        AddHeader(req, "Allow", "GET, HEAD, OPTIONS");
        SendBytes(req, 200, "");
        return;
    }
    if (admission != Admission::Proceed) {
        CloseAfter(req);
        SendSimple(req, StatusOf(admission));
        return;
    }

    const MappedPath mapped = MapRequestPath(root, request.rawPath, PATH_MAX);
    if (mapped.verdict != PathVerdict::Mapped) {
        // A client that sends such paths gets no second request on this
        // connection.
        CloseAfter(req);
        SendSimple(req, mapped.verdict == PathVerdict::TooLong ? 414 : 400);
        return;
    }
    request.url = mapped.url;

    // The default document is what the client will get, so it is what the
    // filter judges, as IIS maps it before the notification.
    std::string physical = mapped.physical;
    if (mapped.url.ends_with('/')) {
        const std::string index = physical + kIndexFile;
        struct stat info {};
        if (index.size() < PATH_MAX && stat(index.c_str(), &info) == 0 && S_ISREG(info.st_mode))
            physical = index;
    }

    const FilterOutcome outcome = server.filter.RunUrlMap(request, physical);
    SetEnv(req, kFilterNoteKey, FilterNote(outcome));
    if (const std::string reason = FilterReason(outcome); !reason.empty()) {
        SetEnv(req, kFilterReasonKey, reason);
    }

    switch (outcome.status) {
        case SF_STATUS_REQ_NEXT_NOTIFICATION:
        case SF_STATUS_REQ_HANDLED_NOTIFICATION: {
            if (!outcome.pathReplaced) {
                ServeFile(req, request, physical, outcome.responseHeaders, true);
                return;
            }
            const auto path = ResolveFilterPath(root, outcome.finalPath);
            if (path) {
                ServeFile(req, request, *path, outcome.responseHeaders, false);
            } else {
                SendSimple(req, 404, outcome.responseHeaders);
            }
            return;
        }
        case SF_STATUS_REQ_FINISHED:
        case SF_STATUS_REQ_FINISHED_KEEP_CONN: {
            if (!outcome.written.empty()) {
                // IIS sends what the filter wrote and ends the connection. A
                // whole response goes out as written; bare bytes become the
                // body of a 403, since a browser shows nothing of an answer
                // without a status line.
                CloseAfter(req);
                if (outcome.written.starts_with("HTTP/") &&
                    SendWrittenResponse(req, outcome.written)) {
                    return;
                }
                AddHeader(req, "Content-Type", "text/html");
                AddHeaderLines(req, outcome.responseHeaders);
                SendBytes(req, 403, outcome.written);
                return;
            }
            if (outcome.pathReplaced) {
                const auto path = ResolveFilterPath(root, outcome.finalPath);
                if (path) {
                    ServeFile(req, request, *path, outcome.responseHeaders, false);
                } else {
                    SendSimple(req, 404, outcome.responseHeaders);
                }
                return;
            }
            DropConnection(req);
            return;
        }
        default:
            CloseAfter(req);
            SendSimple(req, 500);
            return;
    }
}

struct Handler {
    h2o_handler_t super;
    HttpServer::Impl* server;
};

// h2o clears a request's pool once its response is all written (or its
// client gone), which is when a stop may let it go.
void OnRequestDone(void* data) {
    --(*static_cast<Worker**>(data))->requestsInFlight;
}

int OnRequest(h2o_handler_t* self, h2o_req_t* req) {
    auto* handler = reinterpret_cast<Handler*>(self);
    *static_cast<Worker**>(h2o_mem_alloc_shared(&req->pool, sizeof(Worker*), OnRequestDone)) =
        tWorker;
    ++tWorker->requestsInFlight;
    // A stopping server answers what it is asked and keeps no connection.
    if (tWorker->stopping) CloseAfter(req);
    try {
        RequestFacts request;
        if (!GatherFacts(req, request)) {
            // Without the request as sent there is nothing to show the filter.
            CloseAfter(req);
            SendSimple(req, 400);
            return 0;
        }
        Answer(req, *handler->server, request);
    } catch (...) {
        // Nothing may unwind into h2o. A response already started can only
        // be cut off, which h2o does when the connection closes.
        if (req->_generator == nullptr) {
            CloseAfter(req);
            SendSimple(req, 500);
        }
    }
    return 0;
}

// ---- The access log -----------------------------------------------------------

struct Logger {
    h2o_logger_t super;
    HttpServer::Impl* server;
};

std::string HeaderText(const h2o_req_t* req, const h2o_token_t* token) {
    const ssize_t at = h2o_find_header(&req->headers, token, -1);
    if (at < 0) return {};
    return std::string(req->headers.entries[at].value.base, req->headers.entries[at].value.len);
}

void LogAccess(h2o_logger_t* self, h2o_req_t* req) {
    auto* logger = reinterpret_cast<Logger*>(self);
    try {
        AccessRecord record;
        sockaddr_storage address{};
        int port = 0;
        if (req->conn->callbacks->get_peername(req->conn, reinterpret_cast<sockaddr*>(&address)) > 0)
            record.client = AddressText(reinterpret_cast<sockaddr*>(&address), port);
        std::string& line = record.requestLine;
        line.append(req->input.method.base, req->input.method.len);
        line += ' ';
        line.append(req->input.path.base, req->input.path.len);
        line += " HTTP/";
        line += char('0' + ((req->version >> 8) & 0x7));
        if (req->version < 0x200) {
            line += '.';
            line += char('0' + (req->version & 0x7));
        }
        const bool dropped = GetEnv(req, kDroppedKey).has_value();
        record.status = dropped ? 0 : req->res.status;
        record.bytes = dropped ? 0 : req->bytes_sent;
        record.filter = std::string(GetEnv(req, kFilterNoteKey).value_or("-"));
        record.reason = std::string(GetEnv(req, kFilterReasonKey).value_or(""));
        record.referer = HeaderText(req, H2O_TOKEN_REFERER);
        record.userAgent = HeaderText(req, H2O_TOKEN_USER_AGENT);
        logger->server->log.Write(record);
    } catch (...) {
        // A line lost to an exhausted heap is not worth the request.
    }
}

// ---- Loops ------------------------------------------------------------------

void OnAccept(h2o_socket_t* listener, const char* error) {
    if (error != nullptr) return;
    auto* worker = static_cast<Worker*>(listener->data);
    for (int i = 0; i < kAcceptBurst; ++i) {
        h2o_socket_t* socket = h2o_evloop_socket_accept(listener);
        if (socket == nullptr) return;
        h2o_accept(&worker->accept, socket);
    }
}

void OnWake(h2o_socket_t* socket, const char* error) {
    auto* worker = static_cast<Worker*>(socket->data);
    if (error == nullptr) h2o_buffer_consume(&socket->input, socket->input->size);
    if (!worker->stopRequested.load() || worker->stopping) return;
    worker->stopping = true;
    for (h2o_socket_t* listener : worker->listeners) {
        h2o_socket_read_stop(listener);
        h2o_socket_close(listener);
    }
    worker->listeners.clear();
    // Kept-alive connections are not closed here: h2o 2.2 closing them from
    // outside can free a socket buffer under a read it has pending. They
    // get "Connection: close" on their next response (OnRequest), and
    // those still idle end with the process.
}

bool Idle(const Worker& worker) {
    return worker.requestsInFlight == 0;
}

void RunWorker(Worker* worker, int drainSeconds) {
    tWorker = worker;
    while (!worker->stopping) h2o_evloop_run(worker->context.loop, INT32_MAX);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(drainSeconds);
    while (!Idle(*worker) && std::chrono::steady_clock::now() < deadline)
        h2o_evloop_run(worker->context.loop, 100);
}

bool ParseAddress(const ListenAddress& listen, sockaddr_storage& address, socklen_t& length) {
    std::string host = listen.address;
    address = {};
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(uint16_t(listen.port));
        length = sizeof *v6;
        return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &v6->sin6_addr) == 1;
    }
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(uint16_t(listen.port));
    length = sizeof *v4;
    return inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1;
}

// A listening socket, or -1 with `error` saying why.
int Listen(const ListenAddress& where, std::string& url, std::string& error) {
    const ListenAddress& listen = where;
    const std::string shown = listen.address + ":" + std::to_string(listen.port);
    sockaddr_storage address{};
    socklen_t length = 0;
    if (!ParseAddress(listen, address, length)) {
        error = "cannot listen on " + shown + ": not a numeric address";
        return -1;
    }
    const int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = "cannot listen on " + shown + ": " + std::strerror(errno);
        return -1;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // What the kernel may hold of one response ahead of its client; accepted
    // connections inherit it. Left to itself it grows to megabytes a
    // connection, and a thousand viewers would have the loop copy gigabytes
    // into socket buffers before it looks at a new request again. At 100 ms
    // of round trip this still carries 5 MB/s to a viewer.
    const int sendBuffer = kSendBuffer;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    // [::] means IPv6 alone, so that 0.0.0.0 can be listened on beside it.
    if (address.ss_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        error = "cannot listen on " + shown + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t boundLength = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLength);
    int port = 0;
    AddressText(reinterpret_cast<sockaddr*>(&bound), port);
    url = "http://" + listen.address + ":" + std::to_string(port) + "/";
    return fd;
}

}  // namespace

HttpServer::HttpServer(const FilterHost& filter, ServerSettings settings, AccessLog& log)
    : impl_(std::make_unique<Impl>(filter, std::move(settings), log)) {}

HttpServer::~HttpServer() {
    Stop();
    if (impl_->workers.empty()) {
        if (impl_->configured) h2o_config_dispose(&impl_->config);
        return;
    }
    // h2o 2.2 cannot close the connections still open on a loop, and its
    // loops cannot be destroyed with connections on them. They are kept,
    // unused, until the process ends, which it does once the server is gone.
    static auto* retained = new std::vector<std::unique_ptr<Impl>>;
    retained->push_back(std::move(impl_));
}

bool HttpServer::Start(std::string& error) {
    Impl& server = *impl_;
    for (const ListenAddress& listen : server.settings.listen) {
        std::string url;
        const int fd = Listen(listen, url, error);
        if (fd < 0) return false;
        server.listenFds.push_back(fd);
        server.urls.push_back(url);
    }

    h2o_config_init(&server.config);
    server.configured = true;
    server.config.server_name = h2o_iovec_init(H2O_STRLIT("qelmor-serve"));
    server.config.max_request_entity_size = kMaxRequestBody;
    const uint64_t timeout = uint64_t(server.settings.requestTimeoutSeconds) * 1000;
    server.config.http1.req_timeout = timeout;
    server.config.http2.idle_timeout = timeout;
    server.config.http1.upgrade_to_http2 = 0;
    // One host configuration takes every host name: the rules and the filter
    // judge the host, not h2o.
    h2o_hostconf_t* host =
        h2o_config_register_host(&server.config, h2o_iovec_init(H2O_STRLIT("qelmor-serve")), 65535);
    h2o_pathconf_t* path = h2o_config_register_path(host, "/", 0);
    auto* handler = reinterpret_cast<Handler*>(h2o_create_handler(path, sizeof(Handler)));
    handler->super.on_req = OnRequest;
    handler->server = &server;
    auto* logger = reinterpret_cast<Logger*>(h2o_create_logger(path, sizeof(Logger)));
    logger->super.log_access = LogAccess;
    logger->server = &server;

    for (int i = 0; i < server.settings.threads; ++i) {
        auto worker = std::make_unique<Worker>();
        worker->server = &server;
        if (pipe2(worker->wakeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
            error = std::string("cannot start a loop: ") + std::strerror(errno);
            return false;
        }
        h2o_evloop_t* loop = h2o_evloop_create();
        h2o_context_init(&worker->context, loop, &server.config);
        worker->accept.ctx = &worker->context;
        worker->accept.hosts = server.config.hosts;
        for (int fd : server.listenFds) {
            // Every loop watches every listener; the first to take a new
            // connection serves it.
            const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
            h2o_socket_t* listener = h2o_evloop_socket_create(loop, own, H2O_SOCKET_FLAG_DONT_READ);
            listener->data = worker.get();
            h2o_socket_read_start(listener, OnAccept);
            worker->listeners.push_back(listener);
        }
        worker->wake = h2o_evloop_socket_create(loop, worker->wakeFds[0], 0);
        worker->wake->data = worker.get();
        h2o_socket_read_start(worker->wake, OnWake);
        server.workers.push_back(std::move(worker));
    }
    for (auto& worker : server.workers) {
        worker->thread = std::thread(RunWorker, worker.get(), server.settings.drainSeconds);
    }
    return true;
}

void HttpServer::Stop() {
    Impl& server = *impl_;
    for (auto& worker : server.workers) {
        worker->stopRequested = true;
        const char byte = 0;
        (void)!write(worker->wakeFds[1], &byte, 1);
    }
    for (auto& worker : server.workers) {
        if (worker->thread.joinable()) worker->thread.join();
    }
    for (int fd : server.listenFds) close(fd);
    server.listenFds.clear();
    // The loops stay: h2o has no way to close the connections still open on
    // them, which end with the process.
}

std::vector<std::string> HttpServer::Urls() const {
    return impl_->urls;
}

}  // namespace qelmor::serve

#include "tests/serve/ServeHarness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>

extern char** environ;

namespace qelmor::serve::testing {
namespace {

constexpr std::string_view kListening = "listening on http://127.0.0.1:";

struct Spawned {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};

Spawned Spawn(const std::vector<std::string>& arguments) {
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return {};
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);

    std::vector<std::string> argv{ServeProgram()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    for (std::string& argument : argv)
        pointers.push_back(argument.data());
    pointers.push_back(nullptr);

    Spawned spawned;
    if (posix_spawn(&spawned.pid, argv[0].c_str(), &actions, nullptr, pointers.data(), environ) !=
        0) {
        spawned.pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    spawned.out = outPipe[0];
    spawned.err = errPipe[0];
    return spawned;
}

std::string ReadAll(int fd) {
    std::string all;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
            all.append(buffer, size_t(got));
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    close(fd);
    return all;
}

int ExitCodeOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

size_t CollectBody(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

size_t CollectHeader(char* data, size_t size, size_t count, void* user) {
    auto* headers = static_cast<std::map<std::string, std::string>*>(user);
    std::string line(data, size * count);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (line.starts_with("HTTP/")) {
        headers->clear();  // a new response (after a 100 Continue, say)
        return size * count;
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos) return size * count;
    std::string name = line.substr(0, colon);
    for (char& c : name)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    size_t start = colon + 1;
    while (start < line.size() && line[start] == ' ')
        ++start;
    (*headers)[name] = line.substr(start);
    return size * count;
}

int Connect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void SendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;  // the server may hang up early on purpose
        sent += size_t(n);
    }
}

}  // namespace

TempTree::TempTree() {
    std::random_device seed;
    const auto base = std::filesystem::temp_directory_path();
    for (;;) {
        auto candidate = base / ("qelmor-serve-test-" + std::to_string(seed()));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate.string();
            return;
        }
    }
}

TempTree::~TempTree() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void TempTree::Write(const std::string& relative, const std::string& content) const {
    const std::filesystem::path target(File(relative));
    std::filesystem::create_directories(target.parent_path());
    std::ofstream(target, std::ios::binary) << content;
}

void TempTree::Copy(const std::string& source, const std::string& relative) const {
    const std::filesystem::path target(File(relative));
    std::filesystem::create_directories(target.parent_path());
    std::filesystem::copy_file(source, target, std::filesystem::copy_options::overwrite_existing);
}

std::string PatternBytes(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = char(state >> 24);
    }
    return bytes;
}

ServeProcess::~ServeProcess() {
    Stop();
}

bool ServeProcess::Start(const std::vector<std::string>& arguments) {
    std::vector<std::string> all(arguments);
    all.insert(all.end(), {"--listen", "127.0.0.1:0"});
    const Spawned spawned = Spawn(all);
    if (spawned.pid < 0) return false;
    pid_ = spawned.pid;
    outReader_ = std::thread([this, fd = spawned.out] { Collect(fd, out_); });
    errReader_ = std::thread([this, fd = spawned.err] { Collect(fd, err_); });

    std::unique_lock lock(mutex_);
    const bool listening = changed_.wait_for(lock, std::chrono::seconds(30), [&] {
        const size_t at = out_.find(kListening);
        return at != std::string::npos &&
               out_.find('/', at + kListening.size()) != std::string::npos;
    });
    if (!listening) return false;
    const size_t at = out_.find(kListening) + kListening.size();
    port_ = std::atoi(out_.c_str() + at);
    return port_ > 0;
}

void ServeProcess::Collect(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        std::lock_guard lock(mutex_);
        into.append(buffer, size_t(got));
        changed_.notify_all();
    }
    close(fd);
    std::lock_guard lock(mutex_);
    changed_.notify_all();
}

int ServeProcess::Stop() {
    int code = -1;
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        code = ExitCodeOf(status);
        pid_ = -1;
    }
    if (outReader_.joinable()) outReader_.join();
    if (errReader_.joinable()) errReader_.join();
    return code;
}

bool ServeProcess::Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    return waitpid(pid_, &status, WNOHANG) == 0;
}

std::string ServeProcess::Url(const std::string& target) const {
    return "http://127.0.0.1:" + std::to_string(port_) + target;
}

std::string ServeProcess::Output() {
    std::lock_guard lock(mutex_);
    return out_;
}

std::string ServeProcess::Errors() {
    std::lock_guard lock(mutex_);
    return err_;
}

bool ServeProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return out_.find(text) != std::string::npos; });
}

ProgramResult RunServeToExit(const std::vector<std::string>& arguments) {
    ProgramResult result;
    const Spawned spawned = Spawn(arguments);
    if (spawned.pid < 0) return result;
    std::string err;
    std::thread errReader([&] { err = ReadAll(spawned.err); });
    result.out = ReadAll(spawned.out);
    errReader.join();
    result.err = err;
    int status = 0;
    while (waitpid(spawned.pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = ExitCodeOf(status);
    return result;
}

std::string HttpResponse::Header(const std::string& lowerName) const {
    const auto found = headers.find(lowerName);
    return found == headers.end() ? std::string() : found->second;
}

HttpClient::HttpClient() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    handle_ = curl_easy_init();
}

HttpClient::~HttpClient() {
    curl_easy_cleanup(handle_);
}

HttpResponse HttpClient::Send(const HttpRequest& request) {
    HttpResponse response;
    curl_slist* headers = nullptr;
    for (const std::string& header : request.headers) {
        headers = curl_slist_append(headers, header.c_str());
    }
    curl_easy_reset(handle_);  // keeps the connection cache
    curl_easy_setopt(handle_, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(handle_, CURLOPT_NOBODY, request.head ? 1L : 0L);
    curl_easy_setopt(handle_, CURLOPT_PATH_AS_IS, request.pathAsIs ? 1L : 0L);
    curl_easy_setopt(handle_, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(handle_, CURLOPT_TIMEOUT_MS, 30000L);
    curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, CollectBody);
    curl_easy_setopt(handle_, CURLOPT_WRITEDATA, &response.body);
    curl_easy_setopt(handle_, CURLOPT_HEADERFUNCTION, CollectHeader);
    curl_easy_setopt(handle_, CURLOPT_HEADERDATA, &response.headers);
    response.curlCode = int(curl_easy_perform(handle_));
    curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &response.status);
    curl_easy_getinfo(handle_, CURLINFO_NUM_CONNECTS, &response.connects);
    curl_slist_free_all(headers);
    return response;
}

HttpResponse HttpClient::Get(const std::string& url, const std::vector<std::string>& headers) {
    return Send({url, headers, false, false});
}

RawResult RawExchange(int port, const std::string& bytes, std::chrono::milliseconds quiet,
                      size_t enough) {
    RawResult result;
    const int fd = Connect(port);
    if (fd < 0) return result;
    SendAll(fd, bytes);
    char buffer[8192];
    while (result.received.size() < enough) {
        pollfd wait{fd, POLLIN, 0};
        const int ready = poll(&wait, 1, int(quiet.count()));
        if (ready <= 0) break;
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            result.closedByServer = true;
            break;
        }
        result.received.append(buffer, size_t(got));
    }
    close(fd);
    return result;
}

void SendAndHangUp(int port, const std::string& bytes) {
    const int fd = Connect(port);
    if (fd < 0) return;
    SendAll(fd, bytes);
    close(fd);
}

std::string Md5Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

ClockTexts ClockTextsAt(std::chrono::system_clock::time_point when) {
    const time_t seconds = std::chrono::system_clock::to_time_t(when);
    tm local{};
    localtime_r(&seconds, &local);
    char date[32];
    std::snprintf(date, sizeof date, "%d/%d/%02d", local.tm_mon + 1, local.tm_mday,
                  local.tm_year % 100);
    return {date, std::to_string(local.tm_hour), std::to_string(local.tm_min)};
}

std::string ServeProgram() {
    return QELMOR_SERVE_PROGRAM;
}
std::string FilterLibrary() {
    return QELMOR_FILTER_LIBRARY;
}
std::string StubFilterLibrary() {
    return QELMOR_STUB_FILTER_LIBRARY;
}
std::string RefusingFilterLibrary() {
    return QELMOR_REFUSING_FILTER_LIBRARY;
}
std::string NotAFilterLibrary() {
    return QELMOR_NOT_A_FILTER_LIBRARY;
}

}  // namespace qelmor::serve::testing

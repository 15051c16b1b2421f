#include "tests/hosttest/HostHarness.h"

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
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

extern char** environ;

namespace qelmor::hosttest {
namespace {

using namespace std::chrono_literals;

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

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int Connect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const sockaddr_in address = Loopback(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
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

std::string ServeProgram() {
    return QELMOR_SERVE_PROGRAM;
}
std::string FilterLibrary() {
    return QELMOR_FILTER_LIBRARY;
}
std::string StubFilterLibrary() {
    return QELMOR_STUB_FILTER_LIBRARY;
}
std::string BareStubFilterLibrary() {
    return QELMOR_BARE_STUB_FILTER_LIBRARY;
}
std::string RefusingFilterLibrary() {
    return QELMOR_REFUSING_FILTER_LIBRARY;
}

TempDir::TempDir(const std::string& parent, const std::string& prefix) {
    std::random_device seed;
    std::filesystem::create_directories(parent);
    for (;;) {
        const auto candidate = std::filesystem::path(parent) / (prefix + std::to_string(seed()));
        if (std::filesystem::create_directory(candidate)) {
            // The servers under test see the canonical path, so the tests do.
            path_ = std::filesystem::canonical(candidate).string();
            return;
        }
    }
}

TempDir::TempDir() : TempDir(std::filesystem::temp_directory_path().string(), "qelmor-test-") {}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void TempDir::Write(const std::string& relative, const std::string& content) const {
    const std::filesystem::path target(File(relative));
    std::filesystem::create_directories(target.parent_path());
    std::ofstream(target, std::ios::binary) << content;
}

void TempDir::Copy(const std::string& source, const std::string& relative) const {
    const std::filesystem::path target(File(relative));
    std::filesystem::create_directories(target.parent_path());
    std::filesystem::copy_file(source, target, std::filesystem::copy_options::overwrite_existing);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
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

ChildProcess::~ChildProcess() {
    Stop(SIGKILL, 0ms);
}

bool ChildProcess::Start(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment) {
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return false;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);

    std::vector<std::string> arguments(argv);
    std::vector<char*> argPointers;
    for (std::string& argument : arguments)
        argPointers.push_back(argument.data());
    argPointers.push_back(nullptr);
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry)
        variables.emplace_back(*entry);
    variables.insert(variables.end(), environment.begin(), environment.end());
    std::vector<char*> envPointers;
    for (std::string& variable : variables)
        envPointers.push_back(variable.data());
    envPointers.push_back(nullptr);

    const int failed = posix_spawn(&pid_, arguments[0].c_str(), &actions, &attributes,
                                   argPointers.data(), envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(outPipe[1]);
    close(errPipe[1]);
    if (failed != 0) {
        pid_ = -1;
        close(outPipe[0]);
        close(errPipe[0]);
        return false;
    }
    outReader_ = std::thread([this, fd = outPipe[0]] { Collect(fd, out_, outEnded_); });
    errReader_ = std::thread([this, fd = errPipe[0]] { Collect(fd, err_, errEnded_); });
    return true;
}

void ChildProcess::Collect(int fd, std::string& into, bool& ended) {
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
    ended = true;
    changed_.notify_all();
}

// Whether the child has ended, leaving it a zombie: until it is reaped its
// process group cannot be anyone else's.
bool ChildProcess::Ended() {
    siginfo_t info{};
    if (waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return errno != EINTR;
    return info.si_pid == pid_;
}

bool ChildProcess::Running() {
    return pid_ > 0 && !Ended();
}

int ChildProcess::Stop(int signal, std::chrono::milliseconds grace) {
    if (pid_ > 0) {
        if (!Ended()) {
            kill(pid_, signal);
            const auto deadline = std::chrono::steady_clock::now() + grace;
            while (!Ended() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(20ms);
            }
        }
        // Whatever it left behind in its group goes too.
        kill(-pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        exitCode_ = ExitCodeOf(status);
        pid_ = -1;
    }
    if (outReader_.joinable()) outReader_.join();
    if (errReader_.joinable()) errReader_.join();
    return exitCode_;
}

std::string ChildProcess::Output() {
    std::lock_guard lock(mutex_);
    return out_;
}

std::string ChildProcess::Errors() {
    std::lock_guard lock(mutex_);
    return err_;
}

bool ChildProcess::WaitForOutput(const std::function<bool(const std::string&)>& ready,
                                 std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return ready(out_) || outEnded_; });
    return ready(out_);
}

ProgramResult RunProgram(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment) {
    ChildProcess child;
    ProgramResult result;
    if (!child.Start(argv, environment)) return result;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (child.Running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    result.exitCode = child.Stop(SIGKILL, 0ms);
    result.out = child.Output();
    result.err = child.Errors();
    return result;
}

bool ServeProcess::Start(const std::vector<std::string>& arguments) {
    static constexpr std::string_view kListening = "listening on http://127.0.0.1:";
    std::vector<std::string> argv{ServeProgram()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    argv.insert(argv.end(), {"--listen", "127.0.0.1:0"});
    if (!process_.Start(argv)) return false;
    // "...listening on http://127.0.0.1:PORT/", the slash ending the port.
    const bool listening = process_.WaitForOutput(
        [](const std::string& out) {
            const size_t at = out.find(kListening);
            return at != std::string::npos &&
                   out.find('/', at + kListening.size()) != std::string::npos;
        },
        30s);
    if (!listening) return false;
    const std::string out = process_.Output();
    port_ = std::atoi(out.c_str() + out.find(kListening) + kListening.size());
    return port_ > 0;
}

int ServeProcess::Stop() {
    return process_.Stop(SIGTERM, 30s);
}

std::string ServeProcess::Url(const std::string& target) const {
    return "http://127.0.0.1:" + std::to_string(port_) + target;
}

bool ServeProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    return process_.WaitForOutput(
        [&](const std::string& out) { return out.find(text) != std::string::npos; }, timeout);
}

ProgramResult RunServeToExit(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{ServeProgram()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunProgram(argv);
}

int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

bool Accepts(int port) {
    const int fd = Connect(port);
    if (fd < 0) return false;
    close(fd);
    return true;
}

std::string HttpResponse::Header(const std::string& lowerName) const {
    const auto found = headers.find(lowerName);
    return found == headers.end() ? std::string() : found->second;
}

HttpClient::HttpClient() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    handle_.reset(curl_easy_init());
}

HttpResponse HttpClient::Send(const HttpRequest& request) {
    HttpResponse response;
    curl_slist* headers = nullptr;
    for (const std::string& header : request.headers) {
        headers = curl_slist_append(headers, header.c_str());
    }
    curl_easy_reset(handle_.get());  // keeps the connection cache
    curl_easy_setopt(handle_.get(), CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(handle_.get(), CURLOPT_HTTPHEADER, headers);
    if (request.method == "HEAD") {
        curl_easy_setopt(handle_.get(), CURLOPT_NOBODY, 1L);
    } else if (request.method == "POST") {
        curl_easy_setopt(handle_.get(), CURLOPT_POSTFIELDS, "");
    }
    curl_easy_setopt(handle_.get(), CURLOPT_PATH_AS_IS, request.pathAsIs ? 1L : 0L);
    if (request.http2) {
        curl_easy_setopt(handle_.get(), CURLOPT_HTTP_VERSION,
                         long(CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE));
    }
    curl_easy_setopt(handle_.get(), CURLOPT_NOPROXY, "*");
    curl_easy_setopt(handle_.get(), CURLOPT_TIMEOUT_MS, 30000L);
    curl_easy_setopt(handle_.get(), CURLOPT_WRITEFUNCTION, CollectBody);
    curl_easy_setopt(handle_.get(), CURLOPT_WRITEDATA, &response.body);
    curl_easy_setopt(handle_.get(), CURLOPT_HEADERFUNCTION, CollectHeader);
    curl_easy_setopt(handle_.get(), CURLOPT_HEADERDATA, &response.headers);
    response.curlCode = int(curl_easy_perform(handle_.get()));
    curl_easy_getinfo(handle_.get(), CURLINFO_RESPONSE_CODE, &response.status);
    curl_easy_getinfo(handle_.get(), CURLINFO_NUM_CONNECTS, &response.connects);
    curl_easy_getinfo(handle_.get(), CURLINFO_HTTP_VERSION, &response.httpVersion);
    curl_slist_free_all(headers);
    return response;
}

HttpResponse HttpClient::Get(const std::string& url, const std::vector<std::string>& headers) {
    return Send({url, headers});
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

}  // namespace qelmor::hosttest

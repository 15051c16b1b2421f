#include "tests/e2e/Harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
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

namespace qelmor::e2e {
namespace {

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
        headers->clear();  // a new response
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

}  // namespace

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

ChildProcess::~ChildProcess() {
    Stop(SIGKILL, std::chrono::milliseconds(0));
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
    outReader_ = std::thread([this, fd = outPipe[0]] { Collect(fd, out_); });
    errReader_ = std::thread([this, fd = errPipe[0]] { Collect(fd, err_); });
    return true;
}

void ChildProcess::Collect(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        std::lock_guard lock(mutex_);
        into.append(buffer, size_t(got));
    }
    close(fd);
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
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
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

ProgramResult RunProgram(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment) {
    ChildProcess child;
    ProgramResult result;
    if (!child.Start(argv, environment)) return result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (child.Running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    result.exitCode = child.Stop(SIGKILL, std::chrono::milliseconds(0));
    result.out = child.Output();
    result.err = child.Errors();
    return result;
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
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const sockaddr_in address = Loopback(port);
    const bool connected =
        connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
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
    if (request.method == "HEAD") {
        curl_easy_setopt(handle_, CURLOPT_NOBODY, 1L);
    } else if (request.method == "POST") {
        curl_easy_setopt(handle_, CURLOPT_POSTFIELDS, "");
    }
    curl_easy_setopt(handle_, CURLOPT_PATH_AS_IS, request.pathAsIs ? 1L : 0L);
    curl_easy_setopt(handle_, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(handle_, CURLOPT_TIMEOUT_MS, 30000L);
    curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, CollectBody);
    curl_easy_setopt(handle_, CURLOPT_WRITEDATA, &response.body);
    curl_easy_setopt(handle_, CURLOPT_HEADERFUNCTION, CollectHeader);
    curl_easy_setopt(handle_, CURLOPT_HEADERDATA, &response.headers);
    response.curlCode = int(curl_easy_perform(handle_));
    curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &response.status);
    curl_slist_free_all(headers);
    return response;
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

}  // namespace qelmor::e2e

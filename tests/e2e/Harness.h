// What the end-to-end runs need around a web server: a folder of their own,
// a child process whose output is kept, an HTTP client (libcurl), a free
// loopback port, and the token digest.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>

namespace qelmor::e2e {

// A new folder under `parent`, removed with its contents.
class TempDir {
  public:
    explicit TempDir(const std::string& parent, const std::string& prefix);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string File(const std::string& relative) const { return path_ + "/" + relative; }
    // Writes `content` to `relative`, making the folders on the way.
    void Write(const std::string& relative, const std::string& content) const;
    void Copy(const std::string& source, const std::string& relative) const;

  private:
    std::string path_;
};

std::string ReadFile(const std::string& path);

// A program run in a process group of its own, so that it and whatever it
// forks can be stopped together.
class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // `environment` entries ("NAME=value") are added to ours.
    bool Start(const std::vector<std::string>& argv,
               const std::vector<std::string>& environment = {});
    bool Running();
    // Sends `signal`, waits up to `grace`, then kills the group. The exit
    // code, or 128 + the signal that ended it.
    int Stop(int signal, std::chrono::milliseconds grace);

    pid_t Pid() const { return pid_; }
    std::string Output();
    std::string Errors();

  private:
    void Collect(int fd, std::string& into);
    bool Ended();

    pid_t pid_ = -1;
    int exitCode_ = -1;
    std::mutex mutex_;
    std::string out_, err_;
    std::thread outReader_, errReader_;
};

struct ProgramResult {
    int exitCode = -1;
    std::string out, err;
};

// Runs a program to its end, with `environment` added to ours.
ProgramResult RunProgram(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment = {});

// A port on 127.0.0.1 that nothing listened on a moment ago.
int FreeLoopbackPort();

// Whether something accepts connections on 127.0.0.1:`port`.
bool Accepts(int port);

struct HttpRequest {
    std::string method = "GET";  // GET, HEAD or POST (with an empty body)
    std::string url;
    std::vector<std::string> headers = {};  // "Name: value"
    bool pathAsIs = false;                  // keep "/../" as written
};

struct HttpResponse {
    int curlCode = 0;  // CURLE_GOT_NOTHING (52): closed without an answer
    long status = 0;
    std::map<std::string, std::string> headers;  // lower-case names, the last value
    std::string body;

    std::string Header(const std::string& lowerName) const;
};

// One libcurl handle; connections are reused between requests.
class HttpClient {
  public:
    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    HttpResponse Send(const HttpRequest& request);

  private:
    CURL* handle_;
};

// Lower-case hex MD5 of `text`, computed with OpenSSL.
std::string Md5Hex(const std::string& text);

// The clock's part of a token as the filter renders it on Linux: the date as
// m/d/yy, the hour and the minute without leading zeros.
struct ClockTexts {
    std::string date, hour, minute;
};
ClockTexts ClockTextsAt(std::chrono::system_clock::time_point when);

}  // namespace qelmor::e2e

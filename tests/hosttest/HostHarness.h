// What the tests that run a host of the filter need around it: a folder of
// their own, child processes whose output is kept, qelmor-serve on a free
// loopback port, an HTTP client (libcurl), raw sockets for requests no client
// library would send, and the token digest.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>

namespace qelmor::hosttest {

// Paths of the built programs and libraries, set by the build.
std::string ServeProgram();
std::string FilterLibrary();
std::string StubFilterLibrary();
std::string BareStubFilterLibrary();  // writes its variable report without a status line
std::string RefusingFilterLibrary();

// A new folder under `parent`, removed with its contents.
class TempDir {
  public:
    explicit TempDir(const std::string& parent, const std::string& prefix);
    // Under the system's temporary folder.
    TempDir();
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

// `size` bytes that differ from one position to the next, so that a wrong
// range or offset shows.
std::string PatternBytes(size_t size, unsigned seed);

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
    // Waits until `ready` holds for the standard output so far. False when
    // the output ends, or `timeout` passes, first.
    bool WaitForOutput(const std::function<bool(const std::string&)>& ready,
                       std::chrono::milliseconds timeout);

  private:
    void Collect(int fd, std::string& into, bool& ended);
    bool Ended();

    pid_t pid_ = -1;
    int exitCode_ = -1;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_, err_;
    bool outEnded_ = false, errEnded_ = false;
    std::thread outReader_, errReader_;
};

struct ProgramResult {
    int exitCode = -1;
    std::string out, err;
};

// Runs a program to its end, with `environment` added to ours.
ProgramResult RunProgram(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment = {});

// qelmor-serve on a port of 127.0.0.1 that it picks itself.
class ServeProcess {
  public:
    // Starts it with `arguments` plus "--listen 127.0.0.1:0" and waits until
    // it says where it listens. False (with what it said so far in Output()
    // and Errors()) when it does not.
    bool Start(const std::vector<std::string>& arguments);
    // SIGTERM; the exit code, or 128 + the signal that ended it.
    int Stop();
    bool Running() { return process_.Running(); }

    int Port() const { return port_; }
    pid_t Pid() const { return process_.Pid(); }
    std::string Url(const std::string& target) const;

    std::string Output() { return process_.Output(); }
    std::string Errors() { return process_.Errors(); }
    // Waits until standard output contains `text`.
    bool WaitForOutput(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));

  private:
    ChildProcess process_;
    int port_ = 0;
};

// Runs qelmor-serve to its end, for the ways it refuses to start.
ProgramResult RunServeToExit(const std::vector<std::string>& arguments);

// A port on 127.0.0.1 that nothing listened on a moment ago.
int FreeLoopbackPort();

// Whether something accepts connections on 127.0.0.1:`port`.
bool Accepts(int port);

struct HttpRequest {
    std::string url;
    std::vector<std::string> headers = {};  // "Name: value"
    std::string method = "GET";             // GET, HEAD or POST (with an empty body)
    bool pathAsIs = false;                  // keep "/../" and "/./" as written
    bool http2 = false;                     // HTTP/2 over plain TCP, by prior knowledge
};

struct HttpResponse {
    int curlCode = 0;  // CURLE_GOT_NOTHING (52): closed without an answer
    long status = 0;
    std::map<std::string, std::string> headers;  // lower-case names, the last value
    std::string body;
    long connects = 0;     // new connections this transfer opened
    long httpVersion = 0;  // CURL_HTTP_VERSION_1_1, CURL_HTTP_VERSION_2_0, ...

    std::string Header(const std::string& lowerName) const;
};

// An HTTP client on its own libcurl handle, which keeps connections alive
// between requests. One per thread.
class HttpClient {
  public:
    HttpClient();

    HttpResponse Send(const HttpRequest& request);
    HttpResponse Get(const std::string& url, const std::vector<std::string>& headers = {});

  private:
    struct Cleanup {
        void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
    };
    std::unique_ptr<CURL, Cleanup> handle_;
};

struct RawResult {
    std::string received;
    bool closedByServer = false;  // the server closed before the timeout
};

// Sends `bytes` on a fresh connection to 127.0.0.1:`port`, then reads until
// the server closes, `quiet` passes without new bytes, or `enough` bytes
// have come (then hangs up on the rest).
RawResult RawExchange(int port, const std::string& bytes,
                      std::chrono::milliseconds quiet = std::chrono::milliseconds(1500),
                      size_t enough = SIZE_MAX);

// Connects, sends `bytes` and closes without reading.
void SendAndHangUp(int port, const std::string& bytes);

// Lower-case hex MD5 of `text`, computed with OpenSSL.
std::string Md5Hex(const std::string& text);

// The clock's part of a token as the filter renders it on Linux: the date as
// m/d/yy, the hour and the minute without leading zeros.
struct ClockTexts {
    std::string date, hour, minute;
};
ClockTexts ClockTextsAt(std::chrono::system_clock::time_point when);

}  // namespace qelmor::hosttest

// What the end-to-end tests need around a running qelmor-serve: a folder of
// their own, the server as a child process on a free loopback port, an HTTP
// client (libcurl), a raw socket for requests no client library would send,
// and the token digest.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>

namespace qelmor::serve::testing {

// A folder under the system's temporary folder, removed with its contents.
class TempTree {
  public:
    TempTree();
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& Path() const { return path_; }
    std::string File(const std::string& relative) const { return path_ + "/" + relative; }
    // Writes `content` to `relative`, making the folders on the way.
    void Write(const std::string& relative, const std::string& content) const;
    void Copy(const std::string& source, const std::string& relative) const;

  private:
    std::string path_;
};

// `size` bytes that differ from one position to the next, so a wrong range
// or offset shows.
std::string PatternBytes(size_t size, unsigned seed);

class ServeProcess {
  public:
    ServeProcess() = default;
    ~ServeProcess();
    ServeProcess(const ServeProcess&) = delete;
    ServeProcess& operator=(const ServeProcess&) = delete;

    // Starts qelmor-serve with `arguments` plus "--listen 127.0.0.1:0" and
    // waits until it says where it listens. False (with the output so far
    // in Output()) when it does not.
    bool Start(const std::vector<std::string>& arguments);
    // SIGTERM, then the exit status.
    int Stop();
    bool Running();

    int Port() const { return port_; }
    std::string Url(const std::string& target) const;

    std::string Output();  // standard output so far
    std::string Errors();  // standard error so far
    // Waits until standard output contains `text`.
    bool WaitForOutput(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));

  private:
    void Collect(int fd, std::string& into);

    pid_t pid_ = -1;
    int port_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_, err_;
    std::thread outReader_, errReader_;
};

struct ProgramResult {
    int exitCode = -1;
    std::string out, err;
};

// Runs qelmor-serve to its end, for the ways it refuses to start.
ProgramResult RunServeToExit(const std::vector<std::string>& arguments);

struct HttpResponse {
    int curlCode = 0;  // CURLE_OK is 0; CURLE_GOT_NOTHING is 52
    long status = 0;
    std::map<std::string, std::string> headers;  // lower-case names, the last value
    std::string body;
    long connects = 0;  // new connections this transfer opened

    std::string Header(const std::string& lowerName) const;
};

struct HttpRequest {
    std::string url;
    std::vector<std::string> headers = {};  // "Name: value"
    bool head = false;
    bool pathAsIs = false;  // keep "/../" and "/./" as written
};

// An HTTP client on its own libcurl handle, which keeps connections alive
// between requests. One per thread.
class HttpClient {
  public:
    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    HttpResponse Send(const HttpRequest& request);
    HttpResponse Get(const std::string& url, const std::vector<std::string>& headers = {});

  private:
    CURL* handle_;
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

// The token inputs the filter uses on Linux: the date as m/d/yy, the hour
// and minute without leading zeros.
struct ClockTexts {
    std::string date, hour, minute;
};
ClockTexts ClockTextsAt(std::chrono::system_clock::time_point when);

// Path of the built programs and libraries, set by the build.
std::string ServeProgram();
std::string FilterLibrary();
std::string StubFilterLibrary();
std::string RefusingFilterLibrary();
std::string NotAFilterLibrary();

}  // namespace qelmor::serve::testing

// The HTTP side: h2o's event loops accept connections and parse requests;
// every request is mapped under the document root, shown to the filter and
// then answered as IIS would answer it after the filter's decision.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "hosts/serve/AccessLog.h"
#include "hosts/serve/FilterHost.h"
#include "hosts/serve/ServeOptions.h"

namespace qelmor::serve {

struct ServerSettings {
    std::string root;  // absolute, resolved
    std::vector<ListenAddress> listen{ListenAddress{}};
    int threads = 1;
    // Canonical host names answered; empty: every host.
    std::vector<std::string> serverNames;
    int requestTimeoutSeconds = 10;
    int drainSeconds = 10;
};

class HttpServer {
  public:
    // `log` may be written from every loop; it outlives the server.
    HttpServer(const FilterHost& filter, ServerSettings settings, AccessLog& log);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds every address, then starts the loops.
    bool Start(std::string& error);
    // Stops accepting, lets the responses in flight finish (for at most the
    // drain time) and closes every connection.
    void Stop();
    // "http://127.0.0.1:8080/" for every address, with the ports actually
    // bound.
    std::vector<std::string> Urls() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace qelmor::serve

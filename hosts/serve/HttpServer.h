// The HTTP side: civetweb accepts connections and parses requests; every
// request is mapped under the document root, shown to the filter and then
// answered as IIS would answer it after the filter's decision.
#pragma once

#include <string>
#include <vector>

#include "hosts/serve/AccessLog.h"
#include "hosts/serve/FilterHost.h"

struct mg_connection;
struct mg_context;

namespace qelmor::serve {

struct ServerSettings {
    std::string root;  // absolute, resolved
    std::string listenAddress = "127.0.0.1";
    int listenPort = 8080;
    int threads = 16;
    // Canonical host names answered; empty: every host.
    std::vector<std::string> serverNames;
    bool quiet = false;
};

class HttpServer {
  public:
    HttpServer(const FilterHost& filter, ServerSettings settings);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    bool Start(std::string& error);
    void Stop();
    // The port actually bound, which differs from the one asked for when
    // that was 0.
    int Port() const;

    // Called on civetweb's worker threads. `routed`: from civetweb's
    // request handling; otherwise for a request civetweb parsed but passed
    // to no handler, which is answered as the connection closes.
    int HandleRequest(mg_connection* connection, bool routed);

  private:
    const FilterHost& filter_;
    ServerSettings settings_;
    AccessLog log_;
    mg_context* context_ = nullptr;
};

}  // namespace qelmor::serve

// The servers that host the filter, behind one face for the end-to-end
// table: each lays a site out in a folder of its own, starts on a free
// loopback port, and stops.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/Scenarios.h"
#include "tests/hosttest/HostHarness.h"

namespace qelmor::e2e {

using namespace qelmor::hosttest;

// Where the runs make their folders; set by the build.
std::string WorkFolder();

// A site on disk: site/ is the document root; filter/ holds the library
// (named qelmor.so, as the filter looks for itself by that name) and its
// KAVRO.ini.
class SiteFolder {
  public:
    explicit SiteFolder(const SiteLayout& layout);

    const SiteLayout& Layout() const { return layout_; }
    const std::string& Folder() const { return dir_.Path(); }
    std::string Root() const { return dir_.File("site"); }
    std::string Filter() const { return dir_.File("filter/qelmor.so"); }

  private:
    const SiteLayout& layout_;
    TempDir dir_;
};

class Host {
  public:
    virtual ~Host() = default;

    // Starts over `site`. False with the reason in `error`.
    virtual bool Start(const SiteFolder& site, std::string& error) = 0;
    // Stops; what went wrong on the way out, or nothing.
    virtual std::string Stop() = 0;
    virtual int Port() const = 0;
    // The port that speaks HTTP/2 without TLS, or 0 when there is none.
    virtual int Http2Port() const { return 0; }
    // What has gone wrong so far (a crash, a sanitizer report, an alert in
    // the error log), or nothing.
    virtual std::string Problems() = 0;
    // Everything the server said, for a failure message.
    virtual std::string Logs() = 0;
    // The access log so far: a line per request, in which " reason=CODE"
    // closes the line of a refusal whose reason the filter gave ("-" or no
    // such field when it gave none).
    virtual std::string AccessLog() = 0;
};

std::unique_ptr<Host> MakeServeHost();

struct NginxPaths {
    std::string program;  // the nginx binary
    std::string module;   // ngx_http_qelmor_module.so
    std::string mimeTypes;
    std::string preload;  // LD_PRELOAD for a sanitized filter library, or empty
};
const NginxPaths& Nginx();
// What nginx's environment needs for the filter libraries of this build.
std::vector<std::string> NginxEnvironment();
// Why the nginx runs cannot happen in this build, or nothing.
std::string NginxUnavailable();

// A private nginx: its own prefix, configuration, pid file and logs in the
// site's folder, in the foreground, on a free loopback port.
class NginxHost : public Host {
  public:
    // `httpDirectives` go into the http block as they are ("{port}" made
    // the site's port, for a server of its own beside the site), and
    // `serverDirectives` into the site's server block. With `http2` the
    // server also listens on a second port that speaks HTTP/2 without TLS
    // (prior knowledge), beside the HTTP/1.x one. A site with a server name
    // gets only the requests that name it; a site without KAVRO.ini runs its
    // filter on the defaults.
    explicit NginxHost(std::string httpDirectives = {}, bool http2 = false,
                       std::string serverDirectives = {});
    ~NginxHost() override;

    bool Start(const SiteFolder& site, std::string& error) override;
    std::string Stop() override;
    int Port() const override { return port_; }
    int Http2Port() const override { return http2Port_; }
    std::string Problems() override { return CollectProblems(true); }
    std::string Logs() override;
    std::string AccessLog() override;

    // nginx -s reload: a new configuration cycle in the master, new workers.
    void Reload();

  private:
    std::string HttpDirectives() const;
    void WriteConfiguration(const SiteFolder& site) const;
    bool StartOnce(std::string& error);
    std::string CollectProblems(bool running);

    std::string httpDirectives_;
    std::string serverDirectives_;
    bool http2_ = false;
    std::string prefix_;
    std::unique_ptr<ChildProcess> process_;
    int port_ = 0;
    int http2Port_ = 0;
};

std::unique_ptr<Host> MakeNginxHost();

}  // namespace qelmor::e2e

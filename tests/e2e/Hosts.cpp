#include "tests/e2e/Hosts.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace qelmor::e2e {
namespace {

using namespace std::chrono_literals;

// What a sanitizer, or a crashing worker, leaves in a server's output.
std::string SanitizerReport(const std::string& errors) {
    for (const char* mark : {"ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer"}) {
        const size_t at = errors.find(mark);
        if (at != std::string::npos) return errors.substr(at, 2000);
    }
    return {};
}

class ServeHost : public Host {
  public:
    bool Start(const SiteFolder& site, std::string& error) override {
        std::vector<std::string> arguments{"--root",      site.Root(), "--filter",
                                           site.Filter(), "--threads", "4"};
        if (!site.Layout().ini) arguments.push_back("--allow-default-config");
        if (!site.Layout().serverName.empty()) {
            arguments.insert(arguments.end(), {"--server-name", site.Layout().serverName});
        }
        if (server_.Start(arguments)) return true;
        error = "qelmor-serve did not start:\n" + Logs();
        return false;
    }

    std::string Stop() override {
        const int code = server_.Stop();
        std::string problems = SanitizerReport(server_.Errors());
        if (code != 0) problems += "qelmor-serve exited with " + std::to_string(code) + "\n";
        return problems;
    }

    int Port() const override { return server_.Port(); }

    std::string Problems() override {
        std::string problems = SanitizerReport(server_.Errors());
        if (!server_.Running()) problems += "qelmor-serve is no longer running\n";
        return problems;
    }

    std::string Logs() override {
        return "--- qelmor-serve output\n" + server_.Output() + "--- qelmor-serve errors\n" +
               server_.Errors();
    }

    // Its access log goes to standard output, after the lines of its start.
    std::string AccessLog() override { return server_.Output(); }

  private:
    ServeProcess server_;
};

}  // namespace

std::string WorkFolder() {
    return QELMOR_E2E_WORK_FOLDER;
}

SiteFolder::SiteFolder(const SiteLayout& layout)
    : layout_(layout), dir_(WorkFolder(), layout.name + "-") {
    for (const auto& [relative, content] : layout.files)
        dir_.Write("site/" + relative, content);
    for (const auto& [relative, content] : layout.outside)
        dir_.Write(relative, content);
    dir_.Copy(layout.filter == FilterKind::Real ? FilterLibrary() : BareStubFilterLibrary(),
              "filter/qelmor.so");
    if (layout.ini) dir_.Write("filter/KAVRO.ini", *layout.ini);
}

NginxHost::NginxHost(std::string httpDirectives, bool http2, std::string serverDirectives)
    : httpDirectives_(std::move(httpDirectives)),
      serverDirectives_(std::move(serverDirectives)),
      http2_(http2),
      process_(std::make_unique<ChildProcess>()) {}

NginxHost::~NginxHost() = default;

bool NginxHost::Start(const SiteFolder& site, std::string& error) {
    prefix_ = site.Folder() + "/nginx";
    std::filesystem::create_directories(prefix_ + "/logs");
    // The port is free when we look, not necessarily when nginx binds it:
    // another try takes another port.
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = FreeLoopbackPort();
        if (http2_) {
            do {
                http2Port_ = FreeLoopbackPort();
            } while (http2Port_ == port_);
        }
        WriteConfiguration(site);
        if (StartOnce(error)) return true;
        if (process_->Errors().find("Address already in use") == std::string::npos) break;
        process_ = std::make_unique<ChildProcess>();
    }
    return false;
}

std::string NginxHost::Stop() {
    // SIGQUIT: the graceful shutdown, which lets the workers finish.
    const int code = process_->Stop(SIGQUIT, 15s);
    std::string problems = CollectProblems(false);
    if (code != 0) problems += "nginx exited with " + std::to_string(code) + "\n";
    return problems;
}

std::string NginxHost::Logs() {
    return "--- nginx.conf\n" + ReadFile(prefix_ + "/nginx.conf") + "--- error.log\n" +
           ReadFile(prefix_ + "/logs/error.log") + "--- nginx standard error\n" +
           process_->Errors();
}

std::string NginxHost::AccessLog() {
    return ReadFile(prefix_ + "/logs/access.log");
}

void NginxHost::Reload() {
    kill(process_->Pid(), SIGHUP);
}

std::string NginxHost::HttpDirectives() const {
    std::string text = httpDirectives_;
    const std::string port = std::to_string(port_);
    for (size_t at = text.find("{port}"); at != std::string::npos; at = text.find("{port}", at))
        text.replace(at, 6, port);
    return text;
}

void NginxHost::WriteConfiguration(const SiteFolder& site) const {
    const NginxPaths& nginx = Nginx();
    const SiteLayout& layout = site.Layout();
    const std::string listen = "        listen 127.0.0.1:" + std::to_string(port_);
    const std::string listen2 =
        http2_ ? "        listen 127.0.0.1:" + std::to_string(http2Port_) + " http2" : "";
    // A site without KAVRO.ini runs on the defaults only by leave.
    const std::string leave = layout.ini ? "" : " allow_default_config";
    std::ostringstream conf;
    conf << "load_module " << nginx.module << ";\n"
         << "qelmor_filter " << site.Filter() << leave << ";\n"
         << "daemon off;\n"
         << "master_process on;\n"
         << "worker_processes 2;\n"
         // As root nginx would hand the site to "nobody", which cannot read
         // our private folders.
         << (geteuid() == 0 ? "user root;\n" : "") << "pid " << prefix_ << "/nginx.pid;\n"
         << "error_log " << prefix_ << "/logs/error.log notice;\n"
         << "events { worker_connections 256; }\n"
         << "http {\n"
         << "    include " << nginx.mimeTypes << ";\n"
         << "    default_type application/octet-stream;\n"
         << "    log_format qelmor '$remote_addr - - [$time_local] \"$request\" $status "
            "$body_bytes_sent \"$http_referer\" \"$http_user_agent\" $qelmor_result "
            "reason=$qelmor_reason';\n"
         << "    access_log " << prefix_ << "/logs/access.log qelmor;\n"
         << "    client_body_temp_path " << prefix_ << "/body;\n"
         << "    proxy_temp_path " << prefix_ << "/proxy;\n"
         << "    fastcgi_temp_path " << prefix_ << "/fastcgi;\n"
         << "    uwsgi_temp_path " << prefix_ << "/uwsgi;\n"
         << "    scgi_temp_path " << prefix_
         << "/scgi;\n"
         // Room for a request line of 10 000 bytes, which the filter is to
         // refuse rather than nginx.
         << "    large_client_header_buffers 4 16k;\n"
         << HttpDirectives() << "\n";
    if (!layout.serverName.empty()) {
        // Strict virtual hosting: a name that is not the site's, an address
        // or no name at all reaches a server that closes the connection.
        conf << "    server {\n"
             << listen << " default_server;\n"
             << (http2_ ? listen2 + " default_server;\n" : "") << "        return 444;\n"
             << "    }\n";
    }
    conf << "    server {\n"
         << listen << ";\n"
         << (http2_ ? listen2 + ";\n" : "")
         << (layout.serverName.empty() ? "" : "        server_name " + layout.serverName + ";\n")
         << "        root " << site.Root() << ";\n"
         << "        qelmor on;\n"
         << serverDirectives_ << "    }\n"
         << "}\n";
    std::ofstream(prefix_ + "/nginx.conf") << conf.str();
}

bool NginxHost::StartOnce(std::string& error) {
    std::filesystem::remove(prefix_ + "/nginx.pid");
    if (!process_->Start({Nginx().program, "-p", prefix_ + "/", "-c", prefix_ + "/nginx.conf"},
                         NginxEnvironment())) {
        error = "cannot run " + Nginx().program;
        return false;
    }
    const std::string ourPid = std::to_string(process_->Pid());
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!process_->Running()) break;
        // Our master wrote its pid and something answers on the port.
        std::string pid = ReadFile(prefix_ + "/nginx.pid");
        while (!pid.empty() && pid.back() == '\n')
            pid.pop_back();
        if (pid == ourPid && Accepts(port_)) return true;
        std::this_thread::sleep_for(20ms);
    }
    error = "nginx did not start:\n" + Logs();
    return false;
}

std::string NginxHost::CollectProblems(bool running) {
    std::string problems = SanitizerReport(process_->Errors());
    std::istringstream log(ReadFile(prefix_ + "/logs/error.log"));
    for (std::string line; std::getline(log, line);) {
        if (line.find("[alert]") != std::string::npos || line.find("[crit]") != std::string::npos ||
            line.find("[emerg]") != std::string::npos) {
            problems += line + "\n";
        }
    }
    if (running && !process_->Running()) problems += "nginx is no longer running\n";
    return problems;
}

std::unique_ptr<Host> MakeServeHost() {
    return std::make_unique<ServeHost>();
}

const NginxPaths& Nginx() {
    static const NginxPaths paths{QELMOR_NGINX_PROGRAM, QELMOR_NGINX_MODULE,
                                  QELMOR_NGINX_MIME_TYPES, QELMOR_SANITIZER_PRELOAD};
    return paths;
}

std::vector<std::string> NginxEnvironment() {
    if (Nginx().preload.empty()) return {};
    // A sanitized library needs its runtime first in the process; nginx
    // itself frees little at exit, on purpose.
    return {"LD_PRELOAD=" + Nginx().preload, "ASAN_OPTIONS=detect_leaks=0"};
}

std::string NginxUnavailable() {
    const NginxPaths& nginx = Nginx();
    if (nginx.module.empty()) return "the nginx module is not built: no nginx source tree";
    if (nginx.program.empty() || access(nginx.program.c_str(), X_OK) != 0) {
        return "nginx is not installed";
    }
    return {};
}

std::unique_ptr<Host> MakeNginxHost() {
    return std::make_unique<NginxHost>();
}

}  // namespace qelmor::e2e

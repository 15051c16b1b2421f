// qelmor-serve: a static file server for Linux that hosts an ISAPI filter
// library as IIS hosts a filter DLL.
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hosts/serve/FilterHost.h"
#include "hosts/serve/FilterSettings.h"
#include "hosts/serve/HttpServer.h"
#include "hosts/serve/ServeOptions.h"

namespace {

using namespace qelmor::serve;

int Fail(const std::string& message) {
    std::fprintf(stderr, "qelmor-serve: %s\n", message.c_str());
    return 1;
}

void Warn(const std::string& message) {
    std::fprintf(stderr, "qelmor-serve: warning: %s\n", message.c_str());
}

std::string ExecutablePath() {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    return length > 0 ? std::string(self, size_t(length)) : std::string();
}

// The filter this program was built with sits in the same folder.
std::string DefaultFilterPath() {
    const std::string self = ExecutablePath();
    if (self.empty()) return "qelmor.so";
    return self.substr(0, self.rfind('/') + 1) + "qelmor.so";
}

std::string Joined(const std::vector<std::string>& names) {
    std::string joined;
    for (const std::string& name : names)
        joined += (joined.empty() ? "" : ", ") + name;
    return joined;
}

// Says which KAVRO.ini the filter reads and what the server makes of it.
// False when the server must not start.
bool ReportFilterSettings(const FilterHost& filter, const ServeOptions& options) {
    const std::string path = FilterConfigPath(filter.Path(), ExecutablePath());
    const ConfigFileCheck check = CheckConfigFile(path);
    if (check.state != ConfigFileState::Present) {
        if (!options.allowDefaultConfig) {
            Fail("the filter reads its settings from " + path + ": " + check.reason +
                 ". Without them it runs on its defaults and lets every file through; put "
                 "KAVRO.ini there, or pass --allow-default-config to run on the defaults");
            return false;
        }
        std::printf(
            "qelmor-serve: settings: %s: %s; the filter runs on its defaults "
            "(--allow-default-config)\n",
            path.c_str(), check.reason.c_str());
        return true;
    }
    std::printf("qelmor-serve: settings: %s\n", path.c_str());

    // The filter examines DomainName's requests alone; a request for any
    // other name that reaches it gets its file without a look.
    const std::string domain = ConfiguredDomainName(path);
    if (domain.empty()) return true;
    std::string lowerDomain = domain;
    for (char& c : lowerDomain)
        c = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
    if (options.serverNames.empty()) {
        Warn("KAVRO.ini sets DomainName=" + domain +
             ", and the filter examines requests for that host alone, but this server answers "
             "every host name: a request for any other (an address, another name, or none) is "
             "served unexamined. Bind it with --server-name " +
             domain);
        return true;
    }
    for (const std::string& name : options.serverNames) {
        if (name != lowerDomain) {
            const std::string examined = "DomainName=" + domain + " of KAVRO.ini";
            Warn("requests for " + name + " are served unexamined: the filter examines only " +
                 examined);
        }
    }
    return true;
}

// Lets this process hold as many connections as the system allows it.
void RaiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void Print(const std::string& line) {
    std::printf("qelmor-serve: %s\n", line.c_str());
    std::fflush(stdout);
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// h2o keeps freed memory-pool chunks in a recycle list of each thread; the
// list of a loop's thread is dropped, unreleased, when the loop ends at a
// stop. That is h2o's design, not a leak of ours.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
    return "leak:h2o_mem_alloc_recycle\n";
}
#endif

int main(int argc, char** argv) {
    const ParsedOptions parsed = ParseServeOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "qelmor-serve: %s\nTry 'qelmor-serve --help'.\n",
                     parsed.error.c_str());
        return 2;
    }
    const ServeOptions& options = parsed.options;
    if (options.help) {
        std::fputs(UsageText().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("qelmor-serve %s\n", QELMOR_VERSION);
        return 0;
    }

    char root[PATH_MAX];
    struct stat rootInfo {};
    if (realpath(options.root.c_str(), root) == nullptr || stat(root, &rootInfo) != 0) {
        return Fail("document root " + options.root + ": " + std::strerror(errno));
    }
    if (!S_ISDIR(rootInfo.st_mode))
        return Fail("document root " + options.root + " is not a directory");

    // The loops' threads inherit this mask, so these signals reach only the
    // sigwait below.
    signal(SIGPIPE, SIG_IGN);
    sigset_t signals;
    sigemptyset(&signals);
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&signals, number);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    RaiseOpenFileLimit();

    std::string error;
    AccessLog log;
    if (options.quiet) {
        log.Disable();
    } else if (!options.accessLog.empty() && !log.UseFile(options.accessLog, error)) {
        return Fail(error);
    }

    const std::string filterPath = options.filter.empty() ? DefaultFilterPath() : options.filter;
    auto filter = FilterHost::Load(filterPath, error);
    if (!filter) return Fail(error);
    const FilterRegistration& registration = filter->Registration();
    std::printf("qelmor-serve: filter %s: \"%s\", version %u.%u, flags 0x%08X (%s)\n",
                filter->Path().c_str(), registration.description.c_str(),
                registration.filterVersion >> 16, registration.filterVersion & 0xFFFF,
                registration.flags, DescribeFilterFlags(registration.flags).c_str());
    if ((registration.flags & SF_NOTIFY_URL_MAP) == 0) {
        std::fprintf(stderr,
                     "qelmor-serve: warning: the filter did not register for URL-map "
                     "notifications and will not be called\n");
    }
    if (!ReportFilterSettings(*filter, options)) return 1;

    ServerSettings settings;
    settings.root = root;
    settings.listen = options.listen;
    settings.threads = options.threads;
    settings.serverNames = options.serverNames;
    settings.requestTimeoutSeconds = options.requestTimeoutSeconds;
    settings.drainSeconds = options.drainSeconds;
    HttpServer server(*filter, settings, log);
    if (!server.Start(error)) return Fail(error);
    Print("serving " + std::string(root) + " with " + std::to_string(options.threads) +
          (options.threads == 1 ? " loop" : " loops"));
    if (options.serverNames.empty()) {
        Print("answering every host name");
    } else {
        Print("answering host names " + Joined(options.serverNames) + "; others get 421");
    }
    for (const std::string& url : server.Urls()) Print("listening on " + url);

    for (;;) {
        int received = 0;
        if (sigwait(&signals, &received) != 0) continue;
        if (received == SIGHUP) {
            // The filter reads KAVRO.ini again; requests in it finish with
            // the settings they began with.
            const std::string config = FilterConfigPath(filter->Path(), ExecutablePath());
            const ConfigFileCheck check = CheckConfigFile(config);
            if (check.state != ConfigFileState::Present && !options.allowDefaultConfig) {
                // Registered now, the filter would run on its defaults and
                // guard nothing.
                Warn("SIGHUP: " + config + ": " + check.reason +
                     "; the filter is not registered again and the settings in force stay");
            } else if (filter->Register(error)) {
                Print("SIGHUP: the filter registered again and read " + config);
            } else {
                Warn("SIGHUP: " + error + "; the settings in force stay");
            }
            continue;
        }
        if (received == SIGUSR1) {
            if (log.Reopen(error)) {
                Print("SIGUSR1: access log reopened");
            } else {
                Warn("SIGUSR1: " + error + "; still writing to the old file");
            }
            continue;
        }
        Print(std::string(strsignal(received)) + ", stopping once the responses in flight are sent");
        server.Stop();
        Print("stopped");
        return 0;
    }
}

// What only the nginx module has: its directives as "nginx -t" judges them,
// the settings file it names, the sample configuration, the host name the
// filter is given, every way nginx has of reaching a file, the client
// address through the realip module, and a reload that registers the filter
// again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/e2e/Hosts.h"
#include "tests/e2e/Scenarios.h"
#include "tests/hosttest/VideoSite.h"

namespace qelmor::e2e {
namespace {

using namespace std::chrono_literals;

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// The module snippet and the site of examples/nginx/ with their system paths
// put in the test's place, each of which must still be in the samples, then
// the `more` replacements; in a main configuration laid out as Debian's
// nginx.conf lays it out (modules-enabled at the top, sites-enabled in http).
std::string SampleConfiguration(
    const std::vector<std::pair<std::string, std::string>>& more) {
    std::string module = ReadFile(QELMOR_NGINX_SAMPLE_MODULE_CONF);
    std::string site = ReadFile(QELMOR_NGINX_SAMPLE_SITE);
    std::vector<std::pair<std::string*, std::pair<std::string, std::string>>> replacements = {
        {&module, {"modules/ngx_http_qelmor_module.so", "{module}"}},
        {&module, {"/usr/lib/qelmor/qelmor.so", "{filter}"}},
        {&site, {"/var/www/video", "{root}"}},
        {&site, {"/var/log/nginx/", "{prefix}/"}},
    };
    for (const auto& replacement : more) replacements.push_back({&site, replacement});
    for (const auto& [text, fromTo] : replacements) {
        const auto& [from, to] = fromTo;
        EXPECT_NE(text->find(from), std::string::npos) << from << " is no longer in the sample";
        ReplaceAll(*text, from, to);
    }
    // As root nginx would hand the site to a user that cannot read our
    // private folders.
    return module + (geteuid() == 0 ? "user root;\n" : "") +
           "pid {prefix}/nginx.pid;\nerror_log {prefix}/error.log;\nevents {}\n"
           "http {\ninclude " QELMOR_NGINX_MIME_TYPES ";\ndefault_type application/octet-stream;\n" +
           site + "}\n";
}

class NginxConfig : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string unavailable = NginxUnavailable();
        if (!unavailable.empty()) GTEST_SKIP() << unavailable;
        dir_ = std::make_unique<TempDir>(WorkFolder(), "config-");
        dir_->Copy(FilterLibrary(), "filter/qelmor.so");
        dir_->Copy(QELMOR_SAMPLE_KAVRO_INI, "filter/KAVRO.ini");
        dir_->Copy(RefusingFilterLibrary(), "refusing/qelmor.so");
        dir_->Copy(QELMOR_SAMPLE_KAVRO_INI, "refusing/KAVRO.ini");
        // The real filter without its settings, beside a folder or a FIFO
        // of that name, and renamed (it then looks beside nginx).
        dir_->Copy(FilterLibrary(), "lonely/qelmor.so");
        dir_->Copy(FilterLibrary(), "folder/qelmor.so");
        std::filesystem::create_directory(dir_->File("folder/KAVRO.ini"));
        dir_->Copy(FilterLibrary(), "fifo/qelmor.so");
        EXPECT_EQ(mkfifo(dir_->File("fifo/KAVRO.ini").c_str(), 0644), 0);
        dir_->Copy(FilterLibrary(), "renamed/guard.so");
        // A second site's copy, and a link that would share the first one.
        dir_->Copy(FilterLibrary(), "second/qelmor.so");
        dir_->Copy(QELMOR_SAMPLE_KAVRO_INI, "second/KAVRO.ini");
        std::filesystem::create_directory(dir_->File("linked"));
        std::filesystem::create_symlink(dir_->File("filter/qelmor.so"),
                                        dir_->File("linked/qelmor.so"));
        dir_->Copy(QELMOR_SAMPLE_KAVRO_INI, "linked/KAVRO.ini");
        dir_->Write("site/index.html", "home\n");
    }

    // {module}, {filter}, {refusing}, {lonely}, {folder}, {fifo}, {second},
    // {linked}, {renamed}, {program-dir}, {prefix} and {root} in `text`.
    std::string Expand(std::string text) const {
        ReplaceAll(text, "{module}", Nginx().module);
        ReplaceAll(text, "{program-dir}",
                   std::filesystem::canonical(Nginx().program).parent_path().string());
        for (const std::string name :
             {"filter", "refusing", "lonely", "folder", "fifo", "second", "linked"}) {
            const std::string placeholder = '{' + name + '}';
            ReplaceAll(text, placeholder, dir_->File(name + "/qelmor.so"));
        }
        ReplaceAll(text, "{renamed}", dir_->File("renamed/guard.so"));
        ReplaceAll(text, "{prefix}", dir_->Path());
        ReplaceAll(text, "{root}", dir_->File("site"));
        return text;
    }

    // nginx -t on `conf`, with the folder as its prefix.
    ProgramResult Check(const std::string& conf) const {
        dir_->Write("nginx.conf", conf);
        return RunProgram(
            {Nginx().program, "-t", "-p", dir_->Path() + "/", "-c", dir_->File("nginx.conf")},
            NginxEnvironment());
    }

    std::unique_ptr<TempDir> dir_;
};

struct ConfigCase {
    const char* name;
    std::string top;          // main level, before the http block
    std::string http;         // inside the http block
    std::string after;        // main level, after the http block
    std::string complaint;    // empty: nginx -t accepts it
    std::string notice = {};  // what nginx -t must say when it accepts it
};

TEST_F(NginxConfig, DirectivesAreCheckedWhenTheConfigurationIsRead) {
    const std::string site = "server { listen 127.0.0.1:8; root {root}; qelmor on; }\n";
    const std::string missing =
        "\", which does not exist; without them it guards nothing. Put "
        "KAVRO.ini there, or add \"allow_default_config\"";
    const ConfigCase cases[] = {
        {"filter and switch", "qelmor_filter {filter};\n", site, "", "",
         "qelmor_filter \"{filter}\": settings file \"{prefix}/filter/KAVRO.ini\" is present"},
        {"filter named relative to the prefix", "qelmor_filter filter/qelmor.so;\n", site, "", "",
         "settings file \"{prefix}/filter/KAVRO.ini\" is present"},
        {"settings file missing", "qelmor_filter {lonely};\n", site, "",
         "the filter \"{lonely}\" reads its settings from \"{prefix}/lonely/KAVRO.ini" + missing},
        {"settings file missing, defaults allowed",
         "qelmor_filter {lonely} allow_default_config;\n", site, "", "",
         "qelmor_filter \"{lonely}\": settings file \"{prefix}/lonely/KAVRO.ini\" does not "
         "exist; running on the defaults (allow_default_config)"},
        {"settings file is a folder", "qelmor_filter {folder};\n", site, "",
         "reads its settings from \"{prefix}/folder/KAVRO.ini\", which is not a regular file"},
        {"settings file is a FIFO, which is never opened", "qelmor_filter {fifo};\n", site, "",
         "reads its settings from \"{prefix}/fifo/KAVRO.ini\", which is not a regular file"},
        {"renamed filter reads the settings beside nginx", "qelmor_filter {renamed};\n", site, "",
         "the filter \"{renamed}\" reads its settings from \"{program-dir}/KAVRO.ini" + missing},
        {"renamed filter on the defaults", "qelmor_filter {renamed} allow_default_config;\n", site,
         "", "", "settings file \"{program-dir}/KAVRO.ini\" does not exist"},
        {"unknown parameter", "qelmor_filter {filter} allow_defaults;\n", site, "",
         "invalid parameter \"allow_defaults\"; the only one is \"allow_default_config\""},
        {"filter after the http block", "", site, "qelmor_filter {filter};\n", ""},
        {"switched off without a filter", "",
         "server { listen 127.0.0.1:8; root {root}; qelmor off; }\n", "", ""},
        {"switched on in a location", "qelmor_filter {filter};\n",
         "server { listen 127.0.0.1:8; location /media/ { qelmor on; } }\n", "", ""},
        {"missing library", "qelmor_filter {prefix}/missing/qelmor.so;\n", site, "",
         "cannot load the filter library \"{prefix}/missing/qelmor.so\""},
        {"library without the entry points", "qelmor_filter {module};\n", site, "",
         "\"{module}\" is not an ISAPI filter: it does not export GetFilterVersion"},
        {"filter that refuses to register", "qelmor_filter {refusing};\n", site, "",
         "the filter \"{refusing}\" refused to register (GetFilterVersion failed); qelmor.so "
         "refuses when memory cannot hold its settings from \"{prefix}/refusing/KAVRO.ini\""},
        {"switched on without a filter", "", site, "",
         "\"qelmor on\" is set in a server that no \"qelmor_filter\" directive names a filter "
         "library for"},
        {"filter named twice", "qelmor_filter {filter};\nqelmor_filter {filter};\n", site, "",
         "\"qelmor_filter\" directive is duplicate"},
        {"filter inside the http block", "", "qelmor_filter {filter};\n" + site, "", "",
         "qelmor_filter \"{filter}\": settings file \"{prefix}/filter/KAVRO.ini\" is present"},
        {"filter inside a server", "",
         "server { listen 127.0.0.1:8; root {root}; qelmor_filter {filter}; qelmor on; }\n", "",
         "", "settings file \"{prefix}/filter/KAVRO.ini\" is present"},
        {"each server its own copy", "",
         "server { listen 127.0.0.1:8; qelmor_filter {filter}; qelmor on; }\n"
         "server { listen 127.0.0.1:9; qelmor_filter {second}; qelmor on; }\n",
         "", "", "settings file \"{prefix}/second/KAVRO.ini\" is present"},
        {"one copy named by two servers", "",
         "server { listen 127.0.0.1:8; qelmor_filter {filter}; qelmor on; }\n"
         "server { listen 127.0.0.1:9; qelmor_filter {filter}; qelmor on; }\n",
         "", "", "settings file \"{prefix}/filter/KAVRO.ini\" is present"},
        {"a server's filter covers only that server", "",
         "server { listen 127.0.0.1:8; qelmor_filter {filter}; qelmor on; }\n" + site, "",
         "\"qelmor on\" is set in a server that no \"qelmor_filter\" directive names"},
        {"a server without its own takes the top level's", "qelmor_filter {second};\n",
         "server { listen 127.0.0.1:8; qelmor_filter {filter}; qelmor on; }\n" + site, "", "",
         "settings file \"{prefix}/second/KAVRO.ini\" is present"},
        {"a link to a loaded copy would share its settings", "",
         "server { listen 127.0.0.1:8; qelmor_filter {filter}; qelmor on; }\n"
         "server { listen 127.0.0.1:9; qelmor_filter {linked}; qelmor on; }\n",
         "", "the filter library \"{linked}\" is the same file as \"{filter}\""},
        {"filter inside a location", "",
         "server { listen 127.0.0.1:8; location / { qelmor_filter {filter}; } }\n", "",
         "\"qelmor_filter\" directive is not allowed here"},
        {"filter named twice in a server", "",
         "server { listen 127.0.0.1:8; qelmor_filter {filter}; qelmor_filter {second}; }\n", "",
         "\"qelmor_filter\" directive is duplicate"},
        {"switch with a bad value", "qelmor_filter {filter};\n",
         "server { listen 127.0.0.1:8; root {root}; qelmor yes; }\n", "",
         "invalid value \"yes\" in \"qelmor\" directive"},
    };
    for (const ConfigCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string conf = Expand(
            "load_module {module};\n" + c.top + "error_log {prefix}/error.log;\n" +
            "pid {prefix}/nginx.pid;\nevents {}\nhttp {\n    access_log off;\n" +
            "    client_body_temp_path {prefix}/body;\n    proxy_temp_path {prefix}/proxy;\n" +
            "    fastcgi_temp_path {prefix}/fastcgi;\n    uwsgi_temp_path {prefix}/uwsgi;\n" +
            "    scgi_temp_path {prefix}/scgi;\n" + c.http + "}\n" + c.after);
        const ProgramResult result = Check(conf);
        if (c.complaint.empty()) {
            EXPECT_EQ(result.exitCode, 0) << result.err;
            EXPECT_NE(result.err.find("test is successful"), std::string::npos) << result.err;
            EXPECT_NE(result.err.find(Expand(c.notice)), std::string::npos) << result.err;
        } else {
            EXPECT_NE(result.exitCode, 0) << result.err;
            EXPECT_NE(result.err.find(Expand(c.complaint)), std::string::npos) << result.err;
        }
    }
}

// The real filter refuses to register when memory cannot hold its KAVRO.ini
// (a sparse file of 2 TiB, which takes no disk); nginx -t fails and says why.
TEST_F(NginxConfig, SettingsThatMemoryCannotHoldFailTheTest) {
    if (!Nginx().preload.empty()) {
        GTEST_SKIP() << "the sanitizer's operator new ends the process instead of throwing";
    }
    ASSERT_EQ(truncate(dir_->File("filter/KAVRO.ini").c_str(), off_t(2) << 40), 0);
    dir_->Write("nginx.conf",
                Expand("load_module {module};\nqelmor_filter {filter};\n"
                       "error_log {prefix}/error.log;\npid {prefix}/nginx.pid;\nevents {}\n"));
    // Whatever the machine's overcommit policy, 2 TiB are not granted.
    const ProgramResult result =
        RunProgram({"/bin/sh", "-c", "ulimit -v 4194304 && exec \"$0\" \"$@\"", Nginx().program,
                    "-t", "-p", dir_->Path() + "/", "-c", dir_->File("nginx.conf")});
    EXPECT_NE(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find(
                  Expand("the filter \"{filter}\" refused to register (GetFilterVersion failed); "
                         "qelmor.so refuses when memory cannot hold its settings from "
                         "\"{prefix}/filter/KAVRO.ini\"")),
              std::string::npos)
        << result.err;
}

TEST_F(NginxConfig, SampleConfigurationIsAccepted) {
    const std::string conf = SampleConfiguration({});
    const ProgramResult result = Check(Expand(conf));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find("test is successful"), std::string::npos) << result.err;
}

struct SampleCase {
    const char* name;
    std::string request;
    long status;  // 0: closed without an answer
};

// The sample configuration, run: only requests that name its site reach it.
TEST_F(NginxConfig, SampleConfigurationAnswersOnlyItsSite) {
    const std::string conf = SampleConfiguration({
        {"listen [::]:80;", ""},
        {"listen 80", "listen 127.0.0.1:{port}"},
    });
    if (::testing::Test::HasFailure()) return;
    ChildProcess nginx;
    int port = 0;
    // The port is free when we look, not necessarily when nginx binds it.
    for (int attempt = 0; attempt < 5 && port == 0; ++attempt) {
        port = FreeLoopbackPort();
        std::string expanded = Expand(conf);
        ReplaceAll(expanded, "{port}", std::to_string(port));
        dir_->Write("nginx.conf", expanded);
        ASSERT_TRUE(nginx.Start({Nginx().program, "-p", dir_->Path() + "/", "-c",
                                 dir_->File("nginx.conf"), "-g", "daemon off;"},
                                NginxEnvironment()));
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (nginx.Running() && !Accepts(port) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        if (!Accepts(port)) {
            nginx.Stop(SIGQUIT, 15s);
            ASSERT_NE(nginx.Errors().find("Address already in use"), std::string::npos)
                << nginx.Errors() << ReadFile(dir_->File("error.log"));
            port = 0;
        }
    }
    ASSERT_NE(port, 0);

    const std::string close = "Connection: close\r\n\r\n";
    const SampleCase cases[] = {
        {"the site's name", "GET / HTTP/1.1\r\nHost: video.example.com\r\n" + close, 200},
        {"another name", "GET / HTTP/1.1\r\nHost: elsewhere.test\r\n" + close, 0},
        {"the address",
         "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" + close, 0},
        {"no Host in HTTP/1.0", "GET / HTTP/1.0\r\n\r\n", 0},
        {"HTTP/0.9", "GET /\r\n", 0},
        {"absolute target naming another host",
         "GET http://elsewhere.test/ HTTP/1.1\r\nHost: video.example.com\r\n" + close, 0},
    };
    for (const SampleCase& c : cases) {
        SCOPED_TRACE(c.name);
        const RawResult raw = RawExchange(port, c.request);
        EXPECT_EQ(raw.received.starts_with("HTTP/1.1 ") ? std::atol(raw.received.c_str() + 9) : 0,
                  c.status)
            << raw.received;
        if (c.status == 200) {
            EXPECT_TRUE(raw.received.ends_with("\r\n\r\nhome\n")) << raw.received;
        } else {
            EXPECT_EQ(raw.received, "");
        }
    }
    EXPECT_EQ(nginx.Stop(SIGQUIT, 15s), 0) << nginx.Errors();
}

// A running nginx over the Video site of the shared table.
class NginxModule : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string unavailable = NginxUnavailable();
        if (!unavailable.empty()) GTEST_SKIP() << unavailable;
        site_ = std::make_unique<SiteFolder>(Layout(SiteKind::Video));
    }

    void TearDown() override {
        if (host_) {
            EXPECT_EQ(host_->Stop(), "");
        }
    }

    void Start(const std::string& httpDirectives = {}) {
        host_ = std::make_unique<NginxHost>(httpDirectives);
        std::string error;
        ASSERT_TRUE(host_->Start(*site_, error)) << error;
    }

    // The clip, or the notice it is diverted to.
    std::string FetchClip(const std::string& token, std::vector<std::string> headers = {}) {
        headers.push_back("User-Agent: NSPlayer/9.0");
        HttpRequest request;
        request.url =
            "http://127.0.0.1:" + std::to_string(host_->Port()) + "/media/clip.mp4?kavro=" + token;
        request.headers = headers;
        const HttpResponse response = client_.Send(request);
        EXPECT_EQ(response.status, 200);
        const auto& files = Layout(SiteKind::Video).files;
        if (response.body == files.at("media/clip.mp4")) return "clip";
        if (response.body == files.at("KAVRO.mp4")) return "notice";
        return "other: " + std::to_string(response.body.size()) + " bytes";
    }

    std::unique_ptr<SiteFolder> site_;
    std::unique_ptr<NginxHost> host_;
    HttpClient client_;
};

struct ForwardedCase {
    const char* name;
    std::vector<std::string> headers;
    std::string tokenAddress;
    std::string served;
};

TEST_F(NginxModule, ClientAddressComesFromTheRealIpModule) {
    Start("    set_real_ip_from 127.0.0.1;\n    real_ip_header X-Forwarded-For;\n");
    const ForwardedCase cases[] = {
        {"forwarded client, its token", {"X-Forwarded-For: 10.1.2.3"}, "10.1.2.3", "clip"},
        {"forwarded client, the proxy's token",
         {"X-Forwarded-For: 10.1.2.3"},
         "127.0.0.1",
         "notice"},
        {"direct client, its token", {}, "127.0.0.1", "clip"},
        {"direct client, another's token", {}, "10.1.2.3", "notice"},
    };
    for (const ForwardedCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FetchClip(VideoToken(c.tokenAddress), c.headers), c.served);
    }
}

TEST_F(NginxModule, ForwardedAddressIsIgnoredWithoutRealIp) {
    Start();
    EXPECT_EQ(FetchClip(VideoToken("10.1.2.3"), {"X-Forwarded-For: 10.1.2.3"}), "notice");
    EXPECT_EQ(FetchClip(VideoToken("127.0.0.1"), {"X-Forwarded-For: 10.1.2.3"}), "clip");
}

TEST_F(NginxModule, ReloadReadsKavroIniAgain) {
    Start();
    ASSERT_EQ(FetchClip(VideoToken("127.0.0.1")), "clip");

    std::string ini = *Layout(SiteKind::Video).ini;
    ReplaceAll(ini, "PubKey=e2e-key", "PubKey=rotated-key");
    std::ofstream(std::filesystem::path(site_->Filter()).parent_path() / "KAVRO.ini") << ini;
    const std::string rotated = Md5Hex("rotated-key127.0.0.1");
    host_->Reload();

    // The old workers finish; the new ones answer with the new key.
    std::string served;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while ((served = FetchClip(rotated)) != "clip" && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(served, "clip");
    EXPECT_EQ(FetchClip(VideoToken("127.0.0.1")), "notice");
    EXPECT_EQ(host_->Problems(), "");
}

struct SiteCase {
    const char* name;
    std::string host;   // the Host header, which chooses the server
    std::string token;  // empty: none
    std::string served;
};

// Two sites in one nginx, each with its own copy of the library and its own
// KAVRO.ini (key and host name): each judges by its own settings only.
TEST_F(NginxModule, EachServerJudgesWithItsOwnFilter) {
    const TempDir second(WorkFolder(), "second-site-");
    second.Write("site/media/clip.mp4", Layout(SiteKind::Video).files.at("media/clip.mp4"));
    second.Write("site/KAVRO.mp4", Layout(SiteKind::Video).files.at("KAVRO.mp4"));
    second.Copy(FilterLibrary(), "filter/qelmor.so");
    std::string secondIni = *Layout(SiteKind::Video).ini;
    ReplaceAll(secondIni, "PubKey=e2e-key", "PubKey=second-key\nDomainName=second.test");
    second.Write("filter/KAVRO.ini", secondIni);
    std::ofstream(std::filesystem::path(site_->Filter()).parent_path() / "KAVRO.ini")
        << *Layout(SiteKind::Video).ini << "DomainName=first.test\n";

    host_ = std::make_unique<NginxHost>(
        "    server {\n        listen 127.0.0.1:{port};\n"
        "        server_name second.test www.second.test;\n        root " +
            second.File("site") + ";\n        qelmor_filter " + second.File("filter/qelmor.so") +
            ";\n        qelmor on;\n    }\n",
        false, "        server_name first.test 127.0.0.1;\n");
    std::string error;
    ASSERT_TRUE(host_->Start(*site_, error)) << error;

    const std::string firstToken = VideoToken("127.0.0.1");
    const std::string secondToken = Md5Hex("second-key127.0.0.1");
    const SiteCase cases[] = {
        {"first site, its token", "first.test", firstToken, "clip"},
        {"first site, the second's token", "first.test", secondToken, "notice"},
        {"first site, no token", "first.test", "", "notice"},
        {"second site, its token", "second.test", secondToken, "clip"},
        {"second site, the first's token", "second.test", firstToken, "notice"},
        {"second site, no token", "second.test", "", "notice"},
        // A name that is not the site's DomainName is not examined: each
        // server compares with its own.
        {"first server, another name", "127.0.0.1", "", "clip"},
        {"second server, another name", "www.second.test", "", "clip"},
    };
    for (const SiteCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FetchClip(c.token, {"Host: " + c.host}), c.served);
    }
    EXPECT_EQ(host_->Problems(), "");
}

// What the filter is told the host is, through the stub filter's report of
// its server variables: the name nginx chose the server by.
class NginxHostName : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string unavailable = NginxUnavailable();
        if (!unavailable.empty()) GTEST_SKIP() << unavailable;
        site_ = std::make_unique<SiteFolder>(Layout(SiteKind::Probe));
        // Named, so that a request that names no host shows which server
        // took it; not bound to the name, so that every other name gets
        // here too.
        host_ = std::make_unique<NginxHost>("", true, "        server_name www.example.test;\n");
        std::string error;
        ASSERT_TRUE(host_->Start(*site_, error)) << error;
    }

    void TearDown() override {
        if (host_) {
            EXPECT_EQ(host_->Stop(), "");
        }
    }

    // The HTTP_HOST line of the report, or what came back instead.
    static std::string ReportedHost(long status, const std::string& body) {
        if (status != 403) return "status " + std::to_string(status);
        const size_t at = body.find("\nHTTP_HOST");
        if (at == std::string::npos) return "no HTTP_HOST in the report";
        return body.substr(at + 1, body.find('\n', at + 1) - at - 1);
    }

    std::unique_ptr<SiteFolder> site_;
    std::unique_ptr<NginxHost> host_;
};

struct HostHeaderCase {
    const char* name;
    std::string host;      // the Host header, or :authority over HTTP/2
    std::string reported;  // "HTTP_HOST=..." or "status N"
};

TEST_F(NginxHostName, FilterSeesTheNameTheServerWasChosenBy) {
    const HostHeaderCase cases[] = {
        {"address and port", "127.0.0.1:{port}", "HTTP_HOST=127.0.0.1:{port}"},
        {"capitals", "WWW.Example.TEST", "HTTP_HOST=www.example.test"},
        {"trailing dot", "www.example.test.", "HTTP_HOST=www.example.test"},
        {"empty port", "www.example.test:", "HTTP_HOST=www.example.test"},
        {"trailing dot and a port", "WWW.example.test.:8080", "HTTP_HOST=www.example.test:8080"},
        {"address in brackets with a port", "[::1]:8080", "HTTP_HOST=[::1]:8080"},
        {"port that is not a number", "www.example.test:8o", "status 400"},
        {"second port", "www.example.test:80:81", "status 400"},
    };
    for (const bool http2 : {false, true}) {
        const int port = http2 ? host_->Http2Port() : host_->Port();
        for (const HostHeaderCase& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (http2 ? " over HTTP/2" : " over HTTP/1.1"));
            std::string host = c.host, reported = c.reported;
            ReplaceAll(host, "{port}", std::to_string(port));
            ReplaceAll(reported, "{port}", std::to_string(port));
            HttpRequest request;
            request.url = "http://127.0.0.1:" + std::to_string(port) + "/vars/x.txt";
            request.headers = {"Host: " + host};
            request.http2 = http2;
            const HttpResponse response = HttpClient().Send(request);
            EXPECT_EQ(ReportedHost(response.status, response.body), reported);
        }
    }
    EXPECT_EQ(host_->Problems(), "");
}

struct RawHostCase {
    const char* name;
    std::string request;
    std::string reported;
};

TEST_F(NginxHostName, AbsoluteTargetsAndRequestsWithoutAHost) {
    const RawHostCase cases[] = {
        {"absolute target over another Host",
         "GET http://www.example.test/vars/x.txt HTTP/1.1\r\nHost: evil.test\r\n",
         "HTTP_HOST=www.example.test"},
        {"absolute target with capitals, a dot and a port",
         "GET http://WWW.Example.test.:8080/vars/x.txt HTTP/1.1\r\nHost: evil.test:81\r\n",
         "HTTP_HOST=www.example.test:8080"},
        {"absolute target without a port over a Host with one",
         "GET http://www.example.test/vars/x.txt HTTP/1.1\r\nHost: evil.test:81\r\n",
         "HTTP_HOST=www.example.test"},
        {"absolute target in HTTP/1.0", "GET http://www.example.test:81/vars/x.txt HTTP/1.0\r\n",
         "HTTP_HOST=www.example.test:81"},
        {"no Host: the name of the server that took it", "GET /vars/x.txt HTTP/1.0\r\n",
         "HTTP_HOST=www.example.test"},
    };
    for (const RawHostCase& c : cases) {
        SCOPED_TRACE(c.name);
        const RawResult raw = RawExchange(host_->Port(), c.request + "Connection: close\r\n\r\n");
        long status = 0;
        if (raw.received.starts_with("HTTP/1.")) status = std::atol(raw.received.c_str() + 9);
        const size_t body = raw.received.find("\r\n\r\n");
        EXPECT_EQ(
            ReportedHost(status, body == std::string::npos ? std::string()
                                                           : "\n" + raw.received.substr(body + 4)),
            c.reported);
    }
}

// The filter runs once per file and request: its response header is added
// once, though the access and the content phase both see the file.
TEST_F(NginxHostName, FileIsJudgedOncePerRequest) {
    const RawResult raw = RawExchange(
        host_->Port(),
        "GET /header/file.txt HTTP/1.1\r\nHost: www.example.test\r\nConnection: close\r\n\r\n");
    ASSERT_TRUE(raw.received.starts_with("HTTP/1.1 200")) << raw.received;
    size_t count = 0;
    for (size_t at = raw.received.find("X-Stub:"); at != std::string::npos;
         at = raw.received.find("X-Stub:", at + 1))
        ++count;
    EXPECT_EQ(count, 1u) << raw.received;
}

// The video site, with a location for every way nginx has of finding a file
// other than mapping the URI it was asked for.
const SiteLayout& WaysLayout() {
    static const SiteLayout layout = [] {
        SiteLayout site{"ways", VideoSiteFiles(), {}, FilterKind::Real, kVideoIni};
        const std::string token = VideoToken("127.0.0.1");
        site.files["tf/film.mp4"] = kVideoClip;
        site.files["tfm/film.mp4"] = kVideoClip;
        site.files["rnd/clip.mp4"] = kVideoClip;
        site.files["media/clip.mp4.gz"] = kVideoClip;
        site.files["ssi/clip.shtml"] = "<p>page</p><!--#include virtual=\"/media/clip.mp4\" -->";
        site.files["ssi/token.shtml"] =
            "<p>page</p><!--#include virtual=\"/media/clip.mp4?kavro=" + token + "\" -->";
        site.files["ssi/guide.shtml"] = "<p>page</p><!--#include virtual=\"/files/guide.zip\" -->";
        site.files["ssi/hidden.shtml"] = "<p>page</p><!--#include virtual=\"/hidden/clip.mp4\" -->";
        return site;
    }();
    return layout;
}

std::string WaysLocations(const std::string& root) {
    std::string locations =
        "        location /tf/ { try_files $uri $uri.mp4 =404; }\n"
        "        location /tfm/ { mp4; try_files $uri $uri.mp4 =404; }\n"
        "        location /ssi/ { ssi on; }\n"
        "        location /idx/ { alias {root}/media/; index clip.mp4; }\n"
        "        location /rnd/ { random_index on; }\n"
        "        location /rw/ { rewrite ^/rw/(.*)$ /media/$1 last; }\n"
        "        location /al/ { alias {root}/media/; }\n"
        "        location /gz/ { alias {root}/media/; gzip_static on; }\n"
        "        location /any/ { alias {root}/media/; satisfy any; allow 127.0.0.1; deny all; }\n"
        "        location /hidden/ { internal; alias {root}/media/; }\n"
        "        location = /accel { proxy_pass http://127.0.0.1:$server_port/app; }\n"
        "        location = /accel-token { proxy_pass http://127.0.0.1:$server_port/app-token; }\n"
        "        location = /app {\n"
        "            qelmor off;\n"
        "            add_header X-Accel-Redirect /hidden/clip.mp4;\n"
        "            return 200 \"app\\n\";\n"
        "        }\n"
        "        location = /app-token {\n"
        "            qelmor off;\n"
        "            add_header X-Accel-Redirect \"/hidden/clip.mp4?kavro={token}\";\n"
        "            return 200 \"app\\n\";\n"
        "        }\n"
        // The notice clip of .flv is missing; its 404 page is a clip.
        "        location = /KAVRO.flv { error_page 404 /media/clip.mp4; }\n";
    ReplaceAll(locations, "{root}", root);
    ReplaceAll(locations, "{token}", VideoToken("127.0.0.1"));
    return locations;
}

class NginxWays : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string unavailable = NginxUnavailable();
        if (!unavailable.empty()) GTEST_SKIP() << unavailable;
        site_ = std::make_unique<SiteFolder>(WaysLayout());
        host_ = std::make_unique<NginxHost>("", false, WaysLocations(site_->Root()));
        std::string error;
        ASSERT_TRUE(host_->Start(*site_, error)) << error;
    }

    void TearDown() override {
        if (host_) {
            EXPECT_EQ(host_->Stop(), "");
        }
    }

    // Which of the site's files the answer holds, whole or within a page.
    static std::string Holds(const HttpResponse& response) {
        const std::pair<const char*, std::string> known[] = {
            {"clip", kVideoClip},
            {"notice", kVideoNotice},
            {"guide", kVideoGuide},
            {"block page", kVideoBlockPage},
        };
        for (const auto& [name, content] : known) {
            if (response.body.find(content) != std::string::npos) return name;
        }
        return "nothing (status " + std::to_string(response.status) + ")";
    }

    std::unique_ptr<SiteFolder> site_;
    std::unique_ptr<NginxHost> host_;
};

struct WayCase {
    const char* name;
    std::string target;
    std::string holds;
};

TEST_F(NginxWays, EveryFileIsJudgedUnderTheNameItIsServedBy) {
    const std::string token = "?kavro=" + VideoToken("127.0.0.1");
    const WayCase cases[] = {
        {"try_files adds the extension", "/tf/film", "notice"},
        {"try_files adds the extension, with the token", "/tf/film" + token, "clip"},
        {"try_files finds the name asked for", "/tf/film.mp4", "notice"},
        {"try_files before the mp4 module", "/tfm/film", "notice"},
        {"try_files before the mp4 module, with the token", "/tfm/film" + token, "clip"},
        {"SSI includes a media file", "/ssi/clip.shtml", "notice"},
        {"SSI includes a media file with its token", "/ssi/token.shtml", "clip"},
        {"SSI includes a download", "/ssi/guide.shtml", "block page"},
        {"SSI includes an internal location", "/ssi/hidden.shtml", "notice"},
        {"index file", "/idx/", "notice"},
        {"index file, with the token", "/idx/" + token, "clip"},
        {"random index", "/rnd/", "notice"},
        {"random index, with the token", "/rnd/" + token, "clip"},
        {"rewrite last", "/rw/clip.mp4", "notice"},
        {"rewrite last, with the token", "/rw/clip.mp4" + token, "clip"},
        {"alias", "/al/clip.mp4", "notice"},
        {"gzip_static", "/gz/clip.mp4", "notice"},
        {"satisfy any with an allowed address", "/any/clip.mp4", "notice"},
        {"internal location asked for", "/hidden/clip.mp4", "nothing (status 404)"},
        {"X-Accel-Redirect", "/accel", "notice"},
        {"X-Accel-Redirect with the token", "/accel-token", "clip"},
        {"error page of a missing notice clip", "/media/other.flv", "notice"},
    };
    HttpClient client;
    for (const WayCase& c : cases) {
        SCOPED_TRACE(c.name);
        const HttpResponse response =
            client.Get("http://127.0.0.1:" + std::to_string(host_->Port()) + c.target,
                       {"User-Agent: NSPlayer/9.0", "Accept-Encoding: gzip"});
        EXPECT_EQ(Holds(response), c.holds);
    }
    EXPECT_EQ(host_->Problems(), "");
    if (HasFailure()) std::cerr << host_->Logs() << "\n";
}

}  // namespace
}  // namespace qelmor::e2e

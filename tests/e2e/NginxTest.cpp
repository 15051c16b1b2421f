// What only the nginx module has: its directives as "nginx -t" judges them,
// the sample configuration, the client address through the realip module,
// and a reload that registers the filter again.
#include <gtest/gtest.h>

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

class NginxConfig : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string unavailable = NginxUnavailable();
        if (!unavailable.empty()) GTEST_SKIP() << unavailable;
        dir_ = std::make_unique<TempDir>(WorkFolder(), "config-");
        dir_->Copy(FilterLibrary(), "filter/qelmor.so");
        dir_->Copy(QELMOR_SAMPLE_KAVRO_INI, "filter/KAVRO.ini");
        dir_->Copy(RefusingFilterLibrary(), "refusing/qelmor.so");
        dir_->Write("site/index.html", "home\n");
    }

    // {module}, {filter}, {refusing}, {prefix} and {root} in `text`.
    std::string Expand(std::string text) const {
        ReplaceAll(text, "{module}", Nginx().module);
        ReplaceAll(text, "{filter}", dir_->File("filter/qelmor.so"));
        ReplaceAll(text, "{refusing}", dir_->File("refusing/qelmor.so"));
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
    std::string top;        // main level, before the http block
    std::string http;       // inside the http block
    std::string after;      // main level, after the http block
    std::string complaint;  // empty: nginx -t accepts it
};

TEST_F(NginxConfig, DirectivesAreCheckedWhenTheConfigurationIsRead) {
    const std::string site = "server { listen 127.0.0.1:8; root {root}; qelmor on; }\n";
    const ConfigCase cases[] = {
        {"filter and switch", "qelmor_filter {filter};\n", site, "", ""},
        {"filter named relative to the prefix", "qelmor_filter filter/qelmor.so;\n", site, "", ""},
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
         "the filter \"{refusing}\" refused to register (GetFilterVersion failed)"},
        {"switched on without a filter", "", site, "",
         "\"qelmor on\" is set, but no \"qelmor_filter\" directive names the filter library"},
        {"filter named twice", "qelmor_filter {filter};\nqelmor_filter {filter};\n", site, "",
         "\"qelmor_filter\" directive is duplicate"},
        {"filter inside the http block", "", "qelmor_filter {filter};\n" + site, "",
         "\"qelmor_filter\" directive is not allowed here"},
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
        } else {
            EXPECT_NE(result.exitCode, 0) << result.err;
            EXPECT_NE(result.err.find(Expand(c.complaint)), std::string::npos) << result.err;
        }
    }
}

TEST_F(NginxConfig, SampleConfigurationIsAccepted) {
    std::string conf = ReadFile(QELMOR_NGINX_SAMPLE_CONFIG);
    // The sample's own paths, each of which must be there to be replaced.
    const std::pair<std::string, std::string> paths[] = {
        {"/usr/lib/nginx/modules/ngx_http_qelmor_module.so", "{module}"},
        {"/usr/local/lib/qelmor/qelmor.so", "{filter}"},
        {"/var/www/video", "{root}"},
        {"/run/nginx.pid", "{prefix}/nginx.pid"},
        {"/var/log/nginx/", "{prefix}/"},
    };
    for (const auto& [from, to] : paths) {
        EXPECT_NE(conf.find(from), std::string::npos) << from << " is no longer in the sample";
        ReplaceAll(conf, from, to);
    }
    const ProgramResult result = Check(Expand(conf));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find("test is successful"), std::string::npos) << result.err;
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

}  // namespace
}  // namespace qelmor::e2e

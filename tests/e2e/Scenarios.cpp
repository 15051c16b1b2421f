#include "tests/e2e/Scenarios.h"

#include <cctype>
#include <cstdlib>

#include "tests/hosttest/HostHarness.h"
#include "tests/hosttest/VideoSite.h"

namespace qelmor::e2e {

using namespace qelmor::hosttest;

namespace {

std::string Upper(std::string text) {
    for (char& c : text)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

constexpr const char* kClockKey = "clock-key";

const char* const kClockIni =
    "[KAVRO]\n"
    "PubKey=clock-key\n"
    "EncryptMode=2\n"
    "MediaExt=.mp4\n"
    "PlayOnline=0\n"
    "Mediaaction=0\n"
    "ReasonHeader=1\n";

const std::string kClockClip = PatternBytes(20000, 7);
const std::string kClockNotice = PatternBytes(1500, 8);

const std::string kSameHost = "Referer: http://127.0.0.1:{port}/index.html";
const std::string kElsewhere = "Referer: http://elsewhere.test/page.html";
const std::string kPlayer = "User-Agent: NSPlayer/9.0";
const std::string kBrowser = "User-Agent: Mozilla/5.0 (X11; Linux x86_64)";

Expectation Refused(const std::string& body) {
    return {403,
            body,
            {{"content-type", "text/html"},
             {"content-length", std::to_string(body.size())},
             {"connection", "close"}}};
}

Expectation Served(const std::string& body, const std::string& type = {}) {
    Expectation expect{200, body, {{"content-length", std::to_string(body.size())}}};
    if (!type.empty()) expect.headers.emplace_back("content-type", type);
    return expect;
}

Expectation Status(long status) {
    return {status, std::nullopt};
}

// Nothing of the file may come back, whatever the refusal looks like.
Expectation Withheld(const std::string& content) {
    Expectation expect{kWithheld, std::nullopt};
    expect.absent = content;
    return expect;
}

Scenario Raw(std::string name, SiteKind site, std::string bytes, Expectation expect) {
    Scenario scenario{std::move(name), site, "GET", "", {}, false, std::move(expect)};
    scenario.raw = std::move(bytes);
    return scenario;
}

Scenario Get(std::string name, SiteKind site, std::string target, std::vector<std::string> headers,
             Expectation expect) {
    return {std::move(name), site, "GET", std::move(target), std::move(headers), false, expect};
}

// A refusal and the reason the filter gives for it.
Scenario Because(std::string reason, Scenario scenario) {
    scenario.reason = std::move(reason);
    return scenario;
}

Scenario WithMethod(std::string method, Scenario scenario) {
    scenario.method = std::move(method);
    return scenario;
}

// Sent as written: "/../" is not resolved by the client.
Scenario AsWritten(Scenario scenario) {
    scenario.pathAsIs = true;
    return scenario;
}

// The table is laid out by hand, one exchange to a few lines.
// clang-format off
std::vector<Scenario> VideoScenarios() {
    const auto video = SiteKind::Video;
    const std::string token = VideoToken("127.0.0.1");
    const std::string clip = "/media/clip.mp4";
    const std::string size = std::to_string(kVideoClip.size());
    const std::string tail = std::to_string(kVideoClip.size() - 17) + "-" +
                             std::to_string(kVideoClip.size() - 1) + "/" + size;
    return {
        Get("page_of_the_site", video, "/index.html", {}, Served(kVideoPage, "text/html")),
        Get("directory_serves_its_index", video, "/", {}, Served(kVideoPage)),
        Get("style_sheet_for_a_page_of_the_site", video, "/style.css", {kSameHost},
            Served(kVideoStyle, "text/css")),
        Because("foreign-referer", Get("hotlinked_style_sheet", video, "/style.css", {kElsewhere}, Refused(kVideoBlockPage))),
        Because("foreign-referer", Get("style_sheet_without_referer", video, "/style.css", {}, Refused(kVideoBlockPage))),
        Because("foreign-referer", Get("referer_from_another_port", video, "/style.css",
            {"Referer: http://127.0.0.1:1/index.html"}, Refused(kVideoBlockPage))),
        Because("token-missing", Get("download_without_token", video, "/files/guide.zip", {kSameHost},
            Refused(kVideoBlockPage))),
        Because("token-invalid", Get("download_with_a_wrong_token", video,
            "/files/guide.zip?kavro=" + std::string(32, '0'), {}, Refused(kVideoBlockPage))),
        Get("download_with_its_token", video, "/files/guide.zip?kavro=" + token, {},
            Served(kVideoGuide)),
        Because("super-class", Get("super_class_file", video, "/data.mdb", {kSameHost}, Refused(kVideoBlockPage))),
        Get("media_with_token_and_player", video, clip + "?kavro=" + token, {kPlayer},
            Served(kVideoClip, "video/mp4")),
        Get("media_token_in_capitals", video, clip + "?KAVRO=" + Upper(token), {kPlayer},
            Served(kVideoClip)),
        Get("media_token_among_parameters", video, clip + "?a=1&kavro=" + token + "&b=2",
            {kPlayer}, Served(kVideoClip)),
        Get("media_range", video, clip + "?kavro=" + token, {kPlayer, "Range: bytes=1000-1999"},
            {206, kVideoClip.substr(1000, 1000), {{"content-range", "bytes 1000-1999/" + size}}}),
        Get("media_suffix_range", video, clip + "?kavro=" + token, {kPlayer, "Range: bytes=-17"},
            {206, kVideoClip.substr(kVideoClip.size() - 17), {{"content-range", "bytes " + tail}}}),
        Get("media_range_beyond_the_end", video, clip + "?kavro=" + token,
            {kPlayer, "Range: bytes=999999-"},
            {416, std::nullopt, {{"content-range", "bytes */" + size}}}),
        Because("not-player-agent", Get("media_for_a_browser_is_diverted", video, clip + "?kavro=" + token, {kBrowser},
            Served(kVideoNotice, "video/mp4"))),
        Because("token-invalid", Get("media_token_of_another_address", video, clip + "?kavro=" + VideoToken("10.1.2.3"),
            {kPlayer}, Served(kVideoNotice))),
        Because("token-missing", Get("media_without_token", video, clip, {kPlayer}, Served(kVideoNotice))),
        Because("token-missing", Get("media_token_in_the_cookie_only", video, clip, {kPlayer, "Cookie: kavro=" + token},
            Served(kVideoNotice))),
        Because("token-missing", Get("diverted_without_a_notice_clip", video, "/media/other.flv", {kPlayer}, Status(404))),
        WithMethod("HEAD", Get("head_of_media", video, clip + "?kavro=" + token, {kPlayer},
                               {200, "", {{"content-length", size}}})),
        Because("foreign-referer", WithMethod("HEAD", Get("head_of_a_refused_style_sheet", video, "/style.css", {kElsewhere},
                               {403, "", {{"content-length", std::to_string(kVideoBlockPage.size())}}}))),
        Get("query_at_the_length_limit", video, "/index.html?" + std::string(200, 'q'), {},
            Served(kVideoPage)),
        Because("query-too-long", Get("query_over_the_length_limit", video, "/index.html?" + std::string(201, 'q'), {},
            Refused(kLengthMessage))),
        Because("query-too-long", Get("query_of_ten_thousand_bytes", video, "/index.html?" + std::string(10000, 'q'), {},
            Refused(kLengthMessage))),
        Because("query-bad-text", Get("bad_characters_in_the_query", video, "/index.html?x=%3C%3E&y=<>", {},
            Refused(kCharacterMessage))),
        Get("one_bad_character_alone", video, "/index.html?x=<", {}, Served(kVideoPage)),
        Get("missing_file", video, "/nothing.html", {}, Status(404)),
        WithMethod("POST", Get("post_to_a_page", video, "/index.html", {}, Status(405))),
        AsWritten(Get("traversal_with_dots", video, "/../index.html", {}, Status(400))),
        AsWritten(Get("traversal_with_encoded_dots", video, "/%2e%2e/index.html", {},
                      Status(400))),
        Raw("directory_redirect_stays_on_the_site", video,
            "GET //elsewhere.test/..%2fmedia HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
            "Connection: close\r\n\r\n",
            {301, std::nullopt, {}, std::nullopt, "/media/"}),
    };
}

constexpr const char* kBoundName = "www.example.test";
const std::string kBoundSecret = "the bound site's database, never served";

// The site bound to one host name: the filter examines that name only, so
// every way of reaching the site under another spelling of it must still be
// examined, and every other name must reach nothing.
std::vector<Scenario> BoundScenarios() {
    const auto bound = SiteKind::Bound;
    const std::string host = std::string("Host: ") + kBoundName;
    const std::string secret = "/data.mdb";
    const std::string close = "Connection: close\r\n\r\n";
    return {
        Get("bound_page", bound, "/index.html", {host}, Served(kVideoPage)),
        Get("bound_super_file", bound, secret, {host}, Refused(kVideoBlockPage)),
        Get("bound_host_in_capitals", bound, secret, {"Host: WWW.Example.TEST"},
            Refused(kVideoBlockPage)),
        Get("bound_host_with_a_trailing_dot", bound, secret, {host + "."}, Refused(kVideoBlockPage)),
        Get("bound_host_with_an_empty_port", bound, secret, {host + ":"}, Refused(kVideoBlockPage)),
        Get("bound_host_with_its_port", bound, secret, {host + ":{port}"}, Refused(kVideoBlockPage)),
        Get("bound_host_with_a_dot_and_a_port", bound, secret, {host + ".:8080"},
            Refused(kVideoBlockPage)),
        Get("bound_other_host", bound, secret, {"Host: evil.test"}, Withheld(kBoundSecret)),
        Get("bound_address_as_host", bound, secret, {"Host: 127.0.0.1:{port}"},
            Withheld(kBoundSecret)),
        Get("bound_one_letter_host", bound, secret, {"Host: x"}, Withheld(kBoundSecret)),
        Get("bound_host_with_a_suffix", bound, secret, {host + ".evil.test"},
            Withheld(kBoundSecret)),
        Raw("bound_absolute_form_page", bound,
            "GET http://www.example.test/index.html HTTP/1.1\r\nHost: evil.test\r\n" + close,
            {200, kVideoPage}),
        Raw("bound_absolute_form_names_the_site", bound,
            "GET http://www.example.test/data.mdb HTTP/1.1\r\nHost: evil.test\r\n" + close,
            {403, kVideoBlockPage}),
        Raw("bound_absolute_form_names_another_host", bound,
            "GET http://evil.test/data.mdb HTTP/1.1\r\n" + host + "\r\n" + close,
            Withheld(kBoundSecret)),
        Raw("bound_two_host_headers", bound,
            "GET /data.mdb HTTP/1.1\r\nHost: evil.test\r\n" + host + "\r\n" + close,
            {400, std::nullopt, {}, kBoundSecret}),
        Raw("bound_http11_without_host", bound, "GET /data.mdb HTTP/1.1\r\n" + close,
            {400, std::nullopt, {}, kBoundSecret}),
        Raw("bound_http10_without_host", bound, "GET /data.mdb HTTP/1.0\r\n\r\n",
            Withheld(kBoundSecret)),
        Raw("bound_http09", bound, "GET /data.mdb\r\n", Withheld(kBoundSecret)),
    };
}

std::vector<Scenario> ClockScenarios() {
    const auto clock = SiteKind::Clock;
    const std::string clip = "/media/clip.mp4?kavro=";
    return {
        Get("clock_token_of_this_minute", clock, clip + "{clock-token:0:127.0.0.1}", {},
            Served(kClockClip)),
        Because("token-expired", Get("clock_token_two_minutes_old", clock, clip + "{clock-token:-2:127.0.0.1}", {},
            Served(kClockNotice))),
        Because("token-invalid", Get("clock_token_of_another_address", clock, clip + "{clock-token:0:127.0.0.2}", {},
            Served(kClockNotice))),
    };
}
// clang-format on

const std::string kVariableReport =
    "PATH={root}/vars/a b.txt\n"
    "CB=4096\n"
    "SECURE=0\n"
    "HTTP_HOST=127.0.0.1:{port}\n"
    "HTTP_REFERER=http://elsewhere.test/\n"
    "REMOTE_ADDR=127.0.0.1\n"
    "QUERY_STRING=x=%41&y=2\n"
    "HTTP_COOKIE=a=1; b=2\n"
    "HTTP_USER_AGENT=Tester/1.0\n"
    "HTTP_X_MULTI=one, two\n"
    "HTTP_X_EMPTY=\n"
    "HTTP_ABSENT!1413\n"
    "REQUEST_METHOD=GET\n"
    "URL=/vars/a b.txt\n"
    "SERVER_PORT={port}\n"
    "HTTPS=off\n"
    "http_user_agent=Tester/1.0\n"
    "NO_SUCH_VARIABLE!1413\n"
    "SMALL HTTP_USER_AGENT ok=0 size=11 error=122\n"
    "NOBUFFER HTTP_USER_AGENT ok=0 size=11 error=122\n"
    "SMALL HTTP_ABSENT ok=0 size=2 error=1413\n";

// clang-format off
std::vector<Scenario> ProbeScenarios() {
    const auto probe = SiteKind::Probe;
    return {
        Get("probe_server_variables", probe, "/vars/a%20b.txt?x=%41&y=2",
            {"Cookie: a=1", "Cookie: b=2", "X-Multi: one", "X-Multi: two", "X-Empty;",
             "Referer: http://elsewhere.test/", "User-Agent: Tester/1.0"},
            {403, kVariableReport, {{"content-type", "text/html"}}}),
        Get("probe_page_written_by_the_filter", probe, "/page/x.html", {},
            Refused("<p>refused by the stub</p>")),
        Get("probe_finished_with_nothing_closes", probe, "/close/x.txt", {}, Status(0)),
        Get("probe_diverted_to_a_notice", probe, "/divert/film.wmv", {}, Served("notice clip")),
        Get("probe_diverted_to_an_absent_notice", probe, "/divert/film.flv", {}, Status(404)),
        Get("probe_diverted_through_host_memory", probe, "/divert-alloc/x.txt", {},
            Served("notice clip")),
        Get("probe_diverted_to_an_absolute_path", probe, "/divert-absolute/x.txt", {},
            Served("notice text")),
        Get("probe_diverted_out_of_the_root", probe, "/escape/x.txt", {}, Status(404)),
        Get("probe_next_with_a_replaced_path", probe, "/next-divert/x.txt", {},
            Served("notice text")),
        Get("probe_adds_a_response_header", probe, "/header/file.txt", {},
            {200, "with a header", {{"x-stub", "added"}}}),
        Get("probe_error_status", probe, "/error/x.txt", {}, Status(500)),
        Get("probe_lets_a_file_through", probe, "/plain.txt", {}, Served("plain")),
    };
}
// clang-format on

std::string ClockToken(const std::string& argument, std::chrono::system_clock::time_point now) {
    // "M:ADDRESS"
    const size_t colon = argument.find(':');
    const int minutes = std::atoi(argument.substr(0, colon).c_str());
    const std::string address = colon == std::string::npos ? "" : argument.substr(colon + 1);
    const ClockTexts texts = ClockTextsAt(now + std::chrono::minutes(minutes));
    return Md5Hex(kClockKey + address + texts.date + texts.hour + texts.minute);
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

constexpr std::string_view kClockPlaceholder = "{clock-token:";

}  // namespace

const SiteLayout& Layout(SiteKind site) {
    // Refusals say why, so that the table checks each reason through the
    // response and the host's log.
    static const SiteLayout video{"video", VideoSiteFiles(), {}, FilterKind::Real,
                                  kVideoIni + "ReasonHeader=1\n"};
    static const SiteLayout clock{"clock",
                                  {{"media/clip.mp4", kClockClip}, {"KAVRO.mp4", kClockNotice}},
                                  {},
                                  FilterKind::Real,
                                  kClockIni};
    static const SiteLayout probe{"probe",
                                  {{"index.html", "home\n"},
                                   {"KAVRO.wmv", "notice clip"},
                                   {"notice.txt", "notice text"},
                                   {"plain.txt", "plain"},
                                   {"header/file.txt", "with a header"}},
                                  {{"outside.txt", "outside the root"}},
                                  FilterKind::Stub,
                                  std::nullopt};
    static const SiteLayout bound = [] {
        SiteLayout layout{"bound", VideoSiteFiles(), {}, FilterKind::Real,
                          kVideoIni + "DomainName=" + kBoundName + "\n", kBoundName};
        layout.files["data.mdb"] = kBoundSecret;
        return layout;
    }();
    switch (site) {
        case SiteKind::Bound:
            return bound;
        case SiteKind::Video:
            return video;
        case SiteKind::Clock:
            return clock;
        case SiteKind::Probe:
            break;
    }
    return probe;
}

const std::vector<Scenario>& Scenarios() {
    static const std::vector<Scenario> all = [] {
        std::vector<Scenario> scenarios = VideoScenarios();
        for (auto* more : {ClockScenarios, ProbeScenarios, BoundScenarios}) {
            for (Scenario& scenario : more())
                scenarios.push_back(std::move(scenario));
        }
        return scenarios;
    }();
    return all;
}

std::string Expand(const std::string& text, const HostFacts& facts,
                   std::chrono::system_clock::time_point now) {
    std::string expanded = text;
    ReplaceAll(expanded, "{port}", std::to_string(facts.port));
    ReplaceAll(expanded, "{root}", facts.root);
    for (size_t at = expanded.find(kClockPlaceholder); at != std::string::npos;
         at = expanded.find(kClockPlaceholder, at)) {
        const size_t end = expanded.find('}', at);
        if (end == std::string::npos) break;
        const size_t argumentAt = at + kClockPlaceholder.size();
        const std::string token = ClockToken(expanded.substr(argumentAt, end - argumentAt), now);
        expanded.replace(at, end + 1 - at, token);
        at += token.size();
    }
    return expanded;
}

bool DependsOnClock(const Scenario& scenario) {
    if (scenario.target.find(kClockPlaceholder) != std::string::npos) return true;
    for (const std::string& header : scenario.headers) {
        if (header.find(kClockPlaceholder) != std::string::npos) return true;
    }
    return false;
}

}  // namespace qelmor::e2e

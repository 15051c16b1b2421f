#include <cstdio>
#include <string>

#include "tools/qelmor/Commands.h"
#include "tools/qelmor/Printing.h"

namespace qelmor::tool {
namespace {

constexpr OptionInfo kOptions[] = {
    kIniOption,       {"--client", true}, kAtOption,
    {"--link", true}, kDatePatternOption, {"--verbose", false},
};

constexpr char kHelp[] =
    R"(Usage: qelmor token [--ini FILE] [--client ADDR] [--at "YYYY-MM-DD HH:MM"]
                    [--link URL] [--date-pattern PATTERN] [--verbose]

Prints the token the filter accepts from a client at a minute of the server's
clock, computed by the filter's own code in the file's EncryptMode.

  --ini FILE              the filter's INI file (default: KAVRO.ini in this
                          folder; a missing file means every key's default)
  --client ADDR           the client's address as the server gives it
                          (REMOTE_ADDR); needed unless EncryptMode is 1
  --at "YYYY-MM-DD HH:MM" the server's local date and minute (default: now)
  --link URL              print URL with the token parameter appended
                          ("?" or "&" as the URL needs) instead of the token
  --date-pattern PATTERN  the server's short date pattern; default: this
                          host's ("m/d/yy" on Linux). For a Windows server,
                          its locale's pattern, e.g. "yyyy/M/d"
  --verbose               show the digest input piece by piece, and the
                          minutes the filter accepts the token in
                          (TokenGrace minutes after its own)

Exit status: 0 when a token was printed; 2 for a bad argument, or when the
file's EncryptMode is outside 0 to 3 and no token can be valid.
)";

constexpr std::string_view kTokenParameter = "kavro=";

// The URL with the token parameter added to its query string, before any
// fragment.
std::string AppendToken(std::string_view url, std::string_view token) {
    const size_t hash = url.find('#');
    std::string base(url.substr(0, hash));
    const std::string_view fragment = hash == std::string_view::npos ? "" : url.substr(hash);
    if (base.find('?') == std::string::npos) {
        base += '?';
    } else if (!base.ends_with('?') && !base.ends_with('&')) {
        base += '&';
    }
    base += kTokenParameter;
    base += token;
    base += fragment;
    return base;
}

std::string_view QueryOf(std::string_view url) {
    const size_t question = url.find('?');
    if (question == std::string_view::npos) return {};
    const std::string_view rest = url.substr(question + 1);
    return rest.substr(0, rest.find('#'));
}

std::string LinkFor(const std::string& url, const std::string& token, const Setting& setting) {
    if (!setting.config.PassMode) {
        throw UsageError("--link: PassMode is 0 in " + setting.iniPath +
                         ", so the filter takes the token from the cookie \"kavro=" + token +
                         "\", not from the link");
    }
    const std::string link = AppendToken(url, token);
    // The filter reads the first "kavro=" of the query string, wherever it
    // stands; an earlier one would hide ours.
    const AccessToken read = ExtractAccessToken(QueryOf(link), {}, setting.config);
    if (read.Text() != token) {
        throw UsageError("--link: \"" + url +
                         "\" already carries \"kavro=\" in its query string; the filter would "
                         "read that instead of the token");
    }
    return link;
}

// "10:39 to 10:43 (TokenGrace 2)": the minutes of the filter's clock in
// which it takes a token made at the given minute; the grace reaches both
// ways, for links that outlive their minute and for clocks that disagree.
std::string AcceptedMinutes(const Setting& setting) {
    const FilterConfig& config = setting.config;
    if (config.EncryptMode == 0) return "at any time (EncryptMode 0)";
    const int grace = config.TokenGrace;
    const TokenMinute made{setting.clock.date, setting.clock.time.hour, setting.clock.time.minute};
    const auto text = [&made](int minutesLater) {
        const TokenMinute at = MinutesEarlier(made, -minutesLater);
        std::string clock = ClockText(at.hour, at.minute);
        if (at.date.day != made.date.day) {
            clock += minutesLater < 0 ? " of the day before" : " of the next day";
        }
        return clock;
    };
    std::string accepted = text(0);
    if (grace > 0) accepted = text(-grace) + " to " + text(grace);
    return accepted + " (TokenGrace " + DecimalText(grace) + ")";
}

}  // namespace

TokenInput TokenInputAt(std::string_view address, const Setting& setting) {
    return BuildTokenInput(address, setting.clock.date, setting.clock.time, setting.clock.time,
                           setting.config, CurrentLocale());
}

bool TokenUsesAddress(const Setting& setting) {
    return !TokenInputAt("?", setting).address.empty();
}

int RunToken(std::span<const std::string> args) {
    const Arguments arguments(args, kOptions);
    if (arguments.WantsHelp()) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    Setting setting = LoadSetting(arguments);
    RequireReadableIni(setting);
    FixDateAndClock(arguments, setting);

    const std::string* client = arguments.Value("--client");
    if (client != nullptr && client->empty()) throw UsageError("--client needs an address");
    if (!TokenInputAt("", setting).valid) {
        throw UsageError("EncryptMode " + DecimalText(setting.config.EncryptMode) + " in " +
                         setting.iniPath + " is outside 0 to 3: no token can be valid");
    }
    if (client == nullptr && TokenUsesAddress(setting)) {
        throw UsageError("--client is needed: EncryptMode " +
                         DecimalText(setting.config.EncryptMode) + " digests the client's address");
    }

    // TokenInput keeps views: the address must outlive it.
    const std::string_view address = client ? std::string_view(*client) : std::string_view();
    const TokenInput input = TokenInputAt(address, setting);
    const std::string token = ExpectedTokenText(input);
    const std::string* url = arguments.Value("--link");
    const std::string link = url ? LinkFor(*url, token, setting) : std::string();
    NoteIniState("token", setting);

    if (arguments.Has("--verbose")) {
        const auto& clock = setting.clock;
        std::printf("EncryptMode %d at %04d-%02d-%02d %s\n", int(setting.config.EncryptMode),
                    clock.date.year, clock.date.month, clock.date.day,
                    ClockText(clock.time.hour, clock.time.minute).c_str());
        // The pieces the filter digests, in its own order.
        std::string whole;
        for (const TokenPart part : input.order) {
            std::printf("%-8s %s\n", TokenPartLabel(part), Quoted(input.Text(part)).c_str());
            whole += input.Text(part);
        }
        std::printf("%-8s %s\n", "input", Quoted(whole).c_str());
        std::printf("%-8s %s\n", "token", token.c_str());
        std::printf("%-8s %s\n", "accepted", AcceptedMinutes(setting).c_str());
        if (url) std::printf("%-8s %s\n", "link", link.c_str());
    } else {
        std::printf("%s\n", url ? link.c_str() : token.c_str());
    }
    return 0;
}

}  // namespace qelmor::tool

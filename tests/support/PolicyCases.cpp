#include "tests/support/PolicyCases.h"

#include <algorithm>

namespace qelmor::testing {

const char kExpectedLengthMessage[] =
    "\xb1\xbe\xd5\xbe\xbf\xaa\xc6\xf4\xc1\xcbURL\xb3\xa4\xb6\xc8\xb0\xb2\xc8\xab\xbc\xec\xb2\xe2"
    "\xb9\xa6\xc4\xdc\xa1\xa3\x20";
const char kExpectedCharacterMessage[] =
    "\xb1\xbe\xd5\xbe\xbf\xaa\xc6\xf4\xc1\xcbURL\xd7\xd6\xb7\xfb\xb0\xb2\xc8\xab\xbc\xec\xb2\xe2"
    "\xb9\xa6\xc4\xdc\xa1\xa3\x20";

namespace {

// The site most cases run against.
const CaseConfig kSite{R"(; a guarded video site
[KAVRO]
DomainName=www.example.test
FriendDomain=www.friend.test
PubFile=public.rm
OpenSecurity=1
UrlLength=100
BadChar=<>
PubKey=secret
EncryptMode=2
CommonExt=.jpg.gif.css
AdvancedExt=.zip.rar
MediaExt=.rmvb.wmv
SuperExt=.exe.
Title=Stop
Alert=No hotlinks
RedirectUrl=http://www.example.test/
)",
                       2, "secret"};

const CaseConfig kAnyHost{"[KAVRO]\nSuperExt=.exe\n", 0, "ruftal"};
const CaseConfig kDomainWithPort{"[KAVRO]\nDomainName=www.example.test:81\nSuperExt=.exe\n", 0,
                                 "ruftal"};
const CaseConfig kNegativeLength{"[KAVRO]\nOpenSecurity=1\nUrlLength=-1\n", 0, "ruftal"};
const CaseConfig kSecurityOff{"[KAVRO]\nOpenSecurity=0\nUrlLength=10\nBadChar='\n", 0, "ruftal"};
const CaseConfig kApostrophe{"[KAVRO]\nOpenSecurity=1\nBadChar=\"'\"\n", 0, "ruftal"};
const CaseConfig kDiverting{R"([KAVRO]
SuperExt=.exe
SuperAction=0
CommonExt=.jpg
CommonAction=0
AdvancedExt=.zip
AdvancedAction=0
MediaExt=.wmv
Mediaaction=0
)",
                            0, "ruftal"};
const CaseConfig kCookieTokens{
    "[KAVRO]\nPassMode=0\nPubKey=k\nEncryptMode=2\nMediaExt=.wmv\n"
    "PlayOnline=0\n",
    2, "k"};
const CaseConfig kMode0{"[KAVRO]\nPubKey=zero\nEncryptMode=0\nAdvancedExt=.zip\n", 0, "zero"};
const CaseConfig kMode1{"[KAVRO]\nPubKey=one\nEncryptMode=1\nAdvancedExt=.zip\n", 1, "one"};
const CaseConfig kMode3{"[KAVRO]\nPubKey=three\nEncryptMode=3\nAdvancedExt=.zip\n", 3, "three"};
const CaseConfig kMode4{"[KAVRO]\nPubKey=four\nEncryptMode=4\nAdvancedExt=.zip\n", 4, "four"};
const CaseConfig kPlayOnlineOff{"[KAVRO]\nPubKey=p\nEncryptMode=0\nMediaExt=.wmv\nPlayOnline=0\n",
                                0, "p"};
const CaseConfig kPageBytes{R"([KAVRO]
SuperExt=.exe
PauseTime=-1
Title=<b>Tom & Jerry</b>
Alert=Go away
RedirectUrl=http://example.test/
)",
                            0, "ruftal"};
const CaseConfig kDefaults{"", 0, "ruftal"};
const CaseConfig kGrace0{"[KAVRO]\nPubKey=g\nEncryptMode=2\nTokenGrace=0\nAdvancedExt=.zip\n", 2,
                         "g"};
const CaseConfig kGrace1{"[KAVRO]\nPubKey=g\nEncryptMode=2\nTokenGrace=1\nAdvancedExt=.zip\n", 2,
                         "g"};
const CaseConfig kGrace2Mode1{
    "[KAVRO]\nPubKey=g\nEncryptMode=1\nTokenGrace=2\nAdvancedExt=.zip\n", 1, "g"};
const CaseConfig kGrace2Mode3{
    "[KAVRO]\nPubKey=g\nEncryptMode=3\nTokenGrace=2\nMediaExt=.wmv\n", 3, "g"};
const CaseConfig kGraceMode0{"[KAVRO]\nPubKey=g\nEncryptMode=0\nTokenGrace=5\nAdvancedExt=.zip\n",
                             0, "g"};

using O = Outcome;
using S = PolicyStep;

const PolicyCase kCases[] = {
    // Host gate.
    {.name = "host_other_name_not_examined",
     .config = &kSite,
     .host = "example.test",
     .path = "/srv/www/x.exe",
     .step = S::OtherHost},
    {.name = "host_address_not_examined",
     .config = &kSite,
     .host = "192.0.2.1",
     .path = "/srv/www/x.exe",
     .step = S::OtherHost},
    {.name = "host_case_insensitive",
     .config = &kSite,
     .host = "WWW.Example.Test",
     .path = "/srv/www/x.exe",
     .outcome = O::BlockPage,
     .step = S::SuperClass},
    {.name = "host_absent_not_examined",
     .config = &kSite,
     .host = nullptr,
     .path = "/srv/www/x.exe",
     .step = S::OtherHost},
    {.name = "host_with_port_is_examined",
     .config = &kSite,
     .host = "www.example.test:80",
     .path = "/srv/www/x.exe",
     .outcome = O::BlockPage,
     .step = S::SuperClass},
    {.name = "host_with_non_digit_port_not_examined",
     .config = &kSite,
     .host = "www.example.test:8x",
     .path = "/srv/www/x.exe",
     .step = S::OtherHost},
    {.name = "host_with_empty_port_is_examined",
     .config = &kSite,
     .host = "www.example.test:",
     .path = "/srv/www/x.exe",
     .outcome = O::BlockPage,
     .step = S::SuperClass},
    {.name = "host_with_trailing_dot_is_examined",
     .config = &kSite,
     .host = "www.example.test.",
     .path = "/srv/www/x.exe",
     .outcome = O::BlockPage,
     .step = S::SuperClass},
    {.name = "host_with_trailing_dot_and_port_is_examined",
     .config = &kSite,
     .host = "WWW.EXAMPLE.TEST.:8080",
     .path = "/srv/www/x.exe",
     .outcome = O::BlockPage,
     .step = S::SuperClass},
    {.name = "host_with_trailing_dot_and_empty_port_is_examined",
     .config = &kSite,
     .host = "www.example.test.:",
     .path = "/srv/www/x.exe",
     .outcome = O::BlockPage,
     .step = S::SuperClass},
    {.name = "host_with_two_trailing_dots_not_examined",
     .config = &kSite,
     .host = "www.example.test..",
     .path = "/srv/www/x.exe",
     .step = S::OtherHost},
    {.name = "host_with_dot_after_port_not_examined",
     .config = &kSite,
     .host = "www.example.test:80.",
     .path = "/srv/www/x.exe",
     .step = S::OtherHost},
    {.name = "host_with_leading_dot_not_examined",
     .config = &kSite,
     .host = ".www.example.test",
     .path = "/srv/www/x.exe",
     .step = S::OtherHost},
    {.name = "host_any_when_domain_empty",
     .config = &kAnyHost,
     .host = "anything.test",
     .path = "/srv/www/x.exe",
     .outcome = O::BlockPage,
     .step = S::SuperClass},
    {.name = "host_domain_written_with_port",
     .config = &kDomainWithPort,
     .host = "WWW.EXAMPLE.TEST:81",
     .path = "/srv/www/x.exe",
     .outcome = O::BlockPage,
     .step = S::SuperClass},
    {.name = "other_notification_passes",
     .config = &kSite,
     .path = "/srv/www/x.exe",
     .notificationType = SF_NOTIFY_PREPROC_HEADERS,
     .step = S::OtherNotification},

    // Friendly referers.
    {.name = "friend_exact",
     .config = &kSite,
     .referer = "http://www.friend.test/page",
     .path = "/srv/www/x.exe",
     .step = S::FriendlyReferer},
    {.name = "friend_by_containment",
     .config = &kSite,
     .referer = "http://friend.test/",
     .path = "/srv/www/x.exe",
     .step = S::FriendlyReferer},
    {.name = "friend_upper_case",
     .config = &kSite,
     .referer = "http://WWW.FRIEND.TEST",
     .path = "/srv/www/x.exe",
     .step = S::FriendlyReferer},
    {.name = "friend_over_https",
     .config = &kSite,
     .referer = "HTTPS://www.friend.test/p",
     .path = "/srv/www/x.exe",
     .step = S::FriendlyReferer},
    {.name = "friend_skips_security_checks",
     .config = &kSite,
     .referer = "http://www.friend.test/",
     .query = "<>",
     .path = "/srv/www/x.exe",
     .queryPadding = 500,
     .step = S::FriendlyReferer},
    {.name = "referer_empty_is_not_friendly",
     .config = &kSite,
     .referer = "",
     .path = "/srv/www/x.exe",
     .outcome = O::BlockPage,
     .step = S::SuperClass},

    // Security checks.
    {.name = "query_of_100_bytes_passes",
     .config = &kSite,
     .query = "",
     .queryPadding = 100,
     .step = S::NoClass},
    {.name = "query_of_101_bytes_refused",
     .config = &kSite,
     .query = "",
     .queryPadding = 101,
     .outcome = O::LengthMessage,
     .step = S::QueryTooLong},
    {.name = "query_of_5000_bytes_refused",
     .config = &kSite,
     .query = "a=",
     .queryPadding = 5000,
     .outcome = O::LengthMessage,
     .step = S::QueryTooLong},
    {.name = "query_negative_limit_refuses_empty",
     .config = &kNegativeLength,
     .outcome = O::LengthMessage,
     .step = S::QueryTooLong},
    {.name = "query_bad_pair_refused",
     .config = &kSite,
     .query = "a=<>b",
     .outcome = O::CharacterMessage,
     .step = S::QueryHasBadChar},
    {.name = "query_lone_bracket_passes", .config = &kSite, .query = "a=<b>", .step = S::NoClass},
    {.name = "query_apostrophe_refused",
     .config = &kApostrophe,
     .query = "id=1'or'1",
     .outcome = O::CharacterMessage,
     .step = S::QueryHasBadChar},
    {.name = "query_checks_off",
     .config = &kSecurityOff,
     .query = "'",
     .queryPadding = 50,
     .step = S::NoClass},
    {.name = "query_checked_for_public_file",
     .config = &kSite,
     .query = "<>",
     .path = "/srv/www/public.rm",
     .outcome = O::CharacterMessage,
     .step = S::QueryHasBadChar},

    // Extension and public files.
    {.name = "no_extension_in_last_component",
     .config = &kSite,
     .path = "/srv/www/media.exe/movie",
     .step = S::NoExtension},
    {.name = "no_path_at_all", .config = &kSite, .path = "", .step = S::NoExtension},
    {.name = "public_file", .config = &kSite, .path = "/srv/www/public.rm", .step = S::PublicFile},
    {.name = "public_file_upper_case",
     .config = &kSite,
     .path = "/srv/www/PUBLIC.RM",
     .step = S::PublicFile},
    {.name = "path_ending_in_dot_takes_first_class_with_dot",
     .config = &kSite,
     .path = "/srv/www/movie.",
     .outcome = O::BlockPage,
     .step = S::SuperClass},
    {.name = "no_class", .config = &kSite, .path = "/srv/www/notes.txt", .step = S::NoClass},
    {.name = "defaults_pass_everything",
     .config = &kDefaults,
     .path = "/srv/www/x.exe",
     .step = S::NoClass},

    // Super class.
    {.name = "super_block_page",
     .config = &kSite,
     .path = "/srv/www/setup.EXE",
     .outcome = O::BlockPage,
     .step = S::SuperClass},
    {.name = "super_diverted_keeps_case",
     .config = &kDiverting,
     .path = "/srv/www/Setup.ExE",
     .outcome = O::Diverted,
     .step = S::SuperClass,
     .expected = "KAVRO.ExE"},
    {.name = "block_page_exact_bytes",
     .config = &kPageBytes,
     .path = "/srv/www/x.exe",
     .outcome = O::Bytes,
     .step = S::SuperClass,
     .expected = "<html><head><meta http-equiv=\"Refresh\" content=\"-1;URL=http://example.test/"
                 "\" /><title><b>Tom & Jerry</b></title></head><body>Go away<p><iframe "
                 "height=200 width=560 frameborder=0 scrolling=No src=http://ads.qelmor.invalid"
                 "/guangg/guangg.asp></iframe></p></body></html>    "},

    // Common class.
    {.name = "common_same_host",
     .config = &kSite,
     .referer = "http://www.example.test/a.html",
     .path = "/srv/www/a.jpg",
     .step = S::CommonSameHost},
    {.name = "common_same_host_other_case",
     .config = &kSite,
     .referer = "http://WWW.EXAMPLE.TEST/",
     .path = "/srv/www/a.GIF",
     .step = S::CommonSameHost},
    {.name = "common_same_host_https",
     .config = &kSite,
     .referer = "https://www.example.test/a.html",
     .path = "/srv/www/a.jpg",
     .step = S::CommonSameHost},
    {.name = "common_foreign_referer",
     .config = &kSite,
     .referer = "http://other.test/",
     .path = "/srv/www/a.jpg",
     .outcome = O::BlockPage,
     .step = S::CommonForeignReferer},
    {.name = "common_no_referer",
     .config = &kSite,
     .path = "/srv/www/a.jpg",
     .outcome = O::BlockPage,
     .step = S::CommonForeignReferer},
    {.name = "common_referer_port_differs",
     .config = &kSite,
     .referer = "http://www.example.test:81/page",
     .path = "/srv/www/a.jpg",
     .outcome = O::BlockPage,
     .step = S::CommonForeignReferer},
    // The host gate forgives a trailing dot; the common class compares the
    // referer with the host exactly as the client sent it.
    {.name = "common_trailing_dot_on_host_only",
     .config = &kSite,
     .host = "www.example.test.",
     .referer = "http://www.example.test/page",
     .path = "/srv/www/a.jpg",
     .outcome = O::BlockPage,
     .step = S::CommonForeignReferer},
    {.name = "common_trailing_dot_on_both",
     .config = &kSite,
     .host = "www.example.test.",
     .referer = "http://www.example.test./page",
     .path = "/srv/www/a.jpg",
     .step = S::CommonSameHost},
    {.name = "common_port_on_both",
     .config = &kSite,
     .host = "www.example.test:81",
     .referer = "http://www.example.test:81/page",
     .path = "/srv/www/a.jpg",
     .step = S::CommonSameHost},
    {.name = "common_by_containment",
     .config = &kSite,
     .referer = "http://evil.test/",
     .path = "/srv/www/a.jp",
     .outcome = O::BlockPage,
     .step = S::CommonForeignReferer},
    {.name = "common_diverted",
     .config = &kDiverting,
     .host = "a.test",
     .referer = "http://b.test/",
     .path = "/srv/www/pic.jpg",
     .outcome = O::Diverted,
     .step = S::CommonForeignReferer,
     .expected = "KAVRO.jpg"},

    // Advanced class, EncryptMode 2.
    {.name = "advanced_valid_token",
     .config = &kSite,
     .query = "a=1&kavro={TOKEN}&b=2",
     .path = "/srv/www/f.zip",
     .step = S::AdvancedValidToken},
    {.name = "advanced_lower_case_token",
     .config = &kSite,
     .query = "kavro={token}",
     .path = "/srv/www/f.ZIP",
     .step = S::AdvancedValidToken},
    {.name = "advanced_mixed_case_name",
     .config = &kSite,
     .query = "KaVrO={TOKEN}",
     .path = "/srv/www/f.rar",
     .step = S::AdvancedValidToken},
    {.name = "advanced_name_at_end_of_longer_name",
     .config = &kSite,
     .query = "xkavro={TOKEN}",
     .path = "/srv/www/f.zip",
     .step = S::AdvancedValidToken},
    {.name = "advanced_stale_token",
     .config = &kSite,
     .query = "kavro={STALE}",
     .path = "/srv/www/f.zip",
     .outcome = O::BlockPage,
     .step = S::AdvancedInvalidToken,
     .reason = "token-expired"},
    {.name = "advanced_other_address",
     .config = &kSite,
     .query = "kavro={OTHER}",
     .path = "/srv/www/f.zip",
     .outcome = O::BlockPage,
     .step = S::AdvancedInvalidToken},
    {.name = "advanced_no_token",
     .config = &kSite,
     .query = "a=1",
     .path = "/srv/www/f.zip",
     .outcome = O::BlockPage,
     .step = S::AdvancedInvalidToken,
     .reason = "token-missing"},
    {.name = "advanced_token_in_cookie_ignored",
     .config = &kSite,
     .cookie = "kavro={TOKEN}",
     .path = "/srv/www/f.zip",
     .outcome = O::BlockPage,
     .step = S::AdvancedInvalidToken,
     .reason = "token-missing"},
    {.name = "advanced_diverted",
     .config = &kDiverting,
     .path = "/srv/www/f.zip",
     .outcome = O::Diverted,
     .step = S::AdvancedInvalidToken,
     .expected = "KAVRO.zip",
     .reason = "token-missing"},

    // Other token modes.
    {.name = "mode0_valid",
     .config = &kMode0,
     .query = "kavro={TOKEN}",
     .path = "/srv/www/f.zip",
     .step = S::AdvancedValidToken},
    {.name = "mode0_other_address",
     .config = &kMode0,
     .query = "kavro={OTHER}",
     .path = "/srv/www/f.zip",
     .outcome = O::BlockPage,
     .step = S::AdvancedInvalidToken},
    {.name = "mode1_valid",
     .config = &kMode1,
     .query = "kavro={TOKEN}",
     .path = "/srv/www/f.zip",
     .step = S::AdvancedValidToken},
    {.name = "mode1_ignores_address",
     .config = &kMode1,
     .query = "kavro={OTHER}",
     .path = "/srv/www/f.zip",
     .step = S::AdvancedValidToken},
    {.name = "mode1_stale",
     .config = &kMode1,
     .query = "kavro={STALE}",
     .path = "/srv/www/f.zip",
     .outcome = O::BlockPage,
     .step = S::AdvancedInvalidToken,
     .reason = "token-expired"},
    {.name = "mode3_valid",
     .config = &kMode3,
     .query = "kavro={TOKEN}",
     .path = "/srv/www/f.zip",
     .step = S::AdvancedValidToken},
    {.name = "mode3_other_address",
     .config = &kMode3,
     .query = "kavro={OTHER}",
     .path = "/srv/www/f.zip",
     .outcome = O::BlockPage,
     .step = S::AdvancedInvalidToken},
    {.name = "mode4_nothing_valid",
     .config = &kMode4,
     .query = "kavro={TOKEN}",
     .path = "/srv/www/f.zip",
     .outcome = O::BlockPage,
     .step = S::AdvancedInvalidToken},

    // Minutes of grace: the tokens of that many minutes before the current
    // one are taken too, and no older ones.
    {.name = "grace0_previous_minute_expired",
     .config = &kGrace0,
     .query = "kavro={STALE}",
     .path = "/srv/www/f.zip",
     .outcome = O::BlockPage,
     .step = S::AdvancedInvalidToken,
     .reason = "token-expired"},
    {.name = "grace1_current_minute",
     .config = &kGrace1,
     .query = "kavro={TOKEN}",
     .path = "/srv/www/f.zip",
     .step = S::AdvancedValidToken},
    {.name = "grace1_previous_minute",
     .config = &kGrace1,
     .query = "kavro={STALE}",
     .path = "/srv/www/f.zip",
     .step = S::AdvancedValidToken},
    {.name = "grace1_two_minutes_before_expired",
     .config = &kGrace1,
     .query = "kavro={STALE2}",
     .path = "/srv/www/f.zip",
     .outcome = O::BlockPage,
     .step = S::AdvancedInvalidToken,
     .reason = "token-expired"},
    {.name = "grace1_previous_minute_of_another_address",
     .config = &kGrace1,
     .address = "10.9.9.9",
     .query = "kavro={STALE}",
     .path = "/srv/www/f.zip",
     .step = S::AdvancedValidToken},
    {.name = "grace0_next_minute_refused",
     .config = &kGrace0,
     .query = "kavro={AHEAD}",
     .path = "/srv/www/f.zip",
     .outcome = O::BlockPage,
     .step = S::AdvancedInvalidToken},
    {.name = "grace1_next_minute_of_a_page_server_ahead",
     .config = &kGrace1,
     .query = "kavro={AHEAD}",
     .path = "/srv/www/f.zip",
     .step = S::AdvancedValidToken},
    {.name = "grace1_two_minutes_ahead_refused",
     .config = &kGrace1,
     .query = "kavro={AHEAD2}",
     .path = "/srv/www/f.zip",
     .outcome = O::BlockPage,
     .step = S::AdvancedInvalidToken},
    {.name = "grace1_other_address",
     .config = &kGrace1,
     .query = "kavro={OTHER}",
     .path = "/srv/www/f.zip",
     .outcome = O::BlockPage,
     .step = S::AdvancedInvalidToken},
    {.name = "grace2_mode1_two_minutes_before",
     .config = &kGrace2Mode1,
     .query = "kavro={STALE2}",
     .path = "/srv/www/f.zip",
     .step = S::AdvancedValidToken},
    {.name = "grace2_mode1_three_minutes_before_expired",
     .config = &kGrace2Mode1,
     .query = "kavro={STALE3}",
     .path = "/srv/www/f.zip",
     .outcome = O::BlockPage,
     .step = S::AdvancedInvalidToken,
     .reason = "token-expired"},
    {.name = "grace2_mode3_media_two_minutes_before",
     .config = &kGrace2Mode3,
     .query = "kavro={STALE2}",
     .agent = "NSPlayer/12",
     .path = "/srv/www/m.wmv",
     .step = S::MediaValidToken},
    {.name = "grace2_mode3_media_browser_refused",
     .config = &kGrace2Mode3,
     .query = "kavro={STALE2}",
     .agent = "Mozilla/5.0",
     .path = "/srv/www/m.wmv",
     .outcome = O::BlockPage,
     .step = S::MediaNotPlayer},
    {.name = "grace_mode0_unchanged",
     .config = &kGraceMode0,
     .query = "kavro={TOKEN}",
     .path = "/srv/www/f.zip",
     .step = S::AdvancedValidToken},
    {.name = "grace_mode0_other_address_invalid",
     .config = &kGraceMode0,
     .query = "kavro={OTHER}",
     .path = "/srv/www/f.zip",
     .outcome = O::BlockPage,
     .step = S::AdvancedInvalidToken},

    // Media class.
    {.name = "media_valid_player",
     .config = &kSite,
     .query = "kavro={TOKEN}",
     .agent = "NSPlayer/9.0",
     .path = "/srv/www/m.wmv",
     .step = S::MediaValidToken},
    {.name = "media_valid_flash",
     .config = &kSite,
     .query = "kavro={TOKEN}",
     .agent = "Shockwave Flash",
     .path = "/srv/www/m.rmvb",
     .step = S::MediaValidToken},
    {.name = "media_valid_browser_refused",
     .config = &kSite,
     .query = "kavro={TOKEN}",
     .agent = "Mozilla/5.0",
     .path = "/srv/www/m.wmv",
     .outcome = O::BlockPage,
     .step = S::MediaNotPlayer},
    {.name = "media_lower_case_rma_not_player",
     .config = &kSite,
     .query = "kavro={TOKEN}",
     .agent = "rma",
     .path = "/srv/www/m.wmv",
     .outcome = O::BlockPage,
     .step = S::MediaNotPlayer},
    {.name = "media_invalid_token_player",
     .config = &kSite,
     .query = "kavro={STALE}",
     .agent = "RMA/1.0",
     .path = "/srv/www/m.wmv",
     .outcome = O::BlockPage,
     .step = S::MediaInvalidToken,
     .reason = "token-expired"},
    {.name = "media_by_containment",
     .config = &kSite,
     .query = "kavro={TOKEN}",
     .agent = "NSPlayer",
     .path = "/srv/www/m.rm",
     .step = S::MediaValidToken},
    {.name = "media_play_online_off",
     .config = &kPlayOnlineOff,
     .query = "kavro={TOKEN}",
     .agent = "Mozilla/5.0",
     .path = "/srv/www/m.wmv",
     .step = S::MediaValidToken},
    // The path fits the server's buffer (9 bytes: "C:\m.wmv" on Windows), the
    // replacement "KAVRO.wmv" does not.
    {.name = "media_diverted_into_allocated_path",
     .config = &kDiverting,
     .path = "/m.wmv",
     .pathBufferSize = 9,
     .outcome = O::Diverted,
     .step = S::MediaInvalidToken,
     .expected = "KAVRO.wmv",
     .reason = "token-missing"},
    {.name = "media_cookie_token",
     .config = &kCookieTokens,
     .cookie = "id=7; kavro={TOKEN}",
     .path = "/srv/www/m.wmv",
     .step = S::MediaValidToken},
    {.name = "media_cookie_mode_ignores_query",
     .config = &kCookieTokens,
     .query = "kavro={TOKEN}",
     .path = "/srv/www/m.wmv",
     .outcome = O::BlockPage,
     .step = S::MediaInvalidToken,
     .reason = "token-missing"},
    {.name = "media_token_in_5000_byte_cookie",
     .config = &kCookieTokens,
     .cookie = "; kavro={TOKEN}",
     .path = "/srv/www/m.wmv",
     .cookiePadding = 5000,
     .step = S::MediaValidToken},
};

void ReplaceAll(std::string& text, const std::string& marker, const std::string& value) {
    for (size_t at = text.find(marker); at != std::string::npos;
         at = text.find(marker, at + value.size())) {
        text.replace(at, marker.size(), value);
    }
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; });
    return text;
}

std::string Resolve(const char* text, const PolicyCase& c, const CaseHost& host) {
    std::string resolved = text;
    if (resolved.find('{') == std::string::npos) return resolved;
    const int mode = c.config->mode;
    const std::string key = c.config->key;
    const std::string token = host.token(mode, key, c.address, 0);
    ReplaceAll(resolved, "{TOKEN}", token);
    ReplaceAll(resolved, "{token}", Lower(token));
    ReplaceAll(resolved, "{STALE}", host.token(mode, key, c.address, -1));
    ReplaceAll(resolved, "{STALE2}", host.token(mode, key, c.address, -2));
    ReplaceAll(resolved, "{STALE3}", host.token(mode, key, c.address, -3));
    ReplaceAll(resolved, "{AHEAD}", host.token(mode, key, c.address, 1));
    ReplaceAll(resolved, "{AHEAD2}", host.token(mode, key, c.address, 2));
    ReplaceAll(resolved, "{OTHER}", host.token(mode, key, "10.9.9.9", 0));
    return resolved;
}

std::string NativePath(std::string path, bool windows) {
    if (windows) {
        std::replace(path.begin(), path.end(), '/', '\\');
        if (!path.empty()) path = "C:" + path;
    }
    return path;
}

std::string Describe(const std::string& text) {
    return text.size() > 120 ? text.substr(0, 120) + "...(" + std::to_string(text.size()) + ")"
                             : text;
}

std::string CheckOutcome(const PolicyCase& c, const FakeRequest& request, uint32_t status,
                         const std::string& originalPath) {
    const bool pass = c.outcome == Outcome::Pass;
    const uint32_t wanted = pass ? SF_STATUS_REQ_NEXT_NOTIFICATION : SF_STATUS_REQ_FINISHED;
    if (status != wanted) return "status " + std::to_string(status);
    const bool diverted = c.outcome == Outcome::Diverted;
    if (diverted != (request.finalPath != originalPath)) {
        return "physical path became '" + request.finalPath + "'";
    }
    if (diverted && request.finalPath != c.expected) {
        return "diverted to '" + request.finalPath + "'";
    }
    const std::string& w = request.written;
    switch (c.outcome) {
        case Outcome::Pass:
        case Outcome::Diverted:
            if (request.writeCalls != 0) return "wrote '" + Describe(w) + "'";
            break;
        case Outcome::BlockPage: {
            const std::string head = "<html><head><meta http-equiv=\"Refresh\" content=\"";
            const std::string tail = "</html>    ";
            if (w.rfind(head, 0) != 0 || w.size() < tail.size() ||
                w.compare(w.size() - tail.size(), tail.size(), tail) != 0) {
                return "wrote '" + Describe(w) + "' instead of the block page";
            }
            break;
        }
        case Outcome::LengthMessage:
            if (w != kExpectedLengthMessage) return "wrote '" + Describe(w) + "'";
            break;
        case Outcome::CharacterMessage:
            if (w != kExpectedCharacterMessage) return "wrote '" + Describe(w) + "'";
            break;
        case Outcome::Bytes:
            if (w != c.expected) return "wrote '" + Describe(w) + "'";
            break;
    }
    if (request.writeCalls > 1) return "wrote in " + std::to_string(request.writeCalls) + " calls";
    return {};
}

}  // namespace

std::span<const PolicyCase> AllPolicyCases() {
    return kCases;
}

FakeRequest BuildRequest(const PolicyCase& c, const CaseHost& host) {
    FakeRequest request;
    auto set = [&](const char* name, const char* value) {
        if (value != nullptr) request.variables[name] = Resolve(value, c, host);
    };
    set("HTTP_HOST", c.host);
    set("HTTP_REFERER", c.referer);
    set("REMOTE_ADDR", c.address);
    set("QUERY_STRING", c.query);
    set("HTTP_COOKIE", c.cookie);
    set("HTTP_USER_AGENT", c.agent);
    if (c.queryPadding > 0) request.variables["QUERY_STRING"] += std::string(c.queryPadding, 'q');
    if (c.cookiePadding > 0) {
        request.variables["HTTP_COOKIE"].insert(0, std::string(c.cookiePadding, 'c'));
    }
    request.physicalPath = NativePath(c.path, host.windowsPaths);
    request.pathBufferSize = c.pathBufferSize;
    request.notificationType = c.notificationType;
    return request;
}

namespace {

// Written out here rather than taken from the filter, so that a renamed or
// misplaced code shows.
std::string ExpectedReason(const PolicyCase& c) {
    if (c.reason != nullptr) return c.reason;
    switch (c.step) {
        case PolicyStep::QueryTooLong:
            return "query-too-long";
        case PolicyStep::QueryHasBadChar:
            return "query-bad-text";
        case PolicyStep::SuperClass:
            return "super-class";
        case PolicyStep::CommonForeignReferer:
            return "foreign-referer";
        case PolicyStep::AdvancedInvalidToken:
        case PolicyStep::MediaInvalidToken:
            return "token-invalid";
        case PolicyStep::MediaNotPlayer:
            return "not-player-agent";
        default:
            return "no reason for step " + std::string(PolicyStepName(c.step));
    }
}

// The case's KAVRO.ini with ReasonHeader turned on, in its [KAVRO] section.
std::string WithReasonHeader(const std::string& ini) {
    const std::string section = "[KAVRO]\n";
    const size_t at = ini.find(section);
    if (at == std::string::npos) return section + "ReasonHeader=1\n" + ini;
    std::string changed = ini;
    changed.insert(at + section.size(), "ReasonHeader=1\n");
    return changed;
}

std::string RunOnce(const PolicyCase& c, const CaseHost& host, bool reasonHeader) {
    // A token case computed in one minute and decided in the next is not a
    // fault; run it again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int minuteBefore = host.minuteOfDay();
        FakeRequest request = BuildRequest(c, host);
        std::optional<PolicyStep> step;
        const uint32_t status = host.run(request, step);
        if (host.minuteOfDay() != minuteBefore) continue;
        std::string failure = CheckOutcome(c, request, status, request.physicalPath);
        if (failure.empty() && step && *step != c.step) {
            failure = std::string("decided by '") + PolicyStepName(*step) + "', expected '" +
                      PolicyStepName(c.step) + "'";
        }
        if (!failure.empty()) return failure;
        const std::string header = reasonHeader && c.outcome != Outcome::Pass
                                       ? "X-Qelmor-Reason: " + ExpectedReason(c) + "\r\n"
                                       : "";
        if (request.addedHeaders != header) {
            return std::string(reasonHeader ? "with" : "without") + " ReasonHeader, added '" +
                   request.addedHeaders + "', expected '" + header + "'";
        }
        return {};
    }
    return "the minute changed during every attempt";
}

}  // namespace

// Every case twice: as configured, where a refusal adds no header, and with
// ReasonHeader on, where it adds exactly its reason and a pass adds none.
std::string RunPolicyCase(const PolicyCase& c, const CaseHost& host) {
    if (!host.configure(c.config->ini)) return "could not register the configuration";
    std::string failure = RunOnce(c, host, false);
    if (!failure.empty()) return failure;
    if (!host.configure(WithReasonHeader(c.config->ini))) {
        return "could not register the configuration with ReasonHeader";
    }
    return RunOnce(c, host, true);
}

}  // namespace qelmor::testing

#include <gtest/gtest.h>

#include <optional>
#include <span>
#include <string>

#include "text/IniText.h"

namespace qelmor {
namespace {

using namespace std::string_literals;

struct IniCase {
    const char* name;
    std::string content;
    std::string key;
    std::optional<std::string> expected;
    std::string section = "KAVRO";
};

void CheckCases(std::span<const IniCase> cases) {
    for (const IniCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<std::string_view> got = FindIniValue(c.content, c.section, c.key);
        EXPECT_EQ(got.has_value(), c.expected.has_value()) << (got ? *got : "");
        if (!got || !c.expected) continue;
        EXPECT_EQ(*got, *c.expected);
        // Callers copy the value out later; it must point into their buffer.
        EXPECT_GE(got->data(), c.content.data());
        EXPECT_LE(got->data() + got->size(), c.content.data() + c.content.size());
    }
}

// Registration reads every key in one walk: each must come out as its own
// lookup gives it, whatever else is asked for beside it, repeats included.
void CheckOneWalk(std::span<const IniCase> cases) {
    for (const IniCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string_view keys[] = {"NoSuchKey", c.key, "PubKey", c.key, "Title"};
        const auto values = FindIniValues(c.content, c.section, keys);
        ASSERT_EQ(values.size(), std::size(keys));
        for (size_t i = 0; i < std::size(keys); ++i) {
            const auto alone = FindIniValue(c.content, c.section, keys[i]);
            EXPECT_EQ(values[i], alone) << "key " << keys[i];
        }
    }
}

TEST(IniNamesTest, MatchSectionsAndKeys) {
    const IniCase cases[] = {
        {"section name ignores case", "[kAvRo]\nPubKey=abc\n", "PubKey", "abc"},
        {"key name ignores case", "[KAVRO]\nMediaAction=0\n", "Mediaaction", "0"},
        {"key in upper case", "[KAVRO]\nPUBKEY=abc\n", "pubkey", "abc"},
        {"'@' is not '`' in any case", "[KAVRO]\n@x=1\n", "`x", std::nullopt},
        {"'_' is not DEL in any case", "[KAVRO]\nx_=1\n", "x\x7F", std::nullopt},
        {"high bytes compared exactly", "[KAVRO]\n\xC1=1\n", "\xE1", std::nullopt},
        {"longer key is not a match", "[KAVRO]\nPubKeyX=x\nPubKey=abc\n", "PubKey", "abc"},
        {"shorter key is not a match", "[KAVRO]\nPub=x\n", "PubKey", std::nullopt},
        {"longer section is not a match", "[KAVRO2]\nPubKey=x\n", "PubKey", std::nullopt},
        {"blanks around names", " \t[ \tKAVRO\t ] \t\n \tPubKey \t=abc\n", "PubKey", "abc"},
        {"blank inside a key kept", "[KAVRO]\nPub Key=x\n", "PubKey", std::nullopt},
        {"key in another section", "[OTHER]\nPubKey=x\n[KAVRO]\nTitle=y\n", "PubKey", std::nullopt},
        {"key after the section ends", "[KAVRO]\nTitle=y\n[OTHER]\nPubKey=x\n", "PubKey",
         std::nullopt},
        {"key before any section", "PubKey=x\n[KAVRO]\nTitle=y\n", "PubKey", std::nullopt},
        {"section absent", "[OTHER]\nPubKey=x\n", "PubKey", std::nullopt},
        {"empty content", "", "PubKey", std::nullopt},
        {"another section asked for", "[KAVRO]\nA=1\n[Other]\nA=2\n", "A", "2", "OTHER"},
    };
    CheckCases(cases);
    CheckOneWalk(cases);
}

// Callers may pass names cut out of longer text, so nothing past a name's
// end may take part in the match.
TEST(IniNamesTest, NamesAsViewsIntoLongerText) {
    const std::string content = "[KAVRO2]\nPubKeyX=long\n[KAVRO]\nPubKeyX=x\nPubKey=abc\n";
    const struct {
        const char* name;
        std::string_view section, key;
        std::optional<std::string_view> expected;
    } cases[] = {
        {"key is a prefix of a file key", "KAVRO", std::string_view("PubKeyX", 6), "abc"},
        {"section is a prefix of a file section", std::string_view("KAVRO2", 5), "PubKeyX", "x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FindIniValue(content, c.section, c.key), c.expected) << c.name;
    }
}

TEST(IniValuesTest, TrimAndUnquote) {
    const IniCase cases[] = {
        {"blanks around value", "[KAVRO]\nTitle= \t a b \t \n", "Title", "a b"},
        {"double quotes removed", "[KAVRO]\nTitle=\"a b\"\n", "Title", "a b"},
        {"single quotes removed", "[KAVRO]\nTitle='a b'\n", "Title", "a b"},
        {"quotes inside blanks", "[KAVRO]\nTitle = \" a \" \n", "Title", " a "},
        {"only one pair removed", "[KAVRO]\nTitle=\"\"a\"\"\n", "Title", "\"a\""},
        {"empty quotes", "[KAVRO]\nTitle=\"\"\n", "Title", ""},
        {"mismatched quotes kept", "[KAVRO]\nTitle=\"a'\n", "Title", "\"a'"},
        {"opening quote only kept", "[KAVRO]\nTitle=\"a\n", "Title", "\"a"},
        {"lone quote kept", "[KAVRO]\nTitle=\"\n", "Title", "\""},
        {"lone single quote kept", "[KAVRO]\nTitle='\n", "Title", "'"},
        {"inner quotes kept", "[KAVRO]\nTitle=a \"b\" c\n", "Title", "a \"b\" c"},
        {"empty value is present", "[KAVRO]\nPauseTime=\n", "PauseTime", ""},
        {"blank value is present", "[KAVRO]\nPauseTime= \t \n", "PauseTime", ""},
        {"value holds '='", "[KAVRO]\nRedirectUrl=http://h/?a=b\n", "RedirectUrl", "http://h/?a=b"},
        {"brackets inside a value kept", "[KAVRO]\nTitle=[x]\nPubKey=abc\n", "Title", "[x]"},
        {"';' inside a value kept", "[KAVRO]\nBadChar=a;b\n", "BadChar", "a;b"},
        {"GBK bytes unchanged", "[KAVRO]\nAlert=\xBD\xFB\xD6\xB9\x81\x41\xB7\xC3\xCE\xCA\n",
         "Alert", "\xBD\xFB\xD6\xB9\x81\x41\xB7\xC3\xCE\xCA"},
        {"zero byte kept", "[KAVRO]\nTitle=a\0b\n"s, "Title", "a\0b"s},
        {"5000-byte value whole", "[KAVRO]\nFriendDomain=" + std::string(5000, 'd') + "\n",
         "FriendDomain", std::string(5000, 'd')},
    };
    CheckCases(cases);
    CheckOneWalk(cases);
}

TEST(IniLinesTest, CommentsLineEndsAndOddLines) {
    const IniCase cases[] = {
        {"comment line skipped", "[KAVRO]\n;PubKey=no\nPubKey=yes\n", "PubKey", "yes"},
        {"comment is not a key", "[KAVRO]\n;PubKey=no\n", ";PubKey", std::nullopt},
        {"indented comment skipped", "[KAVRO]\n \t; PubKey=no\nPubKey=yes\n", "PubKey", "yes"},
        {"commented section header", "[OTHER]\n;[KAVRO]\nPubKey=x\n", "PubKey", std::nullopt},
        {"line without '=' ignored", "[KAVRO]\nPubKey\nPubKey=abc\n", "PubKey", "abc"},
        {"key only without '='", "[KAVRO]\nPubKey\n", "PubKey", std::nullopt},
        {"blank lines skipped", "\n\n[KAVRO]\n\n \t\nPubKey=abc\n", "PubKey", "abc"},
        {"CRLF line ends", "[KAVRO]\r\nTitle=t\r\nPubKey=abc\r\n", "PubKey", "abc"},
        {"blank before CR", "[KAVRO] \r\nPubKey=abc \r\n", "PubKey", "abc"},
        {"quotes before CR", "[KAVRO]\r\nTitle=\"a\"\r\n", "Title", "a"},
        {"CRLF last line", "[KAVRO]\r\nPubKey=abc\r", "PubKey", "abc"},
        {"last line without newline", "[KAVRO]\nTitle=t\nPubKey=abc", "PubKey", "abc"},
        {"byte-order mark ignored", "\xEF\xBB\xBF[KAVRO]\nPubKey=abc\n", "PubKey", "abc"},
        {"byte-order mark then key", "\xEF\xBB\xBF[KAVRO]\r\nPubKey=abc", "PubKey", "abc"},
        {"byte-order mark in a value kept", "[KAVRO]\nTitle=\xEF\xBB\xBFt\n", "Title",
         "\xEF\xBB\xBFt"},
    };
    CheckCases(cases);
    CheckOneWalk(cases);
}

TEST(IniFirstWinsTest, DuplicateKeysAndSections) {
    const IniCase cases[] = {
        {"first of two keys", "[KAVRO]\nPubKey=one\nPubKey=two\n", "PubKey", "one"},
        {"first key in other case", "[KAVRO]\npubkey=one\nPUBKEY=two\n", "PubKey", "one"},
        {"first empty key wins", "[KAVRO]\nPubKey=\nPubKey=two\n", "PubKey", ""},
        {"first section's key", "[KAVRO]\nA=1\n[KAVRO]\nA=2\n", "A", "1"},
        {"later section ignored", "[KAVRO]\nA=1\n[KAVRO]\nB=2\n", "B", std::nullopt},
        {"later section in other case", "[KAVRO]\nA=1\n[kavro]\nB=2\n", "B", std::nullopt},
        {"later section after another", "[KAVRO]\nA=1\n[OTHER]\n[KAVRO]\nB=2\n", "B", std::nullopt},
        {"first of an empty pair", "[KAVRO]\n[KAVRO]\nA=2\n", "A", std::nullopt},
    };
    CheckCases(cases);
    CheckOneWalk(cases);
}

}  // namespace
}  // namespace qelmor

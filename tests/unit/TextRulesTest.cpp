#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>

#include "text/TextRules.h"

namespace qelmor {
namespace {

using namespace std::string_literals;

struct TextCase {
    const char* name;
    std::string in, out;
};

LeadByteSet Gbk() {
    LeadByteSet leads;
    leads.AddRange(0x81, 0xFE);
    return leads;
}

TEST(TextSearchTest, TextPos) {
    struct Case {
        const char* name;
        std::string haystack, needle;
        int expected;
    } cases[] = {
        {"empty needle", "abc", "", 0},        {"both empty", "", "", 0},
        {"first of two", "abcbc", "bc", 2},    {"needle longer", "abc", "abcd", 0},
        {"at the end", "abc", "c", 3},         {"case sensitive", "ABC", "b", 0},
        {"zero bytes", "a\0b\0c"s, "\0c"s, 4}, {"from a second byte", "\x81\x61x", "ax", 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TextPos(c.haystack, c.needle), c.expected) << c.name;
        EXPECT_EQ(ContainsText(c.haystack, c.needle), c.expected > 0) << c.name;
    }
}

TEST(TextCaseTest, AsciiUpperOnlyTouchesAToZ) {
    const TextCase cases[] = {
        {"letters", "az-AZ`{", "AZ-AZ`{"},
        {"high bytes kept", "\xE4\x80\xFF\xE1", "\xE4\x80\xFF\xE1"},
        {"trail byte 0x61 changes", "\x81\x61", "\x81\x41"},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(AsciiUpper(c.in), c.out) << c.name;
        std::string copy = c.in;
        AsciiUpperInPlace(copy.data(), copy.size());
        EXPECT_EQ(copy, c.out) << c.name;
    }
}

// The allocation-free forms must agree with upper-casing both sides first.
TEST(TextCaseTest, UpperFormsMatchUpperCasedComparison) {
    std::mt19937 random(4242);
    const std::string alphabet = "aAbB`{zZ\xE1\xC1\x81."s;
    auto randomText = [&](size_t most) {
        std::string text(std::uniform_int_distribution<size_t>(0, most)(random), ' ');
        for (char& c : text)
            c = alphabet[random() % alphabet.size()];
        return text;
    };
    for (int round = 0; round < 20000; ++round) {
        const std::string a = randomText(8), b = randomText(3);
        ASSERT_EQ(ContainsUpper(a, b), ContainsText(AsciiUpper(a), AsciiUpper(b))) << a << "|" << b;
        ASSERT_EQ(EqualsUpper(a, b), TextEquals(AsciiUpper(a), AsciiUpper(b))) << a << "|" << b;
    }
}

TEST(TextTrimTest, TrimAndEquals) {
    const TextCase cases[] = {
        {"controls and blanks", "\t x y\r\n", "x y"},
        {"0x7F and 0xA0 stay", "\x7F\x61\xA0", "\x7F\x61\xA0"},
        {"only controls", " \t\0\x1F"s, ""},
        {"inner controls stay", "a\t\0b"s, "a\t\0b"s},
    };
    for (const TextCase& c : cases)
        EXPECT_EQ(std::string(TrimText(c.in)), c.out) << c.name;
    EXPECT_FALSE(TextEquals("A", "A "));
    EXPECT_FALSE(TextEquals("a\0b"s, "a\0c"s));
    EXPECT_TRUE(TextEquals("", ""));
}

TEST(TextSubTest, SubText) {
    struct Case {
        const char* name;
        int64_t index, count;
        std::string expected;
    } cases[] = {
        {"index 0", 0, 2, "ab"},
        {"negative index keeps count", -5, 3, "abc"},
        {"index past end", 7, 1, ""},
        {"negative count", 1, -1, ""},
        {"count cut at end", 5, 100, "ef"},
        {"extremes", INT64_MIN, INT64_MAX, "abcdef"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(std::string(SubText("abcdef", c.index, c.count)), c.expected) << c.name;
    }
    EXPECT_EQ(SubText("", 1, 1), "");
}

TEST(PathTest, DirectoryFileNameExtension) {
    constexpr std::string_view kWin = "\\:", kPosix = "/";
    struct Case {
        const char* name;
        std::string path;
        std::string_view delimiters;
        bool gbk;
        std::string directory, fileName, extension;
    } cases[] = {
        {"win plain", "D:\\media\\movie.RMVB", kWin, false, "D:\\media\\", "movie.RMVB", ".RMVB"},
        {"win dotted dir", "D:\\media.old\\movie", kWin, false, "D:\\media.old\\", "movie", ""},
        {"win trailing dot", "D:\\media\\movie.", kWin, false, "D:\\media\\", "movie.", "."},
        {"win two dots", "D:\\m\\movie.tar.gz", kWin, false, "D:\\m\\", "movie.tar.gz", ".gz"},
        {"win slash", "D:/media.old/movie", kWin, false, "D:", "/media.old/movie", ".old/movie"},
        {"win drive only", "D:movie.rm", kWin, false, "D:", "movie.rm", ".rm"},
        {"win trailing backslash", "D:\\media\\", kWin, false, "D:\\media\\", "", ""},
        {"no delimiter", "movie.rm", kWin, false, "", "movie.rm", ".rm"},
        {"gbk trail 0x5C", "D:\\a\\\x81\x5C.rm", kWin, true, "D:\\a\\", "\x81\x5C.rm", ".rm"},
        {"single-byte 0x5C", "D:\\a\\\x81\x5C.rm", kWin, false, "D:\\a\\\x81\\", ".rm", ".rm"},
        {"two leads then 0x5C", "a.b\\\x81\x81\\x", kWin, true, "a.b\\\x81\x81\\", "x", ""},
        {"gbk trail dot", "a.b\\x\x81.", kWin, true, "a.b\\", "x\x81.", ""},
        {"posix dotted dir", "/srv/www/media.old/movie", kPosix, false, "/srv/www/media.old/",
         "movie", ""},
        {"posix two dots", "/srv/x/movie.tar.gz", kPosix, false, "/srv/x/", "movie.tar.gz", ".gz"},
        {"posix backslash", "/srv/a\\b.rm", kPosix, false, "/srv/", "a\\b.rm", ".rm"},
    };
    for (const Case& c : cases) {
        const LeadByteSet leads = c.gbk ? Gbk() : LeadByteSet{};
        EXPECT_EQ(std::string(PathDirectory(c.path, leads, c.delimiters)), c.directory) << c.name;
        EXPECT_EQ(std::string(PathFileName(c.path, leads, c.delimiters)), c.fileName) << c.name;
        EXPECT_EQ(std::string(PathExtension(c.path, leads, c.delimiters)), c.extension) << c.name;
    }
}

TEST(ParseNumberTest, DecimalText) {
    const std::pair<int32_t, const char*> cases[] = {
        {0, "0"}, {7, "7"}, {-1, "-1"}, {-100, "-100"}, {INT32_MIN, "-2147483648"}};
    for (const auto& [value, text] : cases)
        EXPECT_EQ(DecimalText(value), text) << text;
}

TEST(ParseNumberTest, ParseInteger) {
    struct Case {
        const char* name;
        std::string text;
        int32_t expected;
    } cases[] = {
        {"leading blank", " 42", 42},
        {"trailing blank", "42 ", 9},
        {"plus", "+42", 42},
        {"minus 0x", "-0x10", -16},
        {"x prefix", "x1A", 26},
        {"0X prefix", "0X1f", 31},
        {"all ones", "$ffffffff", -1},
        {"nine digits", "$100000000", 9},
        {"sign bit", "$80000000", INT32_MIN},
        {"minus sign bit", "-$80000000", INT32_MIN},
        {"minus all ones", "-$FFFFFFFF", 1},
        {"hex leading zeros", "$0000000000ff", 255},
        {"max", "2147483647", INT32_MAX},
        {"max plus one", "2147483648", 9},
        {"min", "-2147483648", INT32_MIN},
        {"min minus one", "-2147483649", 9},
        {"no octal", "012", 12},
        {"zero", "0", 0},
        {"empty", "", 9},
        {"blanks only", "   ", 9},
        {"sign only", "-", 9},
        {"prefix only", "0x", 9},
        {"dollar only", "-$", 9},
        {"exponent", "1e3", 9},
        {"thousands", "1,000", 9},
        {"point", "1.0", 9},
        {"word", "true", 9},
        {"tab", "\t5", 9},
        {"two signs", "+-1", 9},
        {"blank after sign", "- 1", 9},
        {"sign after prefix", "0x-1", 9},
        {"bad hex digit", "$1g", 9},
        {"ends at zero byte", "12\0xyz"s, 12},
        {"zero byte first", "\00012"s, 9},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseInteger(c.text, 9), c.expected) << c.name;
}

}  // namespace
}  // namespace qelmor

#include "common/ipv4.hpp"
#include "common/text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Utf8Case {
    const char* name;
    std::string in;
    std::u16string out;
};

TEST(Utf8ToUtf16, DecodesValidAndReplacesMalformedSequences) {
    const Utf8Case cases[] = {
        {"ascii", "Artist - Song", u"Artist - Song"},
        {"two three four byte", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB5", u"\u00E9\u20AC\U0001F3B5"},
        {"lone continuation", "a\x80z", u"a\uFFFDz"},
        {"invalid lead", "\xC0\xAF\xFF", u"\uFFFD\uFFFD\uFFFD"},
        {"overlong three byte", "\xE0\x80\xAF", u"\uFFFD\uFFFD"},
        {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"overlong four byte", "\xF0\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"truncated then ascii", "\xE2\x82z", u"\uFFFDz"},
        {"truncated at end", "ok\xF0\x9F\x8E", u"ok\uFFFD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8ToUtf16(c.in), c.out) << c.name;
        char16_t buf[64];
        const auto n = Utf8ToUtf16(c.in, buf);
        EXPECT_EQ(std::u16string(buf, n), c.out) << c.name;
        EXPECT_EQ(buf[n], u'\0') << c.name;
    }
}

TEST(Utf8ToUtf16, CutsBetweenWholeCharacters) {
    char16_t buf[4];
    // Three units of room: "ab" then a surrogate pair that does not fit whole.
    EXPECT_EQ(Utf8ToUtf16("ab\xF0\x9F\x8E\xB5", buf), 2u);
    EXPECT_EQ(std::u16string(buf), u"ab");
    EXPECT_EQ(Utf8ToUtf16("abc\xC3\xA9", buf), 3u);
    EXPECT_EQ(std::u16string(buf), u"abc");
    EXPECT_EQ(Utf8ToUtf16("x", nullptr, 0), 0u);
}

TEST(Utf16ToUtf8, EncodesAndReplacesUnpairedSurrogates) {
    EXPECT_EQ(Utf16ToUtf8(u"\u00E9\u20AC\U0001F3B5"), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB5");
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800)) + u"a"), "\xEF\xBF\xBD" "a");
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
}

TEST(Utf16ToUtf8, CutsBetweenWholeCharacters) {
    char buf[5];
    EXPECT_EQ(Utf16ToUtf8(u"ab\u20AC", buf), 2u);  // the euro sign needs 3 bytes, 2 are left
    EXPECT_EQ(std::string(buf), "ab");
    EXPECT_EQ(Utf16ToUtf8(u"a\u20AC", buf), 4u);
    EXPECT_EQ(std::string(buf), "a\xE2\x82\xAC");
}

TEST(CopyText, CutsAndAlwaysTerminates) {
    char small[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(CopyText(small, "abcdef"), 3u);
    EXPECT_EQ(std::string(small), "abc");
    EXPECT_EQ(CopyText(small, ""), 0u);
    EXPECT_EQ(small[0], '\0');
    EXPECT_EQ(CopyText(nullptr, 0, "abc"), 0u);

    char16_t wide[3];
    const std::u16string pair = u"a\U0001F3B5";
    EXPECT_EQ(CopyText(wide, pair), 2u);           // raw cut keeps the high half
    EXPECT_EQ(CopyTextWhole(wide, 3, pair), 1u);   // whole cut drops it
    EXPECT_EQ(std::u16string(wide), u"a");
}

TEST(NoCase, ComparesAsciiOnly) {
    EXPECT_TRUE(EqualsNoCase("PAVO", "pavo"));
    EXPECT_FALSE(EqualsNoCase("pavo", "pav"));
    EXPECT_FALSE(EqualsNoCase("\xC3\x89", "\xC3\xA9"));  // no folding beyond ASCII
    EXPECT_EQ(FindNoCase("abcTITLEdef", "title"), 3u);
    EXPECT_EQ(FindNoCase("abc", "abcd"), std::string_view::npos);
}

TEST(Ipv4, OnlyAWholeDottedQuadIsAnAddress) {
    std::uint32_t address = 0;
    EXPECT_TRUE(ParseIpv4("192.168.001.010", &address));
    EXPECT_EQ(address, 0xC0A8010Au);
    EXPECT_TRUE(ParseIpv4("255.255.255.255", &address));
    EXPECT_EQ(address, 0xFFFFFFFFu);
    for (const char* text : {"256.0.0.1", "1.2.3", "1.2.3.4.5", "1.2.3.", "1..2.3", "1.2.3.4 ", "1.2.3.1234",
                             "0x7f.0.0.1", "-1.2.3.4", ""}) {
        EXPECT_FALSE(ParseIpv4(text, &address)) << text;
        EXPECT_EQ(address, 0xFFFFFFFFu) << text;
    }
}

}  // namespace

#include "covers/cover_search.hpp"

#include "common/text.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string Query(std::u16string_view title) {
    char out[kSearchTextSize];
    std::memset(out, 'X', sizeof(out));
    const std::size_t n = BuildCoverQuery(title, out);
    EXPECT_EQ(n, std::strlen(out));
    return out;
}

std::string Encode(std::string_view text) {
    char out[kEncodedTextSize];
    const std::size_t n = UrlEncodeQuery(text, out);
    EXPECT_EQ(n, std::strlen(out));
    return out;
}

}  // namespace

TEST(CoverQuery, CleansTheTitleIntoASearchText) {
    const struct {
        std::u16string title;
        std::string expected;
    } cases[] = {
        {u"TOVREL Radio | Artist - Song [Live]", " Artist - Song album cover"},
        {u"TOVREL Hi-Res |", ""},
        {u"TOVREL Made by AI |", ""},
        {u"Artist - Song - ", "Artist - Song album cover"},
        {u"Artist - Song,", "Artist - Song album cover"},
        {u"Artist \u2022 Song", "Artist   Song album cover"},
        {u"[Live] Artist", ""},
        {u" - , ", ""},
        // Each label is removed once, in its order; others and lower case stay.
        {u"TOVREL Radio | A TOVREL Radio | B", " A TOVREL Radio | B album cover"},
        {u"x TOVREL Hi-Res | y TOVREL Made by AI | z", "x  y  z album cover"},
        {u"tovrel radio | a", "tovrel radio | a album cover"},
        {u"Caf\u00e9 \u2013 Song", "Caf\xC3\xA9 \xE2\x80\x93 Song album cover"},
    };
    for (const auto& c : cases) EXPECT_EQ(Query(c.title), c.expected) << Utf16ToUtf8(c.title);
}

TEST(CoverQuery, SuffixOnlyUpTo497Units) {
    EXPECT_EQ(Query(std::u16string(497, u'a')), std::string(497, 'a') + " album cover");
    EXPECT_EQ(Query(std::u16string(498, u'a')), std::string(498, 'a'));
    EXPECT_EQ(Query(std::u16string(600, u'a')), std::string(511, 'a'));  // the query holds 511 units
}

TEST(CoverQuery, OverlongUtf8IsCutAtAWholeCharacterAndKeepsTheSuffix) {
    // 400 units of a 3-byte character: 1200 bytes of UTF-8, far more than 511.
    const std::string text = Query(std::u16string(400, u'\u20AC'));
    ASSERT_LE(text.size(), 511u);
    ASSERT_GE(text.size(), 12u);
    EXPECT_EQ(text.substr(text.size() - 12), " album cover");
    const std::string title = text.substr(0, text.size() - 12);
    EXPECT_EQ(title.size() % 3, 0u);
    EXPECT_EQ(Utf8ToUtf16(title), std::u16string(title.size() / 3, u'\u20AC'));
    // Without the suffix (498+ units) the cut is whole too.
    const std::string plain = Query(std::u16string(500, u'\u00E9'));
    EXPECT_EQ(plain.size(), 510u);
}

TEST(CoverQuery, UrlEncodingPassesOnlyTheUnreservedSet) {
    EXPECT_EQ(Encode(" Artist - Song album cover"), "%20Artist%20%2d%20Song%20album%20cover");
    EXPECT_EQ(Encode("AZaz09~!*()'"), "AZaz09~!*()'");
    EXPECT_EQ(Encode("-._&=+/%?#"), "%2d%2e%5f%26%3d%2b%2f%25%3f%23");
    EXPECT_EQ(Encode("\xC3\xA9\xFF"), "%c3%a9%ff");
    EXPECT_EQ(Encode(""), "");
}

TEST(CoverQuery, UrlEncodingStopsAt1020BytesWithoutSplittingAnEscape) {
    // 1019 plain bytes then escapes: the escape written at 1019 ends at 1022, then it stops.
    EXPECT_EQ(Encode(std::string(1019, 'a') + "   "), std::string(1019, 'a') + "%20");
    EXPECT_EQ(Encode(std::string(1020, 'a') + " "), std::string(1020, 'a'));
    const std::string spaces = Encode(std::string(511, ' '));
    EXPECT_EQ(spaces.size(), 1020u);  // 340 escapes
    EXPECT_EQ(spaces.substr(spaces.size() - 3), "%20");
}

TEST(CoverQuery, ResultsPageUrl) {
    char url[kRequestUrlSize];
    ASSERT_TRUE(BuildResultsPageUrl("", "%20a", url));
    EXPECT_STREQ(url, "https://www.bing.com/images/async?q=%20a&qft=+filterui:imagesize-medium&first=1&count=10");
    ASSERT_TRUE(BuildResultsPageUrl("http://127.0.0.1:9/images/async", "b", url));
    EXPECT_STREQ(url, "http://127.0.0.1:9/images/async?q=b&qft=+filterui:imagesize-medium&first=1&count=10");
    EXPECT_FALSE(BuildResultsPageUrl(std::string(2000, 'h'), "b", url));
}

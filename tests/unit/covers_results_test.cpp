#include "covers/cover_search.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Entity(const std::string& url) { return "x=&quot;murl&quot;:&quot;" + url + "&quot;,"; }
std::string Json(const std::string& url) { return "{\"murl\":\"" + url + "\",\"t\":1}"; }

std::vector<std::string> Urls(const std::string& page) {
    CoverUrlTable table;
    const int n = ExtractResultUrls(page, table);
    EXPECT_EQ(n, table.count);
    return std::vector<std::string>(table.urls, table.urls + n);
}

}  // namespace

TEST(CoverResults, MarkerChoice) {
    const std::string a = "http://h/a.jpg", b = "http://h/b.jpg";
    EXPECT_EQ(Urls(Entity(a) + Entity(b)), (std::vector<std::string>{a, b}));
    EXPECT_EQ(Urls(Json(a) + Json(b)), (std::vector<std::string>{a, b}));
    // Both forms: only the entity form counts, even when the JSON form comes first.
    EXPECT_EQ(Urls(Json(a) + Entity(b)), (std::vector<std::string>{b}));
    EXPECT_TRUE(Urls("no marker at all murl: \"http://h/x.jpg\"").empty());
    EXPECT_TRUE(Urls("").empty());
}

TEST(CoverResults, WhereAUrlEnds) {
    EXPECT_EQ(Urls("murl&quot;:&quot;http://h/ab b"), std::vector<std::string>{"http://h/ab"});
    EXPECT_EQ(Urls("murl&quot;:&quot;http://h/abc\"x"), std::vector<std::string>{"http://h/abc"});
    EXPECT_EQ(Urls("murl&quot;:&quot;http://h/abc\r\n"), std::vector<std::string>{"http://h/abc"});
    EXPECT_EQ(Urls("murl&quot;:&quot;http://h/abc\nx"), std::vector<std::string>{"http://h/abc"});
    EXPECT_EQ(Urls("murl&quot;:&quot;http://h/abcdef"), std::vector<std::string>{"http://h/abcdef"});
    // The JSON form ends at "&quot;" too.
    EXPECT_EQ(Urls("\"murl\":\"http://h/abc&quot;def\""), std::vector<std::string>{"http://h/abc"});
    // The next marker is searched from where the URL ended, which may be its own quote.
    EXPECT_EQ(Urls("\"murl\":\"ab\"murl\":\"http://h/abc\""), std::vector<std::string>{"http://h/abc"});
}

TEST(CoverResults, LengthClassesAndTheTableLimit) {
    const std::string u10 = "http://h/a", u11 = "http://h/ab";
    const std::string u999 = "http://h/" + std::string(990, 'p'), u1000 = u999 + "p";
    ASSERT_EQ(u10.size(), 10u);
    ASSERT_EQ(u999.size(), 999u);
    EXPECT_EQ(Urls(Entity(u10) + Entity(u11) + Entity(u1000) + Entity(u999)),
              (std::vector<std::string>{u11, u999}));
    std::string page;
    std::vector<std::string> expected;
    for (int i = 0; i < 12; ++i) {
        const std::string url = "http://h/pic" + std::to_string(i) + ".jpg";
        page += (i == 2 ? Entity(u10) : "") + Entity(url);
        if (expected.size() < 8) expected.push_back(url);
    }
    EXPECT_EQ(Urls(page), expected);
}

TEST(CoverResults, AmpIsDecodedOnceLeftToRight) {
    EXPECT_EQ(Urls(Entity("http://h/a?x=1&amp;y=2&amp;z")), std::vector<std::string>{"http://h/a?x=1&y=2&z"});
    EXPECT_EQ(Urls(Entity("http://h/a?&amp;amp;")), std::vector<std::string>{"http://h/a?&amp;"});
    EXPECT_EQ(Urls(Entity("http://h/a?&lt;%20\\/")), std::vector<std::string>{"http://h/a?&lt;%20\\/"});
    // The length check is on the URL as it stands on the page.
    EXPECT_EQ(Urls(Entity("h://&amp;&amp;")), std::vector<std::string>{"h://&&"});
}

TEST(CoverResults, PictureSignatures) {
    auto has = [](const std::string& s) {
        return HasPictureSignature(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    };
    EXPECT_TRUE(has(std::string("\xFF\xD8", 2)));
    EXPECT_TRUE(has("\x89PNG"));
    EXPECT_TRUE(has(std::string("RIFF\0\0\0\0WEBP", 12)));
    EXPECT_FALSE(has(std::string("RIFF\0\0\0\0WAVE", 12)));
    EXPECT_FALSE(has(std::string("RIFF\0\0\0\0WEB", 11)));
    EXPECT_FALSE(has("GIF89a"));
    EXPECT_FALSE(has("<html>"));
    EXPECT_FALSE(has(std::string("\xFF", 1)));
    EXPECT_FALSE(has(""));
}

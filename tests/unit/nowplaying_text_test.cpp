#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "nowplaying/now_playing.hpp"

namespace {

std::string Clean(std::string in) {
    in.push_back('\0');
    CleanTitleText(in.data());
    return std::string(in.c_str());
}

TEST(CleanTitleText, TrailingWhiteSpaceAndListenerCount) {
    struct Case {
        const char* in;
        const char* out;
    } const cases[] = {
        {"Artist - Song :: 1234\r\n", "Artist - Song"},
        {"Artist - Song :: Live", "Artist - Song :: Live"},
        {"Artist - Song :: ", "Artist - Song ::"},  // the space goes first, then no " :: " is left
        {"Artist - Song ::  \r\n", "Artist - Song ::"},
        {"A :: 1 :: 2", "A :: 1 :: 2"},               // only the first separator counts
        {"A  :: 7", "A"},                             // spaces before the separator go too
        {"A\t :: 7", "A\t"},                          // but only spaces
        {"A :: 12a", "A :: 12a"},
        {"A :: -1", "A :: -1"},
        {"A ::7", "A ::7"},
        {" :: 5", ""},
        {"  lead kept\t\r\n \t", "  lead kept"},
        {" \t\r\n", ""},
        {"", ""},
        {"A::1", "A::1"},
    };
    for (const auto& c : cases) EXPECT_EQ(Clean(c.in), c.out) << "input: " << c.in;
}

TEST(CleanTitleText, NullDoesNothing) { CleanTitleText(nullptr); }

TEST(BuildStatusUrl, DefaultsToPort8000OfTheEndpointHost) {
    struct Case {
        const char* endpoint;
        const char* setting;
        bool ok;
        const char* url;
    } const cases[] = {
        {"http://radio.example/np/ostrel.txt", "", true, "http://radio.example:8000/status-json.xsl"},
        {"https://radio.example:8443/np?x=1", "", true, "http://radio.example:8000/status-json.xsl"},
        {"http://user:pw@radio.example/np", "", true, "http://radio.example:8000/status-json.xsl"},
        {"http://radio.example?x", "", true, "http://radio.example:8000/status-json.xsl"},
        {"http://[::1]:81/np", "", true, "http://[::1]:8000/status-json.xsl"},
        {"http://127.0.0.1:5/np", "http://127.0.0.1:9/s.xsl", true, "http://127.0.0.1:9/s.xsl"},
        {"not a url", "", false, ""},
        {"http:///path", "", false, ""},
        {"http://[::1/np", "", false, ""},
    };
    for (const auto& c : cases) {
        char out[512];
        EXPECT_EQ(BuildStatusUrl(c.endpoint, c.setting, out, sizeof out), c.ok) << c.endpoint;
        EXPECT_STREQ(out, c.url) << c.endpoint;
    }
}

TEST(BuildStatusUrl, RefusesToCutTheUrl) {
    char small[20];
    EXPECT_FALSE(BuildStatusUrl("http://radio.example/np", "", small, sizeof small));
    EXPECT_STREQ(small, "");
    EXPECT_FALSE(BuildStatusUrl("http://x/", "http://127.0.0.1:1234/status-json.xsl", small, sizeof small));
    EXPECT_STREQ(small, "");
}

}  // namespace

#include "tests/unit/web_test_env.hpp"
#include "web/web_server.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Escape(const std::string& src, std::size_t capacity = 4096) {
    std::string dst(capacity, '\x7f');
    const std::size_t n = JsonEscape(src.c_str(), dst.data(), capacity);
    EXPECT_EQ(dst[n], '\0');
    EXPECT_LT(n, capacity);
    return dst.substr(0, n);
}

}  // namespace

TEST(WebJsonEscape, EscapesQuotesBackslashesAndEveryControlCharacter) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"", ""},
        {"Plain title", "Plain title"},
        {"say \"hi\"", "say \\\"hi\\\""},
        {"a\\b", "a\\\\b"},
        {"l1\r\nl2\tx", "l1\\r\\nl2\\tx"},
        {"\b\f", "\\b\\f"},
        {std::string("\x01\x1f", 2), "\\u0001\\u001f"},
        {"\x7f/", "\x7f/"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
    };
    for (const auto& c : cases) EXPECT_EQ(Escape(c.in), c.out) << c.in;
}

TEST(WebJsonEscape, ReplacesMalformedUtf8SoTheResultIsAlwaysValid) {
    const std::string fffd = "\xef\xbf\xbd";
    const struct {
        std::string in, out;
    } cases[] = {
        {"a\xff" "b", "a" + fffd + "b"},
        {"\xe2\x82" "a", fffd + "a"},                     // a cut character: one replacement
        {"\xed\xa0\x80", fffd + fffd + fffd},             // an encoded surrogate
        {"\xc0\xaf", fffd + fffd},                        // an overlong form
        {"\xf4\x90\x80\x80", fffd + fffd + fffd + fffd},  // above U+10FFFF
        {"end\xf0\x9f\x98", "end" + fffd},
    };
    for (const auto& c : cases) EXPECT_EQ(Escape(c.in), c.out);
}

TEST(WebJsonEscape, EveryByteValueParsesBackAsJson) {
    std::string all;
    for (int b = 1; b < 0x80; ++b) all += static_cast<char>(b);
    Json parsed;
    ASSERT_TRUE(Json::Parse("\"" + Escape(all) + "\"", &parsed));
    EXPECT_EQ(parsed.text, all);
}

TEST(WebJsonEscape, CutsBeforeTheCharacterThatNoLongerFits) {
    // 255 quotes into 512 bytes: 253 escapes, 506 bytes.
    const std::string quotes(255, '"');
    std::string expected;
    for (int i = 0; i < 253; ++i) expected += "\\\"";
    EXPECT_EQ(Escape(quotes, 512), expected);

    // Control characters take six bytes each and are never split.
    const std::string controls(100, '\x02');
    const std::string cut = Escape(controls, 64);
    EXPECT_EQ(cut.size() % 6, 0u);
    EXPECT_LE(cut.size(), 63u);
    EXPECT_EQ(cut.size(), 60u);

    // Multi-byte characters are kept whole at every capacity.
    std::string text = "a";
    for (int i = 0; i < 50; ++i) text += "\xe2\x82\xac\xf0\x9f\x98\x80";
    for (std::size_t capacity = 1; capacity < 80; ++capacity) {
        const std::string out = Escape(text, capacity);
        EXPECT_TRUE(IsValidUtf8(out)) << capacity;
        EXPECT_EQ(text.compare(0, out.size(), out), 0) << capacity;
        EXPECT_LE(out.size() + 1, capacity);
    }
}

TEST(WebJsonEscape, TinyCapacitiesWriteAnEmptyString) {
    char dst[8] = "xxxxxxx";
    EXPECT_EQ(JsonEscape("abc", dst, 0), 0u);
    EXPECT_EQ(dst[0], 'x');
    for (std::size_t capacity = 1; capacity <= 6; ++capacity) {
        EXPECT_EQ(JsonEscape("abc", dst, capacity), 0u);
        EXPECT_EQ(dst[0], '\0');
    }
    EXPECT_EQ(JsonEscape("abc", dst, 7), 1u);
    EXPECT_STREQ(dst, "a");
}

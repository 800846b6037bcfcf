// The converters must agree with the Windows code-page functions they replace.
#include "common/text.hpp"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string WindowsUtf8ToUtf16(const std::string& s) {
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return std::u16string(w.begin(), w.end());
}

std::string WindowsUtf16ToUtf8(const std::u16string& s) {
    if (s.empty()) return {};
    const std::wstring w(s.begin(), s.end());
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
    return out;
}

TEST(WindowsCodePage, Utf8ToUtf16MatchesMultiByteToWideChar) {
    const std::string inputs[] = {
        "Artist - Song",
        "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB5",
        "a\x80z",
        "\xC0\xAF",
        "\xFF\xFE",
        "\xE0\x80\xAF",
        "\xED\xA0\x80",
        "\xF4\x90\x80\x80",
        "\xE2\x82z",
        "\xF0\x80\x80\x80",
        "\xF0\x8F\xBF\xBF",
        "\xF0\x90\x80",
        "\xF4\x8F\xBF\xBF",
        "\xE0\xA0\x80\xE0\x9F\xBF",
        "\xED\x9F\xBF\xED\xBF\xBF",
        "\xC2\xC2\xA9",
        "\xF5\x80",
        "\xEF\xBF\xBF\xEF\xBF",
    };
    for (const auto& in : inputs) EXPECT_EQ(Utf8ToUtf16(in), WindowsUtf8ToUtf16(in)) << in;
}

TEST(WindowsCodePage, Utf16ToUtf8MatchesWideCharToMultiByte) {
    const std::u16string inputs[] = {
        u"Artist - Song",
        u"\u00E9\u20AC\U0001F3B5",
        std::u16string(1, char16_t(0xD800)) + u"a",
        std::u16string(1, char16_t(0xDC00)),
    };
    for (const auto& in : inputs) EXPECT_EQ(Utf16ToUtf8(in), WindowsUtf16ToUtf8(in));
}

}  // namespace

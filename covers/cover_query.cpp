// The search text made from a title and its URL encoding.
#include "covers/cover_search.hpp"
#include "covers/cover_source.hpp"

#include "common/text.hpp"

#include <cstring>
#include <string>

namespace {

constexpr std::u16string_view kLabels[] = {u"TOVREL Made by AI |", u"TOVREL Hi-Res |", u"TOVREL Radio |"};
constexpr std::u16string_view kSuffix = u" album cover";
constexpr std::size_t kMaxUnitsForSuffix = 497;  // n + 14 < 512

bool Passes(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '~' || c == '!' ||
           c == '*' || c == '(' || c == ')' || c == '\'';
}

// Steps shared by the image search's text and the services' text: at most 511 units of the
// title, cut at '[', labels removed, bullets made spaces, trailing spaces, commas and dashes gone.
std::u16string CleanTitleUnits(std::u16string_view query) {
    char16_t local[512];
    CopyTextWhole(local, 512, query);
    std::u16string text(View(local));

    const std::size_t bracket = text.find(u'[');
    if (bracket != std::u16string::npos) text.resize(bracket);
    for (std::u16string_view label : kLabels) {
        const std::size_t at = text.find(label);
        if (at != std::u16string::npos) text.erase(at, label.size());
    }
    for (char16_t& unit : text) {
        if (unit == u'\u2022') unit = u' ';
    }
    while (!text.empty() && (text.back() == u' ' || text.back() == u',' || text.back() == u'-')) text.pop_back();
    return text;
}

}  // namespace

std::string CleanCoverText(std::u16string_view query) { return Utf16ToUtf8(CleanTitleUnits(query)); }

std::size_t BuildCoverQuery(std::u16string_view query, char (&out)[kSearchTextSize]) {
    out[0] = '\0';
    const std::u16string text = CleanTitleUnits(query);
    if (text.empty()) return 0;

    if (text.size() > kMaxUnitsForSuffix) return Utf16ToUtf8(text, out);
    // The title is converted into the room the suffix leaves, so an over-long UTF-8 form loses
    // characters of the title (cut whole) rather than the suffix.
    constexpr std::size_t kSuffixBytes = 12;
    const std::size_t titleBytes = Utf16ToUtf8(text, out, sizeof(out) - kSuffixBytes);
    std::memcpy(out + titleBytes, " album cover", kSuffixBytes);
    out[titleBytes + kSuffixBytes] = '\0';
    static_assert(kSuffix.size() == kSuffixBytes);
    return titleBytes + kSuffixBytes;
}

std::size_t UrlEncodeQuery(std::string_view text, char (&out)[kEncodedTextSize]) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::size_t written = 0;
    for (char ch : text) {
        if (ch == '\0' || written >= kEncodedTextSize - 4) break;  // stops at 1020: an escape always fits whole
        const auto c = static_cast<unsigned char>(ch);
        if (Passes(c)) {
            out[written++] = ch;
        } else {
            out[written++] = '%';
            out[written++] = kHex[c >> 4];
            out[written++] = kHex[c & 0x0F];
        }
    }
    out[written] = '\0';
    return written;
}

bool BuildResultsPageUrl(std::string_view base, std::string_view encoded, char (&out)[kRequestUrlSize]) {
    out[0] = '\0';
    if (base.empty()) base = kDefaultImageSearchUrl;
    std::string url;
    url.reserve(kRequestUrlSize);
    url.append(base).append("?q=").append(encoded).append(kImageSearchQueryTail);
    if (url.size() >= kRequestUrlSize) return false;
    CopyText(out, url);
    return true;
}

// Picture URLs taken from an image-search results page, and the picture signatures accepted.
#include "covers/cover_search.hpp"

#include <cstring>

namespace {

constexpr std::string_view kEntityMarker = "murl&quot;:&quot;";
constexpr std::string_view kJsonMarker = "\"murl\":\"";
constexpr std::string_view kQuotEntity = "&quot;";

// End of a URL that starts at `from`: the first '"', ' ', CR, LF or "&quot;", or the page end.
std::size_t UrlEnd(std::string_view page, std::size_t from) {
    std::size_t end = page.find_first_of("\" \r\n", from);
    if (end == std::string_view::npos) end = page.size();
    const std::size_t quot = page.substr(0, end).find(kQuotEntity, from);
    return quot == std::string_view::npos ? end : quot;
}

// Replaces every "&amp;" by '&' in place, left to right, going on just after each '&'.
void DecodeAmp(char* url) {
    std::size_t length = std::strlen(url);
    for (std::size_t at = 0; at + 5 <= length; ++at) {
        if (std::memcmp(url + at, "&amp;", 5) == 0) {
            std::memmove(url + at + 1, url + at + 5, length - at - 5 + 1);
            length -= 4;
        }
    }
}

}  // namespace

int ExtractResultUrls(std::string_view page, CoverUrlTable& table) {
    table.count = 0;
    page = page.substr(0, page.find('\0'));  // the page is text: it ends at its first NUL
    std::string_view marker = kEntityMarker;
    std::size_t pos = page.find(marker);
    if (pos == std::string_view::npos) {
        marker = kJsonMarker;
        pos = page.find(marker);
    }
    while (pos != std::string_view::npos && table.count < MAX_COVERS) {
        const std::size_t start = pos + marker.size();
        const std::size_t end = UrlEnd(page, start);
        const std::size_t length = end - start;
        if (length >= kResultUrlMinLength && length <= kResultUrlMaxLength) {
            char* entry = table.urls[table.count];
            std::memcpy(entry, page.data() + start, length);
            entry[length] = '\0';
            DecodeAmp(entry);
            ++table.count;
        }
        pos = page.find(marker, end);
    }
    return table.count;
}

bool HasPictureSignature(const std::uint8_t* bytes, std::size_t size) {
    if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xD8) return true;
    if (size >= 4 && bytes[0] == 0x89 && bytes[1] == 'P' && bytes[2] == 'N' && bytes[3] == 'G') return true;
    return size >= 12 && std::memcmp(bytes, "RIFF", 4) == 0 && std::memcmp(bytes + 8, "WEBP", 4) == 0;
}

// Any title: the search text fits its buffer, and its encoding never exceeds 1022 bytes, never
// splits an escape, and decodes back to a prefix of the search text.
#include "covers/cover_search.hpp"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::u16string title(size / 2, u'\0');
    if (!title.empty()) std::memcpy(title.data(), data, title.size() * 2);
    char text[kSearchTextSize];
    const std::size_t textLength = BuildCoverQuery(title, text);
    if (textLength > kSearchTextSize - 1 || text[textLength] != '\0' || std::strlen(text) != textLength) std::abort();

    // Also encode the raw bytes, which need not be UTF-8.
    const std::string raw(reinterpret_cast<const char*>(data), size);
    for (const std::string& input : {std::string(text, textLength), raw}) {
        char encoded[kEncodedTextSize];
        const std::size_t n = UrlEncodeQuery(input, encoded);
        if (n > 1022 || encoded[n] != '\0' || std::strlen(encoded) != n) std::abort();
        std::string decoded;
        for (std::size_t i = 0; i < n; ++i) {
            if (encoded[i] != '%') {
                decoded += encoded[i];
                continue;
            }
            if (i + 2 >= n) std::abort();  // a split escape
            const int hi = HexValue(encoded[i + 1]), lo = HexValue(encoded[i + 2]);
            if (hi < 0 || lo < 0) std::abort();
            decoded += static_cast<char>(hi * 16 + lo);
            i += 2;
        }
        const std::string cut = input.substr(0, input.find('\0'));
        if (cut.compare(0, decoded.size(), decoded) != 0) std::abort();
    }
    return 0;
}

// Status-document title and listener lookup and title cleaning over arbitrary bytes.
// Input: the first byte gives the channel id's length (mod 64), then the id, then the document.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "nowplaying/now_playing.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t idLen = std::min<std::size_t>(data[0] % 64, size - 1);
    char id[64] = {};
    std::memcpy(id, data + 1, idLen);
    const std::string_view doc(reinterpret_cast<const char*>(data) + 1 + idLen, size - 1 - idLen);

    char text[TITLE_TEXT_BYTES];
    std::memset(text, 0x5A, sizeof text);
    if (ExtractStatusJsonTitle(doc, id, text)) {
        const std::size_t len = std::strlen(text);
        if (len == 0 || len >= TITLE_TEXT_BYTES || text[0] == '<') __builtin_trap();
    }

    // Two counts of at most nine digits each.
    const std::int64_t listeners = ExtractStatusJsonListeners(doc, id);
    if (listeners < -1 || listeners > 2 * 999999999LL) __builtin_trap();

    // The cleaner on the raw bytes, cut to the working buffer.
    std::string raw(doc.substr(0, TITLE_TEXT_BYTES - 1));
    raw.push_back('\0');
    const std::size_t before = std::strlen(raw.c_str());
    CleanTitleText(raw.data());
    if (std::strlen(raw.c_str()) > before) __builtin_trap();
    return 0;
}

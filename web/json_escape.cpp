#include "web/web_server.hpp"

#include <cstring>

namespace {

// Length of the well-formed UTF-8 character at s (1 to 4), or, as a negative number, the length
// of its maximal ill-formed prefix (the bytes that one U+FFFD replaces).
int Utf8CharLength(const unsigned char* s) {
    const unsigned char b = s[0];
    if (b < 0x80) return 1;
    int need;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        need = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 2;
        if (b == 0xE0) lo = 0xA0;   // no overlong forms
        if (b == 0xED) hi = 0x9F;   // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 3;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;   // nothing above U+10FFFF
    } else {
        return -1;
    }
    for (int i = 1; i <= need; ++i) {
        const unsigned char c = s[i];
        const bool ok = i == 1 ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
        if (!ok) return -i;  // the terminating NUL also ends here
    }
    return need + 1;
}

}  // namespace

std::size_t JsonEscape(const char* src, char* dst, std::size_t capacity) {
    if (capacity == 0) return 0;
    const auto* s = reinterpret_cast<const unsigned char*>(src != nullptr ? src : "");
    std::size_t written = 0;
    // Every character written takes at most 6 bytes ("\u00XX"), so checking the room before each
    // character keeps the output and its terminator inside capacity.
    while (*s != 0 && written + 6 < capacity) {
        const unsigned char c = *s;
        char* out = dst + written;
        if (c == '"' || c == '\\') {
            out[0] = '\\';
            out[1] = static_cast<char>(c);
            written += 2;
            ++s;
        } else if (c < 0x20) {
            static const char kHex[] = "0123456789abcdef";
            char shortForm = 0;
            switch (c) {
                case '\b': shortForm = 'b'; break;
                case '\f': shortForm = 'f'; break;
                case '\n': shortForm = 'n'; break;
                case '\r': shortForm = 'r'; break;
                case '\t': shortForm = 't'; break;
                default: break;
            }
            if (shortForm != 0) {
                out[0] = '\\';
                out[1] = shortForm;
                written += 2;
            } else {
                std::memcpy(out, "\\u00", 4);
                out[4] = kHex[c >> 4];
                out[5] = kHex[c & 0x0F];
                written += 6;
            }
            ++s;
        } else {
            const int len = Utf8CharLength(s);
            if (len > 0) {
                std::memcpy(out, s, static_cast<std::size_t>(len));
                written += static_cast<std::size_t>(len);
                s += len;
            } else {
                std::memcpy(out, "\xEF\xBF\xBD", 3);
                written += 3;
                s += -len;
            }
        }
    }
    dst[written] = '\0';
    return written;
}

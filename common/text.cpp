#include "common/text.hpp"

#include <algorithm>
#include <cstdint>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one character at s[i] and advances i past what it consumed, as the Windows UTF-8 code
// page does: a byte that cannot start a character gives U+FFFD alone; otherwise continuation
// bytes are taken one by one, and the sequence ends in U+FFFD (covering the bytes taken so far)
// at the first byte that is not a continuation byte, or as soon as the bytes taken show an
// overlong form, a surrogate or a value above U+10FFFF.
char32_t DecodeUtf8(std::string_view s, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(s[i++]);
    if (lead < 0x80) return lead;
    int need = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
    } else {
        return kReplacement;
    }
    char32_t cp = lead & (0x3F >> need);
    for (int k = 0; k < need; ++k) {
        if (i >= s.size()) return kReplacement;
        const auto c = static_cast<unsigned char>(s[i]);
        if ((c & 0xC0) != 0x80) return kReplacement;
        cp = (cp << 6) | (c & 0x3F);
        ++i;
        if (k == 0 && need == 2 && (cp < 0x20 || (cp >= 0x360 && cp < 0x380))) return kReplacement;
        if (k == 0 && need == 3 && (cp < 0x10 || cp >= 0x110)) return kReplacement;
    }
    return cp;
}

// Decodes one character of UTF-16 at s[i]; an unpaired surrogate gives U+FFFD.
char32_t DecodeUtf16(std::u16string_view s, std::size_t& i) {
    const char16_t u = s[i++];
    if (u < 0xD800 || u > 0xDFFF) return u;
    if (u <= 0xDBFF && i < s.size() && s[i] >= 0xDC00 && s[i] <= 0xDFFF) {
        const char16_t low = s[i++];
        return 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (low - 0xDC00);
    }
    return kReplacement;
}

std::size_t EncodeUtf16(char32_t cp, char16_t out[2]) {
    if (cp < 0x10000) {
        out[0] = static_cast<char16_t>(cp);
        return 1;
    }
    cp -= 0x10000;
    out[0] = static_cast<char16_t>(0xD800 + (cp >> 10));
    out[1] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    return 2;
}

std::size_t EncodeUtf8(char32_t cp, char out[4]) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// Re-encodes src character by character: Decode reads one character and advances, Encode writes
// it in the target form, and put receives each encoded character whole; it returns false to stop
// before a character that does not fit.
template <typename Out, typename Src, typename Decode, typename Encode, typename Put>
void Recode(Src src, Decode decode, Encode encode, Put put) {
    std::size_t i = 0;
    while (i < src.size()) {
        Out units[4];
        const std::size_t n = encode(decode(src, i), units);
        if (!put(units, n)) break;
    }
}

// Into a fixed buffer: at most size - 1 units, terminated, cut between whole characters.
template <typename Out, typename Src, typename Decode, typename Encode>
std::size_t RecodeInto(Src src, Out* dst, std::size_t size, Decode decode, Encode encode) {
    if (dst == nullptr || size == 0) return 0;
    std::size_t out = 0;
    Recode<Out>(src, decode, encode, [&](const Out* units, std::size_t n) {
        if (out + n > size - 1) return false;
        for (std::size_t k = 0; k < n; ++k) dst[out++] = units[k];
        return true;
    });
    dst[out] = Out{};
    return out;
}

template <typename Out, typename Src, typename Decode, typename Encode>
std::basic_string<Out> RecodeToString(Src src, Decode decode, Encode encode) {
    std::basic_string<Out> result;
    result.reserve(src.size());
    Recode<Out>(src, decode, encode, [&](const Out* units, std::size_t n) {
        result.append(units, n);
        return true;
    });
    return result;
}

}  // namespace

std::size_t CopyText(char* dst, std::size_t dstSize, std::string_view src) {
    if (dst == nullptr || dstSize == 0) return 0;
    const std::size_t n = std::min(src.size(), dstSize - 1);
    std::copy_n(src.data(), n, dst);
    dst[n] = '\0';
    return n;
}

std::size_t CopyText(char16_t* dst, std::size_t dstUnits, std::u16string_view src) {
    if (dst == nullptr || dstUnits == 0) return 0;
    const std::size_t n = std::min(src.size(), dstUnits - 1);
    std::copy_n(src.data(), n, dst);
    dst[n] = u'\0';
    return n;
}

std::size_t CopyTextWhole(char16_t* dst, std::size_t dstUnits, std::u16string_view src) {
    if (dst == nullptr || dstUnits == 0) return 0;
    std::size_t n = std::min(src.size(), dstUnits - 1);
    if (n < src.size() && n > 0 && src[n - 1] >= 0xD800 && src[n - 1] <= 0xDBFF) --n;
    std::copy_n(src.data(), n, dst);
    dst[n] = u'\0';
    return n;
}

std::size_t BoundedLength(const char* text, std::size_t size) {
    std::size_t n = 0;
    while (n < size && text[n] != '\0') ++n;
    return n;
}

std::size_t BoundedLength(const char16_t* text, std::size_t size) {
    std::size_t n = 0;
    while (n < size && text[n] != u'\0') ++n;
    return n;
}

std::size_t Utf8ToUtf16(std::string_view src, char16_t* dst, std::size_t dstUnits) {
    return RecodeInto(src, dst, dstUnits, DecodeUtf8, EncodeUtf16);
}

std::u16string Utf8ToUtf16(std::string_view src) { return RecodeToString<char16_t>(src, DecodeUtf8, EncodeUtf16); }

std::size_t Utf16ToUtf8(std::u16string_view src, char* dst, std::size_t dstSize) {
    return RecodeInto(src, dst, dstSize, DecodeUtf16, EncodeUtf8);
}

std::string Utf16ToUtf8(std::u16string_view src) { return RecodeToString<char>(src, DecodeUtf16, EncodeUtf8); }

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ToLowerAscii(a[i]) != ToLowerAscii(b[i])) return false;
    }
    return true;
}

std::size_t FindNoCase(std::string_view haystack, std::string_view needle) {
    if (needle.size() > haystack.size()) return std::string_view::npos;
    for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
        if (EqualsNoCase(haystack.substr(i, needle.size()), needle)) return i;
    }
    return std::string_view::npos;
}

// Bounded text copies into fixed buffers, UTF-8 <-> UTF-16 conversion and ASCII case folding.
//
// Every copy into a fixed buffer takes at most its size minus one unit and terminates it:
// over-long input is cut, never rejected. The converters follow the Windows UTF-8 code page
// (65001): a malformed UTF-8 sequence becomes U+FFFD (one per maximal invalid subpart), an
// unpaired surrogate becomes U+FFFD, and a result that does not fit is cut before the first
// character that does not fit whole, never inside a surrogate pair or a UTF-8 sequence.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Copies src into dst (dstSize bytes), cut to dstSize - 1 bytes; returns the bytes copied.
// Does nothing and returns 0 when dstSize is 0.
std::size_t CopyText(char* dst, std::size_t dstSize, std::string_view src);
// Same for UTF-16 text, counted in code units. Cuts at a raw unit boundary; callers that
// must not split a surrogate pair use CopyTextWhole.
std::size_t CopyText(char16_t* dst, std::size_t dstUnits, std::u16string_view src);
// Like CopyText, but never leaves the high half of a surrogate pair at the end of the cut.
std::size_t CopyTextWhole(char16_t* dst, std::size_t dstUnits, std::u16string_view src);

template <std::size_t N>
std::size_t CopyText(char (&dst)[N], std::string_view src) { return CopyText(dst, N, src); }
template <std::size_t N>
std::size_t CopyText(char16_t (&dst)[N], std::u16string_view src) { return CopyText(dst, N, src); }

// Length of a NUL-terminated text inside a buffer of `size` units (size when unterminated).
std::size_t BoundedLength(const char* text, std::size_t size);
std::size_t BoundedLength(const char16_t* text, std::size_t size);
template <std::size_t N>
std::string_view View(const char (&text)[N]) { return {text, BoundedLength(text, N)}; }
template <std::size_t N>
std::u16string_view View(const char16_t (&text)[N]) { return {text, BoundedLength(text, N)}; }

// UTF-8 to UTF-16 into dst (dstUnits units, terminated); returns the units written before the
// terminator. The cut falls between whole characters.
std::size_t Utf8ToUtf16(std::string_view src, char16_t* dst, std::size_t dstUnits);
std::u16string Utf8ToUtf16(std::string_view src);
template <std::size_t N>
std::size_t Utf8ToUtf16(std::string_view src, char16_t (&dst)[N]) { return Utf8ToUtf16(src, dst, N); }

// UTF-16 to UTF-8 into dst (dstSize bytes, terminated); returns the bytes written before the
// terminator. The cut falls between whole characters.
std::size_t Utf16ToUtf8(std::u16string_view src, char* dst, std::size_t dstSize);
std::string Utf16ToUtf8(std::u16string_view src);
template <std::size_t N>
std::size_t Utf16ToUtf8(std::u16string_view src, char (&dst)[N]) { return Utf16ToUtf8(src, dst, N); }

// ASCII-only case folding; bytes from 0x80 up are compared as they are.
constexpr char ToLowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
bool EqualsNoCase(std::string_view a, std::string_view b);
// First position of needle in haystack ignoring ASCII case, or npos.
std::size_t FindNoCase(std::string_view haystack, std::string_view needle);

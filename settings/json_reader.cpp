#include "settings/json_reader.hpp"

#include <array>
#include <cstring>

namespace {

constexpr std::size_t kPatternSize = 64;

// Position of the first character after the quoted key and the separators that follow it, or
// npos when the key is not in text. May be text.size() when the text ends while skipping.
std::size_t FindValue(std::string_view text, std::string_view key) {
    std::array<char, kPatternSize> pattern{};
    if (key.size() + 3 > pattern.size()) return std::string_view::npos;
    pattern[0] = '"';
    std::memcpy(pattern.data() + 1, key.data(), key.size());
    pattern[key.size() + 1] = '"';
    const std::string_view needle(pattern.data(), key.size() + 2);

    std::size_t pos = text.find(needle);
    if (pos == std::string_view::npos) return pos;
    pos += needle.size();
    while (pos < text.size()) {
        const char c = text[pos];
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != ':') break;
        ++pos;
    }
    return pos;
}

bool IsCSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool PrefixNoCase(std::string_view text, std::size_t pos, std::string_view word) {
    if (text.size() - pos < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        char c = text[pos + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != word[i]) return false;
    }
    return true;
}

}  // namespace

bool ReadJsonInt(std::string_view text, std::string_view key, std::int32_t& out) {
    std::size_t pos = FindValue(text, key);
    if (pos == std::string_view::npos || pos >= text.size()) return false;
    while (pos < text.size() && IsCSpace(text[pos])) ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    // Accumulate as a negative number so that INT32_MIN itself fits.
    constexpr std::int64_t kMin = -2147483648LL;
    constexpr std::int64_t kMax = 2147483647LL;
    std::int64_t value = 0;
    bool saturated = false;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        if (!saturated) {
            value = value * 10 - (text[pos] - '0');
            if (value < kMin) saturated = true;
        }
        ++pos;
    }
    if (negative) {
        out = saturated ? static_cast<std::int32_t>(kMin) : static_cast<std::int32_t>(value);
    } else {
        out = (saturated || -value > kMax) ? static_cast<std::int32_t>(kMax) : static_cast<std::int32_t>(-value);
    }
    return true;
}

bool ReadJsonBool(std::string_view text, std::string_view key, bool& out) {
    const std::size_t pos = FindValue(text, key);
    if (pos == std::string_view::npos) return false;
    if (PrefixNoCase(text, pos, "true")) {
        out = true;
        return true;
    }
    if (PrefixNoCase(text, pos, "false")) {
        out = false;
        return true;
    }
    return false;
}

bool ReadJsonString(std::string_view text, std::string_view key, char* out, std::size_t capacity) {
    if (capacity == 0) return false;
    std::size_t pos = FindValue(text, key);
    if (pos == std::string_view::npos || pos >= text.size()) return false;
    if (text[pos] != '"') return false;
    ++pos;
    std::size_t stored = 0;
    while (pos < text.size() && stored + 1 < capacity) {
        char c = text[pos];
        if (c == '"') break;
        if (c == '\\' && pos + 1 < text.size()) {
            ++pos;
            switch (text[pos]) {
                case 'n': c = '\n'; break;
                case 'r': c = '\r'; break;
                case 't': c = '\t'; break;
                default: c = text[pos]; break;
            }
        }
        out[stored++] = c;
        ++pos;
    }
    out[stored] = '\0';
    return true;
}

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

namespace {

// Reads the quoted value whose opening quote is at text[pos] into out (see ReadJsonString).
// Returns the position just after the closing quote, or text.size() when the value runs to
// the end of text or was cut at capacity (the rest of it is skipped).
std::size_t ReadQuoted(std::string_view text, std::size_t pos, char* out, std::size_t capacity) {
    ++pos;
    std::size_t stored = 0;
    while (pos < text.size()) {
        char c = text[pos];
        if (c == '"') return pos + 1;
        if (c == '\\' && pos + 1 < text.size()) {
            ++pos;
            switch (text[pos]) {
                case 'n': c = '\n'; break;
                case 'r': c = '\r'; break;
                case 't': c = '\t'; break;
                default: c = text[pos]; break;
            }
        }
        if (stored + 1 < capacity) {
            out[stored++] = c;
            out[stored] = '\0';
        }
        ++pos;
    }
    return pos;
}

}  // namespace

bool ReadJsonString(std::string_view text, std::string_view key, char* out, std::size_t capacity) {
    if (capacity == 0) return false;
    const std::size_t pos = FindValue(text, key);
    if (pos == std::string_view::npos || pos >= text.size()) return false;
    if (text[pos] != '"') return false;
    out[0] = '\0';
    ReadQuoted(text, pos, out, capacity);
    return true;
}

namespace {

// Skips one value that is not a string (a number, a word, an object or an array with whatever
// they hold), up to the comma or bracket that ends it. Returns that position, or text.size().
std::size_t SkipListValue(std::string_view text, std::size_t pos) {
    int depth = 0;
    while (pos < text.size()) {
        const char c = text[pos];
        if (c == '"') {
            // A string inside an object or array: its brackets and commas do not count.
            for (++pos; pos < text.size() && text[pos] != '"'; ++pos) {
                if (text[pos] == '\\') ++pos;
            }
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            if (depth == 0) return pos;
            --depth;
        } else if (c == ',' && depth == 0) {
            return pos;
        }
        ++pos;
    }
    return text.size();
}

}  // namespace

int ReadJsonStringList(std::string_view text, std::string_view key, char* out, std::size_t capacity, int maxItems) {
    std::size_t pos = FindValue(text, key);
    if (pos == std::string_view::npos || pos >= text.size() || text[pos] != '[' || capacity == 0) return -1;
    ++pos;
    int count = 0;
    while (pos < text.size() && count < maxItems) {
        const char c = text[pos];
        if (c == ']') break;
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',') {
            ++pos;
            continue;
        }
        if (c != '"') {
            pos = SkipListValue(text, pos);
            continue;
        }
        char* item = out + static_cast<std::size_t>(count) * capacity;
        item[0] = '\0';
        pos = ReadQuoted(text, pos, item, capacity);
        if (item[0] != '\0') ++count;
    }
    return count;
}

// Title lookup in an Icecast status document. The document is searched, not parsed: an
// Icecast 2.4 server writes each source's members in alphabetical order, so a source's
// "listenurl" (which ends in its mount name) comes before its "title", and the next source's
// "listenurl" marks where the entry's own members end.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "common/text.hpp"
#include "nowplaying/now_playing.hpp"

namespace {

constexpr std::string_view kListenUrlMember = "\"listenurl\":";
constexpr std::string_view kTitleMember = "\"title\":";
constexpr std::size_t npos = std::string_view::npos;
constexpr std::uint32_t kStatusFlags = kHttpReload | kHttpNoCacheWrite | kHttpNoCookies | kHttpPragmaNoCache;

std::size_t SkipSpace(std::string_view s, std::size_t pos) {
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t' || s[pos] == '\r' || s[pos] == '\n')) ++pos;
    return pos;
}

// Position of the quote that closes the string opened at `open`, skipping escaped characters.
std::size_t StringEnd(std::string_view s, std::size_t open) {
    for (std::size_t i = open + 1; i < s.size(); ++i) {
        if (s[i] == '\\') {
            ++i;
        } else if (s[i] == '"') {
            return i;
        }
    }
    return npos;
}

// The members of one source entry: from just after its listen URL's value up to the next
// source's "listenurl" member (or the end of the document).
struct EntrySpan {
    std::size_t begin = 0;
    std::size_t end = 0;
};

// The entry whose listen URL names the whole mount `key` ("/<key>" closing the value): a key
// that is merely the tail of another mount ("vo" in "pavo-mp3") or text in another member does
// not count.
bool FindMountEntry(std::string_view body, std::string_view key, EntrySpan& span) {
    std::size_t pos = 0;
    while ((pos = body.find(kListenUrlMember, pos)) != npos) {
        pos += kListenUrlMember.size();
        const std::size_t open = SkipSpace(body, pos);
        if (open >= body.size() || body[open] != '"') continue;
        const std::size_t close = StringEnd(body, open);
        if (close == npos) return false;
        const std::string_view value = body.substr(open + 1, close - open - 1);
        if (value.size() > key.size() && value.substr(value.size() - key.size()) == key &&
            value[value.size() - key.size() - 1] == '/') {
            span.begin = close + 1;
            const std::size_t next = body.find(kListenUrlMember, span.begin);
            span.end = next == npos ? body.size() : next;
            return true;
        }
        pos = close + 1;
    }
    return false;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ReadHex4(std::string_view s, std::size_t pos, unsigned& value) {
    if (pos + 4 > s.size()) return false;
    value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const int h = HexValue(s[pos + i]);
        if (h < 0) return false;
        value = value * 16 + static_cast<unsigned>(h);
    }
    return true;
}

// Appends code point cp as UTF-8; false when it does not fit (out keeps room for the NUL).
bool PutUtf8(unsigned cp, char* out, std::size_t outSize, std::size_t& n) {
    char buf[4];
    std::size_t len;
    if (cp < 0x80) {
        buf[0] = static_cast<char>(cp);
        len = 1;
    } else if (cp < 0x800) {
        buf[0] = static_cast<char>(0xC0 | (cp >> 6));
        buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
        len = 2;
    } else if (cp < 0x10000) {
        buf[0] = static_cast<char>(0xE0 | (cp >> 12));
        buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
        len = 3;
    } else {
        buf[0] = static_cast<char>(0xF0 | (cp >> 18));
        buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
        len = 4;
    }
    if (n + len >= outSize) return false;
    std::memcpy(out + n, buf, len);
    n += len;
    return true;
}

// Decodes the JSON escapes of a raw string value into out (terminated). An escape that is not
// JSON is kept as written; a lone surrogate becomes U+FFFD; \u0000 is dropped, since a NUL
// would end the title. Decoding never lengthens the text, so a value that passed the length
// check always fits.
void DecodeJsonString(std::string_view raw, char* out, std::size_t outSize) {
    std::size_t n = 0;
    const auto put = [&](char ch) {
        if (n + 1 < outSize) out[n++] = ch;
    };
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\' || i + 1 >= raw.size()) {
            put(raw[i]);
            continue;
        }
        const char e = raw[++i];
        unsigned cp = 0;
        switch (e) {
            case '"': put('"'); break;
            case '\\': put('\\'); break;
            case '/': put('/'); break;
            case 'b': put('\b'); break;
            case 'f': put('\f'); break;
            case 'n': put('\n'); break;
            case 'r': put('\r'); break;
            case 't': put('\t'); break;
            case 'u':
                if (!ReadHex4(raw, i + 1, cp)) {
                    put('\\');
                    put('u');
                    break;
                }
                i += 4;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    unsigned low = 0;
                    if (i + 2 < raw.size() && raw[i + 1] == '\\' && raw[i + 2] == 'u' && ReadHex4(raw, i + 3, low) &&
                        low >= 0xDC00 && low <= 0xDFFF) {
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                        i += 6;
                    } else {
                        cp = 0xFFFD;
                    }
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    cp = 0xFFFD;
                }
                if (cp != 0) PutUtf8(cp, out, outSize, n);
                break;
            default:  // not a JSON escape: kept as written
                put('\\');
                put(e);
                break;
        }
    }
    out[n] = '\0';
}

bool IsNumberToken(std::string_view t) {
    bool digit = false;
    for (const char c : t) {
        if (c >= '0' && c <= '9') {
            digit = true;
        } else if (c != '-' && c != '+' && c != '.' && c != 'e' && c != 'E') {
            return false;
        }
    }
    return digit;
}

// Reads the entry's "title" member into text. A title that is only digits is written as a
// JSON number and "true"/"false" as a boolean: both are taken as they stand. null (an empty
// title) and a missing member give no title.
bool TakeEntryTitle(std::string_view body, const EntrySpan& span, char* text) {
    const std::size_t member = body.find(kTitleMember, span.begin);
    if (member == npos || member >= span.end) return false;
    const std::size_t v = SkipSpace(body, member + kTitleMember.size());
    if (v >= body.size()) return false;
    if (body[v] == '"') {
        const std::size_t close = StringEnd(body, v);
        if (close == npos) return false;
        const std::string_view raw = body.substr(v + 1, close - v - 1);
        // The length limit applies to the value as written, before its escapes are decoded.
        if (raw.empty() || raw.size() >= TITLE_TEXT_BYTES) return false;
        DecodeJsonString(raw, text, TITLE_TEXT_BYTES);
    } else {
        std::size_t end = v;
        while (end < body.size() && std::strchr(",}] \t\r\n", body[end]) == nullptr) ++end;
        const std::string_view token = body.substr(v, end - v);
        if (token.empty() || token.size() >= TITLE_TEXT_BYTES) return false;
        if (!IsNumberToken(token) && !EqualsNoCase(token, "true") && !EqualsNoCase(token, "false")) return false;
        std::memcpy(text, token.data(), token.size());
        text[token.size()] = '\0';
    }
    CleanTitleText(text);
    return text[0] != '\0' && text[0] != '<';
}

// The braces of the innermost object that holds position `inside`: open and close. False when
// the document is cut before that object closes or nests deeper than the search follows.
bool EnclosingObject(std::string_view body, std::size_t inside, std::size_t& open, std::size_t& close) {
    constexpr int kMaxDepth = 32;
    std::size_t opens[kMaxDepth];
    int depth = 0;
    int skipped = 0;  // levels past kMaxDepth
    for (std::size_t i = 0; i < inside && i < body.size(); ++i) {
        const char c = body[i];
        if (c == '"') {
            const std::size_t end = StringEnd(body, i);
            if (end == npos || end >= inside) break;  // `inside` lies in this string
            i = end;
        } else if (c == '{') {
            if (depth < kMaxDepth && skipped == 0) {
                opens[depth++] = i;
            } else {
                ++skipped;
            }
        } else if (c == '}') {
            if (skipped > 0) {
                --skipped;
            } else if (depth > 0) {
                --depth;
            }
        }
    }
    if (depth == 0 || skipped > 0) return false;
    open = opens[depth - 1];
    int level = 0;
    for (std::size_t i = open; i < body.size(); ++i) {
        const char c = body[i];
        if (c == '"') {
            const std::size_t end = StringEnd(body, i);
            if (end == npos) return false;
            i = end;
        } else if (c == '{' || c == '[') {
            ++level;
        } else if (c == '}' || c == ']') {
            if (--level == 0) {
                close = i;
                return true;
            }
        }
    }
    return false;
}

// The "listeners" member of the object between open and close, taken only at its own level (a
// member of a nested object does not count): a whole number of at most nine digits, else -1.
std::int64_t ObjectListeners(std::string_view body, std::size_t open, std::size_t close) {
    constexpr std::string_view kKey = "\"listeners\"";
    int level = 0;
    for (std::size_t i = open; i < close; ++i) {
        const char c = body[i];
        if (c == '{' || c == '[') {
            ++level;
        } else if (c == '}' || c == ']') {
            --level;
        } else if (c == '"') {
            const std::size_t end = StringEnd(body, i);
            if (end == npos || end >= close) return -1;
            const bool key = level == 1 && body.substr(i, end + 1 - i) == kKey;
            i = end;
            if (!key) continue;
            std::size_t v = SkipSpace(body, end + 1);
            if (v >= close || body[v] != ':') continue;  // the text of a value, not the member
            v = SkipSpace(body, v + 1);
            std::size_t digits = v;
            while (digits < close && body[digits] >= '0' && body[digits] <= '9') ++digits;
            if (digits == v || digits - v > 9) return -1;
            if (digits < close && std::strchr(",} \t\r\n", body[digits]) == nullptr) return -1;
            std::int64_t n = 0;
            for (std::size_t k = v; k < digits; ++k) n = n * 10 + (body[k] - '0');
            return n;
        }
    }
    return -1;
}

}  // namespace

bool ExtractStatusJsonTitle(std::string_view body, const char* channelId, char* text) {
    if (channelId == nullptr || text == nullptr) return false;
    // The document is text up to its first NUL, as it is held in a NUL-terminated buffer: what
    // follows a NUL is never searched.
    body = body.substr(0, body.find('\0'));
    char keys[2][80];
    const int idLen = static_cast<int>(BoundedLength(channelId, 64));
    std::snprintf(keys[0], sizeof keys[0], "%.*s-160", idLen, channelId);
    std::snprintf(keys[1], sizeof keys[1], "%.*s-mp3", idLen, channelId);
    // The 160 stream is preferred; when its entry gives no usable title the mp3 stream's is used.
    for (const char* key : keys) {
        EntrySpan span;
        if (FindMountEntry(body, key, span) && TakeEntryTitle(body, span, text)) return true;
    }
    return false;
}

std::int64_t ExtractStatusJsonListeners(std::string_view body, const char* channelId) {
    if (channelId == nullptr) return -1;
    body = body.substr(0, body.find('\0'));
    const int idLen = static_cast<int>(BoundedLength(channelId, 64));
    std::int64_t sum = -1;
    for (const char* suffix : {"-160", "-mp3"}) {
        char key[80];
        std::snprintf(key, sizeof key, "%.*s%s", idLen, channelId, suffix);
        EntrySpan span;
        std::size_t open = 0;
        std::size_t close = 0;
        // span.begin is just past the closing quote of the entry's listen URL.
        if (!FindMountEntry(body, key, span) || !EnclosingObject(body, span.begin - 1, open, close)) continue;
        const std::int64_t n = ObjectListeners(body, open, close);
        if (n >= 0) sum = (sum < 0 ? 0 : sum) + n;
    }
    return sum;
}

bool FetchStatusDocument(HttpSession& session, const char* statusUrl, char* body, std::size_t& held,
                         const std::function<NowPlayingContext::Clock::time_point()>& now,
                         NowPlayingContext::Clock::time_point deadline) {
    held = 0;
    body[0] = '\0';
    auto request = session.OpenUrl(statusUrl, kStatusFlags, STATUS_BODY_BYTES - 1);
    if (!request) return false;
    std::uint32_t code = 0;
    if (request->QueryStatusCode(code) && code != 200) return false;
    // A server that trickles the document must not hold the refresh past its budget: what has
    // arrived by then is searched. The deadline is looked at after each read, not before: a
    // client that ran the transfer to the deadline inside OpenUrl holds what arrived, and the
    // reads that hand it over do not wait.
    while (held < STATUS_BODY_BYTES - 1) {
        const std::size_t want = std::min(STATUS_READ_PIECE, STATUS_BODY_BYTES - 1 - held);
        std::size_t got = 0;
        if (!request->Read(body + held, want, got) || got == 0) break;
        held += std::min(got, want);
        if (now() >= deadline) break;
    }
    body[held] = '\0';
    return true;
}

bool FetchStatusJsonTitle(HttpSession& session, const char* statusUrl, const char* channelId, char* text,
                          const std::function<NowPlayingContext::Clock::time_point()>& now,
                          NowPlayingContext::Clock::time_point deadline) {
    const std::unique_ptr<char[]> body(new (std::nothrow) char[STATUS_BODY_BYTES]);
    if (!body) return false;
    std::size_t held = 0;
    if (!FetchStatusDocument(session, statusUrl, body.get(), held, now, deadline)) return false;
    return ExtractStatusJsonTitle({body.get(), held}, channelId, text);
}

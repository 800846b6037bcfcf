#include "web/history_query.hpp"

#include "common/text.hpp"
#include "web/title_history.hpp"
#include "web/web_server.hpp"

#include <chrono>

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decodes text ('+' as a space); false on a cut or non-hex escape and on a NUL.
bool Decode(std::string_view text, std::string* out) {
    out->clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            c = ' ';
        } else if (c == '%') {
            if (i + 2 >= text.size()) return false;
            const int hi = HexValue(text[i + 1]);
            const int lo = HexValue(text[i + 2]);
            if (hi < 0 || lo < 0) return false;
            c = static_cast<char>(hi * 16 + lo);
            i += 2;
        }
        if (c == 0) return false;
        *out += c;
    }
    return true;
}

bool IsUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t need = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b < 0x80) need = 0;
        else if (b >= 0xC2 && b <= 0xDF) need = 1;
        else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (need > 0 && i + need >= text.size()) return false;
        for (std::size_t k = 1; k <= need; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if (k == 1 ? (c < lo || c > hi) : (c < 0x80 || c > 0xBF)) return false;
        }
        i += need + 1;
    }
    return true;
}

bool ReadDigits(std::string_view text, std::size_t from, std::size_t count, int* value) {
    int v = 0;
    for (std::size_t i = from; i < from + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + (text[i] - '0');
    }
    *value = v;
    return true;
}

// The decimal count in text: digits only, at most seven of them (the limits are far below).
bool ReadCount(std::string_view text, std::size_t* value) {
    if (text.empty() || text.size() > 7) return false;
    std::size_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<std::size_t>(c - '0');
    }
    *value = v;
    return true;
}

void AppendJsonText(std::string& out, const std::string& text) {
    // Every byte may become a six-byte escape; the escaper needs six bytes of room to go on.
    std::string escaped(text.size() * 6 + 7, '\0');
    const std::size_t n = JsonEscape(text.c_str(), escaped.data(), escaped.size());
    out.append(escaped.data(), n);
}

// A text as valid UTF-8: a malformed sequence becomes U+FFFD (nothing is copied when it is valid).
std::string_view ValidUtf8(std::string_view text, std::string& holder) {
    if (IsUtf8(text)) return text;
    holder = Utf16ToUtf8(Utf8ToUtf16(text));
    return holder;
}

}  // namespace

bool ParseUtcTime(std::string_view text, std::int64_t* seconds) {
    // 0123456789012345678
    // YYYY-MM-DDTHH:MM:SSZ
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != 'Z') {
        return false;
    }
    int y, mo, d, h, mi, s;
    if (!ReadDigits(text, 0, 4, &y) || !ReadDigits(text, 5, 2, &mo) || !ReadDigits(text, 8, 2, &d) ||
        !ReadDigits(text, 11, 2, &h) || !ReadDigits(text, 14, 2, &mi) || !ReadDigits(text, 17, 2, &s)) {
        return false;
    }
    using namespace std::chrono;
    const year_month_day date{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
    if (!date.ok() || h > 23 || mi > 59 || s > 59) return false;
    const sys_days days = date;
    *seconds = static_cast<std::int64_t>(days.time_since_epoch().count()) * 86400 + h * 3600 + mi * 60 + s;
    return true;
}

HistoryQueryRead ReadHistoryQuery(std::string_view query, bool csv, PlayQuery* out) {
    PlayQuery q;
    q.limit = csv ? kHistoryCsvLimit : kHistoryJsonDefault;
    const std::size_t most = csv ? kHistoryCsvLimit : kHistoryJsonLimit;
    enum { kChannel = 1, kFrom = 2, kTo = 4, kQ = 8, kLimit = 16, kBefore = 32 };
    unsigned seen = 0;
    bool any = false;
    std::string key, value;
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const std::size_t eq = pair.find('=');
        if (!Decode(pair.substr(0, eq), &key)) {
            // A key that cannot be read cannot be told from one of ours.
            return HistoryQueryRead::Malformed;
        }
        unsigned bit = 0;
        if (key == "channel") bit = kChannel;
        else if (key == "from") bit = kFrom;
        else if (key == "to") bit = kTo;
        else if (key == "q") bit = kQ;
        else if (key == "limit") bit = kLimit;
        else if (key == "before") bit = kBefore;
        if (bit == 0) continue;
        any = true;
        if ((seen & bit) != 0) return HistoryQueryRead::Malformed;  // which one would count?
        seen |= bit;
        if (!Decode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1), &value) ||
            !IsUtf8(value)) {
            return HistoryQueryRead::Malformed;
        }
        if (value.empty()) continue;  // an empty field of a form: not given
        bool ok = true;
        switch (bit) {
            case kChannel: q.channelId = value; break;
            case kQ: q.text = value; break;
            case kFrom: ok = ParseUtcTime(value, &q.from); break;
            case kTo: ok = ParseUtcTime(value, &q.to); break;
            case kBefore: ok = ParseUtcTime(value, &q.before); break;
            case kLimit: ok = ReadCount(value, &q.limit) && q.limit >= 1 && q.limit <= most; break;
            default: break;
        }
        if (!ok) return HistoryQueryRead::Malformed;
    }
    if (!any) return HistoryQueryRead::None;
    *out = std::move(q);
    return HistoryQueryRead::Query;
}

std::string FormatPlaysJson(const std::vector<PlayRecord>& plays, const std::vector<std::string>& channelIds) {
    std::string body = "[";
    body.reserve(plays.size() * 160 + 2);
    for (std::size_t i = 0; i < plays.size(); ++i) {
        const PlayRecord& p = plays[i];
        if (i > 0) body += ',';
        body += "{\"channel_index\":";
        std::size_t index = 0;
        while (index < channelIds.size() && channelIds[index] != p.channelId) ++index;
        body += index < channelIds.size() ? std::to_string(index) : "null";
        body += ",\"channel_id\":\"";
        AppendJsonText(body, p.channelId);
        body += "\",\"title\":\"";
        AppendJsonText(body, p.title);
        body += "\",\"first_seen\":\"" + FormatUtcTime(p.started) + "\",\"ended\":";
        body += p.ended == kPlayNone ? "null" : "\"" + FormatUtcTime(p.ended) + "\"";
        body += ",\"listeners\":";
        body += p.listenersMost < 0 ? "null" : std::to_string(p.listenersMost);
        body += '}';
    }
    body += ']';
    return body;
}

void AppendCsvText(std::string& out, std::string_view text) {
    std::string holder;
    text = ValidUtf8(text, holder);
    const bool formula = !text.empty() && (text[0] == '=' || text[0] == '+' || text[0] == '-' || text[0] == '@' ||
                                           text[0] == '\t' || text[0] == '\r');
    const bool quote = text.find_first_of(",\"\r\n") != std::string_view::npos;
    if (quote) out += '"';
    if (formula) out += '\'';
    for (const char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    if (quote) out += '"';
}

std::string FormatPlaysCsv(const std::vector<PlayRecord>& plays) {
    std::string body = "channel_id,channel_name,title,started,ended,listeners\r\n";
    body.reserve(body.size() + plays.size() * 120);
    for (const PlayRecord& p : plays) {
        AppendCsvText(body, p.channelId);
        body += ',';
        AppendCsvText(body, p.channelName);
        body += ',';
        AppendCsvText(body, p.title);
        body += ',' + FormatUtcTime(p.started) + ',';
        if (p.ended != kPlayNone) body += FormatUtcTime(p.ended);
        body += ',';
        if (p.listenersMost >= 0) body += std::to_string(p.listenersMost);
        body += "\r\n";
    }
    return body;
}

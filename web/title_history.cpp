#include "web/title_history.hpp"

#include "web/web_server.hpp"

#include <chrono>
#include <cstdio>
#include <utility>
#include <vector>

void AddToTitleHistory(TitleHistory& history, TitleHistoryEntry entry) {
    std::lock_guard<std::mutex> hold(history.lock);
    history.entries.push_front(std::move(entry));
    while (history.entries.size() > kTitleHistoryLength) history.entries.pop_back();
}

namespace {

void AppendEscaped(std::string& out, const std::string& text) {
    // Every byte may become a six-byte escape; the escaper needs six bytes of room to go on.
    std::vector<char> escaped(text.size() * 6 + 7);
    const std::size_t n = JsonEscape(text.c_str(), escaped.data(), escaped.size());
    out.append(escaped.data(), n);
}

}  // namespace

std::string FormatTitleHistoryJson(TitleHistory* history) {
    std::deque<TitleHistoryEntry> entries;
    if (history != nullptr) {
        // Copied out so that the main thread never waits for the escaping or a slow client.
        std::lock_guard<std::mutex> hold(history->lock);
        entries = history->entries;
    }
    std::string body = "[";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const TitleHistoryEntry& e = entries[i];
        if (i > 0) body += ',';
        body += "{\"channel_index\":" + std::to_string(e.channelIndex) + ",\"channel_id\":\"";
        AppendEscaped(body, e.channelId);
        body += "\",\"title\":\"";
        AppendEscaped(body, e.title);
        body += "\",\"first_seen\":\"";
        AppendEscaped(body, e.firstSeen);
        body += "\"}";
    }
    body += ']';
    return body;
}

std::string FormatUtcTime(std::int64_t secondsSinceEpoch) {
    using namespace std::chrono;
    // The range of years that four digits can show.
    constexpr std::int64_t kFirst = -62167219200;  // 0000-01-01T00:00:00Z
    constexpr std::int64_t kLast = 253402300799;   // 9999-12-31T23:59:59Z
    if (secondsSinceEpoch < kFirst) secondsSinceEpoch = kFirst;
    if (secondsSinceEpoch > kLast) secondsSinceEpoch = kLast;
    const sys_seconds t{seconds{secondsSinceEpoch}};
    const sys_days day = floor<days>(t);
    const year_month_day ymd{day};
    const hh_mm_ss<seconds> time{t - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

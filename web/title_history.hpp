// The last titles on air, newest first: written by the main thread at each new title, read by
// the server thread for /api/history.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

constexpr std::size_t kTitleHistoryLength = 50;

struct TitleHistoryEntry {
    std::int32_t channelIndex = 0;
    std::string channelId;  // 8-bit text as in the channel table
    std::string title;      // UTF-8
    std::string firstSeen;  // UTC, "YYYY-MM-DDTHH:MM:SSZ"
};

struct TitleHistory {
    std::mutex lock;  // guards entries; held only to add one entry or to copy them all
    std::deque<TitleHistoryEntry> entries;  // newest first, at most kTitleHistoryLength
};

// Puts entry in front and forgets the oldest beyond kTitleHistoryLength.
void AddToTitleHistory(TitleHistory& history, TitleHistoryEntry entry);

// The history as a JSON array of {"channel_index","channel_id","title","first_seen"} objects,
// newest first; "[]" for a null history. Texts are escaped with JsonEscape.
std::string FormatTitleHistoryJson(TitleHistory* history);

// seconds since 1970-01-01 UTC as "YYYY-MM-DDTHH:MM:SSZ" (years 0 to 9999; others are clamped).
std::string FormatUtcTime(std::int64_t secondsSinceEpoch);

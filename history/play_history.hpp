// The play history: every title of every watched channel, kept in SQLite on a writer thread of
// its own. Recording never waits for the disk; queries run on the caller's thread (never the web
// server's loop) against a connection of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

// Unknown listeners, or a play still going on (ended).
constexpr std::int64_t kPlayNone = -1;

struct PlayRecord {
    std::string channelId;
    std::string channelName;  // UTF-8
    std::string title;        // UTF-8
    std::int64_t started = 0;             // UTC seconds since 1970: first seen
    std::int64_t ended = kPlayNone;       // when the channel's next title was seen, or the program stopped
    std::int64_t listenersAtStart = kPlayNone;
    std::int64_t listenersMost = kPlayNone;  // the most seen while it played
};

// What a query selects; every part optional. Plays come newest first (started, then insertion).
struct PlayQuery {
    std::string channelId;                 // empty: every channel
    std::int64_t from = kPlayNone;         // started >= from
    std::int64_t to = kPlayNone;           // started < to
    std::int64_t before = kPlayNone;       // started < before (paging)
    std::string text;                      // title contains it; ASCII case ignored; % and _ literal
    std::size_t limit = 50;
};

struct PlayHistoryOptions {
    // The database file; empty keeps the history in memory until the program ends.
    std::filesystem::path file;
    int keepDays = 90;  // 0 keeps everything; older plays are removed at most once a day
    // A file that cannot be opened or written is tried again this long after (the history is kept
    // in memory meanwhile, then moved into the file).
    int retryMs = 60000;
    // How long a write waits for another program's lock on the file before the history goes on
    // in memory.
    int busyMs = 1000;
};

// What the writer has done so far, for the tests and the benchmark.
struct PlayHistoryStatus {
    bool onFile = false;          // the file is open and holds every play taken
    std::uint64_t taken = 0;      // plays, listener counts and the close applied to a store
    std::uint64_t dropped = 0;    // records refused because the queue was full
    std::uint64_t setAside = 0;   // damaged files renamed and started again
};

class PlayHistory;

// Starts the writer thread; the file is opened there, never on the caller's thread.
std::shared_ptr<PlayHistory> OpenPlayHistory(const PlayHistoryOptions& options);
// A new title on a channel: ends the channel's play going on (at started) and begins this one.
// Never blocks on the disk.
void RecordPlay(PlayHistory& history, const PlayRecord& play);
// A listener count seen on a channel: raises the most seen of its play going on.
void RecordListeners(PlayHistory& history, const std::string& channelId, std::int64_t listeners);
// The program stops: every play going on ends at `now`; the writer finishes what it holds and
// ends (waiting at most waitMs). Returns whether it ended in time.
bool ClosePlayHistory(PlayHistory& history, std::int64_t now, int waitMs);
// Reads plays matching query; `each` is called per play, newest first, and may stop the walk by
// returning false. Returns false when the history could not be read. Plays recorded before the
// call are seen once the writer has taken them (within a fraction of a second).
bool QueryPlays(PlayHistory& history, const PlayQuery& query, const std::function<bool(const PlayRecord&)>& each);
PlayHistoryStatus ReadPlayHistoryStatus(PlayHistory& history);

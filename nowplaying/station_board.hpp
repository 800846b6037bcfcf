// What is on air on every channel of the table: written by the station watcher (every channel
// but the one on show) and by the title refresh (the one on show), read by the web server for
// /api/nowplaying and its event. Texts are UTF-8; times are UTC seconds since 1970.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// Listeners not known (no status document, or no mount of the channel in it).
constexpr std::int64_t kListenersUnknown = -1;

struct ChannelOnAir {
    std::string id;      // the channel table's id, 8-bit text as in the table
    std::string name;    // the channel's name, UTF-8
    std::string title;   // the cleaned title on air; empty while none is known
    std::int64_t since = 0;                         // when title was first seen; 0 while none
    std::int64_t listeners = kListenersUnknown;     // the sum over the channel's mounts
};

// A consistent copy of the board.
struct StationBoardCopy {
    std::vector<ChannelOnAir> channels;  // the table's rows, in its order
    std::int32_t selected = 0;           // the channel on show
    std::uint64_t titlesVersion = 0;     // changes with any title or with the channel on show
    std::uint64_t listenersVersion = 0;  // changes with any listener count
};

// A title that began, for the play history: told after the board's lock is released, on the
// thread that set it. previousEnded is the same instant as started (the channel's last play, if
// any, ended when this one was first seen).
struct BoardTitleChange {
    std::int32_t index = 0;
    std::string channelId;
    std::string channelName;
    std::string title;
    std::int64_t started = 0;
    std::int64_t listeners = kListenersUnknown;
};

struct StationBoard {
    mutable std::mutex lock;  // guards everything below; held only to read or change it
    std::vector<ChannelOnAir> channels;
    std::int32_t selected = 0;
    std::uint64_t titlesVersion = 0;
    std::uint64_t listenersVersion = 0;
    // Set before other threads start; called without the lock for every new title and for
    // every listener count seen (title empty then), so the play history can record them.
    std::function<void(const BoardTitleChange&)> onTitle;
    std::function<void(std::int32_t index, const std::string& channelId, std::int64_t listeners)> onListeners;
};

// Sets the rows from the channel table (ids and names), keeping what is known of a row whose id
// stays the same; selected is the channel on show.
void SetBoardChannels(StationBoard& board, std::vector<ChannelOnAir> rows, std::int32_t selected);
// The channel on show changed.
void SelectBoardChannel(StationBoard& board, std::int32_t index);
// A title seen on channel index at `now`. The same title as known changes nothing (it keeps its
// since, however long the channel was unreachable meanwhile); an empty one is ignored. Returns
// whether it was new; onTitle is then told.
bool SetBoardTitle(StationBoard& board, std::int32_t index, std::string_view title, std::int64_t now);
// A listener count seen (kListenersUnknown when the status document no longer has the channel).
void SetBoardListeners(StationBoard& board, std::int32_t index, std::int64_t listeners);
StationBoardCopy ReadStationBoard(const StationBoard& board);

#include "nowplaying/station_board.hpp"

#include <utility>

void SetBoardChannels(StationBoard& board, std::vector<ChannelOnAir> rows, std::int32_t selected) {
    std::lock_guard<std::mutex> hold(board.lock);
    for (ChannelOnAir& row : rows) {
        for (const ChannelOnAir& old : board.channels) {
            if (old.id != row.id) continue;
            row.title = old.title;
            row.since = old.since;
            row.listeners = old.listeners;
            break;
        }
    }
    board.channels = std::move(rows);
    board.selected = selected;
    ++board.titlesVersion;
    ++board.listenersVersion;
}

void SelectBoardChannel(StationBoard& board, std::int32_t index) {
    std::lock_guard<std::mutex> hold(board.lock);
    if (board.selected == index) return;
    board.selected = index;
    ++board.titlesVersion;
}

bool SetBoardTitle(StationBoard& board, std::int32_t index, std::string_view title, std::int64_t now) {
    if (title.empty()) return false;
    BoardTitleChange change;
    std::function<void(const BoardTitleChange&)> tell;
    {
        std::lock_guard<std::mutex> hold(board.lock);
        if (index < 0 || static_cast<std::size_t>(index) >= board.channels.size()) return false;
        ChannelOnAir& row = board.channels[static_cast<std::size_t>(index)];
        if (row.title == title) return false;
        row.title.assign(title);
        row.since = now;
        ++board.titlesVersion;
        change.index = index;
        change.channelId = row.id;
        change.channelName = row.name;
        change.title = row.title;
        change.started = now;
        change.listeners = row.listeners;
        tell = board.onTitle;
    }
    if (tell) tell(change);
    return true;
}

void SetBoardListeners(StationBoard& board, std::int32_t index, std::int64_t listeners) {
    std::string id;
    std::function<void(std::int32_t, const std::string&, std::int64_t)> tell;
    {
        std::lock_guard<std::mutex> hold(board.lock);
        if (index < 0 || static_cast<std::size_t>(index) >= board.channels.size()) return;
        ChannelOnAir& row = board.channels[static_cast<std::size_t>(index)];
        if (row.listeners != listeners) {
            row.listeners = listeners;
            ++board.listenersVersion;
        }
        id = row.id;
        tell = board.onListeners;
    }
    if (tell && listeners != kListenersUnknown) tell(index, id, listeners);
}

StationBoardCopy ReadStationBoard(const StationBoard& board) {
    std::lock_guard<std::mutex> hold(board.lock);
    return StationBoardCopy{board.channels, board.selected, board.titlesVersion, board.listenersVersion};
}

#include "web/now_playing.hpp"

#include "nowplaying/station_board.hpp"
#include "web/title_history.hpp"
#include "web/web_server.hpp"

#include <vector>

namespace {

void AppendQuoted(std::string& out, const std::string& text) {
    // Every byte may become a six-byte escape; the escaper needs six bytes of room to go on.
    std::vector<char> escaped(text.size() * 6 + 7);
    const std::size_t n = JsonEscape(text.c_str(), escaped.data(), escaped.size());
    out += '"';
    out.append(escaped.data(), n);
    out += '"';
}

}  // namespace

std::string FormatNowPlayingJson(const StationBoardCopy& board) {
    std::string body = "{\"channels\":[";
    body.reserve(board.channels.size() * 200 + 16);
    for (std::size_t i = 0; i < board.channels.size(); ++i) {
        const ChannelOnAir& row = board.channels[i];
        if (i > 0) body += ',';
        body += "{\"index\":" + std::to_string(i) + ",\"id\":";
        AppendQuoted(body, row.id);
        body += ",\"name\":";
        AppendQuoted(body, row.name);
        body += ",\"title\":";
        if (row.title.empty()) body += "null";
        else AppendQuoted(body, row.title);
        body += ",\"since\":";
        body += row.title.empty() || row.since == 0 ? "null" : "\"" + FormatUtcTime(row.since) + "\"";
        body += ",\"listeners\":";
        body += row.listeners < 0 ? "null" : std::to_string(row.listeners);
        body += ",\"selected\":";
        body += static_cast<std::int64_t>(i) == board.selected ? "true}" : "false}";
    }
    body += "]}";
    return body;
}

NowPlayingBody ReadNowPlaying(const StationBoard& board, NowPlayingCache& cache) {
    std::uint64_t titles, listeners;
    {
        std::lock_guard<std::mutex> hold(board.lock);
        titles = board.titlesVersion;
        listeners = board.listenersVersion;
    }
    std::lock_guard<std::mutex> hold(cache.lock);
    if (cache.filled && cache.last.titlesVersion == titles && cache.last.listenersVersion == listeners) {
        return cache.last;
    }
    // The copy carries the versions it was read at: a change meanwhile is seen at the next read.
    const StationBoardCopy copy = ReadStationBoard(board);
    cache.last.body = std::make_shared<const std::string>(FormatNowPlayingJson(copy));
    cache.last.titlesVersion = copy.titlesVersion;
    cache.last.listenersVersion = copy.listenersVersion;
    cache.filled = true;
    return cache.last;
}

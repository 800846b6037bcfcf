// /api/nowplaying: every channel of the table with its title on air, read from the station's
// board. The body is made once per change of the board and shared by every answer and event
// until the next change, so a burst of requests costs a version check each.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

struct StationBoard;
struct StationBoardCopy;

// {"channels":[{"index","id","name","title","since","listeners","selected"},...]} with the rows
// in the board's order; title and since are null while no title is known, listeners while
// unknown. Texts are escaped with JsonEscape.
std::string FormatNowPlayingJson(const StationBoardCopy& board);

// The body made last and the board's versions it was made from.
struct NowPlayingBody {
    std::shared_ptr<const std::string> body;
    std::uint64_t titlesVersion = 0;
    std::uint64_t listenersVersion = 0;
};
struct NowPlayingCache {
    std::mutex lock;  // guards last; held to compare versions and, after a change, to format once
    NowPlayingBody last;
    bool filled = false;
};

// The board's body: the cached one while the board's versions are those it was made from.
NowPlayingBody ReadNowPlaying(const StationBoard& board, NowPlayingCache& cache);

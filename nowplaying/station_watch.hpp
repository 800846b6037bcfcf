// The watcher of every channel: every round it learns the title on air of each channel of the
// table except the one on show (the window's own refresh keeps that row), by the same two
// sources as the window (the channel's endpoint, then the stream server's status document), and
// every channel's listeners from the status document. What it learns goes to the station board.
//
// A round asks at most kWatchParallel servers at a time, on worker threads that each hold their
// own HTTP session (a session is not shared between threads). Each status document is fetched
// once per round and serves every channel whose endpoint gave nothing. Every request has the
// window's time-outs and ends at the round's end at the latest, so rounds never overlap. An
// endpoint still silent after kWatchSlowFailureMs while healthy channels wait for a slot gives
// its slot up. A channel whose server was slow to fail (hanging, not answering) is asked after
// the healthy ones and then left out for a growing number of rounds, so hanging servers hold a
// slot for at most a second while others wait, and then only slots the healthy channels no
// longer need; meanwhile their titles come from the status document.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "nowplaying/now_playing.hpp"
#include "nowplaying/station_board.hpp"

// One round: the window's refresh period.
inline constexpr std::uint32_t kWatchRoundMs = 5000;
// Requests at a time (endpoints and status documents together).
inline constexpr int kWatchParallel = 4;
// A failure that took at least this long counts as a hanging server and is backed off; an
// endpoint request that has taken this long is cut short while healthy channels wait.
inline constexpr std::uint32_t kWatchSlowFailureMs = 1000;
// A hanging server is left out for 1, 2, 4, 8, then at most this many rounds.
inline constexpr int kWatchMaxBackoffRounds = 12;
// A status document that failed this many rounds in a row makes its channels' listeners unknown;
// a single lost answer keeps the last counts.
inline constexpr int kWatchListenersKeptRounds = 2;

struct StationWatchOptions {
    std::uint32_t roundMs = kWatchRoundMs;
    int parallel = kWatchParallel;
    // Opens a worker's session with the given agent; null means OpenHttpSession.
    std::function<std::unique_ptr<HttpSession>(const char* userAgent)> openSession;
    // UTC seconds since 1970 for the board's `since`; null means the system clock.
    std::function<std::int64_t()> utcNow;
};

class StationWatch {
public:
    // Starts the rounds at once. settings and board must outlive the watcher's threads: keep
    // them for the process, or let them go only after Stop (no thread touches them once Stop
    // has begun, even a thread still returning from a request).
    StationWatch(Settings& settings, StationBoard& board, StationWatchOptions options = {});
    // Stops, waiting at most kStopWaitMs.
    ~StationWatch();
    StationWatch(const StationWatch&) = delete;
    StationWatch& operator=(const StationWatch&) = delete;

    // Cancels the requests in flight and ends the threads; waits at most timeoutMs. True when
    // every thread has ended. A thread still busy afterwards ends on its own and touches only
    // state it shares ownership of.
    bool Stop(int timeoutMs);

    static constexpr int kStopWaitMs = 1500;

    // What the threads share with this object (defined in the source file).
    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
};

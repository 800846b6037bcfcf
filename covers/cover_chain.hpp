// The order in which the picture sources are asked, and the rules that keep the program a good
// client of them: an album-art service that failed three times in a row rests for five minutes
// (the image search never rests), and MusicBrainz gets at most one request a second from the
// whole process. Shared by every search worker; all operations are safe from any thread. Time
// comes from an injectable clock.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "covers/cover_source.hpp"

// The settings of the sources, as config.json gives them.
struct CoverSourcesConfig {
    bool orderGiven = false;         // false: every source, in the built-in order
    std::vector<std::string> names;  // the order asked for; unknown names are ignored
    std::string itunesUrl;           // empty: the public service
    std::string deezerUrl;
    std::string musicBrainzUrl;
    std::string coverArtArchiveUrl;
};

// The sources to use, in order: the built-in order (image search, iTunes, Deezer, MusicBrainz)
// when none is given; else the names given, each once, unknown ones left out (an empty list
// switches the search off).
std::vector<CoverSourceKind> CoverSourceOrder(const CoverSourcesConfig& config);

class CoverChain {
   public:
    using Clock = std::chrono::steady_clock;
    struct Timing {
        std::function<Clock::time_point()> now;                // null: the steady clock
        std::function<void(std::chrono::milliseconds)> sleep;  // null: this thread sleeps
    };
    static constexpr int kFailuresBeforeRest = 3;
    static constexpr std::chrono::minutes kRest{5};
    static constexpr std::chrono::milliseconds kMusicBrainzInterval{1000};
    static constexpr std::chrono::milliseconds kWaitStep{50};

    CoverChain() = default;
    explicit CoverChain(Timing timing) : timing_(std::move(timing)) {}

    // Sets the order and makes the album-art sources for their addresses. Searches running
    // meanwhile finish with the sources they took.
    void Configure(const CoverSourcesConfig& config);

    // The sources for a search starting now, in order, leaving out those that rest.
    std::vector<CoverSourceKind> SourcesNow();
    // The source object of an album-art service (null for the image search, which the worker
    // runs itself, and before Configure). Shared: it stays valid for the caller after a Configure.
    std::shared_ptr<CoverSource> Source(CoverSourceKind kind);
    // What asking the source gave: Found and NoMatch end a run of failures, Failed adds to it
    // (the third in a row, and every one after it until a success, starts a rest), Cancelled
    // counts for nothing. Nothing counts for the image search, which is never rested.
    void Report(CoverSourceKind kind, SourceOutcome outcome);
    bool Resting(CoverSourceKind kind);

    // Waits until the source may send its next request, and takes that turn. Only MusicBrainz
    // waits: its turns are kMusicBrainzInterval apart. Returns false, taking no turn, when the
    // turn would come after deadline; false when cancelled() holds while waiting (checked every
    // kWaitStep).
    bool AwaitTurn(CoverSourceKind kind, const std::function<bool()>& cancelled,
                   std::optional<Clock::time_point> deadline);

   private:
    Clock::time_point Now() const { return timing_.now ? timing_.now() : Clock::now(); }
    void Sleep(std::chrono::milliseconds ms) const;

    struct Health {
        int failures = 0;
        std::optional<Clock::time_point> restUntil;
        std::optional<Clock::time_point> nextTurn;
    };

    Timing timing_;
    std::mutex lock_;  // guards everything below
    std::vector<CoverSourceKind> order_ = CoverSourceOrder({});
    std::shared_ptr<CoverSource> sources_[kCoverSourceKinds];
    Health health_[kCoverSourceKinds];
};

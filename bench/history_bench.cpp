// The play history's figures: queries on a store of 1,000,000 plays (p50 and p99 of a few
// shapes), the time the file takes to open at that size, and the time from the first of 10,000
// plays recorded to the last committed.
//   history_bench <work folder> [plays] [queries per shape]
#include "history/play_history.hpp"
#include "history/play_store.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::int64_t kStart = 1700000000;
constexpr int kChannels = 32;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

bool WaitUntil(PlayHistory& history, bool (*done)(const PlayHistoryStatus&), int seconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
        if (done(ReadPlayHistoryStatus(history))) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

std::string ChannelId(int n) { return "channel" + std::to_string(n % kChannels); }

// A title from a pool of words, so that a text matches some plays and not others.
std::string Title(std::int64_t n) {
    static const char* const kWords[] = {"Night", "River", "Gold", "Echo", "Dust", "Blue", "Fire", "Glass"};
    return std::string("Artist ") + std::to_string(n % 5000) + " - " + kWords[n % 8] + " " + kWords[(n / 8) % 8] +
           " " + std::to_string(n);
}

bool FillStore(const std::filesystem::path& file, std::int64_t plays) {
    PlayStore store;
    if (store.OpenFile(file, 1000) != PlayStore::OpenResult::Opened) return false;
    constexpr std::int64_t kPerTransaction = 50000;
    for (std::int64_t n = 0; n < plays;) {
        if (!store.Begin()) return false;
        for (std::int64_t i = 0; i < kPerTransaction && n < plays; ++i, ++n) {
            PlayRecord play;
            play.channelId = ChannelId(static_cast<int>(n));
            play.channelName = "Channel " + std::to_string(n % kChannels);
            play.title = Title(n);
            play.started = kStart + n * 6;  // one play every 6 s over all channels: ~70 days
            play.ended = play.started + 6 * kChannels;
            play.listenersAtStart = n % 100;
            play.listenersMost = n % 100 + 5;
            if (store.Insert(play) <= 0) return false;
        }
        if (!store.Commit()) return false;
    }
    return true;
}

void Shape(PlayHistory& history, const char* name, const PlayQuery& query, int repeats) {
    std::vector<double> times;
    std::size_t rows = 0;
    for (int i = 0; i < repeats; ++i) {
        rows = 0;
        const auto t0 = Clock::now();
        QueryPlays(history, query, [&](const PlayRecord&) {
            ++rows;
            return true;
        });
        times.push_back(Ms(Clock::now() - t0));
    }
    std::sort(times.begin(), times.end());
    const double p50 = times[times.size() / 2];
    const double p99 = times[std::min(times.size() - 1, times.size() * 99 / 100)];
    std::printf("  %-34s rows %5zu   p50 %8.3f ms   p99 %8.3f ms\n", name, rows, p50, p99);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: history_bench <work folder> [plays] [queries per shape]\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    const std::int64_t plays = argc > 2 ? std::atoll(argv[2]) : 1000000;
    const int repeats = argc > 3 ? std::atoi(argv[3]) : 200;
    std::filesystem::create_directories(folder);
    const std::filesystem::path big = folder / "history-big.sqlite3";
    const std::filesystem::path fresh = folder / "history-record.sqlite3";
    for (const auto& file : {big, fresh}) {
        for (const char* part : {"", "-wal", "-shm"}) std::filesystem::remove(file.string() + part);
    }

    auto t0 = Clock::now();
    if (!FillStore(big, plays)) {
        std::fprintf(stderr, "history_bench: could not fill %s\n", big.string().c_str());
        return 1;
    }
    std::printf("history store of %lld plays: filled in %.1f s, %.1f MB\n", static_cast<long long>(plays),
                Ms(Clock::now() - t0) / 1000, static_cast<double>(std::filesystem::file_size(big)) / 1e6);

    PlayHistoryOptions options;
    options.file = big;
    options.keepDays = 0;
    t0 = Clock::now();
    auto history = OpenPlayHistory(options);
    if (!WaitUntil(*history, [](const PlayHistoryStatus& s) { return s.onFile; }, 120)) {
        std::fprintf(stderr, "history_bench: the store did not open\n");
        return 1;
    }
    std::printf("  opened (quick check included) in %.0f ms\n", Ms(Clock::now() - t0));
    const std::int64_t last = kStart + (plays - 1) * 6;
    PlayQuery newest;
    Shape(*history, "newest 50", newest, repeats);
    PlayQuery channel;
    channel.channelId = "channel7";
    Shape(*history, "one channel, newest 50", channel, repeats);
    PlayQuery page;
    page.before = last - 86400 * 30;
    Shape(*history, "page 30 days back, 50", page, repeats);
    PlayQuery day;
    day.channelId = "channel3";
    day.from = last - 86400 * 10;
    day.to = day.from + 86400;
    day.limit = 1000;
    Shape(*history, "one channel, one day (all)", day, repeats);
    PlayQuery text;
    text.text = "river gold";
    Shape(*history, "text (1 play in 64), newest 50", text, repeats);
    PlayQuery rare;
    rare.text = "artist 4321 - ";
    Shape(*history, "text (1 play in 5000), newest 50", rare, std::max(repeats / 10, 5));
    PlayQuery none;
    none.text = "no such title";
    Shape(*history, "text matching nothing", none, std::max(repeats / 20, 3));
    ClosePlayHistory(*history, last + 10, 10000);

    options.file = fresh;
    auto recording = OpenPlayHistory(options);
    if (!WaitUntil(*recording, [](const PlayHistoryStatus& s) { return s.onFile; }, 30)) return 1;
    constexpr int kRecorded = 10000;
    t0 = Clock::now();
    for (int n = 0; n < kRecorded; ++n) {
        PlayRecord play;
        play.channelId = ChannelId(n);
        play.channelName = "Channel";
        play.title = Title(n);
        play.started = kStart + n;
        RecordPlay(*recording, play);
    }
    const double enqueued = Ms(Clock::now() - t0);
    if (!WaitUntil(*recording, [](const PlayHistoryStatus& s) { return s.taken >= kRecorded; }, 120)) return 1;
    const double committed = Ms(Clock::now() - t0);
    std::printf("recording %d plays: all queued in %.1f ms (%.2f us each), all committed after %.0f ms, "
                "%llu refused\n",
                kRecorded, enqueued, enqueued * 1000 / kRecorded, committed,
                static_cast<unsigned long long>(ReadPlayHistoryStatus(*recording).dropped));
    ClosePlayHistory(*recording, kStart + kRecorded, 10000);
    for (const auto& file : {big, fresh}) {
        for (const char* part : {"", "-wal", "-shm"}) std::filesystem::remove(file.string() + part);
    }
    return 0;
}

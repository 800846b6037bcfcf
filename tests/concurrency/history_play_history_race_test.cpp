// The play history recorded from two threads (the title refresh and the station watcher) while
// two server workers query it, on file and in memory, then closed while queries still run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "history/play_history.hpp"
#include "tests/support/test_support.hpp"

namespace {

constexpr int kPlaysPerThread = 300;

TEST(PlayHistoryRace, RecordsFromTwoThreadsWhileQueriesRunAndTheCloseComes) {
    for (const bool onFile : {true, false}) {
        TempDir dir;
        PlayHistoryOptions options;
        if (onFile) options.file = dir / "history.sqlite3";
        auto history = OpenPlayHistory(options);

        std::atomic<bool> stop{false};
        std::atomic<int> failedQueries{0};
        std::vector<std::thread> readers;
        for (int r = 0; r < 2; ++r) {
            readers.emplace_back([&, r] {
                while (!stop.load()) {
                    PlayQuery query;
                    query.channelId = r == 0 ? "" : "watched";
                    query.text = r == 0 ? "song" : "";
                    query.limit = 20;
                    std::int64_t last = INT64_MAX;
                    const bool ok = QueryPlays(*history, query, [&](const PlayRecord& row) {
                        // Newest first, whatever the writer does meanwhile.
                        if (row.started > last) failedQueries.fetch_add(1);
                        last = row.started;
                        return true;
                    });
                    if (!ok) failedQueries.fetch_add(1);
                }
            });
        }
        auto record = [&](const std::string& channel) {
            for (int i = 0; i < kPlaysPerThread; ++i) {
                PlayRecord play;
                play.channelId = channel;
                play.channelName = channel;
                play.title = "Song " + std::to_string(i);
                play.started = 1796650000 + i;
                RecordPlay(*history, play);
                RecordListeners(*history, channel, i);
            }
        };
        std::thread watcher(record, "watched");
        record("on-show");
        watcher.join();
        ASSERT_TRUE(WaitFor([&] { return ReadPlayHistoryStatus(*history).taken >= 4u * kPlaysPerThread; },
                            std::chrono::seconds(30)));
        EXPECT_TRUE(ClosePlayHistory(*history, 1796660000, 10000));
        stop = true;
        for (std::thread& t : readers) t.join();
        EXPECT_EQ(failedQueries.load(), 0) << onFile;

        int plays = 0;
        int going = 0;
        PlayQuery all;
        all.limit = 100000;
        EXPECT_TRUE(QueryPlays(*history, all, [&](const PlayRecord& row) {
            ++plays;
            if (row.ended == 1796660000) ++going;
            return true;
        }));
        EXPECT_EQ(plays, 2 * kPlaysPerThread) << onFile;
        EXPECT_EQ(going, 2) << onFile;  // each channel's last play ended at the close
        EXPECT_EQ(ReadPlayHistoryStatus(*history).dropped, 0u);
    }
}

}  // namespace

// The watcher's rounds against readers of the board, the window's refresh writing the row of
// the channel on show and switching channels, requests that hang and give their slots up, and
// the stop.
#include "nowplaying/station_watch.hpp"
#include "common/text.hpp"
#include "tests/support/sim_client.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(StationWatchRace, RoundsBoardReadersSwitchesAndStop) {
    if (SimulatorPort() == 0) GTEST_SKIP() << "no station simulator";
    SimControl sim(SimulatorPort());
    ASSERT_TRUE(sim.Reset());
    constexpr int n = 8;
    Settings settings;
    StationBoard board;
    std::atomic<int> told{0};
    board.onTitle = [&](const BoardTitleChange&) { ++told; };
    std::vector<ChannelOnAir> rows(n);
    settings.config.channels.count = n;
    CopyText(settings.config.status_url, (sim.BaseUrl() + "/status-json.xsl").c_str());
    for (int i = 0; i < n; ++i) {
        rows[static_cast<std::size_t>(i)].id = "r" + std::to_string(i);
        CopyText(settings.config.channels.entries[i].id, rows[static_cast<std::size_t>(i)].id.c_str());
        CopyText(settings.config.channels.entries[i].endpoint, (sim.BaseUrl() + "/nowplaying/r" + std::to_string(i)).c_str());
    }
    SetBoardChannels(board, rows, 0);
    // Hanging channels ahead of the others: their requests give up their slots (the cancel check
    // reads the queue's state) and may be in flight at the stop.
    for (const char* path : {"/nowplaying/r1", "/nowplaying/r2", "/nowplaying/r3", "/nowplaying/r4"}) {
        ASSERT_TRUE(sim.Set(std::string(R"({"path":")") + path + R"(","hang":true})"));
    }
    StationWatchOptions options;
    options.roundMs = 1500;
    StationWatch watch(settings, board, options);

    std::atomic<bool> done{false};
    std::atomic<int> badReads{0};
    std::thread reader([&] {
        for (bool first = true; first || !done.load(); first = false) {
            const StationBoardCopy copy = ReadStationBoard(board);
            if (copy.channels.size() != n || copy.selected < 0 || copy.selected >= n) ++badReads;
        }
    });
    std::thread window([&] {
        for (int k = 0; !done.load(); ++k) {
            SelectBoardChannel(board, k % n);
            SetBoardTitle(board, k % n, "Window " + std::to_string(k), k);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    for (int k = 1; k <= 3; ++k) {
        const std::string want = "Song " + std::to_string(k);
        std::string orders;
        for (int i = 0; i < n; ++i) orders += std::string(i ? "," : "") + R"({"channel":"r)" + std::to_string(i) + R"(","text":")" + want + "\"}";
        ASSERT_TRUE(sim.Station("{\"orders\":[" + orders + "]}"));
        // Some channel not on show catches up with the change.
        EXPECT_TRUE(WaitFor([&] {
            for (const ChannelOnAir& row : ReadStationBoard(board).channels) {
                if (row.title == want) return true;
            }
            return false;
        }, std::chrono::milliseconds(5000))) << want;
    }
    const auto stopAt = std::chrono::steady_clock::now();
    EXPECT_TRUE(watch.Stop(StationWatch::kStopWaitMs));
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::milliseconds(StationWatch::kStopWaitMs));
    done.store(true);
    reader.join();
    window.join();
    EXPECT_EQ(badReads.load(), 0);
    EXPECT_GT(told.load(), 0);
}

}  // namespace

// The process-wide start-up and shutdown against a config.json in a temporary folder.
#include "app/process.hpp"

#include "nowplaying/station_watch.hpp"

#include "platform/sockets.hpp"
#include "settings/config_reader.hpp"
#include "tests/support/sim_client.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace {

int FreePort() {
    if (!InitSockets()) return 0;
    const socket_t probe = OpenListener(0);
    const int port = probe == kInvalidSocket ? 0 : LocalPort(probe);
    if (probe != kInvalidSocket) CloseSocket(probe);
    CleanupSockets();
    return port;
}

}  // namespace

TEST(ProcessStart, TheServerTellsThePicturesSwitchOfTheFileFromItsFirstAnswer) {
    const int port = FreePort();
    ASSERT_NE(port, 0);

    TempDir dir;
    // The built-in channels are never asked: the watcher is off.
    ASSERT_TRUE(WriteFileBytes(dir / "config.json", "{\"port\": " + std::to_string(port) +
                                                        ", \"show_images\": false, \"watch_all_channels\": false}\n"));
    gSettings.file = dir / "config.json";
    ASSERT_TRUE(StartServices());
    // No window has applied the switch yet.
    const std::string info = RawHttpExchange(port, "GET /api/info HTTP/1.0\r\n\r\n");
    EXPECT_NE(info.find("\"image_id\":0,\"images_enabled\":false}"), std::string::npos) << info;
    // A title the board takes is in the play history beside config.json once the services stop.
    ASSERT_TRUE(SetBoardTitle(gStationBoard, 1, "Artist - Song", 1796650000));
    EXPECT_TRUE(StopServices());  // no search ran: nothing left behind

    PlayHistoryOptions options;
    options.file = dir / "history.sqlite3";
    auto history = OpenPlayHistory(options);
    std::vector<PlayRecord> plays;
    ASSERT_TRUE(WaitFor([&] { return ReadPlayHistoryStatus(*history).onFile; }, std::chrono::seconds(10)));
    EXPECT_TRUE(QueryPlays(*history, {}, [&](const PlayRecord& play) {
        plays.push_back(play);
        return true;
    }));
    ASSERT_EQ(plays.size(), 1u);
    EXPECT_EQ(plays[0].title, "Artist - Song");
    EXPECT_EQ(plays[0].channelId, gStationBoard.channels[1].id);
    EXPECT_GE(plays[0].ended, plays[0].started);  // ended when the services stopped
    EXPECT_TRUE(ClosePlayHistory(*history, 1796650100, 5000));
}

TEST(ProcessStart, TheHistoryFileComesFromTheSettings) {
    struct Case {
        const char* text;
        std::filesystem::path expected;
    };
    const std::filesystem::path folder = std::filesystem::path("cfg") / "dir";
    const std::filesystem::path absolute = std::filesystem::temp_directory_path() / "plays.db";
    const std::string absoluteJson = [&] {
        std::string text;
        for (char c : absolute.string()) text += c == '\\' ? std::string("\\\\") : std::string(1, c);
        return text;
    }();
    const std::string withAbsolute = "{\"history_file\": \"" + absoluteJson + "\"}";
    const Case cases[] = {
        {"{}", folder / "history.sqlite3"},
        {"{\"history_file\": \"\"}", {}},
        {"{\"history_file\": \"sub/plays.sqlite3\"}", folder / "sub" / "plays.sqlite3"},
        {withAbsolute.c_str(), absolute},
    };
    for (const Case& c : cases) {
        auto config = std::make_unique<AppConfig>();
        ParseConfigText(c.text, *config);
        EXPECT_EQ(HistoryFilePath(folder, *config).lexically_normal(), c.expected.lexically_normal()) << c.text;
    }
}

// With the watcher on, every channel's row of the board fills from the station; switched off,
// the station sees no request at all while the services run (the window's refresh is not part
// of them).
TEST(ProcessStart, TheWatcherFollowsItsSwitch) {
    if (SimulatorPort() == 0) GTEST_SKIP() << "no station simulator";
    SimControl sim(SimulatorPort());
    ASSERT_TRUE(sim.Reset());
    std::string channels;
    for (const char* id : {"pa", "pb", "pc"}) {
        ASSERT_TRUE(sim.Station("{\"channel\":\"" + std::string(id) + "\",\"text\":\"Song " + id + "\"}"));
        ASSERT_TRUE(sim.Station("{\"mount\":\"" + std::string(id) + "-mp3\",\"fields\":{\"listeners\":3}}"));
        channels += std::string(channels.empty() ? "" : ",") + "{\"id\":\"" + id + "\",\"name\":\"" + id +
                    "\",\"endpoint\":\"" + sim.BaseUrl() + "/nowplaying/" + id + "\"}";
    }
    for (const bool watch : {false, true}) {
        SCOPED_TRACE(watch);
        const int port = FreePort();
        ASSERT_NE(port, 0);
        TempDir dir;
        ASSERT_TRUE(WriteFileBytes(dir / "config.json", "{\"port\": " + std::to_string(port) + ", \"watch_all_channels\": " +
                                                            (watch ? "true" : "false") + ", \"status_url\": \"" +
                                                            sim.BaseUrl() + "/status-json.xsl\", \"channels\": [" +
                                                            channels + "]}\n"));
        gSettings.file = dir / "config.json";
        ASSERT_TRUE(StartServices());
        const auto filled = [] {
            const StationBoardCopy copy = ReadStationBoard(gStationBoard);
            return copy.channels.size() == 3 && copy.channels[1].title == "Song pb" && copy.channels[2].title == "Song pc" &&
                   copy.channels[0].listeners == 3 && copy.channels[2].listeners == 3;
        };
        const auto asked = [&] { return sim.Log() != "[]"; };
        if (watch) {
            EXPECT_TRUE(WaitFor(filled, std::chrono::milliseconds(kWatchRoundMs)));
            EXPECT_TRUE(ReadStationBoard(gStationBoard).channels[0].title.empty());  // the window's row
        } else {
            // A watcher asks at once: in this time it would have asked many times over.
            EXPECT_FALSE(WaitFor(asked, std::chrono::milliseconds(3000))) << sim.Log();
        }
        EXPECT_TRUE(StopServices());
    }
}
